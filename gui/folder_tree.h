// The folder tree of the recovery window: folders inserted by path with the icon rules, tick
// boxes whose ticks spread down to every descendant and up to complete parents, a bold mark on
// every folder that is ticked or holds a tick, and the ticked folders collected for saving.
#pragma once

#include <QAbstractItemModel>
#include <QIcon>
#include <QVector>

#include <memory>
#include <vector>

namespace palvara::gui {

class CFolderTreeCtrl1 : public QAbstractItemModel {
  Q_OBJECT
 public:
  enum Image {
    kFolder = 0, kFolderOpen = 1, kStoreRoot = 2, kCalendar = 3, kContacts = 4,
    kDeletedItems = 5, kDrafts = 6, kInbox = 7, kJournal = 8, kJunk = 9, kNotes = 10,
    kOutbox = 11, kSentItems = 12, kTasks = 13, kSyncIssues = 14, kImageCount = 17
  };
  static constexpr int kImageRole = Qt::UserRole + 1;  // the image index, for tests
  static constexpr int kBoldRole = Qt::UserRole + 2;

  explicit CFolderTreeCtrl1(QObject* parent = nullptr);
  ~CFolderTreeCtrl1() override;

  // The 17 icons in their fixed order; folders show none until set.
  void setImages(const QVector<QIcon>& images);

  // The image a new folder gets: the defaults (5 at the top level, 0 below), then the rules by
  // upper-cased name and container class, the later rules winning.
  static int imageFor(const QString& name, const QString& containerClass, bool topLevel);

  // Inserts "Personal Folders\\Inbox\\Old\\" level by level; returns the last level.
  QModelIndex addFolderPath(const QString& path, const QString& containerClass);
  // The texts of the item and its ancestors, root first, each followed by "\\".
  QString folderPathOf(const QModelIndex& index) const;
  // The ticked folders, the top-level ones included, in pre-order.
  QStringList collectTickedFolders() const;
  // Ticks or unticks `index` and everything below, then settles the ancestors.
  void toggle(const QModelIndex& index);
  bool isTicked(const QModelIndex& index) const;
  bool isBold(const QModelIndex& index) const;
  bool hasItems() const { return !m_roots.empty(); }
  void clear();

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  struct Node {
    QString text;
    int image = 0;
    int selectedImage = 0;
    bool ticked = false;
    bool bold = false;
    Node* parent = nullptr;
    std::vector<std::unique_ptr<Node>> children;
    int row() const;
  };
  Node* nodeOf(const QModelIndex& index) const;
  QModelIndex indexOf(Node* node) const;
  std::vector<std::unique_ptr<Node>>& childrenOf(Node* node);
  void setTickBelow(Node* node, bool ticked);
  void changed(Node* node);
  void changedBelow(Node* node);
  void collect(const Node* node, QStringList& out) const;

  std::vector<std::unique_ptr<Node>> m_roots;
  QVector<QIcon> m_images;
};

}  // namespace palvara::gui
