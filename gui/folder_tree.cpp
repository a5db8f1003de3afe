#include "gui/folder_tree.h"

#include <QFont>

#include "common/folder_path.h"

namespace palvara::gui {

int CFolderTreeCtrl1::Node::row() const {
  if (parent == nullptr) return -1;
  for (std::size_t i = 0; i < parent->children.size(); ++i) {
    if (parent->children[i].get() == this) return static_cast<int>(i);
  }
  return -1;
}

CFolderTreeCtrl1::CFolderTreeCtrl1(QObject* parent) : QAbstractItemModel(parent) {}
CFolderTreeCtrl1::~CFolderTreeCtrl1() = default;

void CFolderTreeCtrl1::setImages(const QVector<QIcon>& images) {
  beginResetModel();
  m_images = images;
  endResetModel();
}

int CFolderTreeCtrl1::imageFor(const QString& name, const QString& containerClass, bool topLevel) {
  const QString n = name.toUpper();
  const QString c = containerClass.toUpper();
  int image = topLevel ? kDeletedItems : kFolder;
  if (n == "PERSONAL FOLDERS") image = kStoreRoot;
  if (n == "CALENDAR" || c == "IPF.APPOINTMENT") image = kCalendar;
  if (n == "CONTACTS" || c == "IPF.CONTACT") image = kContacts;
  if (n == "DELETED ITEMS") image = kDeletedItems;
  if (n == "DRAFTS") image = kDrafts;
  if (n == "INBOX") image = kInbox;
  if (n == "JOURNAL" || c == "IPF.JOURNAL") image = kJournal;
  if (n == "JUNK E-MAILS") image = kJunk;
  if (n == "NOTES" || c == "IPF.STICKYNOTE") image = kNotes;
  if (n == "OUTBOX") image = kOutbox;
  if (n == "SENT ITEMS") image = kSentItems;
  if (n == "TASKS" || c == "IPF.TASK") image = kTasks;
  if (n == "SYNC ISSUES") image = kSyncIssues;
  return image;
}

CFolderTreeCtrl1::Node* CFolderTreeCtrl1::nodeOf(const QModelIndex& index) const {
  return index.isValid() ? static_cast<Node*>(index.internalPointer()) : nullptr;
}

QModelIndex CFolderTreeCtrl1::indexOf(Node* node) const {
  if (node == nullptr) return {};
  int row = node->row();
  if (node->parent == nullptr) {
    for (std::size_t i = 0; i < m_roots.size(); ++i) {
      if (m_roots[i].get() == node) row = static_cast<int>(i);
    }
  }
  return createIndex(row, 0, node);
}

std::vector<std::unique_ptr<CFolderTreeCtrl1::Node>>& CFolderTreeCtrl1::childrenOf(Node* node) {
  return node == nullptr ? m_roots : node->children;
}

QModelIndex CFolderTreeCtrl1::addFolderPath(const QString& path, const QString& containerClass) {
  // A name may hold a backslash of its own (written twice in the path): it stays one node.
  Node* parent = nullptr;
  for (const std::string& name : FolderPathNames(path.toStdString())) {
    if (name.empty()) continue;
    const QString part = QString::fromStdString(name);
    auto& children = childrenOf(parent);
    Node* found = nullptr;
    for (const auto& child : children) {
      if (child->text == part) found = child.get();
    }
    if (found == nullptr) {
      auto node = std::make_unique<Node>();
      node->text = part;
      node->parent = parent;
      const bool top = parent == nullptr;
      const int image = imageFor(part, containerClass, top);
      node->image = image;
      node->selectedImage = (!top && image == kFolder) ? kFolderOpen : image;
      const int row = static_cast<int>(children.size());
      beginInsertRows(indexOf(parent), row, row);
      found = node.get();
      children.push_back(std::move(node));
      endInsertRows();
    }
    parent = found;
  }
  // A new child changes what its ancestors hold: settle them as a tick would.
  if (parent != nullptr) {
    for (Node* up = parent->parent; up != nullptr; up = up->parent) {
      bool all = true;
      for (const auto& c : up->children) all = all && c->ticked;
      up->ticked = all;
      up->bold = all;
    }
    for (Node* up = parent->parent; up != nullptr; up = up->parent) {
      bool any = false;
      for (const auto& c : up->children) any = any || c->bold;
      up->bold = any;
      changed(up);
    }
  }
  return indexOf(parent);
}

QString CFolderTreeCtrl1::folderPathOf(const QModelIndex& index) const {
  QString path;
  for (Node* n = nodeOf(index); n != nullptr; n = n->parent) {
    path.prepend(QString::fromStdString(EscapeFolderName(n->text.toStdString())) + "\\");
  }
  return path;
}

void CFolderTreeCtrl1::collect(const Node* node, QStringList& out) const {
  for (const auto& child : node->children) {
    if (child->ticked) out << folderPathOf(createIndex(child->row(), 0, child.get()));
    collect(child.get(), out);
  }
}

QStringList CFolderTreeCtrl1::collectTickedFolders() const {
  // A ticked top-level folder is saved too: the items filed directly under it are its own.
  QStringList out;
  for (const auto& root : m_roots) {
    if (root->ticked) out << folderPathOf(indexOf(root.get()));
    collect(root.get(), out);
  }
  return out;
}

void CFolderTreeCtrl1::setTickBelow(Node* node, bool ticked) {
  node->ticked = ticked;
  node->bold = ticked;
  for (const auto& child : node->children) setTickBelow(child.get(), ticked);
}

void CFolderTreeCtrl1::toggle(const QModelIndex& index) {
  Node* node = nodeOf(index);
  if (node == nullptr) return;
  setTickBelow(node, !node->ticked);
  // An ancestor is ticked when all its children are; its bold mark follows its tick here...
  for (Node* up = node->parent; up != nullptr; up = up->parent) {
    bool all = true;
    for (const auto& c : up->children) all = all && c->ticked;
    up->ticked = all;
    up->bold = all;
  }
  // ...and then shows whether any child is bold.
  for (Node* up = node->parent; up != nullptr; up = up->parent) {
    bool any = false;
    for (const auto& c : up->children) any = any || c->bold;
    up->bold = any;
  }
  changedBelow(node);
  for (Node* up = node->parent; up != nullptr; up = up->parent) changed(up);
}

void CFolderTreeCtrl1::changed(Node* node) {
  const QModelIndex i = indexOf(node);
  emit dataChanged(i, i, {Qt::CheckStateRole, Qt::FontRole, kBoldRole});
}

void CFolderTreeCtrl1::changedBelow(Node* node) {
  changed(node);
  for (const auto& child : node->children) changedBelow(child.get());
}

bool CFolderTreeCtrl1::isTicked(const QModelIndex& index) const {
  const Node* n = nodeOf(index);
  return n != nullptr && n->ticked;
}

bool CFolderTreeCtrl1::isBold(const QModelIndex& index) const {
  const Node* n = nodeOf(index);
  return n != nullptr && n->bold;
}

void CFolderTreeCtrl1::clear() {
  beginResetModel();
  m_roots.clear();
  endResetModel();
}

QModelIndex CFolderTreeCtrl1::index(int row, int column, const QModelIndex& parent) const {
  if (column != 0 || row < 0 || (parent.isValid() && parent.column() != 0)) return {};
  const auto& children = parent.isValid() ? nodeOf(parent)->children : m_roots;
  if (row >= static_cast<int>(children.size())) return {};
  return createIndex(row, 0, children[static_cast<std::size_t>(row)].get());
}

QModelIndex CFolderTreeCtrl1::parent(const QModelIndex& child) const {
  const Node* n = nodeOf(child);
  return n == nullptr ? QModelIndex() : indexOf(n->parent);
}

int CFolderTreeCtrl1::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return static_cast<int>(m_roots.size());
  if (parent.column() != 0) return 0;
  return static_cast<int>(nodeOf(parent)->children.size());
}

int CFolderTreeCtrl1::columnCount(const QModelIndex&) const { return 1; }

QVariant CFolderTreeCtrl1::data(const QModelIndex& index, int role) const {
  const Node* n = nodeOf(index);
  if (n == nullptr) return {};
  switch (role) {
    case Qt::DisplayRole:
      return n->text;
    case Qt::CheckStateRole:
      return n->ticked ? Qt::Checked : Qt::Unchecked;
    case Qt::FontRole: {
      QFont font;
      font.setBold(n->bold);
      return font;
    }
    case Qt::DecorationRole:
      if (n->image < m_images.size()) {
        QIcon icon = m_images[n->image];
        if (n->selectedImage != n->image && n->selectedImage < m_images.size()) {
          icon.addPixmap(m_images[n->selectedImage].pixmap(16, 16), QIcon::Selected);
        }
        return icon;
      }
      return {};
    case kImageRole:
      return n->image;
    case kBoldRole:
      return n->bold;
    default:
      return {};
  }
}

bool CFolderTreeCtrl1::setData(const QModelIndex& index, const QVariant& value, int role) {
  Node* n = nodeOf(index);
  if (n == nullptr || role != Qt::CheckStateRole) return false;
  const bool wanted = value.toInt() == Qt::Checked;
  if (wanted != n->ticked) toggle(index);
  return true;
}

Qt::ItemFlags CFolderTreeCtrl1::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

}  // namespace palvara::gui
