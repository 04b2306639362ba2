// policy_table.h - the placement policies by name: what each one is (its
// kind and scope), what it may be given to, and the rules of combination
// with the texts start-up and --plan give when a rule is broken.
//
// Everything that names the policies reads this table: start-up's checks,
// the launcher's usage text, the report tool's --plan, and the bash
// completions and the tests' list of names, which the build writes from it
// (report-tool/completion). A new policy of an existing kind and scope is one
// row here; a new kind also needs its cursor moves in placement/policy.cpp.
// Pure constants: no state, usable from the library, the launcher and the
// report tool.
#pragma once

namespace zyg {

// Stored in the launch data header (proc_kind/thrd_kind, proc_scope/
// thrd_scope): the numbers are part of the file's layout.
enum policy_kind { KIND_NONE = 0, KIND_RR = 1, KIND_FF = 2, KIND_PACK = 3, KIND_MEMFREE = 4 };
// Kinds are numbered from 0 without a gap; tables indexed by kind have this
// many rows.
inline constexpr unsigned kKindCount = KIND_MEMFREE + 1;
enum policy_scope { SCOPE_FLAT = 10, SCOPE_TREE = 11, SCOPE_RR_PACK = 12 };

struct policy_info {
  const char* name;
  policy_kind kind;
  policy_scope scope;
  // Refused as a thread policy.
  bool process_only;
  // Allows no thread policy and no CPU launch beside it: the children it
  // places run on without the library, so nothing would place their threads
  // or move them to one CPU.
  bool alone;
  // --plan can work it out ahead. The memfree policies cannot: they choose
  // by the free memory at the moment of each creation.
  bool plannable;
};

// In the order the usage text and the completions list them.
inline constexpr policy_info kPolicies[] = {
    {"rr_tree", KIND_RR, SCOPE_TREE, false, false, true},
    {"rr_flat", KIND_RR, SCOPE_FLAT, false, false, true},
    {"ff_tree", KIND_FF, SCOPE_TREE, false, false, true},
    {"ff_flat", KIND_FF, SCOPE_FLAT, false, false, true},
    {"pack", KIND_PACK, SCOPE_FLAT, false, false, true},
    {"rr_pack", KIND_RR, SCOPE_RR_PACK, true, true, true},
    {"memfree_tree", KIND_MEMFREE, SCOPE_TREE, false, false, false},
    {"memfree_flat", KIND_MEMFREE, SCOPE_FLAT, false, false, false},
    {"none", KIND_NONE, SCOPE_FLAT, false, false, true},
};

// A rule of combination and what is said when it is broken: `startup` is the
// text of start-up's terminating report, `plan` the reason --plan gives.
// Where a text holds %s, it is the process policy's name.
struct policy_rule {
  const char* startup;
  const char* plan;
};

inline constexpr policy_rule kRuleAloneThreads = {
    "Thread launch policies cnnot be used with the %s process launch policy\n",
    "%s cannot be combined with a thread policy"};
inline constexpr policy_rule kRuleAloneCpu = {"CPU launch cnnot be used with the %s policy\n",
                                              "CPU launch cannot be used with the %s policy"};
inline constexpr policy_rule kRuleCpuNeedsPolicy = {
    "CPU launch requires that a process or thread launch policy be specified",
    "CPU launch needs a process or a thread policy"};
// A memory mode other than local acts on the tasks placed on one node or
// domain: without a process or a thread policy no task is, and every page
// would stay where it is without the option.
inline constexpr policy_rule kRuleMemoryNeedsPolicy = {
    "--memory other than local requires a process or thread launch policy: no task is placed on "
    "one node without one, and its memory would stay local",
    "--memory other than local needs a process or a thread policy: no task is placed on one node "
    "without one"};
// Start-up accepts these; only --plan refuses them.
inline constexpr policy_rule kRuleNotPlannable = {
    nullptr,
    "the memfree policies choose by the free memory at the moment of each creation: no plan for "
    "them"};

// The rule a process and a thread policy break together, or null. Start-up
// checks it as soon as it has read both.
constexpr const policy_rule* pair_refused(const policy_info& proc, const policy_info& thrd) {
  return proc.alone && thrd.kind != KIND_NONE ? &kRuleAloneThreads : nullptr;
}

// The rule CPU launch breaks with these policies, or null.
constexpr const policy_rule* cpu_launch_refused(const policy_info& proc, const policy_info& thrd) {
  if (proc.alone) return &kRuleAloneCpu;
  if (proc.kind == KIND_NONE && thrd.kind == KIND_NONE) return &kRuleCpuNeedsPolicy;
  return nullptr;
}

// The rule a memory mode other than local breaks with these policies, or null.
constexpr const policy_rule* memory_mode_refused(const policy_info& proc, const policy_info& thrd) {
  return proc.kind == KIND_NONE && thrd.kind == KIND_NONE ? &kRuleMemoryNeedsPolicy : nullptr;
}

// The policy of a name; an absent or empty name is "none". Null for an
// unknown name, and for a process-only policy asked for threads.
const policy_info* policy_named(const char* name, bool thread);

}  // namespace zyg
