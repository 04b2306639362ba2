// tree.h - the records of one launch turned into its processes and threads:
// who created whom (by the "Created PID" records, else the parent PID),
// each process's threads, exec chain and end, and where each task was when
// it wrote each record. Internal to the model (model/build.cpp).
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/launch.h"

namespace zr {

// What the entry numbers say about the section as a whole.
struct EntryCheck {
  long duplicates = 0;
  long highest = 0;
};

// The records of one launch turned into processes and threads, one record
// at a time in entry order.
struct TreeBuilder {
  Launch& launch;
  std::unordered_map<long, std::vector<std::pair<long, long>>>
      creators;                           // child pid -> (entry, creator pid)
  std::unordered_map<long, int> current;  // pid -> its process now (PIDs can be reused)
  // TID -> (process, index in its threads) of the latest thread started with
  // that TID, so that an end record finds its thread at once however many
  // threads the process has.  A TID is reused only after its thread is gone,
  // so an end belongs to the latest start.
  std::unordered_map<long, std::pair<int, std::size_t>> thread_of_tid;
  std::vector<std::string> reported;  // the first five copies of reports and unknown records

  // A child's start can come before its parent's "Created PID" record, so
  // the creators are collected before any record is applied.
  EntryCheck collect_creators(const std::vector<const Record*>& recs);
  void apply(const Record& r);

  int creator_of(long pid, long entry, long ppid) const;
  Process& new_process(const Record& r, const std::string& how);
  Process* alive(long pid);
  Process& owner_of(const Record& r);
  void exec_started(const Record& r, Process* p);
  void apply_event(const Record& r, Process& p);
  void observe(const Record& r, Process& p, bool by_policy);
  void thread_started(const Record& r, Process& p);
  void thread_ended(const Record& r, Process& p);
  void exec_called(Process& p, ExecStep e);
};

// Entry numbers give the order in which records were taken; the file order
// can differ by a little.
std::vector<const Record*> in_entry_order(const Section& section);
// Ends that the log does not show; returns the processes that never ended.
std::vector<long> settle_ends(Launch& launch);
// Children under their creators, roots, and every subtree's size.
void link_tree(Launch& launch);

}  // namespace zr
