// SPDX-License-Identifier: MIT
// How the mixlink tool writes what the console sent: text that cannot move the terminal or split a
// record, JSON that parses whatever the bytes were, floats that read back to themselves, and raw
// bytes as hex.
// Pure functions over strings.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mixtool {

// The bytes as one line of text: a backslash becomes \\, and every control byte (0x00-0x1F,
// 0x7F, a C1 control U+0080-U+009F) and every byte that is not part of valid UTF-8 becomes \xNN
// (lower-case hex); valid UTF-8 otherwise passes unchanged.
std::string text_escaped(std::string_view bytes);

// The bytes as a JSON string, quotes included: " and \ escaped, control characters (C0, 0x7F and
// C1) as \u00XX, every byte that is not part of valid UTF-8 as U+FFFD; valid UTF-8 otherwise
// passes unchanged.
std::string json_string(std::string_view bytes);

// The shortest text that reads back to the same float ("-30", "0.1", "1e+20", "inf", "nan").
std::string float_text(float f);

// The bytes as lower-case hex pairs with a space between them ("d7 f9 2f").
std::string hex_text(const unsigned char* bytes, size_t length);

// The float as a JSON number that stays a float ("-30.0", "1e+20"); null for an infinity or NaN.
std::string json_float(float f);

}  // namespace mixtool
