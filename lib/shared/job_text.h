// job_text.h - the rank's job as the launcher hands it to the library in
// ZYG_LAUNCH_JOB (--job): "<starter> <job id>;<rank>;<local rank>;<ranks>;
// <local ranks>;<pid of the rank's command>", -1 for a number the starter
// does not say. Written by the launcher, read by start-up for the log's
// banner and the rank's record. No allocation.
#pragma once

#include <stddef.h>

namespace zyg {

struct job_text {
  char name[128];  // "<starter> <job id>"
  long rank;
  long local_rank;
  long size;
  long local_size;
  long pid;
};

// The value into out (cut to size); the length of the whole value.
size_t format_job_text(char* out, size_t size, const job_text& job);
// True when text is such a value.
bool parse_job_text(const char* text, job_text* out);

}  // namespace zyg
