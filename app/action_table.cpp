// SPDX-License-Identifier: MIT
#include "action_table.h"

#include <sstream>

namespace bandscope {

namespace {

using enum Command;
using G = ActionGroup;

constexpr ActionRow kRows[] = {
    {full_screen, G::view, "F11", "Full screen", true},
    {leave, G::view, "Esc", "Leave full screen or the key list", false},
    {theme, G::view, "T", "Dark theme", true},
    {next_view, G::view, "V", "Next view: bars, spectrogram, both", false},
    {floor_down, G::view, "[", "Lower the spectrogram floor", false},
    {floor_up, G::view, "]", "Raise the spectrogram floor", false},
    {max_hold, G::holds, "M", "Max-hold trace", true},
    {reset_peaks, G::holds, "P", "Reset the peak markers and the max-hold trace", false},
    {averaging, G::holds, "A", "Next averaging: off, fast, slow", false},
    {freeze, G::holds, "Space", "Freeze the picture, or pause a replay", true},
    {step_back, G::holds, "Left", "Step back while frozen or paused", false},
    {step_on, G::holds, "Right", "Step on while frozen or paused", false},
    {capture_reference, G::capture, "R", "Capture a reference trace", false},
    {clear_references, G::capture, "Shift+R", "Delete every reference trace", false},
    {list_references, G::capture, "L", "List the reference traces", false},
    {export_csv, G::capture, "Ctrl+E", "Write the frame as CSV", false},
    {save_picture, G::capture, "Ctrl+S", "Save the window as PNG", false},
    {record, G::record, "Ctrl+R", "Record every meter datagram", true},
    {save_show, G::record, "Ctrl+Shift+S", "Save the last minutes of the show", false},
    {show_keys, G::help, "F1 ?", "Show the keys", false},
    {web_address, G::help, "W", "Show the web view's address", false},
};

}  // namespace

std::span<const ActionRow> actionRows() { return kRows; }

std::vector<std::string> keysOf(const ActionRow& row) {
  std::vector<std::string> keys;
  std::istringstream in(row.keys);
  for (std::string key; in >> key;) keys.push_back(key);
  return keys;
}

std::string keyListText() {
  std::string text;
  for (const ActionRow& row : kRows)
    for (const std::string& key : keysOf(row)) text += key + '\t' + row.text + '\n';
  return text;
}

}  // namespace bandscope
