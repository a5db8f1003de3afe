// Every field of every item of the shared real-world stores, as `palvara-cli item` shows it,
// against the value `palvara-cli props` shows for the property that field names: equal, and
// never a value from another property (another set's named property, an attachment's).
// Skips when the test data is absent.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <sstream>

#include "cli/commands.h"
#include "tests/support/cli_run.h"
#include "tests/support/test_data.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::kTestData;
using testing::RunJson;

// A property a field may take its value from: an ordinary tag, or a set's numbered name.
struct Source {
  std::uint32_t id;
  const char* set = nullptr;  // nullptr: an ordinary tag
};

enum class Form {
  kText,     // the whole value
  kPreview,  // the first characters of the value (bodies)
  kSubject,  // the value without its two marker characters when the item shows a marker
  kHtml,     // binary shown as text by `item`, as hex by `props`
  kBinary,   // hex, spaces aside
  kNumber,   // a number, or a boolean shown as 1 or 0
};

struct Field {
  const char* key;  // "mail.subject"
  std::vector<Source> sources;
  Form form = Form::kText;
};

constexpr const char* kAddress = "PSETID_Address";
constexpr const char* kAppointment = "PSETID_Appointment";
constexpr const char* kLog = "PSETID_Log";

const std::vector<Field> kFields = {
    {"messageClass", {{0x001A}, {0x3613}}},
    {"displayName", {{0x3001}}},
    {"recordKey", {{0x0FF9}}, Form::kBinary},
    {"mail.subject", {{0x0037}}, Form::kSubject},
    {"mail.deliveryTime", {{0x0E06}}},
    {"mail.submitTime", {{0x0039}}},
    {"mail.messageFlags", {{0x0E07}}, Form::kNumber},
    {"mail.senderName", {{0x0042}}},
    {"mail.senderAddress", {{0x0064}, {0x0065}}},
    {"mail.receiverAddress", {{0x0075}, {0x0076}}},
    {"mail.displayTo", {{0x0E04}}},
    {"mail.displayCc", {{0x0E03}}},
    {"mail.replyNames", {{0x0050}}},
    {"mail.conversationTopic", {{0x0070}}},
    {"mail.inReplyTo", {{0x1042}}},
    {"mail.commonName", {{0x3A0F}}},
    {"mail.body", {{0x1000}}, Form::kPreview},
    {"mail.html", {{0x1013}}, Form::kHtml},
    {"folderCounts.contentCount", {{0x3602}}, Form::kNumber},
    {"folderCounts.unreadCount", {{0x3603}}, Form::kNumber},
    {"folderCounts.hasSubfolders", {{0x360A}}, Form::kNumber},
    {"contact.company", {{0x3A16}}},
    {"contact.generation", {{0x3A05}}},
    {"contact.emailAddress", {{0x3003}, {0x8048, kAddress}, {0x8084, kAddress}}},
    {"contact.postalAddress", {{0x3A15}}},
    {"contact.title", {{0x3A17}}},
    {"contact.fileAs", {{0x8005, kAddress}, {0x3A06}}},
    {"contact.surname", {{0x3A11}}},
    {"contact.givenName", {{0x3A06}}},
    {"contact.middleName", {{0x3A44}}},
    {"contact.homePhone", {{0x3A09}}},
    {"contact.businessPhone", {{0x3A08}}},
    {"contact.mobilePhone", {{0x3A1C}}},
    {"contact.businessFax", {{0x3A24}}},
    {"contact.department", {{0x3A18}}},
    {"contact.businessAddress", {{0x801B, kAddress}}},
    {"contact.businessStreet", {{0x3A29}}},
    {"contact.businessCity", {{0x3A27}}},
    {"contact.businessState", {{0x3A28}}},
    {"contact.businessPostalCode", {{0x3A2A}}},
    {"contact.businessCountry", {{0x3A26}}},
    {"contact.homeStreet", {{0x3A5D}}},
    {"contact.homeCity", {{0x3A59}}},
    {"contact.homeState", {{0x3A5C}}},
    {"contact.homePostalCode", {{0x3A5B}}},
    {"contact.homeCountry", {{0x3A5A}}},
    {"contact.otherAddress", {{0x801C, kAddress}}},
    {"contact.nickname", {{0x3A4F}}},
    {"contact.personalHomePage", {{0x3A50}}},
    {"contact.businessHomePage", {{0x3A51}}},
    {"contact.freeBusyLocation", {{0x80D8, kAddress}}},
    {"contact.birthday", {{0x3A42}}},
    {"contact.weddingAnniversary", {{0x3A41}}},
    {"contact.gender", {{0x3A4D}}, Form::kNumber},
    {"store.ipmSubtreeEntryId", {{0x35E0}}, Form::kBinary},
    {"store.wastebasketEntryId", {{0x35E3}}, Form::kBinary},
    {"store.finderEntryId", {{0x35E7}}, Form::kBinary},
    {"store.topFolderEntryId", {{0x7C07}}, Form::kBinary},
    {"store.validFolderMask", {{0x35DF}}, Form::kNumber},
    {"journal.entryType", {{0x8700, kLog}, {0x8712, kLog}}},
    {"appointment.start", {{0x8235, kAppointment}}},
    {"appointment.end", {{0x8236, kAppointment}}},
    {"appointment.location", {{0x8208, kAppointment}}},
};

// Attachment fields, against the attachment's own properties or its attachment table row.
const std::vector<Field> kAttachmentFields = {
    {"fileName", {{0x3704}}},
    {"longFileName", {{0x3707}}},
    {"displayName", {{0x3001}}},
};

// Fields that name no property of their own: the kind, the node, values derived from others
// (checked below with their sources).
const std::vector<std::string> kDerived = {"kind",         "nid",
                                           "mail.subjectMarker", "mail.subjectPrefixLength",
                                           "mail.hasRtfFile",    "mail.rtfText",
                                           "mail.namedText1",    "mail.namedText2"};

std::string Hex(std::uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%04X", v);
  return b;
}

void Flatten(const json& j, const std::string& prefix, std::map<std::string, json>& out) {
  if (j.is_object()) {
    for (const auto& [k, v] : j.items()) Flatten(v, prefix.empty() ? k : prefix + "." + k, out);
  } else {
    out[prefix] = j;
  }
}

std::string WithoutSpaces(std::string s) {
  std::erase(s, ' ');
  return s;
}

// Drops the first `n` UTF-8 characters.
std::string DropCharacters(const std::string& s, int n) {
  std::size_t at = 0;
  for (int i = 0; i < n && at < s.size(); ++i) {
    ++at;
    while (at < s.size() && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80) ++at;
  }
  return s.substr(at);
}

// `props` shortens long texts and binaries with "..."; `item` previews bodies.
bool PrefixCompatible(const std::string& item, std::string shown) {
  if (item == shown) return true;
  const bool cut = shown.size() >= 3 && shown.compare(shown.size() - 3, 3, "...") == 0;
  if (cut) shown.resize(shown.size() - 3);
  std::string i = item;
  if (i.size() >= 3 && i.compare(i.size() - 3, 3, "...") == 0) i.resize(i.size() - 3);
  return i.rfind(shown, 0) == 0 || shown.rfind(i, 0) == 0;
}

std::string HexOfText(const std::string& text) {
  std::string out;
  char two[4];
  for (unsigned char c : text) {
    std::snprintf(two, sizeof two, "%02X", c);
    out += two;
  }
  return out;
}

// Does `value` (as `item` shows it) equal `entry`'s value (as `props` shows it)?
bool Matches(const json& value, const json& entry, Form form, const std::map<std::string, json>& item) {
  if (!entry["value"].is_string()) return false;
  const std::string shown = entry["value"];
  switch (form) {
    case Form::kNumber: {
      const std::string v = value.dump();
      return shown == v || (shown == "true" && v == "1") || (shown == "false" && v == "0");
    }
    case Form::kBinary:
      return PrefixCompatible(value.get<std::string>(), WithoutSpaces(shown));
    case Form::kHtml:
      if (entry["type"] == "0x001F" || entry["type"] == "0x001E") {
        return PrefixCompatible(value.get<std::string>(), shown);
      }
      return PrefixCompatible(HexOfText(value.get<std::string>()), WithoutSpaces(shown));
    case Form::kSubject: {
      const bool marked = item.count("mail.subjectMarker") > 0;
      return value.get<std::string>() == (marked ? DropCharacters(shown, 2) : shown) ||
             PrefixCompatible(value.get<std::string>(), marked ? DropCharacters(shown, 2) : shown);
    }
    case Form::kPreview:
      return PrefixCompatible(value.get<std::string>(), shown);
    case Form::kText:
      return value.get<std::string>() == shown ||
             (entry["size"].get<std::size_t>() > 400 && PrefixCompatible(value.get<std::string>(), shown));
  }
  return false;
}

// The entries of a property list that a source names.
std::vector<const json*> Named(const json& entries, const Source& source) {
  std::vector<const json*> found;
  for (const json& e : entries) {
    const bool named = e.contains("tag");
    if (e["id"] != Hex(source.id)) continue;
    if (source.set == nullptr ? !named : (named && e.value("set", "") == source.set)) {
      found.push_back(&e);
    }
  }
  return found;
}

// Checks each field against its sources; returns how many values were compared.
int CheckFields(const std::vector<Field>& fields, const std::map<std::string, json>& item,
                const std::string& prefix, const std::vector<const json*>& lists) {
  int compared = 0;
  for (const Field& field : fields) {
    const auto it = item.find(prefix + field.key);
    std::vector<const json*> candidates;
    for (const Source& s : field.sources) {
      for (const json* list : lists) {
        for (const json* e : Named(*list, s)) candidates.push_back(e);
      }
    }
    if (it == item.end()) {
      // A field left empty while its only source holds a text, a time or a non-zero number.
      if (field.sources.size() == 1 && candidates.size() == 1 && field.form != Form::kBinary) {
        const json& e = *candidates[0];
        const std::string shown = e["value"].is_string() ? e["value"].get<std::string>() : "";
        const bool empty = shown.empty() || shown == "0" || shown == "false" ||
                           (field.form == Form::kSubject && DropCharacters(shown, 2).empty());
        EXPECT_TRUE(empty) << prefix << field.key << " is missing; props shows " << e.dump();
      }
      continue;
    }
    ++compared;
    bool matched = false;
    for (const json* e : candidates) matched = matched || Matches(it->second, *e, field.form, item);
    EXPECT_TRUE(matched) << prefix << field.key << " = " << it->second.dump()
                         << " is the value of none of its properties (" << candidates.size()
                         << " present)";
  }
  return compared;
}

class ItemFieldsTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ItemFieldsTest, EveryFieldHoldsTheValueOfThePropertyItNames) {
  const std::string file = (kTestData / "stores" / GetParam()).string();
  const json nodes = RunJson({"nodes", file, "--json"});
  if (!nodes.is_array()) GTEST_SKIP() << "the store cannot be read";
  int compared = 0;
  for (const json& node : nodes) {
    const auto nid = node["nid"].get<std::uint32_t>();
    const std::uint32_t type = nid & 0x1F;
    if (nid != 0x21 && type != 0x02 && type != 0x03 && type != 0x04) continue;
    const json item = RunJson({"item", file, std::to_string(nid), "--json"});
    if (!item.is_object()) continue;
    const json props = RunJson({"props", file, std::to_string(nid), "--json"});
    ASSERT_TRUE(props.contains("entries")) << "node " << nid;
    SCOPED_TRACE(GetParam() + " node " + Hex(nid));
    const json& own = props["entries"];

    std::map<std::string, json> flat;
    Flatten(item, "", flat);
    for (const auto& [key, value] : flat) {
      if (key == "attachments") continue;
      const bool known = std::find(kDerived.begin(), kDerived.end(), key) != kDerived.end() ||
                         std::any_of(kFields.begin(), kFields.end(),
                                     [&key = key](const Field& f) { return key == f.key; });
      EXPECT_TRUE(known) << key << " names no property in this test";
    }
    compared += CheckFields(kFields, flat, "", {&own});

    // Derived fields: their sources are there.
    auto has = [&own](std::uint32_t id) { return !Named(own, {id}).empty(); };
    EXPECT_TRUE(!flat.count("mail.hasRtfFile") || has(0x1009));
    EXPECT_TRUE(!flat.count("mail.rtfText") || has(0x1009) || has(0x6619));
    if (flat.count("mail.namedText1")) {
      EXPECT_TRUE(std::any_of(own.begin(), own.end(), [](const json& e) { return e.contains("name"); }));
    }

    // Attachments: as many as the table has rows, each filled from its row and its own
    // properties only.
    if (!item.contains("attachments")) continue;
    const json table = RunJson({"props", file, std::to_string(nid), "--table", "attachments", "--json"});
    ASSERT_TRUE(table.contains("rows"));
    ASSERT_EQ(item["attachments"].size(), table["rowCount"].get<std::size_t>());
    for (const json& a : item["attachments"]) {
      const auto sid = a["subnodeId"].get<std::uint32_t>();
      const json* row = nullptr;
      for (const json& r : table["rows"]) {
        for (const json& e : r) {
          if (e["id"] == "0x67F2" && e["value"] == std::to_string(sid)) row = &r;
        }
      }
      ASSERT_NE(row, nullptr) << "attachment " << sid << " is in no row";
      const json attached = RunJson({"props", file, std::to_string(nid), "--subnode",
                                     std::to_string(sid), "--json"});
      std::vector<const json*> lists = {row};
      if (attached.contains("entries")) lists.push_back(&attached["entries"]);
      std::map<std::string, json> fields;
      Flatten(a, "", fields);
      compared += CheckFields(kAttachmentFields, fields, "", lists);
      if (attached.contains("entries")) {
        const auto data = Named(attached["entries"], {0x3701});
        const auto size = a["dataSize"].get<std::int64_t>();
        if (!data.empty()) {
          EXPECT_EQ(size, (*data.back())["size"].get<std::int64_t>());
        }
      }
    }
  }
  RecordProperty("compared", compared);
}

std::vector<std::string> StoreNames() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(kTestData / "stores", ec)) {
    if (e.path().extension() == ".pst") names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(SharedStores, ItemFieldsTest, ::testing::ValuesIn(StoreNames()),
                         testing::StoreParamName());
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ItemFieldsTest);

}  // namespace
}  // namespace palvara
