// log_schema.h - the launch log's format: the columns of a record line with
// their titles and widths, and every event text the library writes. The
// library formats its lines from these tables and the report tool reads
// them back with the same ones, so that a change to the format is made here
// once. Pure constants: no state, usable from the library, the launcher and
// the report tool alike.
#pragma once

#include <stddef.h>

namespace zyg {

// The columns of a record line (and of the column header above the first
// record), in order. A new column is a row here (and in kLogColumns), placed
// before the message: the columns from the message on are told apart by
// their widths, since the message and the command line may hold the
// separator. Its kind tells every reader how to keep it: the report tool
// (report-tool/log/record.cpp) and tests/logrecords.py read each column by
// this table, and the tests' writers of log text (tests/unit/logtext.h,
// bench/gen-log through tests/logrecords.py) fill it by its kind. Besides
// the row, a new column is its value in report/log.cpp and a line in the
// report tool's views/json.cpp (and schema/report-v1.json) to show it. A log
// written before a column existed is read by the titles of its column
// header.
enum log_column {
  COL_TIMESTAMP,  // seconds.microseconds since the launch's log was created
  COL_ENTRY,      // launch-wide record number
  COL_TID,
  COL_PID,
  COL_PPID,
  COL_NODE,     // the task's launch nodes, "0" or "0,1"
  COL_CPU,      // its one CPU, or -1
  COL_L3,       // under L3 units only: its domain's CPU list, "-" when not within one
  COL_MESSAGE,  // the event text
  COL_COMM,
  COL_CMDLINE,  // the command line, NULs turned into spaces
  COL_COUNT
};

// What a column holds, and so how a reader keeps it.
enum log_column_kind {
  COLUMN_TIME,    // seconds, '.', kLogMicroDigits digits of microseconds
  COLUMN_NUMBER,  // a whole decimal number, -1 for none
  COLUMN_LIST,    // whole numbers separated by commas, or nothing
  COLUMN_TEXT,    // any text (before the message: without blanks or the separator)
};

struct log_column_def {
  const char* title;     // in the column header
  int width;             // the least width; a longer text pushes the rest along
  bool left;             // left-aligned (numbers are right-aligned)
  log_column_kind kind;  // what it holds
  bool l3_only = false;  // written only in the logs of launches under L3 units
};

inline constexpr log_column_def kLogColumns[COL_COUNT] = {
    {"Timestamp", 15, false, COLUMN_TIME},  {"Entry#", 6, false, COLUMN_NUMBER},
    {"TID", 7, false, COLUMN_NUMBER},       {"PID", 7, false, COLUMN_NUMBER},
    {"PPID", 7, false, COLUMN_NUMBER},      {"Node", 4, false, COLUMN_LIST},
    {"CPU", 3, false, COLUMN_NUMBER},       {"L3", 3, false, COLUMN_TEXT, true},
    {"Log Message", 31, true, COLUMN_TEXT}, {"comm", 20, true, COLUMN_TEXT},
    {"full_cmdline", 0, true, COLUMN_TEXT},
};

// Between two columns. A line ends with "\n" after the command line.
inline constexpr char kLogSeparator[] = " | ";
inline constexpr size_t kLogSeparatorLen = sizeof kLogSeparator - 1;
// The timestamp's fraction: microseconds, always six digits.
inline constexpr int kLogMicroDigits = 6;
// The columns before the message hold short texts that never contain the
// separator; the message may (a system() command), the command line too.
inline constexpr int kLogShortColumns = COL_MESSAGE;

constexpr int log_column_width(log_column c) { return kLogColumns[c].width; }
// Whether a launch's log has column c: the L3 column only under L3 units, so
// that the log of any other launch is the same as before that column existed.
constexpr bool log_column_written(log_column c, bool l3_units) {
  return l3_units || !kLogColumns[c].l3_only;
}

static_assert(COL_COMM == COL_MESSAGE + 1 && COL_CMDLINE == COL_COMM + 1 &&
                  COL_COUNT == COL_CMDLINE + 1,
              "the message, comm and command line end a record line");

// The banner: the settings of the launch, one "Key | value" line each (the
// key padded to the longest key), between two blocks of fixed lines.
enum banner_field {
  BAN_VERSION,
  BAN_PROC_POLICY,
  BAN_THRD_POLICY,
  BAN_CPU_LAUNCH,  // "Yes" or "No"
  BAN_LAUNCH_NODES,
  BAN_LOG_FILE,
  BAN_ERROR_FILE,
  BAN_INITIAL_PID,
  BAN_CONFIG_NODES,
  BAN_AVAIL_NODES,
  // Written only under L3 units (--unit=l3), after the others: "l3", and
  // each domain as <CPU list>@<node>, by lowest CPU ("0-1@0 2-3@0 4-5@1").
  BAN_UNIT,
  BAN_L3_DOMAINS,
  // Only under a memory mode other than local: the mode, then "node:memory
  // node" for each launch node, e.g. "nearest-memonly 0:2 1:3".
  BAN_MEMORY,
  // Only under CPU launch with node units: each launch node's CPUs as
  // <CPU list>@<node> ("0-1@0 2-3@1"), so that a reader knows the CPUs no
  // task used (the L3 domains name them under L3 units).
  BAN_LAUNCH_CPUS,
  // Only in the launch of a job's ranks on a host (--job): the starter and
  // job ("slurm 1234.0"), the host, and the ranks ("8, 4 on this host").
  BAN_JOB,
  BAN_HOST,
  BAN_RANKS,
  BAN_COUNT
};

inline constexpr const char* kBannerKeys[BAN_COUNT] = {
    "Launch  Version",
    "Process launch policy",
    "Thread  launch policy",
    "CPU     launch policy",
    "Initial launch nodes",
    "Log file",
    "Error file",
    "Initial PID",
    "Configured node count",
    "Available node count",
    "Placement unit",
    "L3 domains",
    "Memory  placement",
    "Launch  CPUs",
    "Job",
    "Host",
    "Ranks",
};
// The settings lines every banner has (BAN_MEMORY is written only under a
// memory mode other than local).
inline constexpr int kBannerAlwaysCount = BAN_MEMORY;
inline constexpr char kBannerCpuYes[] = "Yes";
inline constexpr char kBannerCpuNo[] = "No";

constexpr int banner_key_width() {
  int w = 0;
  for (const char* k : kBannerKeys) {
    int n = 0;
    while (k[n] != '\0') n++;
    if (n > w) w = n;
  }
  return w;
}
inline constexpr int kBannerKeyWidth = banner_key_width();

// The fixed lines before the settings (after an empty line) and after them
// (after another); an empty line ends the banner.
inline constexpr const char* kBannerHead[] = {
    "Warning: format/content of this file may change between revisions",
    "Do not write programs that depend on format or content across revisions",
};
inline constexpr const char* kBannerTail[] = {
    "Possibly 4 records per process",
    "    1) process/thread creation,",
    "    2) if an exec function is called",
    "    3) process/pthread termination (clone thread termination not logged)",
    "    4) the initial thread - only if it creates threads",
};

// What a record tells about its task: how the report tool sorts records.
enum record_kind {
  RECORD_PROCESS_START,  // the first record of a new process (its own TID)
  RECORD_EXEC_START,     // a new program image of a process already logged
  RECORD_THREAD_START,   // the first record of a new thread
  RECORD_MAIN_THREAD,    // the initial thread placed when it creates threads
  RECORD_THREAD_END,
  RECORD_PROCESS_END,
  RECORD_NOTE,  // anything else: shown with the process
};

// The fixed event texts.
enum log_message {
  REC_INITIAL_EXEC_START,
  REC_CHILD_EXEC_START,
  REC_FORK_START,
  REC_VFORK_START,
  REC_FORK_VIA_CLONE_START,
  REC_VFORK_VIA_CLONE_START,
  REC_CLONE_VM_PROCESS_START,
  REC_CLONE_THREAD_START,
  REC_PTHREAD_START,
  REC_UNEXPECTED_THREAD_START,
  REC_CLONE_MAIN_THREAD,
  REC_PTHREAD_MAIN_THREAD,
  REC_UNKNOWN_MAIN_THREAD,
  REC_CLONE_THREAD_END,
  REC_PTHREAD_END,
  REC_UNEXPECTED_THREAD_END,
  REC_EXIT,      // exit()
  REC_EXIT_NOW,  // _exit()
  REC_EXIT_ISO,  // _Exit()
  REC_EXIT_GROUP,
  REC_IMPLICIT_EXIT,  // the finaliser of a process that returned from main
  REC_FORK_VIA_CLONE_END,
  REC_VFORK_VIA_CLONE_END,
  REC_CLONE_VM_PROCESS_END,
  REC_SYSCALL_CLONE_UNSUPPORTED,
  REC_SYSCALL_CLONE3_UNSUPPORTED,
  REC_COUNT
};

struct log_message_def {
  log_message id;  // the row's own index, checked below
  record_kind kind;
  const char* text;
};

inline constexpr log_message_def kLogMessages[REC_COUNT] = {
    {REC_INITIAL_EXEC_START, RECORD_PROCESS_START, "initial exec start"},
    {REC_CHILD_EXEC_START, RECORD_EXEC_START, "child exec start"},
    {REC_FORK_START, RECORD_PROCESS_START, "child start in fork()"},
    {REC_VFORK_START, RECORD_PROCESS_START, "child start in vfork()"},
    {REC_FORK_VIA_CLONE_START, RECORD_PROCESS_START, "child start in fork_via_clone()"},
    {REC_VFORK_VIA_CLONE_START, RECORD_PROCESS_START, "child start in vfork_via_clone()"},
    {REC_CLONE_VM_PROCESS_START, RECORD_PROCESS_START, "child start in clone(CLONE_VM) process"},
    {REC_CLONE_THREAD_START, RECORD_THREAD_START, "child start in clone()"},
    {REC_PTHREAD_START, RECORD_THREAD_START, "child start in pthread_create() by user"},
    {REC_UNEXPECTED_THREAD_START, RECORD_THREAD_START, "child start in unexpected condition"},
    {REC_CLONE_MAIN_THREAD, RECORD_MAIN_THREAD, "clone() main thrd"},
    {REC_PTHREAD_MAIN_THREAD, RECORD_MAIN_THREAD, "user's pthread_create() main thrd"},
    {REC_UNKNOWN_MAIN_THREAD, RECORD_MAIN_THREAD, "unknown main thrd"},
    {REC_CLONE_THREAD_END, RECORD_THREAD_END, "implicit clone() exit"},
    {REC_PTHREAD_END, RECORD_THREAD_END, "implicit user's pthread_create() exit"},
    // A thread of unknown kind: nothing tells which task ended, so it is
    // read as the end of the process.
    {REC_UNEXPECTED_THREAD_END, RECORD_PROCESS_END, "exit with unexpected condition"},
    {REC_EXIT, RECORD_PROCESS_END, "exit()"},
    {REC_EXIT_NOW, RECORD_PROCESS_END, "_exit()"},
    {REC_EXIT_ISO, RECORD_PROCESS_END, "_Exit()"},
    {REC_EXIT_GROUP, RECORD_PROCESS_END, "syscall(SYS_exit_group)"},
    {REC_IMPLICIT_EXIT, RECORD_PROCESS_END, "implicit exit()"},
    {REC_FORK_VIA_CLONE_END, RECORD_PROCESS_END, "implicit fork_via_clone() exit"},
    {REC_VFORK_VIA_CLONE_END, RECORD_PROCESS_END, "implicit vfork_via_clone() exit"},
    {REC_CLONE_VM_PROCESS_END, RECORD_PROCESS_END, "implicit clone(CLONE_VM) process exit"},
    {REC_SYSCALL_CLONE_UNSUPPORTED, RECORD_NOTE, "syscall(SYS_clone) not supported"},
    {REC_SYSCALL_CLONE3_UNSUPPORTED, RECORD_NOTE, "syscall(SYS_clone3) not supported"},
};

constexpr bool log_messages_in_order() {
  for (int i = 0; i < REC_COUNT; i++)
    if (kLogMessages[i].id != i || kLogMessages[i].text == nullptr) return false;
  return true;
}
static_assert(log_messages_in_order(), "kLogMessages must list every message in enum order");

constexpr const char* log_text(log_message m) { return kLogMessages[m].text; }

// Records of a created task: the fixed text, then its ID in decimal
// ("Created PID 4242"). A pthread's ID is its pthread_t.
inline constexpr char kRecCreatedPid[] = "Created PID ";
inline constexpr char kRecCreatedTid[] = "Created TID ";
inline constexpr char kRecSpawnedPid[] = "Spawned PID ";
// The command of a job's rank, after its start record (--job): "Job rank 3
// of 8 (local 1)", a part the starter does not say left out.
inline constexpr char kRecJobRank[] = "Job rank ";

// Records of a call that starts a program: "<call>(<file or command>)", an
// exec refused for the tree behind one of the refusal prefixes
// ("32-bit executable: execve(/bin/x)").
inline constexpr char kRecSetidRefused[] = "setuid/setgid executable: ";
inline constexpr char kRecThirtyTwoRefused[] = "32-bit executable: ";
// An exec whose environment starts a launch of its own (zyg-nox run inside
// the tree): the new program belongs to that launch, and this log sees no
// more of the process ("new launch: execvpe(true)").
inline constexpr char kRecNewLaunch[] = "new launch: ";
// The exec functions, in the order of the library's exec forms.
inline constexpr const char* kRecExecCalls[] = {"execve", "execvpe", "fexecve", "execle",  "execvp",
                                                "execv",  "execl",   "execlp",  "execveat"};
// Calls that start a program in a new process.
inline constexpr char kRecPosixSpawn[] = "posix_spawn";
inline constexpr char kRecPosixSpawnp[] = "posix_spawnp";
inline constexpr char kRecSystem[] = "system";
inline constexpr char kRecPopen[] = "popen";
inline constexpr const char* kRecStartCalls[] = {kRecPosixSpawn, kRecPosixSpawnp, kRecSystem,
                                                 kRecPopen};

// The copy of an error report: a head line ("warning: PID 42 is
// recovering..."), then "<label>: <message>" and "<label>: <error text>".
inline constexpr char kRecReportHead[] = "%s: PID %d is %s...";
inline constexpr char kRecReportLabelEnd[] = ": ";

}  // namespace zyg
