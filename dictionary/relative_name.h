// SPDX-License-Identifier: MIT
// The relative names of the container dump: how the name of a leaf is made from its path and the
// path before it. The table generator stores the plan of every leaf after the leaf before it; the
// dump composition plans the others as it goes.
#pragma once

#include <cstddef>
#include <cstring>

namespace mixlink::dict {

// How the name of path after previous is made: `dots` dots, then path from offset `rest` on.
struct NamePlan {
  size_t dots;
  size_t rest;
  size_t length;  // of path
  int depth;      // "." in path
};

inline constexpr size_t kNoDot = static_cast<size_t>(-1);

// Runs from s[from] to the end of s, counting its dots into dots and noting the last in last_dot;
// returns the length of s.
inline size_t scan_dots(const char* s, size_t from, size_t& last_dot, int& dots) {
  for (; s[from] != '\0'; ++from) {
    if (s[from] == '.') {
      last_dot = from;
      ++dots;
    }
  }
  return from;
}

// One pass over both paths. The name is the part of path below the deepest container the two
// share, led by one dot per level to climb from previous: a deeper path continues from the common
// prefix, a sibling in the same container is its last component alone, and any other path goes
// back to the common prefix's last "." with one dot fewer.
inline NamePlan plan_name(const char* previous, const char* path) {
  size_t k = 0;  // common prefix
  size_t prefix_last_dot = kNoDot;
  int prefix_dots = 0;
  for (; previous[k] != '\0' && previous[k] == path[k]; ++k) {
    if (path[k] == '.') {
      prefix_last_dot = k;
      ++prefix_dots;
    }
  }
  int r = 0;  // "." in previous after the common prefix
  size_t previous_last_dot = prefix_last_dot;
  const size_t lp = scan_dots(previous, k, previous_last_dot, r);
  int dq = prefix_dots;
  size_t path_last_dot = prefix_last_dot;
  const size_t lq = scan_dots(path, k, path_last_dot, dq);
  const int dp = prefix_dots + r;
  const size_t common = k;
  // A prefix that stops inside a component ("ch.1" of "ch.10" and "ch.11") would make the name
  // resume mid-component and read back as another node: count it back to the component start.
  auto inside = [k](const char* s, size_t n) { return k > 0 && k < n && s[k - 1] != '.' && s[k] != '.'; };
  if (inside(path, lq) || inside(previous, lp)) k = prefix_last_dot == kNoDot ? 0 : prefix_last_dot + 1;
  const size_t group = prefix_last_dot == kNoDot ? 0 : prefix_last_dot;  // the prefix cut at its last "."

  auto parent = [](size_t last_dot) { return last_dot == kNoDot ? 0 : last_dot; };
  NamePlan plan{0, 0, lq, dq};
  if (dq > dp) {
    plan.dots = static_cast<size_t>(r);
    plan.rest = k;
  } else if (dq == dp && parent(path_last_dot) == parent(previous_last_dot) && common >= parent(path_last_dot)) {
    plan.rest = path_last_dot == kNoDot ? 0 : path_last_dot + 1;
  } else {
    plan.dots = r > 0 ? static_cast<size_t>(r - 1) : 0;
    plan.rest = group;
  }
  return plan;
}

inline size_t name_length(const NamePlan& plan) { return plan.dots + (plan.length - plan.rest); }

inline void put_name(char* out, const NamePlan& plan, const char* path) {
  std::memset(out, '.', plan.dots);
  std::memcpy(out + plan.dots, path + plan.rest, plan.length - plan.rest);
}

}  // namespace mixlink::dict
