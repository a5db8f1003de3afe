// Every item of a store by folder, read through the item loader: for tests that compare what
// was written with what a store holds.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "items/analysis.h"
#include "items/mapping.h"
#include "reader/btree_walk.h"
#include "reader/named_properties.h"
#include "reader/store_file.h"

namespace palvara::testing {

struct StoreItems {
  StoreFile store;
  // By folder path below the top folder, "/"-separated ("" for the top folder itself); the
  // folder's items (folder-associated messages left out), in node order.
  std::map<std::string, std::vector<std::unique_ptr<ItemRecord>>> folders;
  std::map<std::string, std::vector<const StoreNode*>> nodes;
};

inline void CollectItems(StoreItems& items, const StoreNode& folder, const std::string& path) {
  items.folders[path];
  for (const StoreNode* child = folder.firstChild; child != nullptr; child = child->nextSibling) {
    if (child->NidType() == 0x04) {
      items.folders[path].push_back(LoadItem(items.store, *child, MapContextFor(items.store)));
      items.nodes[path].push_back(child);
    } else if (child->NidType() == 0x02) {
      const auto record = LoadItem(items.store, *child, MapContextFor(items.store));
      const std::string name = record && record->displayName ? *record->displayName : "?";
      CollectItems(items, *child, path.empty() ? name : path + "/" + name);
    }
  }
}

// Reads `path` whole; false when it cannot be opened or has no top folder.
inline bool LoadStoreItems(const std::filesystem::path& path, StoreItems& items) {
  if (!OpenStore(items.store, path).ok()) return false;
  IndexStore(items.store);
  LoadNamedPropertyMap(items.store);
  const StoreNode* first = items.store.nodes.First();
  if (first == nullptr) return false;
  const auto storeRecord = LoadItem(items.store, *first, MapContextFor(items.store));
  if (!storeRecord || !storeRecord->store) return false;
  const StoreNode* top = FindTopFolder(items.store, *storeRecord->store);
  if (top == nullptr) return false;
  CollectItems(items, *top, "");
  return true;
}

}  // namespace palvara::testing
