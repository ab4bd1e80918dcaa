// SPDX-License-Identifier: MIT
// The files a show leaves: where exports go, whole files written at once, recordings written
// as the datagrams come (with the library's recording writer) and recordings read back.
#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

#include <mixlink/protocol.h>
#include <mixlink/recording.h>

#include "show.h"

namespace bandscope {

// Recordings name the meter port their datagrams came to.
inline constexpr int kRecordedPort = mixlink::kDefaultMeterPort;

// Writes bytes to path, replacing what was there; false when any of it could not be written.
bool writeFile(const QString& path, const QByteArray& bytes);

// A new file name in folder (made when missing): "bandscope-<date>-<time>.<extension>", with a
// number when that is taken.
QString newFileIn(const QString& folder, const QString& extension);

// Reads the recording at path into datagrams; false with the reason in error when nothing could
// be read. A recording cut short (by a crash, say) gives what came before the cut and its
// reason in warning.
bool readRecordingFile(const QString& path, std::vector<MeterDatagram>* datagrams, QString* error, QString* warning);

// A recording being written: every datagram given goes to the file as it comes.
class RecordingFile {
 public:
  RecordingFile() = default;
  ~RecordingFile() { stop(); }
  RecordingFile(const RecordingFile&) = delete;
  RecordingFile& operator=(const RecordingFile&) = delete;

  // Creates (or empties) the file at path; false when it cannot.
  bool start(const QString& path);
  // Appends d; false once a write has failed (the recording then stops).
  bool add(const MeterDatagram& d);
  // Hands what is buffered to the system, so that a crash keeps it; false when that failed (the
  // recording then stops).
  bool flush();
  // Ends the recording; false when any of it could not be written.
  bool stop();
  bool isOn() const { return writer_ != nullptr; }
  const QString& path() const { return path_; }

 private:
  w_pcap_writer* writer_ = nullptr;
  QString path_;
};

}  // namespace bandscope
