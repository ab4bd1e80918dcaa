// SPDX-License-Identifier: MIT
#include "actions.h"

#include <QAction>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>

#include <algorithm>

namespace bandscope {

namespace {

const char* groupTitle(ActionGroup g) {
  switch (g) {
    case ActionGroup::view: return "View";
    case ActionGroup::holds: return "Holds and averaging";
    case ActionGroup::capture: return "Capture and references";
    case ActionGroup::record: return "Record and replay";
    case ActionGroup::help: return "Help";
  }
  return "";
}

// The overlay's panel: its margin from the display's edges and its padding, in logical pixels.
constexpr int kOverlayMargin = 8;
constexpr int kOverlayPadding = 6;

}  // namespace

WindowActions::WindowActions(QWidget* window, std::function<void(Command)> run, std::function<bool(Command)> checked)
    : checked_(std::move(checked)), menu_(new QMenu(window)) {
  menu_->setObjectName(QStringLiteral("actions"));
  bool first = true;
  ActionGroup group{};
  for (const ActionRow& row : actionRows()) {
    if (first || row.group != group) menu_->addSection(QString::fromLatin1(groupTitle(row.group)));
    first = false;
    group = row.group;
    auto* a = new QAction(QString::fromLatin1(row.text), window);
    QList<QKeySequence> keys;
    for (const std::string& key : keysOf(row)) keys << QKeySequence(QString::fromStdString(key), QKeySequence::PortableText);
    a->setShortcuts(keys);
    // The keys work wherever the focus is in the window; a text box keeps the keys it types.
    a->setShortcutContext(Qt::WindowShortcut);
    a->setShortcutVisibleInContextMenu(true);
    a->setCheckable(row.checkable);
    const Command c = row.command;
    QObject::connect(a, &QAction::triggered, window, [run, c] { run(c); });
    window->addAction(a);
    menu_->addAction(a);
    actions_[c] = a;
  }
}

bool WindowActions::runKey(const QKeyEvent* event) {
  const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
  // "?" is typed with Shift on many layouts: a key matches with the modifiers as typed, or
  // without Shift when the key itself is no letter.
  const QKeySequence typed(QKeyCombination(modifiers, static_cast<Qt::Key>(event->key())));
  const QKeySequence unshifted(QKeyCombination(modifiers & ~Qt::ShiftModifier, static_cast<Qt::Key>(event->key())));
  const bool letter = event->key() >= Qt::Key_A && event->key() <= Qt::Key_Z;
  for (const auto& [c, a] : actions_) {
    for (const QKeySequence& k : a->shortcuts()) {
      if (k == typed || (!letter && k == unshifted)) {
        a->trigger();
        return true;
      }
    }
  }
  return false;
}

QMenu* WindowActions::menu() {
  for (const auto& [c, a] : actions_)
    if (a->isCheckable()) a->setChecked(checked_(c));
  return menu_;
}

KeyOverlay::KeyOverlay(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("keys"));
  setFocusPolicy(Qt::StrongFocus);
  hide();
}

void KeyOverlay::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QFontMetrics fm(font());
  const QRect panel = rect().adjusted(kOverlayMargin, kOverlayMargin / 2, -kOverlayMargin, -kOverlayMargin / 2);
  p.fillRect(panel, QColor(20, 20, 24, 230));
  p.setPen(QColor(235, 235, 235));
  // Two columns, the rows in the table's order, down the first and then the second.
  const auto rows = actionRows();
  const size_t per_column = (rows.size() + 1) / 2;
  const int column_width = (panel.width() - 2 * kOverlayPadding) / 2;
  for (size_t column = 0; column * per_column < rows.size(); ++column) {
    const auto lines = rows.subspan(column * per_column, std::min(per_column, rows.size() - column * per_column));
    QStringList keys;
    int key_width = 0;
    for (const ActionRow& row : lines) {
      QStringList each;
      for (const std::string& key : keysOf(row)) each << QString::fromStdString(key);
      keys << each.join(QStringLiteral(", "));
      key_width = std::max(key_width, fm.horizontalAdvance(keys.back()));
    }
    const int x = panel.left() + kOverlayPadding + static_cast<int>(column) * column_width;
    for (size_t i = 0; i < lines.size(); ++i) {
      const QRect line(x, panel.top() + kOverlayPadding + static_cast<int>(i) * fm.height(), column_width, fm.height());
      p.drawText(line, Qt::AlignLeft | Qt::AlignVCenter, keys[static_cast<qsizetype>(i)]);
      p.drawText(line.adjusted(key_width + kOverlayPadding, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                 fm.elidedText(QString::fromLatin1(lines[i].text), Qt::ElideRight, column_width - key_width - 2 * kOverlayPadding));
    }
  }
}

void KeyOverlay::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_F1) {
    hide();
    parentWidget()->setFocus();
    return;
  }
  QWidget::keyPressEvent(event);
}

void KeyOverlay::mousePressEvent(QMouseEvent*) {
  hide();
  parentWidget()->setFocus();
}

}  // namespace bandscope
