// SPDX-License-Identifier: MIT
// The action table: the man page lists it, --keys prints it without a display, and on a real X
// server (Xvfb) its keys, its context menu over the display and its key list work.
#include <gtest/gtest.h>

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTest>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "action_table.h"
#include "qt_app.h"
#include "window.h"

namespace {

using bandscope::ActionRow;
using bandscope::actionRows;

// The KEYS section of the man page: each entry's keys (from its "*KEY*, *KEY*" line) and the
// first line of its description.
std::vector<std::pair<std::vector<std::string>, std::string>> manPageKeys() {
  std::ifstream in(BANDSCOPE_MAN_PAGE);
  std::vector<std::pair<std::vector<std::string>, std::string>> entries;
  bool in_keys = false;
  std::vector<std::string> keys;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("# ", 0) == 0) in_keys = line == "# KEYS";
    if (!in_keys) continue;
    if (line.size() > 2 && line.front() == '*' && line.back() == '*') {
      keys.clear();
      std::istringstream words(line);
      for (std::string key; std::getline(words, key, ',');) {
        key.erase(0, key.find('*') + 1);
        keys.push_back(key.substr(0, key.rfind('*')));
      }
    } else if (!keys.empty() && line.rfind('\t', 0) == 0) {
      entries.emplace_back(keys, line.substr(1));
      keys.clear();
    }
  }
  return entries;
}

TEST(ActionTable, TheManPageListsEveryActionWithItsKeysAndEachKeyIsBoundOnce) {
  const auto man = manPageKeys();
  ASSERT_EQ(man.size(), actionRows().size());
  std::set<std::string> bound;
  for (size_t i = 0; i < man.size(); ++i) {
    const ActionRow& row = actionRows()[i];
    SCOPED_TRACE(row.text);
    EXPECT_EQ(man[i].first, bandscope::keysOf(row));
    EXPECT_EQ(man[i].second.rfind(std::string(row.text) + ".", 0), 0u) << man[i].second;
    for (const std::string& key : bandscope::keysOf(row)) EXPECT_TRUE(bound.insert(key).second) << key << " twice";
  }
}

// Runs the program with arguments and no display at all; returns its standard output and sets
// status to its exit status.
std::string runWithoutDisplay(const std::string& arguments, int* status) {
  const std::string command = std::string("env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb ") +
                              BANDSCOPE_EXECUTABLE + " " + arguments + " 2>/dev/null";
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, p)) > 0;) out.append(chunk, n);
  *status = WEXITSTATUS(pclose(p));
  return out;
}

TEST(ActionTable, KeysPrintsKeyTabActionLinesWithoutADisplay) {
  int status = -1;
  const std::string out = runWithoutDisplay("--keys", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, bandscope::keyListText());
  EXPECT_NE(out.find("Space\tFreeze the picture, or pause a replay\n"), std::string::npos);
  EXPECT_NE(out.find("?\tShow the keys\n"), std::string::npos);
}

// An X server of this test's own: Xvfb on a free display, reachable only by its local socket.
class XServer {
 public:
  XServer() {
    int fds[2];
    if (access("/usr/bin/Xvfb", X_OK) != 0 || pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "1024x768x24",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    // Xvfb writes the number and its newline apart, and ends itself when the second write finds
    // the pipe closed: read up to the newline.
    std::string number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (c == '\n' && !number.empty()) display_ = ":" + number;
  }
  ~XServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

TEST(Actions, KeysTheContextMenuAndTheKeyListOnAnXServer) {
  static XServer x;
  if (x.display().empty()) GTEST_SKIP() << "Xvfb could not be started";
  setenv("DISPLAY", x.display().c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  apptest::qtApp();
  bandscope::BandscopeWindow w;
  w.show();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));

  // A key of the table goes through the window's shortcuts once, not twice.
  QTest::keyClick(&w, Qt::Key_M);
  EXPECT_TRUE(w.model().maxHold());
  QTest::keyClick(&w, Qt::Key_T);
  ASSERT_TRUE(w.isDark());

  // The menu over the display: the table's groups in order, each entry with its key, the
  // checkable ones ticked as things stand.
  const QPoint over_bars(300, 100);
  QContextMenuEvent click(QContextMenuEvent::Mouse, over_bars, w.mapToGlobal(over_bars));
  QApplication::sendEvent(&w, &click);
  auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  ASSERT_NE(menu, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
  QStringList sections;
  int entries = 0;
  for (QAction* a : menu->actions()) {
    if (a->isSeparator()) {
      sections << a->text();
      continue;
    }
    ++entries;
    EXPECT_FALSE(a->shortcut().isEmpty()) << a->text().toStdString();
    EXPECT_TRUE(a->isShortcutVisibleInContextMenu());
    const bool on = a->text() == QStringLiteral("Dark theme") || a->text() == QStringLiteral("Max-hold trace");
    EXPECT_EQ(a->isChecked(), on) << a->text().toStdString();
  }
  EXPECT_EQ(sections, QStringList({"View", "Holds and averaging", "Capture and references", "Record and replay", "Help"}));
  EXPECT_EQ(entries, static_cast<int>(actionRows().size()));
  QTest::keyClick(menu, Qt::Key_Escape);
  EXPECT_TRUE(apptest::pumpUntil([&] { return !menu->isVisible(); }, 2000));

  // F1 and ? lay the key list over the display (once a click on the bars has taken the keys
  // from the address box, which types a "?"); Esc takes it away.
  QTest::mouseClick(&w, Qt::LeftButton, {}, over_bars);
  for (const auto key : {Qt::Key_F1, Qt::Key_Question}) {
    const QImage before = w.grab().toImage();
    QTest::keyClick(QApplication::focusWidget(), key);
    ASSERT_TRUE(w.keysShown()) << key;
    const QImage shown = w.grab().toImage();
    EXPECT_NE(shown.pixelColor(over_bars), before.pixelColor(over_bars)) << "the list covers the bars";
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(w.keysShown());
    EXPECT_FALSE(w.isFullScreen());
  }
}

}  // namespace
