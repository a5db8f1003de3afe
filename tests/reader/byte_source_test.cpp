#include "reader/byte_source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "items/mapping.h"
#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "reader/store_file.h"
#include "tests/support/test_data.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

Bytes RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::byte>(random());
  return bytes;
}

class FileSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = fs::temp_directory_path() / ("palvara-source-" + std::to_string(::getpid()) + ".bin");
  }
  void TearDown() override { fs::remove(path_); }

  void Write(const Bytes& bytes) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::unique_ptr<FileByteSource> Open(FileCacheOptions cache) {
    Status status = Status::Ok();
    auto source = FileByteSource::Open(path_, &status, cache);
    EXPECT_TRUE(status.ok()) << status.message();
    return source;
  }

  fs::path path_;
};

// Every read, cached or not, returns what the file holds: across chunk boundaries, at and past
// the end, larger than a chunk, with the cache full and evicting.
TEST_F(FileSourceTest, CachedReadsReturnTheFilesBytes) {
  const Bytes content = RandomBytes(300'007, 1);
  Write(content);
  MemoryByteSource truth(content);
  for (const FileCacheOptions cache : {FileCacheOptions{}, FileCacheOptions{4096, 3},
                                       FileCacheOptions{4096, 0}, FileCacheOptions{1000, 8}}) {
    auto source = Open(cache);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->Size(), content.size());
    std::mt19937 random(7);
    for (int i = 0; i < 3000; ++i) {
      const std::uint64_t offset = random() % (content.size() + 9000);
      const std::size_t size = i % 50 == 0 ? 70'000 : random() % 9000;
      Bytes got(size, std::byte{0xEE}), want(size, std::byte{0xEE});
      const std::size_t n = source->ReadAt(offset, got);
      ASSERT_EQ(n, truth.ReadAt(offset, want)) << cache.chunkSize << " at " << offset;
      ASSERT_EQ(got, want) << cache.chunkSize << " at " << offset << " size " << size;
    }
    Bytes far(64);
    EXPECT_EQ(source->ReadAt(UINT64_MAX - 10, far), 0u);
  }
}

TEST_F(FileSourceTest, SmallReadsShareLargeAlignedReadsWithinTheCacheBound) {
  const Bytes content = RandomBytes(1 << 20, 2);
  Write(content);
  auto source = Open(FileCacheOptions{64 << 10, 4});
  Bytes page(512);
  for (std::uint64_t at = 0; at < content.size(); at += 512) source->ReadAt(at, page);
  EXPECT_EQ(source->FileReads(), 16u);  // one per 64 KiB chunk, not one per page
  // The last four chunks are held; the first was evicted and is read again.
  source->ReadAt(content.size() - 100, page);
  EXPECT_EQ(source->FileReads(), 16u);
  source->ReadAt(0, page);
  EXPECT_EQ(source->FileReads(), 17u);
  // Reads of a chunk's size or more go to the file as they are.
  Bytes large(64 << 10);
  source->ReadAt(3, large);
  EXPECT_EQ(source->FileReads(), 18u);
}

TEST_F(FileSourceTest, AFileThatShrinksWhileOpenGivesShortReads) {
  const Bytes content = RandomBytes(200'000, 3);
  Write(content);
  auto source = Open(FileCacheOptions{4096, 4});
  Bytes head(100);
  ASSERT_EQ(source->ReadAt(0, head), 100u);
  fs::resize_file(path_, 50'000);
  EXPECT_EQ(source->Size(), 200'000u);  // the size seen at opening
  Bytes tail(5000);
  EXPECT_EQ(source->ReadAt(150'000, tail), 0u);
  EXPECT_EQ(source->ReadAt(48'000, tail), 2000u);
  EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 2000, content.begin() + 48'000));
  EXPECT_EQ(source->ReadAt(0, head), 100u);  // still cached
  SequentialReader reader(*source, 0, source->Size(), 16'384);
  std::uint64_t seen = 0;
  while (auto window = reader.Next()) seen += window->bytes.size();
  EXPECT_EQ(seen, 50'000u);
}

// The file is read outside the cache's locks; with a single slot, threads find it being filled
// by another and read their piece on their own.
TEST_F(FileSourceTest, ThreadsReadingAtOnceGetTheirOwnBytes) {
  const Bytes content = RandomBytes(400'000, 4);
  Write(content);
  for (const std::size_t chunks : {std::size_t{6}, std::size_t{1}, std::size_t{2048}}) {
    auto source = Open(FileCacheOptions{4096, chunks});
    std::atomic<int> mismatches = 0;
    auto reader = [&](std::uint32_t seed) {
      std::mt19937 random(seed);
      for (int i = 0; i < 4000; ++i) {
        const std::uint64_t offset = random() % content.size();
        Bytes got(random() % 6000);
        const std::size_t n = source->ReadAt(offset, got);
        if (n != std::min<std::uint64_t>(got.size(), content.size() - offset) ||
            !std::equal(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(n),
                        content.begin() + static_cast<std::ptrdiff_t>(offset))) {
          ++mismatches;
        }
      }
    };
    std::thread a(reader, 11), b(reader, 12), c(reader, 13);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(mismatches, 0) << chunks << " chunks";
  }
}

// Windows cover the range once, each beginning with the previous window's last `overlap`
// bytes, the last one shorter; nothing is read past the range.
TEST(SequentialReaderTest, WindowsCoverTheRangeWithTheirOverlap) {
  const Bytes content = RandomBytes(100'000, 5);
  MemoryByteSource source(content);
  for (const std::size_t overlap : {std::size_t{0}, std::size_t{1}, std::size_t{700}}) {
    SequentialReader reader(source, 1234, 98'765, 8192, overlap);
    std::uint64_t expectedOffset = 1234;
    std::uint64_t newBytes = 0;
    int windows = 0;
    while (auto window = reader.Next()) {
      ++windows;
      ASSERT_LE(window->bytes.size(), 8192u);
      ASSERT_EQ(window->offset, expectedOffset) << overlap;
      ASSERT_TRUE(std::equal(window->bytes.begin(), window->bytes.end(),
                             content.begin() + static_cast<std::ptrdiff_t>(window->offset)));
      const std::uint64_t end = window->offset + window->bytes.size();
      newBytes += windows == 1 ? window->bytes.size() : window->bytes.size() - overlap;
      expectedOffset = end - overlap;
      if (end == 98'765) continue;
      ASSERT_EQ(window->bytes.size(), 8192u);
    }
    EXPECT_EQ(newBytes, 98'765u - 1234u) << overlap;
    EXPECT_EQ(expectedOffset + overlap, 98'765u);
    EXPECT_FALSE(reader.Next());
  }
  // A range past the end is cut to the source; an empty one has no window.
  SequentialReader beyond(source, 99'000, 1'000'000, 4096, 16);
  auto only = beyond.Next();
  ASSERT_TRUE(only);
  EXPECT_EQ(only->bytes.size(), 1000u);
  EXPECT_FALSE(beyond.Next());
  SequentialReader empty(source, 500, 500);
  EXPECT_FALSE(empty.Next());
}

// A store whose file is cut while it is open: every item still loads or fails cleanly.
TEST(FileSourceStoreTest, ItemsOfAStoreCutWhileOpenLoadWithoutFault) {
  const fs::path original = testing::kTestData / "stores" / "pst2john_2003_high_enc_quickquick2.pst";
  if (!fs::exists(original)) GTEST_SKIP() << "shared stores absent";
  const fs::path copy = fs::temp_directory_path() / ("palvara-cut-" + std::to_string(::getpid()) + ".pst");
  fs::copy_file(original, copy, fs::copy_options::overwrite_existing);
  {
    Status status = Status::Ok();
    auto source = FileByteSource::Open(copy, &status, FileCacheOptions{4096, 4});
    ASSERT_TRUE(source);
    StoreFile store;
    ASSERT_TRUE(OpenStore(store, std::move(source), copy.string()).ok());
    IndexStore(store);
    LoadNamedPropertyMap(store);
    std::vector<const StoreNode*> nodes;
    store.nodes.ForEachPreorder([&](const StoreNode& node, int) { nodes.push_back(&node); });
    ASSERT_GT(nodes.size(), 20u);
    fs::resize_file(copy, store.fileSize / 3);
    std::size_t loaded = 0, shortened = 0;
    for (const StoreNode* node : nodes) {
      if (LoadItem(store, *node, MapContextFor(store))) ++loaded;
      if (node->dataBlock != nullptr &&
          ReadNodeBytes(store, node->dataBlock).size() < node->dataBlock->size) {
        ++shortened;
      }
    }
    EXPECT_GT(shortened, 0u);  // the cut was seen beyond the few chunks held
    EXPECT_GT(loaded, 0u);
    EXPECT_LT(loaded, nodes.size());
  }
  fs::remove(copy);
}

}  // namespace
}  // namespace palvara
