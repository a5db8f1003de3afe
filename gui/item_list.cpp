#include "gui/item_list.h"

#include <QElapsedTimer>

#include "reader/btree_walk.h"

namespace palvara::gui {
namespace {

constexpr int kFirstScreen = 40;
constexpr int kBatch = 400;
constexpr std::uint32_t kNormalMessage = 0x04;

}  // namespace

void BrowseStore::adopt(std::shared_ptr<StoreFile> store, std::filesystem::path path) {
  std::lock_guard lock(m_mutex);
  m_path = std::move(path);
  m_analysed = std::move(store);
  m_store = m_analysed;
  m_tried = m_open = false;
  if (m_store != nullptr) {
    m_tried = true;
    m_context = MapContextFor(*m_store);
    m_open = true;
  }
}

std::shared_ptr<StoreFile> BrowseStore::analysed() {
  std::lock_guard lock(m_mutex);
  return m_analysed;
}

int BrowseStore::ownOpens() {
  std::lock_guard lock(m_mutex);
  return m_ownOpens;
}

bool BrowseStore::openLocked() {
  if (m_tried) return m_open;
  m_tried = true;
  if (m_path.empty()) return false;
  ++m_ownOpens;
  auto store = std::make_shared<StoreFile>();
  if (!OpenStore(*store, m_path).ok()) return false;
  try {
    IndexStore(*store);
    LoadNamedPropertyMap(*store);
  } catch (const std::exception&) {
    return false;
  }
  m_store = std::move(store);
  m_context = MapContextFor(*m_store);
  m_open = true;
  return true;
}

std::shared_ptr<StoreFile> BrowseStore::current(MapContext* context) {
  std::lock_guard lock(m_mutex);
  if (!openLocked()) return nullptr;
  *context = m_context;
  return m_store;
}

std::vector<std::uint32_t> BrowseStore::messagesOf(std::uint32_t folderNid) {
  MapContext context;
  const std::shared_ptr<StoreFile> store = current(&context);
  std::vector<std::uint32_t> out;
  if (store == nullptr) return out;
  const StoreNode* folder = FindNode(*store, folderNid);
  if (folder == nullptr) return out;
  for (const StoreNode* n = folder->firstChild; n != nullptr; n = n->nextSibling) {
    if (n->NidType() == kNormalMessage && n->dataBlock != nullptr) out.push_back(n->nid);
  }
  return out;
}

namespace {

// `read(store, node, context)` on the node `nid` of `store`; null when there is no store, no
// such node, or the read fails.
template <typename Read>
auto readNode(const std::shared_ptr<StoreFile>& store, MapContext& context, std::uint32_t nid,
              Read read) -> decltype(read(*store, *FindNode(*store, nid), context)) {
  if (store == nullptr) return nullptr;
  const StoreNode* node = FindNode(*store, nid);
  if (node == nullptr) return nullptr;
  try {
    return read(*store, *node, context);
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace

std::unique_ptr<ItemRecord> BrowseStore::load(std::uint32_t nid) {
  MapContext context;
  return readNode(current(&context), context, nid,
                  [](StoreFile& store, const StoreNode& node, MapContext& c) {
                    return LoadItem(store, node, c);
                  });
}

std::unique_ptr<SourceMessage> BrowseStore::message(std::uint32_t nid) {
  MapContext context;
  return readNode(current(&context), context, nid,
                  [](StoreFile& store, const StoreNode& node, MapContext&) {
                    return ReadSourceMessage(store, node, 0);
                  });
}

ItemListModel::ItemListModel(QObject* parent) : QAbstractTableModel(parent) {
  m_columns = columnsOf(ListKind::kMail);
}

void ItemListModel::begin(ListKind kind, int listing) {
  beginResetModel();
  m_kind = kind;
  m_columns = columnsOf(kind);
  m_rows.clear();
  m_listing = listing;
  endResetModel();
}

void ItemListModel::addRows(int listing, const QList<ListRow>& rows) {
  if (listing != m_listing || rows.isEmpty()) return;
  const int n = static_cast<int>(rows.size());
  if (insertsAtTop(m_kind)) {
    beginInsertRows({}, 0, n - 1);
    QList<ListRow> reversed(rows.crbegin(), rows.crend());
    m_rows = reversed + m_rows;
  } else {
    const int first = static_cast<int>(m_rows.size());
    beginInsertRows({}, first, first + n - 1);
    m_rows += rows;
  }
  endInsertRows();
}

const ListRow* ItemListModel::row(int r) const {
  return r >= 0 && r < m_rows.size() ? &m_rows[r] : nullptr;
}

int ItemListModel::columnWidth(int column) const {
  return column >= 0 && column < m_columns.size() ? m_columns[column].width : 0;
}

int ItemListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ItemListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
}

QVariant ItemListModel::data(const QModelIndex& index, int role) const {
  const ListRow* r = row(index.row());
  if (r == nullptr || index.column() < 0 || index.column() >= m_columns.size()) return {};
  if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
    return index.column() < r->cells.size() ? r->cells[index.column()] : QString();
  }
  if (role == Qt::DecorationRole && index.column() == 0) {
    const int icon = r->icon >= 0 ? r->icon : rowIconOf(m_kind);
    return icon < m_icons.size() ? QVariant(m_icons[icon]) : QVariant();
  }
  return {};
}

QVariant ItemListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= m_columns.size()) return {};
  if (role == Qt::DisplayRole) return m_columns[section].caption;
  if (role == Qt::TextAlignmentRole) return int(Qt::AlignLeft | Qt::AlignVCenter);
  return {};
}

ListLoader::ListLoader(ItemListModel* model, QObject* parent) : QObject(parent), m_model(model) {}

ListLoader::~ListLoader() { stop(); }

bool ListLoader::running() const {
  std::lock_guard lock(m_lock);
  return m_running;
}

bool ListLoader::cancelled() const {
  std::lock_guard lock(m_lock);
  return m_cancel;
}

void ListLoader::stop() {
  {
    std::unique_lock lock(m_lock);
    if (m_running) {
      m_cancel = true;
      m_done.wait(lock, [this] { return !m_running; });
    }
    m_cancel = false;
  }
  if (m_thread != nullptr) {
    m_thread->wait();
    delete m_thread;
    m_thread = nullptr;
  }
}

void ListLoader::start(const QString& folderPath, const AnalysisResult* analysis,
                       BrowseStore* store) {
  stop();
  const int listing = ++m_listing;
  const ListKind kind = listKindOf(folderPath);
  m_model->begin(kind, listing);
  {
    std::lock_guard lock(m_lock);
    m_running = true;
  }
  m_thread = QThread::create([this, listing, kind, folderPath, analysis, store] {
    produce(listing, kind, folderPath, analysis, store);
  });
  m_thread->start();
}

void ListLoader::produce(int listing, ListKind kind, QString path, const AnalysisResult* analysis,
                         BrowseStore* store) {
  QList<ListRow> batch;
  QElapsedTimer sinceSent;
  sinceSent.start();
  bool firstSent = false;
  auto send = [&] {
    if (batch.isEmpty()) return;
    QMetaObject::invokeMethod(m_model, [model = m_model, listing, rows = batch] {
      model->addRows(listing, rows);
    }, Qt::QueuedConnection);
    batch.clear();
    firstSent = true;
    sinceSent.restart();
  };
  auto add = [&](ListRow row) {
    batch.append(std::move(row));
    const int due = firstSent ? kBatch : kFirstScreen;
    if (batch.size() >= due || (firstSent && sinceSent.elapsed() > 150)) send();
  };
  if (analysis != nullptr) {
    switch (kind) {
      case ListKind::kContacts:
        for (const auto& c : analysis->contacts) {
          if (cancelled()) break;
          add(contactRow(*c));
        }
        break;
      case ListKind::kTasks:
        for (const auto& t : analysis->tasks) {
          if (cancelled()) break;
          add(taskRow(*t));
        }
        break;
      case ListKind::kJournal:
        for (const auto& j : analysis->journal) {
          if (cancelled()) break;
          add(journalRow(j));
        }
        break;
      case ListKind::kNotes:
        for (const auto& n : analysis->notes) {
          if (cancelled()) break;
          add(noteRow(n));
        }
        break;
      case ListKind::kCalendar:
        for (const auto& e : analysis->calendar) {
          if (cancelled()) break;
          add(calendarRow(e));
        }
        break;
      case ListKind::kMail: {
        const std::string p = path.toStdString();
        const FolderEntry* folder = nullptr;
        for (const FolderEntry& f : analysis->folders) {
          if (f.path == p) folder = &f;
        }
        if (folder == nullptr || store == nullptr) break;
        for (std::uint32_t nid : store->messagesOf(folder->nodeId)) {
          if (cancelled()) break;
          std::unique_ptr<ItemRecord> r = store->load(nid);
          if (!r || !r->mail || r->folderCounts) continue;
          ListRow row = mailRow(*r->mail, nid);
          row.icon = rowIconOfItem(r->messageClass.value_or(""));
          add(std::move(row));
        }
        break;
      }
    }
  }
  send();
  {
    std::lock_guard lock(m_lock);
    m_running = false;
  }
  m_done.notify_all();
  QMetaObject::invokeMethod(this, [this, listing] { emit listingDone(listing); },
                            Qt::QueuedConnection);
}

}  // namespace palvara::gui
