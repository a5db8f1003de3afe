#include "tests/support/store_sketch.h"

#include <algorithm>

#include "common/text.h"

namespace palvara::testing {

Bytes Utf16Of(const std::string& utf8) { return Utf8ToUtf16Le(utf8); }

StoreSketch::StoreSketch(std::optional<std::uint32_t> topFolder,
                         std::vector<PcProperty> storeExtra) {
  std::vector<PcProperty> store = std::move(storeExtra);
  store.push_back({0x3001, 0x001F, Utf16Of("Store")});
  if (topFolder) {
    Bytes entryId(24);
    StoreLe(entryId, 20, *topFolder, 4);
    store.push_back({0x35E0, 0x0102, entryId});
  } else {
    store.push_back({0x35DF, 0x0003, {}, 0x89});
  }
  Node(0x21, 0, store);
  Folder(topFolder.value_or(0x2142), 0x122, "Top of Personal Folders", "");
  Folder(0x122, 0x122, "Root", "");
}

void StoreSketch::Folder(std::uint32_t nid, std::uint32_t parent, const std::string& name,
                         const std::string& containerClass) {
  std::vector<PcProperty> props = {{0x3001, 0x001F, Utf16Of(name)}, {0x3602, 0x0003, {}, 0}};
  if (!containerClass.empty()) props.push_back({0x3613, 0x001F, Utf16Of(containerClass)});
  Node(nid, parent, props);
}

void StoreSketch::Message(std::uint32_t nid, std::uint32_t parent, const std::string& messageClass,
                          const std::string& subject, std::vector<PcProperty> extra) {
  extra.push_back({0x001A, 0x001F, Utf16Of(messageClass)});
  extra.push_back({0x0037, 0x001F, Utf16Of(subject)});
  Node(nid, parent, std::move(extra));
}

void StoreSketch::Node(std::uint32_t nid, std::uint32_t parent, std::vector<PcProperty> props) {
  const std::uint64_t bid = nextBid_ += 4;
  blocks_.push_back({bid, MakePropertyContext(std::move(props))[0]});
  nodes_.push_back(NbtEntry{nid, bid, 0, parent});
}

Bytes StoreSketch::Build(Layout layout) const {
  SimpleStore spec;
  spec.layout = layout;
  spec.nodes = nodes_;
  std::sort(spec.nodes.begin(), spec.nodes.end(),
            [](const NbtEntry& a, const NbtEntry& b) { return a.nid < b.nid; });
  spec.blocks = blocks_;
  return BuildSimpleStore(spec).image;
}

}  // namespace palvara::testing
