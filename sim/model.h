// SPDX-License-Identifier: MIT
// The simulated console's parameters: one value for every leaf of the node dictionary, held as
// its encoded value token, plus a definition for every node. No sockets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mixsim {

// What a node stands for, guessed from its path and type; it decides its value and definition.
enum class param_kind {
  container, toggle, fader, pan, width, frequency, gain, q, threshold, ratio, time_ms,
  level_meter, float_generic, name, text, colour, icon, choice, int_generic, node_ref,
};

// Definition bytes: the node's type (0 to 4), a layout byte, then fields as value tokens.
inline constexpr unsigned char kDefIntRange = 0x01;    // minimum, maximum (integers), unit (string)
inline constexpr unsigned char kDefFloatRange = 0x02;  // minimum, maximum (floats), unit, then a scale byte
inline constexpr unsigned char kDefText = 0x03;        // longest text (integer)
inline constexpr unsigned char kDefChoices = 0x04;     // count (integer), then each choice (string)
inline constexpr unsigned char kDefContainer = 0x05;   // leaves below it, direct children (integers)
inline constexpr unsigned char kDefNodeRef = 0x06;     // holds a node hash; no fields
// Scale byte of a float range.
inline constexpr unsigned char kScaleLinear = 0;
inline constexpr unsigned char kScaleLog = 1;
inline constexpr unsigned char kScaleFader = 2;  // dB with the bottom of the range meaning -oo

// One node whose value carries a given value-token code; see model_code_examples.
struct code_example {
  unsigned char code;   // the first byte of the value token (a class representative, e.g. 0x80)
  const char* what;     // the token class, e.g. "short string"
  uint32_t token;       // a leaf whose value carries this code; 0 when none does
};

class console_model {
 public:
  // Builds the start-up value of every leaf; seed varies nothing yet but the animation noise.
  explicit console_model(unsigned seed = 1);

  // Returns the encoded value token of a leaf token, or an empty string for a container or a
  // token out of range.
  const std::string& value(uint32_t token) const;

  // Returns the definition bytes of a node in mixsim's own format (see docs/mixsim.md, "What it sends").
  std::string definition(uint32_t token) const;

  // One leaf for each value-token class; every class has one.
  const std::vector<code_example>& code_examples() const { return examples_; }

  // Moves the animated parameters to time t (seconds since start); returns the tokens whose
  // value changed, whose new values value() then gives.
  std::vector<uint32_t> animate(double t);

  // Counts the changes of value by animate: equal counts mean equal values.
  uint64_t version() const { return version_; }

  // The animated nodes: a fader ramp, a mute toggle and a meter-like gain (0 when absent).
  uint32_t fader_token() const { return fader_; }
  uint32_t mute_token() const { return mute_; }
  uint32_t gain_token() const { return gain_; }

 private:
  std::vector<std::string> values_;
  std::vector<param_kind> kinds_;
  std::vector<code_example> examples_;
  uint32_t fader_ = 0, mute_ = 0, gain_ = 0;
  unsigned seed_;
  bool mute_on_ = false;
  uint64_t version_ = 0;
};

}  // namespace mixsim
