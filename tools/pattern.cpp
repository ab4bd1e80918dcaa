// SPDX-License-Identifier: MIT
#include "pattern.h"

#include <cstddef>

namespace mixtool {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Matches c against the set that starts after the [ at pattern[at]; stores in *next the position
// after its ]. False with *next = 0 when the set is not closed.
bool in_set(std::string_view pattern, size_t at, char c, size_t* next) {
  size_t i = at + 1;
  const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
  if (negated) ++i;
  bool found = false;
  for (bool first = true; i < pattern.size() && (first || pattern[i] != ']'); first = false) {
    char low = pattern[i];
    if (low == '\\' && i + 1 < pattern.size()) low = pattern[++i];
    char high = low;
    if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
      high = pattern[i + 2];
      i += 2;
    }
    if (lower(low) <= lower(c) && lower(c) <= lower(high)) found = true;
    ++i;
  }
  if (i >= pattern.size()) {
    *next = 0;
    return false;
  }
  *next = i + 1;
  return found != negated;
}

}  // namespace

bool path_matches(std::string_view pattern, std::string_view path) {
  // Iterative with one back-track point: the last * seen, so the match is linear in practice and
  // never recursive, whatever the pattern.
  size_t p = 0, s = 0;
  size_t star = std::string_view::npos, star_s = 0;
  while (s < path.size()) {
    bool step = false;
    size_t next = p + 1;
    if (p < pattern.size()) {
      const char c = pattern[p];
      if (c == '*') {
        star = p++;
        star_s = s;
        continue;
      }
      if (c == '?') {
        step = true;
      } else if (c == '[') {
        size_t after = 0;
        step = in_set(pattern, p, path[s], &after);
        if (after == 0) step = path[s] == '[';  // not closed: a plain [
        else next = after;
      } else if (c == '\\' && p + 1 < pattern.size()) {
        step = lower(pattern[p + 1]) == lower(path[s]);
        next = p + 2;
      } else {
        step = lower(c) == lower(path[s]);
      }
    }
    if (step) {
      p = next;
      ++s;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      s = ++star_s;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace mixtool
