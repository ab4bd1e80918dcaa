// SPDX-License-Identifier: MIT
// Reads a container dump back into full paths, the way a user of the dump would.
#pragma once

#include <string>
#include <vector>

namespace nodetest {

// Returns the full path of every entry of dump (a dump of container), in order; stops at the
// line feed. Values run to the first comma that is followed by a name part and "=" (or the end).
std::vector<std::string> read_dump_paths(const std::string& container, const std::string& dump);

}  // namespace nodetest
