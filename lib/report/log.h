// log.h - the launch log shared by every process of a launched tree.
//
// The first process creates the file and writes the banner; others append.
// Each record is one line appended with a single write on an O_APPEND
// descriptor (no lock a killed writer could keep), numbered by the shared
// atomic log_entry_cnt. Formatting uses fixed
// buffers (1024 bytes for a line) and no heap.
#pragma once

#include <stddef.h>
#include <sys/uio.h>

#include "shared/log_schema.h"

namespace zyg {

struct ldata_hdr;
struct job_text;

inline constexpr size_t kLogLineSize = 1024;    // a record line, "\n" included
inline constexpr size_t kLogBannerSize = 2048;  // the banner
inline constexpr size_t kLogHeaderSize = 160;   // the column header line

// `job`: the launch of a job's ranks (--job), whose log its launcher
// started: the first process appends its banner with the job's lines
// instead of starting the file anew.
void log_open(bool first_process, const job_text* job = nullptr);
void log_record(const char* text);
// A record with one of the fixed event texts.
void log_record(log_message m);
void log_append(const char* text, size_t len);
// The parts appended with one write.
void log_append_parts(const struct iovec* parts, int count);
bool log_on();  // logging is on for this process

// A record whose event text is a, b and c joined (the copy of a report:
// "warning" ": " message), without a buffer for the joined text.
void log_record_parts(const char* a, const char* b, const char* c);

// Traces the end of the log's use in this image (the finaliser); the
// descriptor stays open for threads that still write.
void log_fini();

// One record line before formatting: the text of each column (see
// shared/log_schema.h; null is an empty column), numbers already in decimal.
// The message's text may come in more pieces, joined after it (the copy of a
// report: "warning" ": " message); an unused piece is null.
struct log_line {
  const char* text[COL_COUNT];
  const char* message_more[2];
  bool l3_units;  // the launch places by L3 domains: the L3 column is written
};

// Pure formatters (unit-tested). Return the length written (as snprintf,
// clamped to size - 1).
int format_log_banner(char* buf, size_t size, const ldata_hdr* h, const job_text* job = nullptr);
int format_log_column_header(char* buf, size_t size, bool l3_units = false);
int format_log_line(char* buf, size_t size, const log_line& line);

// Test support: forgets the per-process state (descriptor left open, the
// command line cache) as a fresh program image would start.
void log_reset_for_test();

}  // namespace zyg
