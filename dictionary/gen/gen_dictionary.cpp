// SPDX-License-Identifier: MIT
// Expands the node-tree description into the two constant tables of the dictionary.
//
//   gen_dictionary TREE OUT.cpp          write the tables, or fail with a message per problem
//   gen_dictionary TREE --report [DEPTH] print rows and leaves of every container down to DEPTH
//
// All the checking happens here so that a broken tree stops the build instead of shipping a
// table that misnames nodes on the wire. The format of TREE is described at its top.
#include <mixlink/dictionary.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dictionary/indexes.h"
#include "dictionary/node_hash.h"
#include "dictionary/relative_name.h"

namespace {

constexpr int kMaxComponents = 6;
constexpr int kMaxPathLength = 32;

struct Line {
  int number = 0;
  int indent = 0;
  std::vector<std::string> words;
  std::vector<Line> children;
};

struct Row {
  std::string path;
  uint32_t hash = 0;
  int type = 0;
  uint32_t attr = 0;
  uint32_t leaves = 0;
  bool uncounted = false;
  int line = 0;
};

int g_errors = 0;

void fail(int line, const std::string& what) {
  if (line > 0)
    std::fprintf(stderr, "nodes.tree:%d: %s\n", line, what.c_str());
  else
    std::fprintf(stderr, "nodes.tree: %s\n", what.c_str());
  ++g_errors;
}

// Splits the file into lines with indentation, dropping comments and blank lines, and nests
// every line under the nearest less-indented line above it.
std::vector<Line> read_tree(const std::string& file) {
  std::ifstream in(file);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    std::exit(1);
  }
  std::vector<Line> flat;
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    if (auto hash = text.find('#'); hash != std::string::npos) text.erase(hash);
    if (text.find('\t') != std::string::npos) {
      fail(number, "tabs are not allowed; indent with spaces");
      continue;
    }
    Line line;
    line.number = number;
    line.indent = static_cast<int>(text.find_first_not_of(' '));
    if (line.indent < 0) continue;
    std::istringstream words(text);
    for (std::string w; words >> w;) line.words.push_back(w);
    if (!line.words.empty()) flat.push_back(line);
  }
  // Nest by indentation with a stack of open parents.
  std::vector<Line> roots;
  std::vector<std::pair<int, std::vector<Line>*>> stack{{-1, &roots}};
  std::vector<Line*> last{nullptr};
  for (auto& l : flat) {
    while (stack.size() > 1 && l.indent <= stack.back().first) {
      stack.pop_back();
      last.pop_back();
    }
    Line* parent_last = last.back();
    if (parent_last && l.indent > parent_last->indent) {
      stack.push_back({parent_last->indent, &parent_last->children});
      last.push_back(nullptr);
    }
    stack.back().second->push_back(l);
    last.back() = &stack.back().second->back();
  }
  return roots;
}

// Expands one name pattern: "{1..40}", "MX{1..8}" or "{A,B,C}" give one name per item.
std::vector<std::string> expand_name(const std::string& pattern, int line) {
  auto open = pattern.find('{');
  if (open == std::string::npos) return {pattern};
  auto close = pattern.find('}', open);
  if (close == std::string::npos) {
    fail(line, "unclosed '{' in " + pattern);
    return {};
  }
  std::string head = pattern.substr(0, open), tail = pattern.substr(close + 1);
  std::string inner = pattern.substr(open + 1, close - open - 1);
  std::vector<std::string> items;
  if (auto dots = inner.find(".."); dots != std::string::npos) {
    int from = std::atoi(inner.substr(0, dots).c_str());
    int to = std::atoi(inner.substr(dots + 2).c_str());
    if (from > to) fail(line, "empty range in " + pattern);
    for (int i = from; i <= to; ++i) items.push_back(std::to_string(i));
  } else {
    std::istringstream parts(inner);
    for (std::string item; std::getline(parts, item, ',');) items.push_back(item);
  }
  std::vector<std::string> names;
  for (auto& item : items)
    for (auto& rest : expand_name(tail, line)) names.push_back(head + item + rest);
  return names;
}

struct TypeWord {
  const char* word;
  int type;
  uint32_t default_attr;
  std::set<uint32_t> allowed;
};

const std::vector<TypeWord> kTypes = {
    {"int", 1, 64, {64, 576, 66}},
    {"float", 2, 16, {49, 17, 16, 36, 32, 528, 18, 19, 96, 35, 561, 21, 97}},
    {"str", 3, 80, {80, 112, 624, 592}},
    {"slot", 4, 64, {64}},
};

class Expander {
 public:
  explicit Expander(std::vector<Line> roots) {
    for (auto& l : roots) {
      if (l.words.size() == 2 && l.words[0] == "define") {
        if (l.children.empty()) fail(l.number, "empty definition " + l.words[1]);
        if (!macros_.emplace(l.words[1], l.children).second)
          fail(l.number, "definition " + l.words[1] + " given twice");
      } else {
        top_.push_back(l);
      }
    }
  }

  std::vector<Row> run() {
    rows_.push_back({"$$unknown", 0, 0, 0, 0, false, 0});
    lines(top_, "", 0);
    return std::move(rows_);
  }

 private:
  // Emits the rows of a list of sibling lines under the container at prefix; returns the
  // number of leaves they add.
  uint32_t lines(const std::vector<Line>& list, const std::string& prefix, int depth) {
    uint32_t leaves = 0;
    for (auto& l : list) leaves += line(l, prefix, depth);
    return leaves;
  }

  uint32_t line(const Line& l, const std::string& prefix, int depth) {
    if (l.words[0] == "use") {
      if (l.words.size() != 2) {
        fail(l.number, "use takes one definition name");
        return 0;
      }
      auto it = macros_.find(l.words[1]);
      if (it == macros_.end()) {
        fail(l.number, "unknown definition " + l.words[1]);
        return 0;
      }
      if (!l.children.empty()) fail(l.number, "use has no children");
      if (++nesting_ > 16) {
        fail(l.number, "definitions nest too deeply");
        return 0;
      }
      uint32_t n = lines(it->second, prefix, depth);
      --nesting_;
      return n;
    }
    // Words: names..., then a type word and an optional attribute, or "uncounted".
    std::vector<std::string> names;
    const TypeWord* type = nullptr;
    bool uncounted = false;
    uint32_t attr = 0;
    bool attr_given = false;
    for (auto& w : l.words) {
      auto t = std::find_if(kTypes.begin(), kTypes.end(), [&](const TypeWord& tw) { return w == tw.word; });
      if (t != kTypes.end()) {
        if (type) fail(l.number, "two type words");
        type = &*t;
      } else if (w == "uncounted") {
        uncounted = true;
      } else if (type) {
        if (attr_given || w.find_first_not_of("0123456789") != std::string::npos)
          fail(l.number, "unexpected word after the type: " + w);
        attr = static_cast<uint32_t>(std::strtoul(w.c_str(), nullptr, 10));
        attr_given = true;
      } else {
        for (auto& n : expand_name(w, l.number)) names.push_back(n);
      }
    }
    if (names.empty()) fail(l.number, "a line needs at least one name");
    uint32_t leaves = 0;
    if (type) {
      if (!l.children.empty()) fail(l.number, "a leaf cannot have children");
      if (uncounted) fail(l.number, "only containers can be uncounted");
      if (!attr_given) attr = type->default_attr;
      if (!type->allowed.count(attr))
        fail(l.number, "attribute " + std::to_string(attr) + " is not one of type " + type->word);
      for (auto& n : names) {
        rows_.push_back({prefix + n, 0, type->type, attr, 0, false, l.number});
        ++leaves;
      }
      return leaves;
    }
    if (l.children.empty()) fail(l.number, "container " + names.front() + " is empty");
    for (auto& n : names) {
      size_t at = rows_.size();
      rows_.push_back({prefix + n, 0, 0, 0, 0, uncounted, l.number});
      uint32_t below = lines(l.children, prefix + n + ".", depth + 1);
      if (below == 0) fail(l.number, "container " + prefix + n + " has no leaves");
      rows_[at].leaves = uncounted ? 0 : below;
      leaves += below;
    }
    return leaves;
  }

  std::map<std::string, std::vector<Line>> macros_;
  std::vector<Line> top_;
  std::vector<Row> rows_;
  int nesting_ = 0;
};

bool valid_path(const std::string& p) {
  if (p.empty() || p.size() > kMaxPathLength) return false;
  int components = 1;
  char prev = '.';
  for (char c : p) {
    if (c == '.') {
      if (prev == '.') return false;
      ++components;
    } else if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                 c == '$')) {
      return false;
    }
    prev = c;
  }
  return prev != '.' && components <= kMaxComponents;
}

void check(std::vector<Row>& rows) {
  if (static_cast<int>(rows.size()) != wds_imax)
    fail(0, "the tree has " + std::to_string(rows.size()) + " rows, the console has " + std::to_string(wds_imax));
  std::map<uint32_t, size_t> seen;
  const uint32_t sentinel_hash = mixlink::dict::node_hash("$$unknown", 9);
  uint32_t zero_leaf_rows = 0;
  for (size_t i = 1; i < rows.size(); ++i) {
    auto& r = rows[i];
    if (!valid_path(r.path)) fail(r.line, "bad path " + r.path);
    r.hash = mixlink::dict::node_hash(r.path.c_str(), static_cast<int>(r.path.size()));
    if (r.hash == 0 || r.hash == sentinel_hash) fail(r.line, "path " + r.path + " hashes like the sentinel");
    auto [it, fresh] = seen.emplace(r.hash, i);
    if (!fresh) fail(r.line, "path " + r.path + " has the same hash as " + rows[it->second].path + "; rename one");
    if (r.leaves == 0) ++zero_leaf_rows;
  }
  rows[0].leaves = zero_leaf_rows;
}

std::string hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08Xu", v);
  return b;
}

// The first row after each row's subtree: rows stand in pre-order, so a subtree is the run of
// rows below its root's path.
std::vector<size_t> subtree_ends(const std::vector<Row>& rows) {
  std::vector<size_t> end(rows.size());
  for (size_t t = 0; t < rows.size(); ++t) {
    size_t e = t + 1;
    if (rows[t].type == 0) {
      const std::string prefix = rows[t].path + ".";
      while (e < rows.size() && rows[e].path.compare(0, prefix.size(), prefix) == 0) ++e;
    }
    end[t] = e;
  }
  return end;
}

// The leaves in rows 0 to t - 1, for t up to and including the row count.
std::vector<size_t> leaves_before(const std::vector<Row>& rows) {
  std::vector<size_t> before(rows.size() + 1, 0);
  for (size_t t = 0; t < rows.size(); ++t) before[t + 1] = before[t] + (rows[t].type != 0);
  return before;
}

// Writes the numbers as the body of a C array, `per_line` to a line.
template <typename Numbers>
void put_numbers(std::string& out, const Numbers& numbers, size_t per_line) {
  for (size_t i = 0; i < numbers.size(); ++i) out += std::to_string(numbers[i]) + (i % per_line == per_line - 1 ? ",\n" : ",");
  out += "\n};\n";
}

// The perfect hash of every hash but row 0's (which is answered without the index): buckets
// from the fullest down, each given the first displacement that puts all its hashes into free
// slots of their own.
void write_hash_index(const std::vector<std::pair<uint32_t, uint32_t>>& order, std::string& out) {
  namespace dict = mixlink::dict;
  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> buckets(dict::kBuckets);
  for (auto& [h, t] : order)
    if (h != 0) buckets[dict::bucket_of(h)].push_back({h, t});
  std::vector<uint32_t> by_size(dict::kBuckets);
  for (uint32_t b = 0; b < by_size.size(); ++b) by_size[b] = b;
  std::stable_sort(by_size.begin(), by_size.end(),
                   [&](uint32_t a, uint32_t b) { return buckets[a].size() > buckets[b].size(); });
  std::vector<std::pair<uint32_t, uint32_t>> slots(dict::kSlots, {0u, 0u});
  std::vector<uint16_t> displacement(dict::kBuckets, 0);
  for (uint32_t b : by_size) {
    if (buckets[b].empty()) break;
    bool placed = false;
    for (uint32_t d = 0; d <= 0xFFFF && !placed; ++d) {
      std::vector<uint32_t> taken;
      for (auto& [h, t] : buckets[b]) {
        const uint32_t s = dict::slot_of(h, static_cast<uint16_t>(d));
        if (slots[s].first != 0 || std::find(taken.begin(), taken.end(), s) != taken.end()) break;
        taken.push_back(s);
      }
      if (taken.size() != buckets[b].size()) continue;
      for (size_t i = 0; i < taken.size(); ++i) slots[taken[i]] = buckets[b][i];
      displacement[b] = static_cast<uint16_t>(d);
      placed = true;
    }
    if (!placed) {
      std::fprintf(stderr, "nodes.tree: no displacement places hash bucket %u; widen kSlots\n", b);
      std::exit(1);
    }
  }
  out += "const uint16_t mixlink::dict::displacement[mixlink::dict::kBuckets] = {\n";
  put_numbers(out, displacement, 16);
  out += "\nconst w_hash_token mixlink::dict::hash_slots[mixlink::dict::kSlots] = {\n";
  for (size_t i = 0; i < slots.size(); ++i)
    out += "{" + hex(slots[i].first) + "," + std::to_string(slots[i].second) + (i % 4 == 3 ? "u},\n" : "u},");
  out += "\n};\n";
}

// The subtree tables and the dump's name of every leaf right after the leaf before it in the
// table, as a reply lists them (a leaf with no leaf before it keeps zeros, which are never used).
void write_shape(const std::vector<Row>& rows, std::string& out) {
  static_assert(wds_imax <= 0xFFFF, "row numbers no longer fit the 16-bit subtree tables");
  out += "\nconst uint16_t mixlink::dict::subtree_end[wds_imax] = {\n";
  put_numbers(out, subtree_ends(rows), 16);
  out += "\nconst uint16_t mixlink::dict::leaves_before[wds_imax + 1] = {\n";
  put_numbers(out, leaves_before(rows), 16);
  out += "\nconst mixlink::dict::name_step mixlink::dict::leaf_name_step[wds_imax] = {\n";
  size_t previous_leaf = 0;
  for (size_t t = 0; t < rows.size(); ++t) {
    mixlink::dict::NamePlan p{0, 0, 0, 0};
    if (rows[t].type != 0 && previous_leaf != 0) p = mixlink::dict::plan_name(rows[previous_leaf].path.c_str(), rows[t].path.c_str());
    if (rows[t].type != 0) previous_leaf = t;
    out += "{" + std::to_string(p.dots) + "," + std::to_string(p.rest) + "," + std::to_string(p.length) + "," +
           std::to_string(p.depth) + (t % 8 == 7 ? "},\n" : "},");
  }
  out += "\n};\n";
}

void write(const std::vector<Row>& rows, const std::string& out_file) {
  std::vector<std::pair<uint32_t, uint32_t>> order;
  for (size_t i = 0; i < rows.size(); ++i) order.push_back({rows[i].hash, static_cast<uint32_t>(i)});
  std::sort(order.begin(), order.end());
  std::string out;
  out.reserve(rows.size() * 64);
  out += "// Generated from dictionary/nodes.tree by gen_dictionary; edit the tree, not this file.\n";
  out += "#include <mixlink/dictionary.h>\n\n#include \"dictionary/indexes.h\"\n\n";
  out += "const w_node wingdataset[wds_imax] = {\n";
  for (auto& r : rows) {
    out += "{\"" + r.path + "\"," + hex(r.hash) + "," + std::to_string(r.type) + "," + std::to_string(r.attr) +
           "u," + std::to_string(r.leaves) + "u},\n";
  }
  out += "};\n\nconst w_hash_token wingordereddataset[wrds_imax] = {\n";
  for (auto& [h, t] : order) out += "{" + hex(h) + "," + std::to_string(t) + "u},\n";
  out += "};\n\n";
  write_hash_index(order, out);
  write_shape(rows, out);
  std::string tmp = out_file + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary);
    f << out;
    if (!f) {
      std::fprintf(stderr, "cannot write %s\n", tmp.c_str());
      std::exit(1);
    }
  }
  if (std::rename(tmp.c_str(), out_file.c_str()) != 0) {
    std::fprintf(stderr, "cannot write %s\n", out_file.c_str());
    std::exit(1);
  }
}

// Prints rows and leaves (true and stored) of each container down to depth, and the totals
// by type: the numbers a person tuning the tree compares with the console's.
void report(const std::vector<Row>& rows, int max_depth) {
  std::vector<int> by_type(5);
  int uncounted = 0;
  for (size_t i = 1; i < rows.size(); ++i) {
    ++by_type[rows[i].type];
    if (rows[i].uncounted) ++uncounted;
  }
  const std::vector<size_t> end = subtree_ends(rows);
  const std::vector<size_t> before = leaves_before(rows);
  std::printf("rows %zu  containers %d  int %d  float %d  str %d  slot %d  uncounted %d  zero-leaf rows %u\n",
              rows.size(), by_type[0], by_type[1], by_type[2], by_type[3], by_type[4], uncounted, rows[0].leaves);
  for (size_t i = 1; i < rows.size(); ++i) {
    auto& r = rows[i];
    if (r.type != 0) continue;
    int depth = static_cast<int>(std::count(r.path.begin(), r.path.end(), '.'));
    if (depth > max_depth) continue;
    std::printf("%6zu %-32s rows %5zu leaves %5zu\n", i, r.path.c_str(), end[i] - i, before[end[i]] - before[i]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: gen_dictionary TREE OUT.cpp | gen_dictionary TREE --report [DEPTH]\n");
    return 2;
  }
  Expander expander(read_tree(argv[1]));
  std::vector<Row> rows = expander.run();
  check(rows);
  if (std::string(argv[2]) == "--report") {
    report(rows, argc > 3 ? std::atoi(argv[3]) : 1);
    return g_errors ? 1 : 0;
  }
  if (g_errors) {
    std::fprintf(stderr, "nodes.tree: %d problem(s); no tables written\n", g_errors);
    return 1;
  }
  write(rows, argv[2]);
  return 0;
}
