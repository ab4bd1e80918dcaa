// SPDX-License-Identifier: MIT
// bandscope: live RTA display of the console, over mixlink.
//
//   bandscope [ADDRESS] [--record FILE] [--serve ADDR:PORT]
//   bandscope --replay FILE
//
// ADDRESS pre-fills the address box; with the box empty, Connect discovers the console. The
// options are in kOptionTexts below; --help lists them.
//
// Window geometry and the display settings are kept with QSettings (on Linux in
// $XDG_CONFIG_HOME/mixlink/bandscope.conf), reference traces as CSV files in
// $XDG_DATA_HOME/mixlink/bandscope/references; --all-features neither reads nor writes them.
// Exports, pictures and recordings made from the window go to ~/Documents/bandscope (the
// desktop's documents folder).

#include <QApplication>
#include <QCommandLineParser>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <mixlink/link.h>
#include <mixlink/version.h>

#include "action_table.h"
#include "window.h"
#ifdef MIXLINK_HAVE_SERVE
#include "reads.h"
#include "server.h"
#endif

namespace {

// How long the end of the run waits for the link's thread to finish its current library call.
constexpr int kLinkStopWaitMs = 1000;

// The longest dotted IPv4 address, "255.255.255.255".
constexpr qsizetype kMaxAddressLength = 15;

constexpr int kExitUsage = 2;

struct Options {
  QString address;
  bool connect = false;
  QString screenshot;
  QString export_csv;
  QString record;
  QString replay;
  QString serve;
  int after_ms = 3000;
  int run_for_ms = -1;
  bool stats = false;
  bool all_features = false;
};

// One option: its name, the placeholder of its value (null for none) and what it does.
struct OptionText {
  const char* name;
  const char* value;
  const char* help;
};

const OptionText kOptionTexts[] = {
    {"record", "FILE", "record every meter datagram to FILE (pcap) while connected"},
    {"replay", "FILE", "show a recording at its recorded pace, without a console"},
    {"connect", nullptr, "press Connect as soon as the window is up"},
#ifdef MIXLINK_HAVE_SERVE
    {"serve", "ADDR:PORT", "also show the analyser as a web page at ADDR:PORT (the address is printed\n"
                           "and shown by the key W; beyond loopback it carries a token)"},
#endif
    {"screenshot", "FILE", "after --after MS, save the window to FILE (PNG) and end the run"},
    {"export-csv", "FILE", "after --after MS, write the frame's CSV to FILE and end the run"},
    {"after", "MS", "the wait before --screenshot and --export-csv (default 3000)"},
    {"run-for", "MS", "end the run (as a second press of Connect would) after MS"},
    {"stats", nullptr, "on exit, print datagram and frame counts and the datagram-to-frame latency"},
    {"all-features", nullptr, "max hold, slow averaging, dark theme, the 1 kHz readout, the spectrogram\n"
                              "and two reference traces, without the saved settings"},
    {"keys", nullptr, "print the keys and what they do, one KEY<TAB>ACTION line each, and exit"},
    {"version", nullptr, "print the version and exit"},
    {"help", nullptr, "print this help and exit"},
};

constexpr int kHelpColumn = 20;

// What `bandscope --help` prints: the synopsis, then each option with what it does.
std::string usageText() {
  std::string text =
      "usage: bandscope [ADDRESS] [OPTIONS]\n"
      "       bandscope --replay FILE [OPTIONS]\n"
      "A live view of the console's real-time analyser: 120 bars, one per band.\n"
      "  ADDRESS           the console's IPv4 address, pre-filled in the address box (empty: discover)\n";
  for (const OptionText& o : kOptionTexts) {
    std::string left = std::string("  ") + (o.name == std::string("help") ? "-h, --" : "--") + o.name;
    if (o.value != nullptr) left += std::string(" ") + o.value;
    left.resize(std::max<size_t>(left.size() + 1, kHelpColumn), ' ');
    for (const char* c = o.help; *c != '\0'; ++c) {
      left += *c;
      if (*c == '\n') left += std::string(kHelpColumn, ' ');
    }
    text += left + "\n";
  }
  return text + "Options take their value as the next argument or after '=' (--after=2000).\n";
}

// What the command line asks for: run with the options, print a text and end with status 0, or
// end with a usage error.
struct CommandLine {
  enum { run, print, usage_error } action = run;
  std::string text;  // for print: the help or the version; for usage_error: what was wrong
  Options options;
};

// Reads the whole of text as milliseconds, 0 to a day, into *out.
bool readMs(const QString& text, int* out) {
  const std::string s = text.toStdString();
  int v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size() || v < 0 || v > 86400000) return false;
  *out = v;
  return true;
}

// Reads the arguments (the program's name first) with QCommandLineParser: options as
// "--name value" or "--name=value", at most one ADDRESS. Pure: opens no window.
CommandLine readCommandLine(const QStringList& arguments) {
  QCommandLineParser parser;
  for (const OptionText& o : kOptionTexts) {
    QStringList names{QString::fromLatin1(o.name)};
    if (names.first() == QLatin1String("help")) names.prepend(QStringLiteral("h"));
    parser.addOption(QCommandLineOption(names, QString::fromUtf8(o.help),
                                        o.value != nullptr ? QString::fromLatin1(o.value) : QString()));
  }
  CommandLine line;
  const bool parsed = parser.parse(arguments);
  if (parser.isSet(QStringLiteral("help"))) return {CommandLine::print, usageText(), {}};
  if (parser.isSet(QStringLiteral("version"))) return {CommandLine::print, "bandscope " MIXLINK_VERSION "\n", {}};
  if (parser.isSet(QStringLiteral("keys"))) return {CommandLine::print, bandscope::keyListText(), {}};
  auto refuse = [&](const QString& why) { return CommandLine{CommandLine::usage_error, why.toStdString(), {}}; };
  if (!parsed) {
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty())
      return refuse(QStringLiteral("unknown option %1%2").arg(unknown.first().size() > 1 ? "--" : "-", unknown.first()));
    // Qt's own words, as a clause: "unexpected value after '--connect=1'".
    QString why = parser.errorText();
    if (why.endsWith(QLatin1Char('.'))) why.chop(1);
    if (!why.isEmpty()) why[0] = why[0].toLower();
    return refuse(why);
  }
  Options& o = line.options;
  for (const OptionText& t : kOptionTexts) {
    if (t.value != nullptr && parser.isSet(QString::fromLatin1(t.name)) && parser.value(QString::fromLatin1(t.name)).isEmpty())
      return refuse(QStringLiteral("--%1 needs %2").arg(QString::fromLatin1(t.name), QString::fromLatin1(t.value)));
  }
  o.connect = parser.isSet(QStringLiteral("connect"));
  o.stats = parser.isSet(QStringLiteral("stats"));
  o.all_features = parser.isSet(QStringLiteral("all-features"));
  o.screenshot = parser.value(QStringLiteral("screenshot"));
  o.export_csv = parser.value(QStringLiteral("export-csv"));
  o.record = parser.value(QStringLiteral("record"));
  o.replay = parser.value(QStringLiteral("replay"));
#ifdef MIXLINK_HAVE_SERVE
  o.serve = parser.value(QStringLiteral("serve"));
  std::string serve_host;
  int serve_port = 0;
  if (!o.serve.isEmpty() && !mixserve::splitListen(o.serve.toStdString(), &serve_host, &serve_port))
    return refuse(QStringLiteral("--serve takes ADDR:PORT, not '%1'").arg(o.serve));
#endif
  for (const auto& [name, ms] : {std::pair{"after", &o.after_ms}, std::pair{"run-for", &o.run_for_ms}}) {
    const QString option = QString::fromLatin1(name);
    if (parser.isSet(option) && !readMs(parser.value(option), ms))
      return refuse(QStringLiteral("--%1 takes a whole number of milliseconds from 0 to 86400000, not '%2'")
                        .arg(option, parser.value(option)));
  }
  const QStringList positional = parser.positionalArguments();
  if (positional.size() > 1) return refuse(QStringLiteral("unexpected argument %1").arg(positional.at(1)));
  if (!positional.isEmpty()) {
    if (positional.first().size() > kMaxAddressLength)
      return refuse(QStringLiteral("not an IPv4 address: %1").arg(positional.first()));
    o.address = positional.first();
  }
  if (!o.replay.isEmpty() && (o.connect || !o.record.isEmpty() || !o.address.isEmpty()))
    return refuse(QStringLiteral("--replay shows a recording instead of a console: no ADDRESS, --connect or --record"));
  return line;
}

// Prints what the command line asked for in place of a run; returns the exit status.
int answer(const CommandLine& line) {
  if (line.action == CommandLine::usage_error) {
    std::fprintf(stderr, "bandscope: %s (try 'bandscope --help')\n", line.text.c_str());
    return kExitUsage;
  }
  std::fputs(line.text.c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // --help, --version and --keys need no window system: they are answered before one is opened.
  {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    if (const CommandLine early = readCommandLine(arguments); early.action == CommandLine::print) return answer(early);
  }
  QApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("bandscope"));
  QCoreApplication::setApplicationVersion(QStringLiteral(MIXLINK_VERSION));
  // Read again without the window system's own options (-platform and the like), which
  // QApplication has taken out.
  const CommandLine line = readCommandLine(QCoreApplication::arguments());
  if (line.action != CommandLine::run) return answer(line);
  const Options& opt = line.options;

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
#ifdef MIXLINK_HAVE_SERVE
  // The web view: fed from the window's mail, its reads made on the link's thread.
  mixserve::ReadQueue serve_reads;
  mixserve::Server server;
  if (!opt.serve.isEmpty()) {
    std::string error;
    if (!server.start({opt.serve.toStdString(), "", &serve_reads}, &error)) {
      std::fprintf(stderr, "bandscope: %s\n", error.c_str());
      return 1;
    }
    bandscope::LinkSession& link = window->linkSession();
    QObject::connect(&link, &bandscope::LinkSession::datagramsRead, &link,
                     [&server](const std::vector<bandscope::MeterDatagram>& datagrams) {
                       for (const bandscope::MeterDatagram& d : datagrams) server.feedRta(d.bytes.data(), d.length);
                     });
    QObject::connect(&link, &bandscope::LinkSession::linkChanged, &link, [&server](bandscope::Link l) {
      server.setLink(l == bandscope::Link::connected ? mixserve::LinkStatus::connected
                     : l == bandscope::Link::lost    ? mixserve::LinkStatus::lost
                                                     : mixserve::LinkStatus::connecting);
    });
    link.setBetweenCalls([&serve_reads] { serve_reads.answer(); });
    window->setWebAddress(QString::fromStdString(server.url()));
    std::printf("bandscope: web view at %s\n", server.url().c_str());
    std::fflush(stdout);
  }
#endif
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

  int status = QApplication::exec();
  // A recording that could not be written in full ends the run as a failure, not quietly.
  if (!opt.record.isEmpty() && !window->stopRecording()) {
    std::fprintf(stderr, "bandscope: cannot write %s\n", qPrintable(opt.record));
    status = 1;
  }
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
