#include "export/saving_walk.h"

#include <algorithm>

#include "common/folder_path.h"
#include "export/source_item.h"

namespace palvara {
namespace {

constexpr std::uint32_t kNidTypeMessage = 0x04;     // NID_TYPE_NORMAL_MESSAGE
constexpr std::uint32_t kNidTypeAssociated = 0x08;  // NID_TYPE_ASSOC_MESSAGE

// "Personal Folders\\Inbox\\Old\\" -> "Personal Folders\\Inbox\\".
// Leaves the innermost folder: its name, as the path writes it, goes whole.
void LeaveFolder(std::string& path, std::vector<std::string>& names) {
  if (names.empty()) return;
  path.resize(path.size() - names.back().size() - 1);
  names.pop_back();
}

}  // namespace

SavingWalk::SavingWalk(StoreFile& store, const StoreNode& top, MapContext context,
                       std::vector<std::string> selectedFolders, AttachmentReading attachments,
                       std::size_t lookahead)
    : store_(store),
      top_(top),
      context_(std::move(context)),
      selected_(std::move(selectedFolders)),
      attachments_(attachments),
      lookahead_(std::max<std::size_t>(lookahead, 2)) {
  if (top_.nid != 0) folders_.push_back({kSavingTopPath, top_.nid});
  thread_ = std::thread([this] { Load(); });
}

SavingWalk::~SavingWalk() {
  {
    const std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  roomMade_.notify_all();
  thread_.join();
}

bool SavingWalk::Selected(const std::string& path) const {
  return std::find(selected_.begin(), selected_.end(), path) != selected_.end();
}

bool SavingWalk::Full() const {
  return !queue_.empty() && (queue_.size() >= lookahead_ || queuedBytes_ >= kLookaheadBytes);
}

bool SavingWalk::Refilled() const {
  return queue_.size() <= lookahead_ / 2 && queuedBytes_ <= kLookaheadBytes / 2;
}

std::optional<SavingStep> SavingWalk::Next() {
  std::unique_lock lock(mutex_);
  writerWaiting_ = true;
  stepReady_.wait(lock, [this] { return !queue_.empty() || finished_; });
  writerWaiting_ = false;
  if (queue_.empty()) {
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
    return std::nullopt;
  }
  SavingStep step = std::move(queue_.front());
  queue_.pop_front();
  queuedBytes_ -= step.sourceBytes;
  const bool wake = loaderWaiting_ && Refilled();
  lock.unlock();
  if (wake) roomMade_.notify_one();
  return step;
}

void SavingWalk::Release(SavingStep step) {
  const std::lock_guard lock(mutex_);
  // After the loading thread's end nobody frees them there: they go with the walk.
  released_.push_back(std::move(step));
}

bool SavingWalk::Hand(SavingStep step) {
  std::vector<SavingStep> done;
  std::unique_lock lock(mutex_);
  done.swap(released_);
  if (Full()) {
    loaderWaiting_ = true;
    roomMade_.wait(lock, [this] { return Refilled() || stopped_; });
    loaderWaiting_ = false;
  }
  if (stopped_) return false;
  queuedBytes_ += step.sourceBytes;
  queue_.push_back(std::move(step));
  const bool wake = writerWaiting_;
  lock.unlock();
  if (wake) stepReady_.notify_one();
  done.clear();  // freed outside the lock
  return true;
}

void SavingWalk::Load() {
  try {
    int depth = 1;  // open folder levels; the bottom one stands for the top folder
    const StoreNode* node = top_.firstChild;
    while (node != nullptr) {
      bool descend = false;
      // Folder-associated messages (views, rules, forms) are not the user's items.
      if (node->dataBlock != nullptr && node->NidType() != kNidTypeAssociated) {
        SavingStep step;
        step.node = node;
        descend = LoadStep(step);
        if (descend) ++depth;
        if (!Hand(std::move(step))) break;
      }
      if (descend) {
        node = node->firstChild;
        continue;
      }
      bool leftTop = false;
      while (node->nextSibling == nullptr && node->parent != nullptr) {
        if (--depth == 0) {
          leftTop = true;
          break;
        }
        LeaveFolder(currentPath_, names_);
        node = node->parent;
      }
      if (leftTop) break;
      node = node->nextSibling;
    }
  } catch (...) {
    const std::lock_guard lock(mutex_);
    error_ = std::current_exception();
  }
  {
    const std::lock_guard lock(mutex_);
    finished_ = true;
  }
  stepReady_.notify_all();
}

bool SavingWalk::LoadStep(SavingStep& step) {
  const StoreNode& node = *step.node;
  if (!folders_.empty()) {
    const std::uint32_t parent = node.parent != nullptr ? node.parent->nid : 0;
    const auto entry = std::find_if(folders_.begin(), folders_.end(),
                                    [parent](const auto& f) { return f.second == parent; });
    step.mailFolder = entry != folders_.end() ? entry->first : folders_.back().first;
  }
  // A message is read only when a selected folder would take it, whatever kind it is.
  const bool taken = Selected(currentPath_) || (step.mailFolder && Selected(*step.mailFolder));
  if (node.NidType() == kNidTypeMessage && !taken) return false;
  // What the record is read from is kept for the item read whole: each list is read once.
  ItemLists lists;
  step.record = LoadItem(store_, node, context_, attachments_, taken ? &lists : nullptr);
  if (!step.record || step.record->Empty()) return false;
  if (!step.record->folderCounts) {
    step.kind = SavingStep::Kind::kItem;
    step.path = currentPath_;
    if (taken) step.source = SourceItemReader(store_).Read(lists);
    if (step.source) step.sourceBytes = step.source->ValueBytes();
    // One that cannot be read whole is written from its record, which then needs its
    // attachments whole and every text.
    if (taken && !step.source &&
        (attachments_ != AttachmentReading::kWhole || context_.texts != TextFields::kAll)) {
      MapContext every = context_;
      every.texts = TextFields::kAll;
      if (auto whole = LoadItem(store_, node, every, AttachmentReading::kWhole)) {
        step.record = std::move(whole);
      }
    }
    return false;
  }
  step.kind = SavingStep::Kind::kFolder;
  step.parentLength = currentPath_.size();
  names_.push_back(EscapeFolderName(step.record->displayName.value_or("")));
  currentPath_ += names_.back() + "\\";
  step.path = currentPath_;
  // Every folder, not only mail folders: mail keeps the folder it was filed in, whatever
  // that folder's class.
  folders_.push_back({currentPath_, node.nid});
  if (node.firstChild != nullptr) return true;
  LeaveFolder(currentPath_, names_);
  return false;
}

}  // namespace palvara
