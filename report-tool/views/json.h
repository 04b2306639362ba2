// json.h - the JSON writer the documents share (the report's, schema/
// report-v1.json, and the job's, schema/job-v1.json), and the parts of the
// report's document the job's repeats: a log's input and a launch. Internal
// to the views (views/json.cpp, views/job_json.cpp).
//
// A document is written as it is produced, one value at a time, never held
// whole in memory: a launch of 100,000 tasks gives a document of tens of
// megabytes, and a tree of JSON values for it would take ten times that.
// The bytes are those nlohmann-json writes for the same document with an
// indent of 2 (members in the order of their names, its number and string
// formatting), which it still writes for each string and fractional number.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "model/report.h"

namespace zr {
namespace json {

// A pretty-printing JSON writer. Members must be given in the order of
// their names, as an object of nlohmann-json would list them. The text
// goes out in large pieces: standard output, kept in step with stdio, would
// take each small piece through a call of its own.
class JsonOut {
 public:
  explicit JsonOut(std::ostream& out) : sink_(out) { buf_.reserve(kPiece + 4096); }
  ~JsonOut() { flush(); }
  JsonOut(const JsonOut&) = delete;
  JsonOut& operator=(const JsonOut&) = delete;

  void flush() {
    sink_.write(buf_.data(), static_cast<std::streamsize>(buf_.size()));
    buf_.clear();
  }

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }

  // The start of a member of the object being written; its value follows.
  JsonOut& key(const char* name) {
    item();
    buf_ += '"';
    buf_ += name;
    buf_ += "\": ";
    pending_value_ = true;
    return *this;
  }

  void value(const std::string& s) {
    item();
    // Text from the log is whatever the programs wrote: invalid UTF-8 is
    // replaced rather than refused, so one odd command line cannot stop the report.
    buf_ += nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  void value(const char* s) { value(std::string(s)); }
  void value(long n) {
    item();
    buf_ += std::to_string(n);
  }
  void value(int n) { value(static_cast<long>(n)); }
  void value(std::size_t n) {
    item();
    buf_ += std::to_string(n);
  }
  void value(bool b) {
    item();
    buf_ += b ? "true" : "false";
  }
  void value(double d) {
    item();
    buf_ += nlohmann::json(d).dump();
  }
  void null() {
    item();
    buf_ += "null";
  }

  template <typename T>
  void array(const std::vector<T>& list) {
    begin_array();
    for (const auto& v : list) value(v);
    end_array();
  }

 private:
  // Before a value or member: the comma after the previous one and the
  // new line and indent, unless it is the value of a member just named.
  void item() {
    if (pending_value_) {
      pending_value_ = false;
      return;
    }
    if (buf_.size() >= kPiece) flush();
    if (open_.empty()) return;
    buf_ += open_.back() ? ",\n" : "\n";
    open_.back() = true;
    indent(open_.size());
  }
  void open(char c) {
    item();
    buf_ += c;
    open_.push_back(false);
  }
  // An empty container closes on its own line: "[]", "{}".
  void close(char c) {
    const bool any = open_.back();
    open_.pop_back();
    if (any) {
      buf_ += '\n';
      indent(open_.size());
    }
    buf_ += c;
  }
  void indent(std::size_t depth) { buf_.append(2 * depth, ' '); }

  static constexpr std::size_t kPiece = 1 << 16;
  std::ostream& sink_;
  std::string buf_;
  std::vector<bool> open_;  // per open container: has it a value yet
  bool pending_value_ = false;
};

// Times rounded to whole microseconds, as the log has them.
double micro(double t);
// A text that is null when empty.
void opt_text(JsonOut& j, const std::string& s);
// A CPU, null for none (-1).
void cpu_value(JsonOut& j, int cpu);

// How well a log read: {"bad_lines", "last_line_cut", "lines"}.
void input_json(JsonOut& j, const Input& in);
// One launch as report-v1.json's "launch".
void launch_json(JsonOut& j, const Launch& launch);

}  // namespace json
}  // namespace zr
