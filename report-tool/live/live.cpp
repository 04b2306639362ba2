#include "live/live.h"

#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "live/view.h"

namespace zr {

namespace {

using namespace live;

// One view of the launch; `ended` is set when no process of it is left.
int show_once(const Target& t, bool json, bool shown, std::ostream& out, std::ostream& err,
              bool& ended) {
  View v;
  if (int rc = take_view(t, shown, err, v, ended); rc != kOk) return rc;
  if (json)
    write_live_json(out, v);
  else
    write_live_text(out, v);
  return kOk;
}

}  // namespace

int run_live(const LiveRequest& req, std::ostream& out, std::ostream& err) {
  const Target target = resolve_target(req.target);
  const bool tty = isatty(STDOUT_FILENO);
  bool ended = false;
  int rc = show_once(target, req.json, false, out, err, ended);
  if (req.watch_seconds < 0 || rc != kOk) return rc;
  for (;;) {
    out.flush();
    std::this_thread::sleep_for(std::chrono::seconds(req.watch_seconds));
    if (tty)
      out << "\033[H\033[2J";
    else
      out << "\n";
    std::ostringstream frame;
    std::ostringstream quiet;  // the end of the launch is the normal end of watching
    rc = show_once(target, req.json, true, frame, quiet, ended);
    out << frame.str();
    if (ended || rc == kNotRunning) {
      out << "launch ended\n";
      return kOk;
    }
    if (rc != kOk) return rc;
  }
}

}  // namespace zr
