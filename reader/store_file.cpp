#include "reader/store_file.h"

#include <algorithm>
#include <array>

namespace palvara {

const char* StoreFormatName(StoreFormat format) {
  switch (format) {
    case StoreFormat::kAnsi: return "ansi";
    case StoreFormat::kUnicode: return "unicode";
    case StoreFormat::kUnicode4k: return "unicode-4k";
    case StoreFormat::kNone: break;
  }
  return "none";
}

StoreFormat StoreFile::Format() const {
  if (wVer == 23) return StoreFormat::kUnicode;
  if (wVer == 36) return StoreFormat::kUnicode4k;
  if (wVer == ansiVersion || wVer == 14 || wVer == 15) return StoreFormat::kAnsi;
  return StoreFormat::kNone;
}

const PageLayout* StoreFile::Layout() const {
  switch (Format()) {
    case StoreFormat::kAnsi:
      return &kAnsiGeometry;
    case StoreFormat::kUnicode:
      return &kUnicodeGeometry;
    case StoreFormat::kUnicode4k:
      return &k4kGeometry;
    case StoreFormat::kNone: break;
  }
  return nullptr;
}

void RecoverySummary::AddRecoveredExtent(std::uint64_t offset, std::uint64_t size) {
  if (!recoveredExtents.empty()) {
    FileExtent& last = recoveredExtents.back();
    if (last.offset + last.size == offset) {
      last.size += size;
      return;
    }
  }
  if (recoveredExtents.size() >= kMaxExtentsKept) {
    ++extentsDropped;
    return;
  }
  recoveredExtents.push_back({offset, size});
}

Status OpenStore(StoreFile& store, const std::filesystem::path& path) {
  Status status = Status::Ok();
  std::unique_ptr<FileByteSource> source = FileByteSource::Open(path, &status);
  if (!source) return status;
  return OpenStore(store, std::move(source), path.string());
}

Status OpenStore(StoreFile& store, std::unique_ptr<ByteSource> source, std::string name) {
  std::array<std::byte, kHeaderReadSize> header{};  // Tolerant: missing bytes read as zero.
  const std::size_t got = source->ReadAt(0, header);
  const ByteSpan h(header);

  store.path = std::move(name);
  store.fileSize = source->Size();
  store.file = std::move(source);
  store.wVer = LoadLe16(h, 10).value_or(0);
  if (store.wVer == 14 || store.wVer == 15) store.ansiVersion = store.wVer;

  if (const PageLayout* g = store.Layout()) {
    const std::size_t w = g->idWidth;
    store.endOfFile = LoadLeN(h, g->ibFileEof, w).value_or(0);
    store.nodeTreeRootId = LoadLeN(h, g->brefNbt, w).value_or(0);
    store.nodeTreeRootOffset = LoadLeN(h, g->brefNbt + w, w).value_or(0);
    store.blockTreeRootId = LoadLeN(h, g->brefBbt, w).value_or(0);
    store.blockTreeRootOffset = LoadLeN(h, g->brefBbt + w, w).value_or(0);
    store.headerCryptMethod = ByteAt(h, g->bCryptMethod);
  } else {
    // A wiped header is zeroed; any other unknown version is a header that is not one.
    const auto end = header.begin() + static_cast<std::ptrdiff_t>(std::min(got, kSmallPageSize));
    const bool zeroed =
        std::all_of(header.begin(), end, [](std::byte b) { return b == std::byte{0}; });
    const DamageKind kind = got == 0 ? DamageKind::kCutOff
                            : zeroed ? DamageKind::kZeroed
                                     : DamageKind::kUnreadable;
    store.damage.Report(
        kind, "HEADER", 10,
        "unknown format version wVer " + std::to_string(store.wVer) + ": no B-tree can be walked");
  }
  if (got < kSmallPageSize) {
    store.damage.Report(DamageKind::kCutOff, "HEADER", got,
                        "file ends after " + std::to_string(got) +
                            " bytes, inside the header: missing bytes read as zero");
  } else if (store.endOfFile > store.fileSize) {
    // Whatever the index places in the missing part is lost; said once here, where it begins.
    const std::uint64_t missing = store.endOfFile - store.fileSize;
    store.damage.Report({DamageKind::kCutOff, "FILE", store.fileSize,
                         static_cast<std::uint32_t>(std::min<std::uint64_t>(missing, UINT32_MAX)), 0,
                         "file ends after " + std::to_string(store.fileSize) + " bytes, " +
                             std::to_string(missing) + " before the end its header gives"});
  }

  store.blockLeafDepth = 255;
  store.nodeLeafDepth = 255;
  store.blockLeafSeen = false;
  store.nodeLeafSeen = false;
  // Until node 0x21 can be tried (after indexing), blocks decode with the permutation.
  store.encoding = EncodingMethod::kPermute;
  store.encodingFromHeader = false;
  return Status::Ok();
}

}  // namespace palvara
