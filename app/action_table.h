// SPDX-License-Identifier: MIT
// Everything the window does on a key, as one table: the keys, the words for the context menu,
// the key list and the man page, and the group each belongs to. Plain data, so that
// `bandscope --keys` prints it without a display.
#pragma once

#include <span>
#include <string>
#include <vector>

namespace bandscope {

enum class Command {
  full_screen,
  leave,
  theme,
  next_view,
  floor_down,
  floor_up,
  max_hold,
  reset_peaks,
  averaging,
  freeze,
  step_back,
  step_on,
  capture_reference,
  clear_references,
  list_references,
  export_csv,
  save_picture,
  record,
  save_show,
  show_keys,
  web_address,
};

// The context menu's sections, in its order.
enum class ActionGroup { view, holds, capture, record, help };

struct ActionRow {
  Command command;
  ActionGroup group;
  // Each key in the portable form a key sequence reads ("Ctrl+Shift+S"), several parted by a
  // blank; the first is the one shown in the menu.
  const char* keys;
  const char* text;
  bool checkable;
};

// Every action, in the order of the menu and of the key list.
std::span<const ActionRow> actionRows();

// The keys of row, one element each.
std::vector<std::string> keysOf(const ActionRow& row);

// What `bandscope --keys` prints: one line KEY<TAB>ACTION per key, in the table's order.
std::string keyListText();

}  // namespace bandscope
