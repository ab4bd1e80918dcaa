// SPDX-License-Identifier: MIT
#include "dump_reader.h"

namespace nodetest {

namespace {

bool name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$' || c == '.';
}

// True when a name part and "=" start at i, or the dump ends there.
bool entry_or_end(const std::string& s, size_t i) {
  if (i >= s.size() || s[i] == '\n') return true;
  size_t j = i;
  while (j < s.size() && name_char(s[j])) ++j;
  return j > i && j < s.size() && s[j] == '=';
}

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || s[i] == '.') {
      if (i > start) out.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

std::string join(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : ".") + p;
  return out;
}

}  // namespace

std::vector<std::string> read_dump_paths(const std::string& container, const std::string& dump) {
  std::vector<std::string> paths;
  std::vector<std::string> group = split(container);
  size_t i = 0;
  bool first = true;
  while (i < dump.size() && dump[i] != '\n') {
    const size_t eq = dump.find('=', i);
    if (eq == std::string::npos) break;
    const std::string name = dump.substr(i, eq - i);
    size_t dots = 0;
    while (dots < name.size() && name[dots] == '.') ++dots;
    // The first entry is relative to the container itself, introduced by one dot.
    const size_t climb = first ? 0 : dots;
    std::vector<std::string> full(group.begin(),
                                  group.end() - static_cast<long>(climb > group.size() ? group.size() : climb));
    for (auto& c : split(name.substr(dots))) full.push_back(c);
    paths.push_back(join(full));
    full.pop_back();
    group = full;
    first = false;
    size_t comma = dump.find(',', eq + 1);
    while (comma != std::string::npos && !entry_or_end(dump, comma + 1)) comma = dump.find(',', comma + 1);
    if (comma == std::string::npos) break;
    i = comma + 1;
  }
  return paths;
}

}  // namespace nodetest
