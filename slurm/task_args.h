// task_args.h - the command line a Slurm task is started with under
// srun --zyg-nox=OPTIONS: the options' text split into words as a shell
// would split them, and the launcher put in front of the task's own command.
// Plain C-style code: it runs inside slurmstepd and srun, which are C
// programs, so nothing here needs the C++ runtime.
#pragma once

#include <cstddef>

namespace zyg::slurm {

// Most words the options may have; longer texts are refused.
inline constexpr int kMaxOptionWords = 64;

// What the plugin hands to the task-start library (task_start.cpp) in the
// task's environment: the option's value, the pid of the task (only the
// task's own command is started under the launcher; a task prolog run with
// the same environment is not), and the LD_PRELOAD the task had, when it
// had one, to be put back.
inline constexpr char kEnvOptions[] = "ZYG_SPANK_OPTIONS";
inline constexpr char kEnvTaskPid[] = "ZYG_SPANK_TASK_PID";
inline constexpr char kEnvPreload[] = "ZYG_SPANK_PRELOAD";

// Splits text into words: blanks separate words, '...' keeps everything
// literally, "..." keeps everything but \" and \\, and a backslash outside
// quotes takes the next character literally. The words are written one
// after another, each ending in '\0', into buf (buf_size bytes) and words
// points at them. Returns the number of words, or -1 for an unbalanced
// quote, a trailing backslash, too many words or a text too long for buf.
int split_options(const char* text, char* buf, std::size_t buf_size, char** words, int max_words);

// Writes launcher, "--job", the option words, "--", the command's words
// and a null pointer into out (max entries). The "--" keeps a command
// whose name begins with '-' from being read as an option. Returns the
// number of words (without the null), or -1 when out is too small.
int task_argv(const char* launcher, char* const* options, int option_cnt, char* const* command,
              int command_cnt, char** out, int max);

// The words of /proc/self/cmdline's text (len bytes, each word ending in
// '\0') into words (max entries, the last a null pointer). Returns the
// number of words, or -1 when they do not fit or the text does not end a
// word.
int cmdline_words(char* text, std::size_t len, char** words, int max);

}  // namespace zyg::slurm
