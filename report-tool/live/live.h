// live.h - --live: a running launch seen through its launch data file and
// /proc.
#pragma once

#include <ostream>
#include <string>

namespace zr {

// What --live was asked for.
struct LiveRequest {
  std::string target;      // a PID, or a data file's path
  int watch_seconds = -1;  // refresh period; -1: show once
  bool json = false;       // one JSON document (schema/live-v1.json) instead of the text
};

// Runs --live; returns the exit status (see main/main.cpp).
int run_live(const LiveRequest& req, std::ostream& out, std::ostream& err);

}  // namespace zr
