// job_text.cpp - ZYG_LAUNCH_JOB's value.
#include "shared/job_text.h"

#include <stdio.h>
#include <string.h>

namespace zyg {

namespace {

// A decimal number, -1 allowed.
bool read_field(const char** p, long* v) {
  const char* s = *p;
  bool negative = *s == '-';
  if (negative) ++s;
  if (*s < '0' || *s > '9') return false;
  long x = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    if (x > 100000000000L) return false;
    x = x * 10 + (*s - '0');
  }
  *v = negative ? -x : x;
  *p = s;
  return true;
}

}  // namespace

size_t format_job_text(char* out, size_t size, const job_text& job) {
  int n = snprintf(out, size, "%s;%ld;%ld;%ld;%ld;%ld", job.name, job.rank, job.local_rank,
                   job.size, job.local_size, job.pid);
  return n < 0 ? 0 : (size_t)n;
}

bool parse_job_text(const char* text, job_text* out) {
  if (text == nullptr) return false;
  const char* semi = strchr(text, ';');
  if (semi == nullptr || semi == text || (size_t)(semi - text) >= sizeof out->name) return false;
  job_text j;
  memcpy(j.name, text, (size_t)(semi - text));
  j.name[semi - text] = '\0';
  const char* p = semi + 1;
  long* fields[] = {&j.rank, &j.local_rank, &j.size, &j.local_size, &j.pid};
  const int count = (int)(sizeof fields / sizeof fields[0]);
  for (int i = 0; i < count; ++i) {
    if (!read_field(&p, fields[i])) return false;
    if (*p != (i + 1 < count ? ';' : '\0')) return false;
    if (i + 1 < count) ++p;
  }
  if (j.pid <= 0) return false;
  *out = j;
  return true;
}

}  // namespace zyg
