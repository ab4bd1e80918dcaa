// SPDX-License-Identifier: MIT
// Inputs shared by the benchmarks: container replies and event blocks built with the library's
// own token encoder from the dictionary's rows.
#pragma once

#include <cstdint>
#include <vector>

namespace mixbench {

// The wire entry (0xD7, hash, value token) of every leaf below container, in dictionary order,
// each with a plausible value of its type; the reply's closing 0xDE is not included.
std::vector<unsigned char> container_reply(uint32_t container);

// n events for leaves picked at random (seeded) from the whole dictionary, mixed value types.
std::vector<unsigned char> event_block(int n, unsigned seed);

// The token of the container whose leaf count is closest to leaves.
uint32_t container_near(int leaves);

// The token of a dictionary path; aborts when it is not a node.
uint32_t token_of(const char* path);

}  // namespace mixbench
