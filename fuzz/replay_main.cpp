// SPDX-License-Identifier: MIT
// Standalone runner for the normal build: feeds every file named on the command line (or found in
// a named folder) through the harness's entry function, so the corpus and every kept crash are
// replayed by ctest without libFuzzer. A failed check aborts, which fails the test.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

bool replay(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // An empty vector's data() may be null; the harnesses get a valid pointer either way.
  static const uint8_t empty = 0;
  LLVMFuzzerTestOneInput(bytes.empty() ? &empty : bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int files = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    if (fs::is_directory(arg)) {
      for (const auto& entry : fs::recursive_directory_iterator(arg)) {
        if (!entry.is_regular_file() || entry.path().filename().string().front() == '.') continue;
        ok = replay(entry.path()) && ok;
        ++files;
      }
    } else if (fs::exists(arg)) {
      ok = replay(arg) && ok;
      ++files;
    }
  }
  std::printf("replayed %d inputs\n", files);
  return ok ? 0 : 1;
}
