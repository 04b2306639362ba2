// terminate.h - how the library ends the process when it must.
//
// The way out depends on how far start-up has come: before it completes a
// process has been counted nowhere and ends with a plain exit; afterwards it
// must leave through the library's own exit path so that it is logged and
// counted out. Lower layers cannot know which, so start-up installs the hook
// and everything below calls terminate_process. Without a hook the process
// ends with a raw exit_group.
#pragma once

namespace zyg {

using exit_hook_fn = void (*)(int status);
void set_exit_hook(exit_hook_fn fn);
[[noreturn]] void terminate_process(int status);

}  // namespace zyg
