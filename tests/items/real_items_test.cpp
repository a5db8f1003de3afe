// Loads every item of the shared real-world stores and compares the records with what the two
// independent readers found (../shared/testdata/truth/items). Skips when the folder is absent.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/text.h"
#include "items/classify.h"
#include "items/mapping.h"
#include "reader/btree_walk.h"
#include "tests/support/test_data.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using testing::kTestData;

std::string Trim(std::string s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

const json* Field(const json& item, const char* name) {
  if (!item.contains("fields") || !item["fields"].contains(name)) return nullptr;
  const json& f = item["fields"][name];
  return f.contains("value") && f["value"].is_string() ? &f["value"] : nullptr;
}

class RealItemsTest : public ::testing::TestWithParam<std::string> {};

TEST_P(RealItemsTest, RecordsMatchWhatThePeersFound) {
  const json truth = json::parse(std::ifstream(kTestData / "truth" / "items" / (GetParam() + ".json")));
  StoreFile store;
  ASSERT_TRUE(OpenStore(store, kTestData / "stores" / truth["file"].get<std::string>()).ok());
  IndexStore(store);
  LoadNamedPropertyMap(store);
  const MapContext context = MapContextFor(store);
  for (const json& item : truth["items"]) {
    const auto nid = item["nid"].get<std::uint32_t>();
    SCOPED_TRACE("nid " + std::to_string(nid));
    const StoreNode* node = FindNode(store, nid);
    ASSERT_NE(node, nullptr);
    const std::unique_ptr<ItemRecord> record = LoadItem(store, *node, context);
    ASSERT_NE(record, nullptr);
    if (item.contains("message_class")) {
      const std::string cls = item["message_class"]["value"];
      EXPECT_EQ(record->messageClass, cls);
      EXPECT_EQ(record->kind, ClassifyMessageClass(cls));
    }
    if (record->kind != ItemKind::kMail) continue;
    ASSERT_TRUE(record->mail);
    const MailFields& mail = *record->mail;
    if (const json* subject = Field(item, "subject")) {
      EXPECT_EQ(mail.subject && mail.subject->text ? *mail.subject->text : "",
                subject->get<std::string>());
    }
    const json* sender = Field(item, "sent_representing_name");
    if (sender == nullptr) sender = Field(item, "sender_name");
    if (sender != nullptr && mail.senderName) {
      EXPECT_EQ(Trim(*mail.senderName), Trim(sender->get<std::string>()));
    }
    if (const json* delivery = Field(item, "delivery_time")) {
      ASSERT_TRUE(mail.deliveryTime);
      EXPECT_EQ(FileTimeToIso8601(*LoadLe64(*mail.deliveryTime, 0)).substr(0, 19),
                delivery->get<std::string>().substr(0, 19));
    }
    // Every file attachment the peers exported is there, with its name and size.
    for (const json& a : item["attachments"]) {
      if (a.value("kind", "") != "file" || !a.contains("size")) continue;
      const auto size = a["size"].get<std::int32_t>();
      const bool named = a["name"].is_string();
      const bool found = std::any_of(
          record->attachments.begin(), record->attachments.end(), [&](const AttachmentNode& n) {
            const std::string name = n.longFileName ? *n.longFileName : n.fileName.value_or("");
            return n.dataSize == size && (!named || name == a["name"].get<std::string>());
          });
      EXPECT_TRUE(found) << a.dump();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SharedStores, RealItemsTest,
                         ::testing::ValuesIn(testing::TruthNames("truth/items")),
                         testing::StoreParamName());
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RealItemsTest);

// The words of a body that is also stored as compressed RTF come out of the RTF.
TEST(RealItemsFacts, CompressedRtfBodiesGiveTheirText) {
  for (const char* name : {"tika_testPST_variousBodyTypes.pst", "tika_testPST_variousBodyTypes_2017.pst"}) {
    const fs::path file = kTestData / "stores" / name;
    if (!fs::exists(file)) GTEST_SKIP() << "test data absent";
    StoreFile store;
    ASSERT_TRUE(OpenStore(store, file).ok());
    IndexStore(store);
    LoadNamedPropertyMap(store);
    int withRtf = 0;
    store.nodes.ForEachPreorder([&](const StoreNode& node, int) {
      if (node.NidType() != 0x04) return;
      auto record = LoadItem(store, node, MapContextFor(store));
      if (!record || !record->mail || record->mail->hasRtfFile != 1) return;
      ++withRtf;
      ASSERT_TRUE(record->mail->rtfText);
      ASSERT_TRUE(record->mail->body);
      std::istringstream words(*record->mail->body);
      for (std::string word; words >> word;) {
        EXPECT_NE(record->mail->rtfText->find(word), std::string::npos) << name << ": " << word;
      }
    });
    EXPECT_EQ(withRtf, 1) << name;
  }
}

}  // namespace
}  // namespace palvara
