// SPDX-License-Identifier: MIT
// The dump composition: names relative to the previous leaf, over any paths and value texts.
// Input: a capacity byte, then NUL-separated strings: the container path, then leaf path and
// value text in turns.
#include <mixlink/nodes.h>

#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > mixfuzz::kMaxInput) return 0;
  const size_t capacity = data[0] == 0 ? 0 : static_cast<size_t>(data[0]) * 8;
  std::vector<std::string> parts;
  std::string cur;
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == 0) {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(static_cast<char>(data[i]));
    }
  }
  parts.push_back(cur);

  std::vector<char> text(capacity + 1, 'X');
  w_dump dump{};
  const int started = wDumpStart(&dump, parts[0].c_str(), text.data(), capacity);
  FUZZ_CHECK(started == 1 || started == -10 || started == -2);
  FUZZ_CHECK(text[capacity] == 'X');
  if (started != 1) return 0;
  FUZZ_CHECK(capacity > 0 && text[0] == '\0' && dump.length == 0);

  for (size_t i = 1; i + 1 < parts.size(); i += 2) {
    const w_dump before = dump;
    const std::string before_text(text.data(), dump.length);
    const int r = wDumpAppend(&dump, parts[i].c_str(), parts[i + 1].c_str());
    FUZZ_CHECK(r == 1 || r == -10 || r == -2);
    FUZZ_CHECK(dump.length < capacity && std::strlen(text.data()) == dump.length);
    FUZZ_CHECK(text[capacity] == 'X');
    FUZZ_CHECK(std::strlen(dump.previous) < sizeof dump.previous);
    if (r != 1) {
      // A refused entry leaves the dump as it was.
      FUZZ_CHECK(dump.length == before.length && std::string(text.data(), dump.length) == before_text);
      FUZZ_CHECK(std::strcmp(dump.previous, before.previous) == 0 && dump.depth == before.depth);
    } else {
      FUZZ_CHECK(dump.length > before.length);
      FUZZ_CHECK(std::strcmp(dump.previous, parts[i].c_str()) == 0);
    }
    char name[80];
    const int np = wDumpNamePart(before.previous, parts[i].c_str(), name, sizeof name);
    FUZZ_CHECK(np == -10 || (np >= 0 && static_cast<size_t>(np) == std::strlen(name)));
  }
  const int fin = wDumpFinish(&dump);
  FUZZ_CHECK(fin == 1 || fin == -10);
  FUZZ_CHECK(dump.length < capacity && std::strlen(text.data()) == dump.length);
  return 0;
}
