// The page's process tree: nested <details>, the upper levels first, cut to
// a size a browser shows at once; what is left out is counted.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "views/html.h"
#include "views/views.h"

namespace zr {
namespace html {

namespace {

// The process tree as nested <details>: at most kTreeRows processes, the
// upper levels first, at most kTreeChildren children of each and
// kTreeDepth levels; what is left out is counted in a line of its own.
constexpr int kTreeRows = 2000, kTreeChildren = 50, kTreeDepth = 40;

std::string tree_line(const Launch& launch, const Process& p) {
  const double end = p.end < 0 ? launch.span : p.end;
  const int mem = memory_node_of(launch.banner, p.node);
  std::string s =
      std::to_string(p.pid) + " " + p.chain() + "  [node " + (p.node.empty() ? "-" : p.node) +
      (p.cpu >= 0 ? " cpu " + std::to_string(p.cpu) : "") +
      (p.l3_domain().empty() ? "" : " l3 " + p.l3_domain()) +
      (mem < 0 ? "" : " mem " + std::to_string(mem)) + "]  " + fmt_duration(end - p.start);
  if (!p.threads.empty())
    s += ", " + counted(static_cast<long>(p.threads.size()), "thread", "threads");
  if (p.subtree_size > 1)
    s += ", " + counted(p.subtree_size - 1, "process", "processes") + " below";
  return s;
}

// The processes the tree lists: level by level from the roots, so that a
// large launch shows its upper levels rather than one deep branch.
std::vector<char> listed_processes(const Launch& launch, const std::vector<int>& roots) {
  std::vector<char> listed(launch.procs.size(), 0);
  std::vector<std::pair<int, int>> level;  // (process, depth), a queue read from `next`
  int rows = 0;
  for (int root : roots)
    if (rows < kTreeRows) {
      listed[root] = 1;
      ++rows;
      level.push_back({root, 0});
    }
  for (std::size_t next = 0; next < level.size() && rows < kTreeRows; ++next) {
    const auto [proc, depth] = level[next];
    if (depth + 1 >= kTreeDepth) continue;
    const auto& children = launch.procs[proc].children;
    for (std::size_t i = 0; i < children.size() && i < kTreeChildren && rows < kTreeRows; ++i) {
      listed[children[i]] = 1;
      ++rows;
      level.push_back({children[i], depth + 1});
    }
  }
  return listed;
}

// Writes one process: a list item, with a <details> whose list the caller
// fills when it has listed children; returns whether that was opened.
bool open_process(std::ostream& out, const Launch& launch, const Process& p, bool has_listed,
                  std::size_t depth) {
  if (!has_listed) {
    out << "<li>" << esc(tree_line(launch, p)) << "</li>\n";
    return false;
  }
  out << "<li><details" << (depth < 2 ? " open" : "") << "><summary>" << esc(tree_line(launch, p))
      << "</summary><ul>\n";
  return true;
}

// The children of p that are not listed (the listed ones come first): a
// line that counts them and the processes below them.
void write_unlisted(std::ostream& out, const Launch& launch, const Process& p,
                    const std::vector<char>& listed) {
  long n = 0, below = 0;
  for (int c : p.children)
    if (!listed[c]) {
      ++n;
      below += launch.procs[c].subtree_size;
    }
  if (n > 0)
    out << "<li class=\"more\">and " << counted(n, "more child", "more children") << " ("
        << counted(below, "process", "processes") << ") not listed</li>\n";
}

}  // namespace

void write_tree(std::ostream& out, const Launch& launch) {
  write_tree(out, launch, launch.roots, "Process tree");
}

void write_tree(std::ostream& out, const Launch& launch, const std::vector<int>& roots,
                const std::string& title) {
  const std::vector<char> listed = listed_processes(launch, roots);
  auto has_listed = [&](const Process& p) {
    return !p.children.empty() && listed[p.children.front()];
  };
  struct Frame {
    int proc;
    std::size_t next;
  };
  out << "<div class=\"tree\"><h3>" << esc(title) << "</h3><ul>\n";
  for (int root : roots) {
    if (!listed[root]) continue;
    std::vector<Frame> stack;
    const Process& r = launch.procs[root];
    if (open_process(out, launch, r, has_listed(r), 0)) stack.push_back({root, 0});
    while (!stack.empty()) {
      Frame& f = stack.back();
      const Process& p = launch.procs[f.proc];
      if (f.next < p.children.size() && listed[p.children[f.next]]) {
        const Process& c = launch.procs[p.children[f.next++]];
        if (open_process(out, launch, c, has_listed(c), stack.size())) stack.push_back({c.id, 0});
        continue;
      }
      write_unlisted(out, launch, p, listed);
      out << "</ul></details></li>\n";
      stack.pop_back();
    }
  }
  out << "</ul>\n";
  const long shown = std::count(listed.begin(), listed.end(), 1);
  long in_trees = 0;
  for (int root : roots) in_trees += launch.procs[root].subtree_size;
  if (shown < in_trees)
    out << "<p class=\"more\">" << shown << " of " << in_trees << " processes listed.</p>\n";
  out << "</div>\n";
}

}  // namespace html
}  // namespace zr
