// SPDX-License-Identifier: MIT
// Reference traces: the store that keeps them (one CSV file each in the data folder), the list
// model over it and the small window that lists them to tick, rename and delete.
#pragma once

#include <QAbstractListModel>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <string>
#include <vector>

#include "show.h"

class QListView;

namespace bandscope {

class ReferenceStore : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;

  // Where the traces are kept; none: they live only in memory.
  void setFolder(const QString& folder) { folder_ = folder; }
  // Reads the traces kept in the folder, oldest first, at most eight.
  void load();
  const std::vector<Reference>& all() const { return references_; }
  int size() const { return static_cast<int>(references_.size()); }

  // Captures the spectrum of m, named by the moment; false when eight are kept already.
  bool capture(const DisplayModel& m);
  // Keeps r in memory only.
  void add(const Reference& r);
  void clear();
  // Renames trace index to name made safe; nothing when another trace has that name.
  void rename(int index, const std::string& name);
  void remove(int index);
  void setShown(int index, bool shown);
  // The names of the hidden traces, and hiding by name, for the settings.
  QStringList hiddenNames() const;
  void hide(const QStringList& names);

 signals:
  void changed();

 private:
  QString fileOf(const Reference& r) const;
  void save(const Reference& r) const;
  void erase(const Reference& r) const;

  QString folder_;
  std::vector<Reference> references_;
};

// One row per trace: its name (editable), ticked when shown, in its colour.
class ReferenceListModel : public QAbstractListModel {
 public:
  explicit ReferenceListModel(ReferenceStore* store, QObject* parent = nullptr);

  // QAbstractListModel
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  ReferenceStore* store_;
};

// The tool window "Reference traces": the list and the buttons Delete and Delete all.
class ReferenceList : public QWidget {
 public:
  ReferenceList(ReferenceStore* store, QWidget* parent);

 private:
  QListView* view_;
};

}  // namespace bandscope
