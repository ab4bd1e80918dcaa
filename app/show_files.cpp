// SPDX-License-Identifier: MIT
#include "show_files.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

namespace bandscope {

bool writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() && f.flush();
}

QString newFileIn(const QString& folder, const QString& extension) {
  QDir().mkpath(folder);
  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
  QString path = QDir(folder).filePath(QStringLiteral("bandscope-%1.%2").arg(stamp, extension));
  for (int n = 2; QFile::exists(path); ++n)
    path = QDir(folder).filePath(QStringLiteral("bandscope-%1-%2.%3").arg(stamp).arg(n).arg(extension));
  return path;
}

bool readRecordingFile(const QString& path, std::vector<MeterDatagram>* datagrams, QString* error, QString* warning) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) {
    *error = f.errorString();
    return false;
  }
  const QByteArray bytes = f.readAll();
  const std::string why = readRecording(std::vector<unsigned char>(bytes.begin(), bytes.end()), kRecordedPort, datagrams);
  if (datagrams->empty()) {
    *error = QString::fromStdString(why.empty() ? "no meter datagrams in it" : why);
    return false;
  }
  *warning = QString::fromStdString(why);
  return true;
}

bool RecordingFile::start(const QString& path) {
  stop();
  writer_ = wPcapCreate(QFile::encodeName(path).constData());
  path_ = path;
  return writer_ != nullptr;
}

bool RecordingFile::add(const MeterDatagram& d) {
  if (writer_ == nullptr) return false;
  const w_pcap_datagram record = recordOf(d, kRecordedPort);
  if (wPcapAppend(writer_, &record, d.bytes.data()) > 0) return true;
  stop();
  return false;
}

bool RecordingFile::flush() {
  if (writer_ == nullptr || wPcapFlush(writer_) == 1) return true;
  stop();
  return false;
}

bool RecordingFile::stop() {
  const bool written = wPcapClose(writer_) == 1;
  writer_ = nullptr;
  return written;
}

}  // namespace bandscope
