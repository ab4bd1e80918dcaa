// SPDX-License-Identifier: MIT
#include "references.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QListView>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

#include "show_files.h"
#include "views.h"

namespace bandscope {

void ReferenceStore::load() {
  references_.clear();
  const QDir dir(folder_);
  for (const QFileInfo& f : dir.entryInfoList({QStringLiteral("*.csv")}, QDir::Files, QDir::Time | QDir::Reversed)) {
    if (size() >= kMaxReferences) break;
    QFile file(f.filePath());
    Reference r;
    if (file.open(QIODevice::ReadOnly) && parseReferenceCsv(file.readAll().toStdString(), &r.values, &r.name))
      references_.push_back(r);
  }
  emit changed();
}

QString ReferenceStore::fileOf(const Reference& r) const {
  return QDir(folder_).filePath(QString::fromStdString(safeName(r.name)) + QStringLiteral(".csv"));
}

void ReferenceStore::save(const Reference& r) const {
  if (folder_.isEmpty()) return;
  QDir().mkpath(folder_);
  writeFile(fileOf(r), QByteArray::fromStdString(referenceCsv(r)));
}

void ReferenceStore::erase(const Reference& r) const {
  if (!folder_.isEmpty()) QFile::remove(fileOf(r));
}

bool ReferenceStore::capture(const DisplayModel& m) {
  if (!m.hasValues()) return true;  // nothing to capture yet
  if (size() >= kMaxReferences) return false;
  // Named by the moment of capture; a second capture within the same second gets a number.
  const QString base = QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss"));
  QString name = base;
  auto taken = [&](const QString& n) {
    return std::any_of(references_.begin(), references_.end(),
                       [&](const Reference& r) { return safeName(r.name) == safeName(n.toStdString()); });
  };
  for (int n = 2; taken(name); ++n) name = QStringLiteral("%1 %2").arg(base).arg(n);
  references_.push_back(captureReference(m, name.toStdString()));
  save(references_.back());
  emit changed();
  return true;
}

void ReferenceStore::add(const Reference& r) {
  references_.push_back(r);
  emit changed();
}

void ReferenceStore::clear() {
  for (const Reference& r : references_) erase(r);
  references_.clear();
  emit changed();
}

void ReferenceStore::rename(int index, const std::string& name) {
  if (index < 0 || index >= size()) return;
  const std::string wanted = safeName(name);
  for (int k = 0; k < size(); ++k)
    if (k != index && safeName(references_[static_cast<size_t>(k)].name) == wanted) return;  // the name is taken
  Reference& r = references_[static_cast<size_t>(index)];
  erase(r);
  r.name = wanted;
  save(r);
  emit changed();
}

void ReferenceStore::remove(int index) {
  if (index < 0 || index >= size()) return;
  erase(references_[static_cast<size_t>(index)]);
  references_.erase(references_.begin() + index);
  emit changed();
}

void ReferenceStore::setShown(int index, bool shown) {
  if (index < 0 || index >= size()) return;
  references_[static_cast<size_t>(index)].shown = shown;
  emit changed();
}

QStringList ReferenceStore::hiddenNames() const {
  QStringList hidden;
  for (const Reference& r : references_)
    if (!r.shown) hidden << QString::fromStdString(r.name);
  return hidden;
}

void ReferenceStore::hide(const QStringList& names) {
  for (Reference& r : references_) r.shown = !names.contains(QString::fromStdString(r.name));
  emit changed();
}

ReferenceListModel::ReferenceListModel(ReferenceStore* store, QObject* parent)
    : QAbstractListModel(parent), store_(store) {
  connect(store_, &ReferenceStore::changed, this, [this] {
    beginResetModel();
    endResetModel();
  });
}

int ReferenceListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : store_->size(); }

QVariant ReferenceListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= store_->size()) return {};
  const Reference& r = store_->all()[static_cast<size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole: return QString::fromStdString(r.name);
    case Qt::CheckStateRole: return r.shown ? Qt::Checked : Qt::Unchecked;
    case Qt::ForegroundRole: return referenceColour(index.row());
    default: return {};
  }
}

bool ReferenceListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || index.row() >= store_->size()) return false;
  if (role == Qt::CheckStateRole) {
    store_->setShown(index.row(), value.toInt() == Qt::Checked);
  } else if (role == Qt::EditRole) {
    store_->rename(index.row(), value.toString().toStdString());
  } else {
    return false;
  }
  return true;
}

Qt::ItemFlags ReferenceListModel::flags(const QModelIndex& index) const {
  return QAbstractListModel::flags(index) | Qt::ItemIsUserCheckable | Qt::ItemIsEditable;
}

ReferenceList::ReferenceList(ReferenceStore* store, QWidget* parent) : QWidget(parent, Qt::Tool) {
  setObjectName(QStringLiteral("references"));
  setWindowTitle(QStringLiteral("Reference traces"));
  auto* layout = new QVBoxLayout(this);
  view_ = new QListView(this);
  // Ticked: shown; the text: the name (double-click to edit).
  view_->setModel(new ReferenceListModel(store, this));
  layout->addWidget(view_);
  auto* buttons = new QHBoxLayout;
  auto* remove = new QPushButton(QStringLiteral("Delete"), this);
  auto* clear = new QPushButton(QStringLiteral("Delete all"), this);
  buttons->addWidget(remove);
  buttons->addWidget(clear);
  layout->addLayout(buttons);
  connect(remove, &QPushButton::clicked, this, [this, store] { store->remove(view_->currentIndex().row()); });
  connect(clear, &QPushButton::clicked, store, &ReferenceStore::clear);
}

}  // namespace bandscope
