// bandscope: live RTA display of the console, over mixlink.
//
//   bandscope [ADDRESS] [--record FILE]
//   bandscope --replay FILE
//
// ADDRESS pre-fills the address box; with the box empty, Connect discovers the console.
//   --record FILE      record every meter datagram to FILE (a pcap file) while connected
//   --replay FILE      show the recording FILE at its recorded pace, without a console
// Options for scripts (not for everyday use):
//   --connect          press Connect as soon as the window is up
//   --screenshot FILE  after --after MS (default 3000), save the window to FILE and end the run
//   --export-csv FILE  after --after MS, write the frame's CSV to FILE and end the run
//   --run-for MS       end the run (as a second press would) after MS
//   --stats            on exit, print datagram and frame counts and the datagram-to-frame latency
//   --all-features     max hold, slow averaging, dark theme, the readout of the 1 kHz band, the
//                      spectrogram above the bars and two reference traces
//
// Window geometry and the display settings are kept with QSettings (on Linux in
// $XDG_CONFIG_HOME/mixlink/bandscope.conf), reference traces as CSV files in
// $XDG_DATA_HOME/mixlink/bandscope/references; --all-features neither reads nor writes them.
// Exports, pictures and recordings made from the window go to ~/Documents/bandscope (the
// desktop's documents folder).

#include <QApplication>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <mixlink/link.h>

#include "window.h"

namespace {

// How long the end of the run waits for the link's thread to finish its current library call.
constexpr int kLinkStopWaitMs = 1000;

struct Options {
  QString address;
  bool connect = false;
  QString screenshot;
  QString export_csv;
  QString record;
  QString replay;
  int after_ms = 3000;
  int run_for_ms = -1;
  bool stats = false;
  bool all_features = false;
};

constexpr char kUsage[] =
    "usage: bandscope [ADDRESS] [--record FILE] [--connect] [--run-for MS] [--stats] [--all-features]\n"
    "                 [--screenshot FILE] [--export-csv FILE] [--after MS]\n"
    "       bandscope --replay FILE [...]\n"
    "  ADDRESS        the console's IPv4 address, pre-filled in the address box (empty: discover)\n"
    "  --record FILE  record every meter datagram to FILE (pcap) while connected\n"
    "  --replay FILE  show a recording at its recorded pace, without a console\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

bool parseMs(const char* text, int* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 0 || v > 86400000) return false;
  *out = static_cast<int>(v);
  return true;
}

// Returns 0 to run, -1 after --help, else the exit status for a bad command line.
int parseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const bool has_value = i + 1 < argc;
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (std::strcmp(a, "--connect") == 0) {
      o->connect = true;
    } else if (std::strcmp(a, "--stats") == 0) {
      o->stats = true;
    } else if (std::strcmp(a, "--all-features") == 0) {
      o->all_features = true;
    } else if (std::strcmp(a, "--screenshot") == 0 && has_value) {
      o->screenshot = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strcmp(a, "--export-csv") == 0 && has_value) {
      o->export_csv = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strcmp(a, "--record") == 0 && has_value) {
      o->record = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strcmp(a, "--replay") == 0 && has_value) {
      o->replay = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strcmp(a, "--after") == 0 && has_value) {
      if (!parseMs(argv[++i], &o->after_ms)) return usage();
    } else if (std::strcmp(a, "--run-for") == 0 && has_value) {
      if (!parseMs(argv[++i], &o->run_for_ms)) return usage();
    } else if (a[0] == '-' || !o->address.isEmpty()) {
      return usage();
    } else if (std::strlen(a) > 15) {
      std::fprintf(stderr, "bandscope: not an IPv4 address: %s\n", a);
      return 2;
    } else {
      o->address = QString::fromLatin1(a);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("bandscope"));
  Options opt;
  if (int rc = parseOptions(argc, argv, &opt); rc != 0) return rc < 0 ? 0 : rc;
  if (!opt.replay.isEmpty() && (opt.connect || !opt.record.isEmpty() || !opt.address.isEmpty())) {
    std::fputs("bandscope: --replay shows a recording instead of a console: no ADDRESS, --connect or --record\n", stderr);
    return 2;
  }

  QSettings settings(QStringLiteral("mixlink"), QStringLiteral("bandscope"));
  auto window = std::make_unique<bandscope::BandscopeWindow>(opt.address);
  window->setExportFolder(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
                          QStringLiteral("/bandscope"));
  if (opt.all_features) {
    window->showAllFeatures(true);
  } else {
    window->setDataFolder(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                          QStringLiteral("/mixlink/bandscope/references"));
    window->loadReferences();
    window->loadSettings(settings);
  }
  if (!opt.record.isEmpty() && !window->startRecording(opt.record)) {
    std::fprintf(stderr, "bandscope: cannot write %s\n", qPrintable(opt.record));
    return 1;
  }
  if (!opt.replay.isEmpty()) {
    QString why;
    if (!window->startReplay(opt.replay, &why)) {
      std::fprintf(stderr, "bandscope: %s: %s\n", qPrintable(opt.replay), qPrintable(why));
      return 1;
    }
  }
  // The window ends the run; the quit message is the event loop's own end.
  QObject::connect(window.get(), &bandscope::BandscopeWindow::finished, &app,
                   [](int status) { QCoreApplication::exit(status); });
  window->show();

  if (opt.connect) {
    QTimer::singleShot(0, window->connectButton(), &QPushButton::click);
  }
  // The picture and the CSV are taken together, then the run ends.
  if (!opt.screenshot.isEmpty() || !opt.export_csv.isEmpty()) {
    QTimer::singleShot(opt.after_ms, window.get(), [&] {
      const bool picture = opt.screenshot.isEmpty() || window->grab().save(opt.screenshot);
      const bool csv = opt.export_csv.isEmpty() || window->exportCsv(opt.export_csv);
      if (!picture || !csv) {
        std::fprintf(stderr, "bandscope: cannot write %s\n", qPrintable(!picture ? opt.screenshot : opt.export_csv));
        QCoreApplication::exit(1);
        return;
      }
      window->close();
    });
  }
  if (opt.run_for_ms >= 0) {
    QTimer::singleShot(opt.run_for_ms, window.get(), [&] { window->close(); });
  }

  const int status = QApplication::exec();
  if (!opt.all_features) window->saveSettings(settings);
  if (opt.stats) {
    const bandscope::DisplayStats& s = window->stats();
    std::fprintf(stderr,
                 "bandscope stats: datagrams %lld paints %lld frames %lld latency mean %lld us max %lld us "
                 "skipped %lld\n",
                 static_cast<long long>(s.datagrams), static_cast<long long>(s.paints), static_cast<long long>(s.frames),
                 static_cast<long long>(s.frames ? s.latency_sum_us / s.frames : 0),
                 static_cast<long long>(s.latency_max_us), static_cast<long long>(s.skipped));
  }
  // The link's thread may be inside a connect that the system lets run for minutes; the window
  // is closed, so the process goes without waiting for it.
  if (!window->waitLinkStopped(kLinkStopWaitMs)) {
    settings.sync();
    std::fflush(nullptr);
    std::_Exit(status);
  }
  window.reset();
  wClose();
  return status;
}
