// views.h - the report's forms, all drawn from the same model (model/report.h)
// and reading nothing else: the text for a person, the JSON document for
// scripts (schema/report-v1.json), the page with its timeline; and the same
// three of a job (model/job.h: schema/job-v1.json, a page section per host).
#pragma once

#include <ostream>
#include <string>

#include "model/job.h"
#include "model/report.h"

namespace zr {

struct TextOptions {
  int depth = -1;        // deepest tree level shown (0 = the first process only); -1 for all
  int top = -1;          // children shown per process, largest subtrees first; -1 for all
  bool expand = false;   // no grouping of alike leaf processes, every thread on its own line
  bool summary = false;  // settings, per-node table and warnings only: no process tree
};

void write_text(std::ostream& out, const Report& rep, const TextOptions& opt);
void write_json(std::ostream& out, const Report& rep);
void write_html(std::ostream& out, const Report& rep, bool per_cpu);

void write_text(std::ostream& out, const Job& job, const TextOptions& opt);
void write_json(std::ostream& out, const Job& job);
void write_html(std::ostream& out, const Job& job, bool per_cpu);

// Small helpers shared by the forms.
std::string fmt_duration(double seconds);
std::string end_text(EndKind kind, const std::string& how);

}  // namespace zr
