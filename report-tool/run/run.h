// run.h - --run: a command launched under zyg-nox with a log of its own, and
// the per-node summary of that log when the command ends.
#pragma once

namespace zr {

// argv[0..argc) are the words after --run: zyg-nox options, "--", the
// command. Runs `zyg-nox OPTIONS -l TEMPLOG -- COMMAND`, then writes the
// launch's settings, per-node table and warnings to standard error and
// removes the log. Returns the command's exit status (128 + the signal that
// ended it, as a shell does), or 1 for a usage error, 2 when the log cannot
// be made, 127 when zyg-nox cannot be run.
int run_and_summarise(int argc, char** argv);

}  // namespace zr
