// names.h - fixed names, paths and limits shared by the launcher and the
// preload library: the program name, the launch environment variables that
// carry the user's choices, and length limits. The version and the library's
// install paths come from shared/version.h, generated from the project version.
// Pure constants: no state, usable from any file of either program.
#pragma once

#include "shared/version.h"

namespace zyg {

inline constexpr const char kProgName[] = "zyg-nox";

// Launch environment variables.
inline constexpr const char kEnvNodes[] = "ZYG_LAUNCH_NODES";
inline constexpr const char kEnvProcPolicy[] = "ZYG_LAUNCH_PROCESS_POLICY";
inline constexpr const char kEnvThrdPolicy[] = "ZYG_LAUNCH_THREAD_POLICY";
inline constexpr const char kEnvCpuPolicy[] = "ZYG_LAUNCH_CPU_POLICY";
inline constexpr const char kEnvDataFile[] = "ZYG_LAUNCH_DATA_FILE";
inline constexpr const char kEnvLogFile[] = "ZYG_LAUNCH_LOG_FILE";
inline constexpr const char kEnvDebugFile[] = "ZYG_LAUNCH_DEBUG_FILE";
inline constexpr const char kEnvErrorFile[] = "ZYG_LAUNCH_ERROR_FILE";
inline constexpr const char kEnvLib64[] = "ZYG_LAUNCH_LIB64";
inline constexpr const char kEnvLib32[] = "ZYG_LAUNCH_LIB32";
inline constexpr const char kEnvLib32And64[] = "ZYG_LAUNCH_LIB32_64";
inline constexpr const char kEnvOtherWrite[] = "ZYG_LAUNCH_OTHER_WRITE";
inline constexpr const char kEnvMemfree[] = "ZYG_LAUNCH_MEMFREE";
// Where placed tasks take their memory (shared/memory_tiers.h): local,
// nearest-memonly or interleave-memonly.
inline constexpr const char kEnvMemory[] = "ZYG_LAUNCH_MEMORY";
inline constexpr const char kEnvPreload[] = "LD_PRELOAD";
// The placement unit (--unit): "node" or "l3" (shared/l3_cache.h).
inline constexpr const char kEnvUnit[] = "ZYG_LAUNCH_UNIT";
// Set by the library in the environment of every program it starts: the
// placement mark (core/membership.h). "<pid>": process pid is placed, and
// keeps its place through every exec of its own, static programs' included;
// "<pid>:<serial>": the child that process pid spawned with that serial is
// placed. A program of the tree that the mark does not name was made by a path
// the library never saw (a raw clone, a static program's fork) and places
// itself by the process policy. The launcher never passes it on.
inline constexpr const char kEnvPlacedBy[] = "ZYG_LAUNCH_PLACED_BY";

// The launch's identity (shared/launch_id.h), "<uid>-<32 hex digits>": set by
// whoever starts the launch (the launcher, or the library preloaded by hand)
// next to ZYG_LAUNCH_DATA_FILE and handed on with it; a program joins the
// data file only when the file proves to be this launch's. The launcher never
// passes an inherited one on.
inline constexpr const char kEnvLaunchId[] = "ZYG_LAUNCH_ID";

// --job: the rank's job as the launcher found it in the starter's
// environment, "<starter> <job id>;<rank>;<local rank>;<ranks>;<local
// ranks>;<pid of the rank's command>" (-1 for a number the starter does not
// say). The ranks of a job on a host share one launch.
inline constexpr const char kEnvJob[] = "ZYG_LAUNCH_JOB";

// Every launch variable, in the order of the launch environment table.
inline constexpr const char* const kLaunchEnvNames[] = {
    kEnvNodes,     kEnvProcPolicy, kEnvThrdPolicy, kEnvCpuPolicy, kEnvDataFile,   kEnvLogFile,
    kEnvDebugFile, kEnvErrorFile,  kEnvLib64,      kEnvLib32,     kEnvLib32And64, kEnvOtherWrite,
    kEnvMemfree,   kEnvUnit,       kEnvMemory,     kEnvJob,
};
inline constexpr int kLaunchEnvCount = 16;

// Length limits (characters, terminator not counted).
inline constexpr int kMaxPath = 256;              // paths and node lists
inline constexpr int kMaxDataFilePath = 64;       // the launch data file path
inline constexpr int kMaxDataFileSuffix = 32767;  // ".<k>" after a data file's pid
inline constexpr int kMaxPolicyName = 64;
inline constexpr int kMaxMemfree = 40;

// The x86-64 ABI's program interpreter.
inline constexpr const char kLoader64[] = "/lib64/ld-linux-x86-64.so.2";

// Files the library creates get this mode, or kFileModeOther with -w.
inline constexpr unsigned kFileMode = 0664;
inline constexpr unsigned kFileModeOther = 0666;

}  // namespace zyg
