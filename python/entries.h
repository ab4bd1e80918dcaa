// SPDX-License-Identifier: MIT
// The entries of a container reply or of the events the library hands out: 0xD7, a node hash,
// one value token. The module walks them as the tool does, with the tool's walk.
#pragma once

#include "link/wire.h"
#include "records.h"

namespace mixpy {

using mixlink::wire::kEntryHeader;  // 0xD7 and the 4-byte hash
using mixtool::walk_entries;

}  // namespace mixpy
