// config.h - the first process's configuration: the ZYG_LAUNCH_* variables
// read, checked and then taken out of the environment. A bad value is a
// terminating report, before the user's program runs.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "shared/names.h"
#include "shared/policy_table.h"

namespace zyg {

// The values read from the environment by the first process before the
// launch data exists; copied into its header. About 1.9 KiB: it lives on the
// stack of launch_init, which runs in the main thread of a fresh image.
struct launch_config {
  char lib64[kMaxPath + 1];
  char lib32[kMaxPath + 1];
  char lib32_64[kMaxPath + 1];
  char log_file[kMaxPath + 1];
  char launch_nodes[kMaxPath + 1];
  char proc_policy_name[kMaxPolicyName + 1];
  char thrd_policy_name[kMaxPolicyName + 1];
  char data_file[kMaxDataFilePath + 1];
  const policy_info* proc_policy;  // rows of kPolicies
  const policy_info* thrd_policy;
  int proc_kind;
  int proc_scope;
  int thrd_kind;
  int thrd_scope;
  unsigned cpu_launch;
  unsigned file_mode;
  int memfree_limit;
  unsigned log_enabled;
  unsigned unit_kind;    // UNIT_NODE or UNIT_L3 (core/ldata.h)
  uint32_t memory_mode;  // shared/memory_tiers.h
};

void clear_config(launch_config* c);
// Every launch variable into c; terminating reports for bad values.
void read_config(launch_config* c);
// From here on the launch data, not the environment, carries the
// configuration.
void remove_config_variables();

// Policy name to (kind, scope) by policy_named. Returns 0, or -1 for an
// unknown name and for a process-only policy asked for threads.
int policy_from_name(const char* value, bool thread, int* kind, int* scope);

// Validates a memfree value; 0 with *limit set, or -1.
int memfree_from_text(const char* value, int* limit);

// src into a fixed field, cut to fit and always ended.
void copy_text(char* dst, size_t size, const char* src);
// Not null and not empty.
bool has_value(const char* v);

}  // namespace zyg
