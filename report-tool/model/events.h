// events.h - what a record's event text tells: the start or end of a
// process, a thread or a program image, a main thread placed, a call that
// starts a program, a created task; by the library's own texts and kinds
// (shared/log_schema.h), never by a copy of them.
#pragma once

#include <string>

#include "model/launch.h"
#include "shared/log_schema.h"

namespace zr {

bool starts_with(const std::string& s, const char* p);
const char* text_of(zyg::log_message m);

bool is_process_start(const std::string& m);
bool is_thread_start(const std::string& m);
bool is_main_thread(const std::string& m);
bool is_thread_end(const std::string& m);
bool is_process_end(const std::string& m);

// "posix_spawn(/bin/ls)", "system(make -j4)": a call that starts a program in
// a new process.
bool is_start_call(const std::string& m);

// "execve(/bin/ls)", optionally behind a refusal prefix: the call, its file
// and the refusal into e; false for any other text.
bool parse_exec(const std::string& m, ExecStep& e);

// The records of a posix_spawn: written while the calling thread is bound
// where its child goes, so their Node and CPU are the child's, not the
// caller's.
bool written_for_a_spawn(const std::string& m);

// "Job rank 3 of 8 (local 1)", either part in brackets or after "of" left
// out where the starter does not say it: the numbers into out (those left
// out -1); false for any other text.
bool parse_job_rank(const std::string& m, RankOf& out);

// "Created PID 4242" with prefix "Created PID ": the number into v.
bool parse_count(const std::string& m, const char* prefix, long& v);

}  // namespace zr
