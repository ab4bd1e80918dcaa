// SPDX-License-Identifier: MIT
// The container dump's pieces shared by the dump text and the reply walk: the value text of one
// token and the appending of an entry whose name is already planned.
#pragma once

#include <mixlink/nodes.h>

#include "dictionary/relative_name.h"

namespace mixlink::nodes {

// wParseToNode that also gives the length of the text it wrote.
int value_text(const unsigned char* buf, int position, char* text, int length, int* text_length);

// wDumpAppend with the name already planned: appends path's entry to the dump; the same results.
int dump_append(w_dump* dump, const dict::NamePlan& plan, const char* path, const char* value);

}  // namespace mixlink::nodes
