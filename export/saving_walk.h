// The saving run's walk of the store: the folders below the top of the personal folders in
// pre-order, each item loaded (and read whole when a selected folder takes it) on a thread of
// its own, ahead of the writer, and handed over in walk order through a bounded queue.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "items/item_record.h"
#include "items/mapping.h"
#include "reader/store_file.h"
#include "writer/message_copy.h"

namespace palvara {

inline constexpr const char* kSavingTopPath = "Personal Folders\\";

// One node of the walk that the progress counts: it has data and is not folder-associated.
struct SavingStep {
  enum class Kind {
    kPassed,  // nothing to write: unreadable, empty, or a message no selected folder takes
    kFolder,  // a folder entered; `path` is its own path
    kItem,    // an item; `path` is the folder the walk is in
  };
  const StoreNode* node = nullptr;
  Kind kind = Kind::kPassed;
  std::string path;
  // A folder's: the length of its parent's path, which `path` begins with.
  std::size_t parentLength = 0;
  // The folder a mail is filed in: its parent's path, else the folder entered last; none
  // before the first folder.
  std::optional<std::string> mailFolder;
  std::unique_ptr<ItemRecord> record;
  // The item whole, read when `path` or `mailFolder` is selected; null when it cannot be read.
  std::shared_ptr<const CopiedMessage> source;
  std::uint64_t sourceBytes = 0;  // the bytes of its values
};

class SavingWalk {
 public:
  // How many loaded steps may wait for the writer, and how many bytes of items read whole
  // they may hold (one step always may); once full, the loading thread goes on when no more
  // than half of each are left (it is woken once for several steps, not for each). Items
  // differ much in cost, on either side: the longer the queue, the less each side waits. The
  // loading thread is slower on runs of small items, the writer on large ones; the queue
  // fills by count on small items long before their bytes count, so the count is generous.
  static constexpr std::size_t kLookahead = 512;
  static constexpr std::uint64_t kLookaheadBytes = std::uint64_t{32} << 20;

  // Starts the walk below `top`. The store must be indexed and may be read by other threads
  // meanwhile (see StoreFile); it and `top` must outlive the walk.
  // `lookahead` bounds the steps that may wait (kLookahead but in tests).
  // `attachments` and `context.texts` say how much of its attachments and texts the record of
  // an item read whole carries; the record of one that cannot be read whole (no `source`)
  // carries them all.
  SavingWalk(StoreFile& store, const StoreNode& top, MapContext context,
             std::vector<std::string> selectedFolders,
             AttachmentReading attachments = AttachmentReading::kWhole,
             std::size_t lookahead = kLookahead);
  // Stops the loading thread and waits for it.
  ~SavingWalk();
  SavingWalk(const SavingWalk&) = delete;
  SavingWalk& operator=(const SavingWalk&) = delete;

  // The next step in walk order; nullopt after the last one. An error the loading thread met
  // (memory ran out) is thrown here, after the steps loaded before it.
  std::optional<SavingStep> Next();
  // Hands a step back when the writer is done with it: what the loading thread allocated is
  // freed there, not on the writer's thread (a free across threads waits for the other
  // thread's allocator).
  void Release(SavingStep step);

 private:
  bool Selected(const std::string& path) const;
  // With mutex_ held: whether the queue has no room for another step, and whether it has
  // emptied enough for the loading thread to go on.
  bool Full() const;
  bool Refilled() const;
  void Load();
  // Loads one node's step; true when the walk goes down into the node's children.
  bool LoadStep(SavingStep& step);
  // Queues a step; false once the walk is stopped. Frees the steps released meanwhile.
  bool Hand(SavingStep step);

  StoreFile& store_;
  const StoreNode& top_;
  const MapContext context_;
  const std::vector<std::string> selected_;
  const AttachmentReading attachments_;
  const std::size_t lookahead_;  // steps that may wait, at least 2

  // The loading thread's own state: the folder path it is in and the folders entered so far.
  std::string currentPath_ = kSavingTopPath;
  std::vector<std::string> names_;  // the open folders below the top one, as the path names them
  std::vector<std::pair<std::string, std::uint32_t>> folders_;

  std::mutex mutex_;
  std::condition_variable stepReady_;  // the writer waits for a step
  std::condition_variable roomMade_;   // the loading thread waits for room
  std::deque<SavingStep> queue_;
  std::uint64_t queuedBytes_ = 0;  // of the items read whole in `queue_`
  std::vector<SavingStep> released_;  // done with, to be freed by the loading thread
  bool writerWaiting_ = false;
  bool loaderWaiting_ = false;
  bool finished_ = false;  // the loading thread queued its last step
  bool stopped_ = false;   // the reader wants no more steps
  std::exception_ptr error_;
  std::thread thread_;
};

}  // namespace palvara
