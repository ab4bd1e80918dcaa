// SPDX-License-Identifier: MIT
// The one-pass name composition of the dump against the rules spelled out step by step (the
// first implementation, kept here as the reference): every pair of neighbouring rows, every row
// after its own container, random pairs of rows, and random dotted strings with empty components.
#include <gtest/gtest.h>

#include <mixlink/dictionary.h>
#include <mixlink/nodes.h>

#include <cstring>
#include <random>
#include <string>

namespace {

int count_dots(const char* s) {
  int n = 0;
  for (; *s; ++s) n += *s == '.';
  return n;
}

size_t parent_length(const char* s) {
  const char* dot = std::strrchr(s, '.');
  return dot ? static_cast<size_t>(dot - s) : 0;
}

std::string reference_name(const char* previous, const char* path) {
  const int dp = count_dots(previous);
  const int dq = count_dots(path);
  const size_t lp = std::strlen(previous);
  const size_t lq = std::strlen(path);
  size_t k = 0;
  while (k < lp && k < lq && previous[k] == path[k]) ++k;
  auto inside = [k](const char* s, size_t n) { return k > 0 && k < n && s[k - 1] != '.' && s[k] != '.'; };
  if (inside(path, lq) || inside(previous, lp)) {
    while (k > 0 && path[k - 1] != '.') --k;
  }
  size_t group = k;
  while (group > 0 && path[group - 1] != '.') --group;
  if (group > 0) --group;
  const int r = count_dots(previous + k);
  int dots = 0;
  const char* rest;
  if (dq > dp) {
    dots = r;
    rest = path + k;
  } else if (dq == dp && parent_length(path) == parent_length(previous) &&
             std::strncmp(path, previous, parent_length(path)) == 0) {
    const char* last = std::strrchr(path, '.');
    rest = last ? last + 1 : path;
  } else {
    dots = r > 0 ? r - 1 : 0;
    rest = path + group;
  }
  return std::string(static_cast<size_t>(dots), '.') + rest;
}

int check(const char* previous, const char* path) {
  char name[256];
  const int n = wDumpNamePart(previous, path, name, sizeof name);
  const std::string want = reference_name(previous, path);
  if (n == static_cast<int>(want.size()) && want == name) return 0;
  ADD_FAILURE() << '"' << previous << "\" then \"" << path << "\": " << (n < 0 ? "<fails>" : name)
                << " against " << want;
  return 1;
}

}  // namespace

TEST(DumpNameEquivalence, DictionaryPathsNameAsTheStepwiseRulesSay) {
  int wrong = 0;
  for (int t = 1; t + 1 < wds_imax && wrong < 10; ++t) {
    wrong += check(wingdataset[t].path, wingdataset[t + 1].path);
    wrong += check(wingdataset[t + 1].path, wingdataset[t].path);
  }
  // Each row after the container it sits in, as the first entry of a dump is.
  for (int t = 1; t < wds_imax && wrong < 10; ++t) {
    const std::string p = wingdataset[t].path;
    const size_t dot = p.rfind('.');
    if (dot != std::string::npos) wrong += check(p.substr(0, dot).c_str(), p.c_str());
  }
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> row(0, wds_imax - 1);
  for (int i = 0; i < 100000 && wrong < 10; ++i) wrong += check(wingdataset[row(rng)].path, wingdataset[row(rng)].path);
  EXPECT_EQ(wrong, 0);
}

TEST(DumpNameEquivalence, OddStringsNameAsTheStepwiseRulesSay) {
  // Short strings over a tiny alphabet reach leading, trailing and doubled dots, shared
  // prefixes ending inside components, empty strings and identical strings.
  std::mt19937 rng(5);
  const char alphabet[] = "ab1.";
  auto random_path = [&] {
    std::string s(rng() % 9, 'a');
    for (char& c : s) c = alphabet[rng() % 4];
    return s;
  };
  int wrong = 0;
  for (int i = 0; i < 200000 && wrong < 10; ++i) {
    const std::string a = random_path();
    const std::string b = rng() % 4 == 0 ? a + random_path() : random_path();
    wrong += check(a.c_str(), b.c_str()) + check(b.c_str(), a.c_str());
  }
  EXPECT_EQ(wrong, 0);
}
