// A message built from the item read whole renders the same whether it maps the properties
// itself or borrows the mail fields the walk mapped, and the walk's record gets them back.
#include "export/source_message.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "export/mime_writer.h"
#include "export/source_item.h"
#include "items/mapping.h"
#include "tests/support/store_items.h"
#include "tests/support/test_data.h"

namespace palvara {
namespace {

// Boundaries are numbered per run: the numbers are left out of a comparison.
std::string WithoutBoundaryNumbers(const std::string& text) {
  std::string out;
  for (std::size_t pos = 0;;) {
    const std::size_t at = text.find("=_palvara_", pos);
    const std::size_t number = at == std::string::npos ? at : text.find('_', at + 10);
    if (number == std::string::npos) return out + text.substr(pos);
    const std::size_t end = text.find_first_not_of("0123456789", number + 1);
    out.append(text, pos, number + 1 - pos);
    pos = end == std::string::npos ? text.size() : end;
  }
}

TEST(SourceMessage, BorrowedMailFieldsRenderLikeMappedOnesAndGoBack) {
  constexpr int kEnough = 300;
  // A few hundred messages from stores of every kind are enough; all of them take long.
  if (!std::filesystem::exists(testing::kTestData / "stores")) {
    GTEST_SKIP() << "no shared test data";
  }
  std::vector<std::filesystem::path> stores;
  for (const auto& entry : std::filesystem::directory_iterator(testing::kTestData / "stores")) {
    stores.push_back(entry.path());
  }
  std::sort(stores.begin(), stores.end());
  int messages = 0;
  for (std::size_t i = 0; i < stores.size() && messages < kEnough; i += 3) {
    const std::filesystem::path& path = stores[i];
    testing::StoreItems items;
    if (!testing::LoadStoreItems(path, items)) continue;
    StoreFile& store = items.store;
    const MapContext context = MapContextFor(store);
    for (const auto& [folder, nodes] : items.nodes) {
      for (const StoreNode* node : nodes) {
        ItemLists lists;
        const auto record = LoadItem(store, *node, context, AttachmentReading::kTableRows, &lists);
        if (!record || !record->mail) continue;
        const auto item = SourceItemReader(store).Read(lists);
        const auto own = SourceMessageOf(store, *node, item.get(), context);
        if (!own) continue;
        const MailFields* fields = record->mail.get();
        auto borrowed = SourceMessageOf(store, *node, item.get(), context, record.get());
        ASSERT_NE(borrowed, nullptr);
        // A message read from the store again (no item read whole) maps its own.
        if (borrowed->lender != nullptr) {
          ++messages;
          EXPECT_EQ(borrowed->record.mail.get(), fields);
        }
        EXPECT_EQ(borrowed->record.codePage, own->record.codePage);
        EXPECT_EQ(WithoutBoundaryNumbers(RenderMessage(*borrowed, "Status: O\n")),
                  WithoutBoundaryNumbers(RenderMessage(*own, "Status: O\n")))
            << path << " " << folder << " node " << node->nid;
        borrowed.reset();
        EXPECT_EQ(record->mail.get(), fields) << path << " node " << node->nid;
      }
    }
  }
  if (messages == 0) GTEST_SKIP() << "no shared stores";
  EXPECT_GT(messages, 100);
}

}  // namespace
}  // namespace palvara
