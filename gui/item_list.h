// The item list of the recovery window: a table model filled in batches by the listing worker,
// which lists one folder at a time (a second folder cancels the listing under way), and the
// store the rows are read from.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QThread>
#include <QVector>

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>

#include "export/source_message.h"
#include "gui/list_rows.h"
#include "items/analysis.h"
#include "items/mapping.h"
#include "reader/store_file.h"

namespace palvara::gui {

// The source store of the run: the one the analysis opened and indexed (with what its recovery
// pass found), read again by the listing worker, the preview and the saving worker. An indexed
// store may be read from several threads at once (StoreFile); the lock here guards only which
// store is read.
class BrowseStore {
 public:
  BrowseStore() = default;
  // Takes the analysis's store. Without one (the analysis was stopped while indexing, or could
  // not read the file) `path` is opened and indexed on first use.
  void adopt(std::shared_ptr<StoreFile> store, std::filesystem::path path);
  // The analysis's store, for the saving run; null when there was none.
  std::shared_ptr<StoreFile> analysed();
  // How many times the file was opened here, beside the analysis (0 when its store was kept).
  int ownOpens();
  // The message nodes directly under `folderNid`, in node order (folder-associated ones left
  // out).
  std::vector<std::uint32_t> messagesOf(std::uint32_t folderNid);
  // The record of node `nid`; nullptr when it cannot be read.
  std::unique_ptr<ItemRecord> load(std::uint32_t nid);
  // The message of node `nid` read whole (its properties, recipients and attachments with
  // their data; attached messages left out); nullptr when it cannot be read.
  std::unique_ptr<SourceMessage> message(std::uint32_t nid);

 private:
  // The store to read and its context (null when it cannot be read); the file is opened and
  // indexed here on first use when the analysis kept no store.
  std::shared_ptr<StoreFile> current(MapContext* context);
  bool openLocked();
  std::mutex m_mutex;
  std::filesystem::path m_path;
  std::shared_ptr<StoreFile> m_analysed;
  std::shared_ptr<StoreFile> m_store;  // the one read: the analysis's, or opened here
  MapContext m_context;
  bool m_tried = false;
  bool m_open = false;
  int m_ownOpens = 0;
};

class ItemListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit ItemListModel(QObject* parent = nullptr);
  void setIcons(const QVector<QIcon>& icons) { m_icons = icons; }

  // Empties the list and sets the columns of `kind`; rows of an older listing are then ignored.
  void begin(ListKind kind, int listing);
  void addRows(int listing, const QList<ListRow>& rows);
  ListKind kind() const { return m_kind; }
  const ListRow* row(int r) const;
  int columnWidth(int column) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  ListKind m_kind = ListKind::kMail;
  QList<ListColumn> m_columns;
  QList<ListRow> m_rows;
  QVector<QIcon> m_icons;
  int m_listing = 0;
};

// The listing worker. start() cancels a listing under way, waits for it to end, and starts the
// new one; rows reach the model in batches (the first screen at once).
class ListLoader : public QObject {
  Q_OBJECT
 public:
  ListLoader(ItemListModel* model, QObject* parent = nullptr);
  ~ListLoader() override;

  // `analysis` and `store` must outlive the listing (stop() first).
  void start(const QString& folderPath, const AnalysisResult* analysis, BrowseStore* store);
  // Cancels the running listing and waits for it to end.
  void stop();
  bool running() const;

 signals:
  void listingDone(int listing);

 private:
  void produce(int listing, ListKind kind, QString path, const AnalysisResult* analysis,
               BrowseStore* store);
  bool cancelled() const;

  ItemListModel* m_model;
  mutable std::mutex m_lock;  // ListLock
  std::condition_variable m_done;
  bool m_running = false;
  bool m_cancel = false;
  QThread* m_thread = nullptr;
  int m_listing = 0;
};

}  // namespace palvara::gui
