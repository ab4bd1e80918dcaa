// SPDX-License-Identifier: MIT
// The action table made QActions: each row's keys, text and checked state, one handler for all;
// the context menu over the display, grouped as the table; and the key list over the display.
#pragma once

#include <QWidget>

#include <functional>
#include <map>

#include "action_table.h"

class QAction;
class QKeyEvent;
class QMenu;

namespace bandscope {

class WindowActions {
 public:
  // Makes the actions of window: run handles a triggered one, checked tells a checkable one's
  // state when the menu opens.
  WindowActions(QWidget* window, std::function<void(Command)> run, std::function<bool(Command)> checked);

  QAction* action(Command c) const { return actions_.at(c); }
  // Runs the action whose key event is (for keys that reach the window without a shortcut, as
  // when it is not the active window); false when no action has that key.
  bool runKey(const QKeyEvent* event);
  // The context menu, its checks brought up to date.
  QMenu* menu();

 private:
  std::map<Command, QAction*> actions_;
  std::function<bool(Command)> checked_;
  QMenu* menu_;
};

// The keys and what they do, over the display until Escape, a key or a click.
class KeyOverlay : public QWidget {
 public:
  explicit KeyOverlay(QWidget* parent);

 protected:
  // QWidget
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
};

}  // namespace bandscope
