#include "export/mailbox_files.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "export/components.h"

namespace palvara {
namespace {

// At most this many collection files stay open; the others are opened again when needed.
constexpr std::size_t kOpenLimit = 48;

std::filesystem::path PartName(const std::filesystem::path& path) {
  return path.string() + ".part";
}

bool WriteAll(std::FILE* file, std::string_view content) {
  return content.empty() || std::fwrite(content.data(), 1, content.size(), file) == content.size();
}

}  // namespace

void ThrowFileError(const std::filesystem::path& path, int error) {
  // A full or read-only disk ends the run; a name the file system refuses loses one item.
  const bool fatal = error == ENOSPC || error == EFBIG || error == EROFS || error == EDQUOT || error == EIO ||
                     error == EACCES || error == EPERM;
  throw ComponentError(path.string() + ": " + std::strerror(error), fatal);
}

void WriteFileVia(const std::filesystem::path& temporary, const std::filesystem::path& path,
                  std::string_view content) {
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) ThrowFileError(path, errno);
  const bool written = WriteAll(file, content) && std::fflush(file) == 0;
  const int error = errno;
  if (std::fclose(file) != 0 || !written) {
    std::remove(temporary.c_str());
    ThrowFileError(path, written ? errno : error);
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int renameError = errno;
    std::remove(temporary.c_str());
    ThrowFileError(path, renameError);
  }
}

void WriteWholeFile(const std::filesystem::path& path, std::string_view content) {
  WriteFileVia(PartName(path), path, content);
}

CollectionFiles::~CollectionFiles() {
  for (auto& [path, entry] : files_) {
    if (entry.file != nullptr) std::fclose(entry.file);
  }
}

std::FILE* CollectionFiles::Open(const std::filesystem::path& path, Entry& entry) {
  if (entry.file != nullptr) return entry.file;
  if (openCount_ >= kOpenLimit) {
    for (auto& [p, e] : files_) {
      if (e.file != nullptr) {
        std::fclose(e.file);
        e.file = nullptr;
      }
    }
    openCount_ = 0;
  }
  entry.file = std::fopen(PartName(path).c_str(), entry.begun ? "ab" : "wb");
  if (entry.file == nullptr) ThrowFileError(path, errno);
  ++openCount_;
  return entry.file;
}

void CollectionFiles::Append(const std::filesystem::path& path, std::string_view content,
                             std::string_view header) {
  Entry& entry = files_[path];
  std::FILE* file = Open(path, entry);
  const long before = std::ftell(file);
  const bool fresh = !entry.begun;
  entry.begun = true;
  if ((fresh && !WriteAll(file, header)) || !WriteAll(file, content) || std::fflush(file) != 0) {
    const int error = errno;
    // Tolerant: the part of the item that did reach the file is cut off again.
    std::clearerr(file);
    if (before >= 0 && ::ftruncate(::fileno(file), before) == 0) std::fseek(file, before, SEEK_SET);
    ThrowFileError(path, error);
  }
}

void CollectionFiles::Finish(const std::map<std::string, std::string>& footerByExtension) {
  for (auto& [path, entry] : files_) {
    const auto footer = footerByExtension.find(path.extension().string());
    if (footer != footerByExtension.end()) Append(path, footer->second);
    if (entry.file != nullptr) {
      const bool closed = std::fclose(entry.file) == 0;
      entry.file = nullptr;
      if (!closed) ThrowFileError(path, errno);
    }
    if (std::rename(PartName(path).c_str(), path.c_str()) != 0) ThrowFileError(path, errno);
    finished_.push_back(path);
  }
  files_.clear();
  openCount_ = 0;
}

std::vector<std::filesystem::path> CollectionFiles::Files() const {
  std::vector<std::filesystem::path> out = finished_;
  for (const auto& [path, entry] : files_) out.push_back(path);
  return out;
}

}  // namespace palvara
