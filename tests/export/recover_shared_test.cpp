// palvara-cli recover on the shared stores: the new PST passes our check and both independent
// readers, holds the source's folders, and every mail with its texts, time and attachments.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "export/pst_output.h"
#include "tests/support/store_items.h"
#include "tests/support/test_data.h"
#include "writer/store_check.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::kTestData;

// What a saved mail must keep: subject, sender and recipient texts, and the attachments that
// pass the file name test with their bytes. The time is compared apart (a mail without one
// takes the previous mail's).
struct MailKey {
  std::string texts;
  std::string time;  // "d/m/y h.m.s", empty when the mail has none
  bool operator<(const MailKey& o) const { return std::tie(texts, time) < std::tie(o.texts, o.time); }
};

std::string PffSenderText(const std::string& name, const std::string& address, bool hasName, bool hasAddress) {
  std::string text = name;
  if (hasAddress) {
    if (address.find('@') != std::string::npos) {
      text += "<" + address + ">";
    } else if (hasName) {
      text = "<" + name + ">";
    }
  }
  return text;
}

std::string AttachmentText(const std::string& name, std::string_view data) {
  return "\n" + name + ":" + std::to_string(data.size()) + ":" +
         std::to_string(std::hash<std::string_view>{}(data));
}

// `withRecipients`: the recipient text too (pffexport does not print it). Attached messages,
// saved as message files, count by their presence.
MailKey KeyOf(const ItemRecord& r, bool withRecipients) {
  const MailFields& m = *r.mail;
  std::string texts = (m.subject && m.subject->text ? *m.subject->text : "") + "\n" + SenderText(m);
  if (withRecipients) texts += "\n" + RecipientText(m);
  for (auto it = r.attachments.rbegin(); it != r.attachments.rend(); ++it) {
    const std::string name = AttachmentName(*it);
    if (it->embeddedNid != 0 || name.ends_with(".eml")) {
      texts += AttachmentText("<message>", "");
      continue;
    }
    if (!IsAcceptableFileName(name)) continue;
    texts += AttachmentText(name, it->data ? std::string_view(reinterpret_cast<const char*>(it->data->data()),
                                                              it->data->size())
                                           : std::string_view());
  }
  MailKey key{texts, ""};
  for (const Raw* t : {&m.deliveryTime, &m.submitTime}) {
    if (key.time.empty() && *t && (*t)->size() >= 8) {
      key.time = DateText(*LoadLe64(**t, 0)) + " " + TimeText(*LoadLe64(**t, 0));
    }
  }
  return key;
}

// The records a saving run writes as mail.
bool SavedAsMail(const ItemRecord& r) {
  const std::string cls = r.messageClass.value_or("");
  if (!r.mail || cls == "IPM.Task" || cls == "IPM.StickyNote") return false;
  if (r.kind == ItemKind::kJournal || r.kind == ItemKind::kAppointment) return false;
  return !(r.contact && cls != "IPM.Note" && r.kind != ItemKind::kMail);
}

// What pffexport wrote for each mail: subject, sender text, delivery time and attachments, in
// the form of MailKey.
std::vector<MailKey> PffMailKeys(const fs::path& exported) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::vector<MailKey> keys;
  for (auto it = fs::recursive_directory_iterator(exported); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path dir = it->path();
    if (!it->is_directory() || dir.filename().string().rfind("Message", 0) != 0 ||
        dir.parent_path().filename() == "Attachments") {
      continue;
    }
    std::map<std::string, std::string> fields;
    std::ifstream headers(dir / "OutlookHeaders.txt");
    for (std::string line; std::getline(headers, line);) {
      const auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      const auto value = line.find_first_not_of('\t', colon + 1);
      fields.emplace(line.substr(0, colon), value == std::string::npos ? "" : line.substr(value));
    }
    MailKey key;
    key.texts = fields["Subject"] + "\n" +
                PffSenderText(fields["Sender name"], fields["Sender email address"],
                           fields.count("Sender name") > 0, fields.count("Sender email address") > 0);
    std::map<int, fs::path> files;
    std::error_code ec;
    for (const auto& f : fs::directory_iterator(dir / "Attachments", ec)) {
      const std::string name = f.path().filename().string();
      files[std::stoi(name.substr(0, name.find('_')))] = f.path();
    }
    for (const auto& [n, file] : files) {
      std::ifstream in(file, std::ios::binary);
      const std::string data((std::istreambuf_iterator<char>(in)), {});
      const std::string name = file.filename().string().substr(file.filename().string().find('_') + 1);
      key.texts += name.ends_with(".eml") ? AttachmentText("<message>", "") : AttachmentText(name, data);
    }
    // "Feb 26, 2014 12:20:25.000000000 UTC" -> "26/2/2014 12.20.25".
    char month[4] = {};
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(fields["Delivery time"].c_str(), "%3s %d, %d %d:%d:%d", month, &day, &year,
                    &hour, &minute, &second) == 6) {
      const auto m = std::find_if(std::begin(kMonths), std::end(kMonths),
                                  [&](const char* name) { return std::string(name) == month; });
      key.time = std::to_string(day) + "/" + std::to_string(m - std::begin(kMonths) + 1) + "/" +
                 std::to_string(year) + " " + std::to_string(hour) + "." + std::to_string(minute) +
                 "." + std::to_string(second);
    }
    keys.push_back(key);
  }
  return keys;
}

// Matches every expected mail with one found, a mail without a time of its own taking any
// other's; returns the first one without a match.
std::optional<MailKey> Unmatched(const std::vector<MailKey>& expected, std::vector<MailKey> found) {
  for (const MailKey& key : expected) {
    auto match = std::find_if(found.begin(), found.end(), [&](const MailKey& f) {
      return f.texts == key.texts && (key.time.empty() || f.time == key.time);
    });
    if (match == found.end()) return key;
    found.erase(match);
  }
  return std::nullopt;
}

class RecoverSharedTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-recover-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    std::ofstream(dir_ / "PV_PST.ini") << "[PV_PST]\nLogPath=" << dir_.string() << "\n";
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_P(RecoverSharedTest, TheNewStoreHoldsEveryFolderAndMail) {
  const json truth = json::parse(std::ifstream(kTestData / "truth" / (GetParam() + ".json")));
  if (truth["summary"]["opened_by"].empty()) GTEST_SKIP() << "neither reader opened it";
  const fs::path source = kTestData / "stores" / truth["file"].get<std::string>();
  int status = 0;
  const std::string settings = "PALVARA_SETTINGS='" + (dir_ / "PV_PST.ini").string() + "' ";
  const json analysis = json::parse(testing::CaptureCommand(settings + PALVARA_CLI_PATH + " analyze '" + source.string() +
                                        "' --json 2>/dev/null", &status));
  const json saved = json::parse(testing::CaptureCommand(settings + PALVARA_CLI_PATH + " recover '" + source.string() +
                                     "' --to '" + (dir_ / "out").string() + "' --json 2>/dev/null",
                                     &status));
  ASSERT_EQ(status, 0) << saved.dump();
  ASSERT_EQ(saved["outcome"], "completed");
  ASSERT_EQ(saved["outputFiles"].size(), 1u);
  const fs::path output = saved["outputFiles"][0].get<std::string>();
  EXPECT_EQ(CheckStore(output).Errors(), 0u);

  // The folders are the source's (with the Deleted Items every store has); each mail folder
  // holds as many mails as the analysis filed under it.
  const json result = json::parse(testing::CaptureCommand(settings + PALVARA_CLI_PATH + " analyze '" + output.string() +
                                      "' --json 2>/dev/null", &status));
  std::map<std::string, json> before, after;
  for (const json& f : analysis["folders"]) before[f["path"]] = f;
  for (const json& f : result["folders"]) after[f["path"]] = f;
  for (const auto& [path, f] : before) {
    ASSERT_TRUE(after.count(path)) << path;
    if (f["mailFolder"]) {
      EXPECT_EQ(after[path]["children"]["mail"], f["itemCount"]) << path;
    }
  }
  for (const auto& [path, f] : after) {
    EXPECT_TRUE(before.count(path) || path == "Personal Folders\\Deleted Items\\") << path;
    if (path.rfind("Personal Folders\\Contacts\\", 0) != 0) {
      EXPECT_EQ(f["children"]["contact"], 0) << path;
    }
  }
  EXPECT_EQ(result["items"]["contact"], saved["saved"]["Contacts"]);

  // Every mail with its texts, attachments and time, through our reader and through pffexport.
  testing::StoreItems in, out;
  ASSERT_TRUE(testing::LoadStoreItems(source, in));
  ASSERT_TRUE(testing::LoadStoreItems(output, out));
  std::vector<MailKey> expected, expectedByPff, found;
  for (const auto& [path, items] : in.folders) {
    for (const auto& r : items) {
      if (!r || !SavedAsMail(*r)) continue;
      expected.push_back(KeyOf(*r, true));
      expectedByPff.push_back(KeyOf(*r, false));
    }
  }
  for (const auto& [path, items] : out.folders) {
    for (const auto& r : items) {
      if (r && r->messageClass == "IPM.Note") found.push_back(KeyOf(*r, true));
    }
  }
  ASSERT_EQ(found.size(), expected.size());
  if (const auto missing = Unmatched(expected, found)) FAIL() << missing->texts << " " << missing->time;

  if (std::system("command -v pffexport >/dev/null 2>&1 && command -v readpst >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "pffexport or readpst is not installed";
  }
  const std::string file = "'" + output.string() + "'";
  ASSERT_EQ(std::system(("pffexport -m all -t '" + (dir_ / "pff").string() + "' " + file +
                         " >/dev/null 2>&1").c_str()), 0);
  const std::vector<MailKey> exported = PffMailKeys(dir_ / "pff.export");
  EXPECT_EQ(exported.size(), expectedByPff.size());
  if (const auto missing = Unmatched(expectedByPff, exported)) {
    ADD_FAILURE() << "pffexport: " << missing->texts << " " << missing->time;
  }
  fs::create_directories(dir_ / "rp");
  EXPECT_EQ(std::system(("readpst -j 0 -D -M -b -o '" + (dir_ / "rp").string() + "' " + file +
                         " >/dev/null 2>&1").c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(SharedStores, RecoverSharedTest,
                         ::testing::ValuesIn(testing::TruthNames("truth")),
                         testing::StoreParamName());
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RecoverSharedTest);

}  // namespace
}  // namespace palvara
