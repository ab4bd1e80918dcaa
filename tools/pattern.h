// SPDX-License-Identifier: MIT
// Shell-style patterns over node paths, as `mixlink events PATTERN...` takes them.
// Pure functions over strings.
#pragma once

#include <string_view>

namespace mixtool {

// Whether all of path matches pattern: * stands for any run of characters (dots too), ? for one
// character, [abc], [a-z] and [!abc] for one character of (or not of) a set; a backslash takes
// the next character as it stands. Letters match in any case, as paths do. A pattern whose [
// is not closed matches that [ as itself.
bool path_matches(std::string_view pattern, std::string_view path);

}  // namespace mixtool
