// Damages a copy of a store the way failing disks and interrupted copies do, for the sample
// job of `make run`: one leaf page of the node B-tree zeroed, one message's property heap
// zeroed, and the file's unused tail cut off.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

std::uint64_t Le(const Bytes& b, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | b[at + static_cast<std::size_t>(i)];
  return v;
}

bool PageFits(const Bytes& file, std::uint64_t ib) { return ib + 512 <= file.size(); }

// The leaf page reached by taking, on every level, the entry `pick` chooses.
template <typename Pick>
std::uint64_t Leaf(const Bytes& file, std::uint64_t ib, Pick pick) {
  for (int depth = 0; depth < 8 && PageFits(file, ib); ++depth) {
    if (file[ib + 491] == 0) return ib;
    const std::size_t count = file[ib + 488];
    if (count == 0) return 0;
    ib = Le(file, ib + pick(count) * 24 + 16, 8);
  }
  return 0;
}

// The file offset and size of block `bid`, found through the block B-tree.
bool FindBlock(const Bytes& file, std::uint64_t bid, std::uint64_t& ib, std::uint64_t& cb) {
  std::uint64_t page = Le(file, 240, 8);
  for (int depth = 0; depth < 8 && PageFits(file, page); ++depth) {
    const std::size_t count = file[page + 488];
    if (file[page + 491] == 0) {
      for (std::size_t i = 0; i < count; ++i) {
        if ((Le(file, page + i * 24, 8) & ~1ull) == (bid & ~1ull)) {
          ib = Le(file, page + i * 24 + 8, 8);
          cb = Le(file, page + i * 24 + 16, 2);
          return ib + cb <= file.size();
        }
      }
      return false;
    }
    std::size_t child = 0;
    while (child + 1 < count && Le(file, page + (child + 1) * 24, 8) <= bid) ++child;
    page = Le(file, page + child * 24 + 16, 8);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: damage-store INPUT OUTPUT\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  Bytes file((std::istreambuf_iterator<char>(in)), {});
  if (file.size() < 0x4400 || Le(file, 10, 2) != 23) {
    std::cerr << "damage-store: " << argv[1] << " is not a Unicode store\n";
    return 1;
  }
  const std::uint64_t nbtRoot = Le(file, 224, 8);
  // One message's property heap: a message in the last leaf of the node B-tree.
  const std::uint64_t last = Leaf(file, nbtRoot, [](std::size_t n) { return n - 1; });
  if (last != 0) {
    for (std::size_t i = file[last + 488]; i-- > 0;) {
      const std::uint64_t nid = Le(file, last + i * 32, 8);
      std::uint64_t ib = 0, cb = 0;
      if ((nid & 0x1F) == 0x04 && FindBlock(file, Le(file, last + i * 32 + 8, 8), ib, cb)) {
        std::memset(&file[ib], 0, cb);
        std::cout << "zeroed the property heap of message " << nid << " (" << cb << " bytes at " << ib << ")\n";
        break;
      }
    }
  }
  // One leaf page of the node B-tree, from the middle of the tree.
  const std::uint64_t middle = Leaf(file, nbtRoot, [](std::size_t n) { return n / 2; });
  if (middle != 0 && middle != nbtRoot) {
    std::memset(&file[middle], 0, 512);
    std::cout << "zeroed the node B-tree page at " << middle << "\n";
  }
  // The unused end of the file.
  std::size_t end = file.size();
  while (end >= 512 && end > 0x4400 &&
         std::all_of(file.begin() + static_cast<std::ptrdiff_t>(end - 512),
                     file.begin() + static_cast<std::ptrdiff_t>(end), [](unsigned char c) { return c == 0; })) {
    end -= 512;
  }
  std::cout << "cut " << file.size() - end << " bytes off the end\n";
  file.resize(end);
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  return out ? 0 : 1;
}
