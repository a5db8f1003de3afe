// An output file written under a temporary name in a folder of its run's own, beside the name it
// will have ("Outlook.pst.partial-XXXXXX/Outlook.pst.partial"), and renamed when finished. The
// folder is locked while its run lives, so that a later run can tell the folders that killed
// runs left behind from those still being written, and remove them.
#pragma once

#include <filesystem>

namespace palvara {

class UnfinishedOutput {
 public:
  UnfinishedOutput() = default;
  // Removes the file and its folder when it was not published.
  ~UnfinishedOutput();
  UnfinishedOutput(const UnfinishedOutput&) = delete;
  UnfinishedOutput& operator=(const UnfinishedOutput&) = delete;

  // Takes the first of `wanted`, "wanted (2)", ... that no file has taken, and makes and locks
  // the private folder beside it. ComponentError (fatal) when the folder cannot be made. A file
  // reserved before and not published is removed first.
  void Reserve(const std::filesystem::path& wanted);
  // Gives the file its final name: the reserved one, or the next free numbered name when another
  // run took it meanwhile (never replacing a file); removes the folder. ComponentError (fatal)
  // when the rename fails. Returns the final name.
  std::filesystem::path Publish();
  void Discard();

  bool reserved() const { return !temporary_.empty(); }
  // Where the file is written while unfinished; empty when nothing is reserved.
  const std::filesystem::path& temporary() const { return temporary_; }
  // The name it will have (after Publish, the name it got).
  const std::filesystem::path& final() const { return final_; }

 private:
  std::filesystem::path final_;
  std::filesystem::path temporary_;
  int lock_ = -1;  // the private folder, opened and locked
};

// Removes from `folder` the private folders of unfinished outputs (".partial-" and six letters or
// digits) that no run holds and that hold nothing but ".partial" files. Returns how many.
int RemoveStaleOutputs(const std::filesystem::path& folder);

}  // namespace palvara
