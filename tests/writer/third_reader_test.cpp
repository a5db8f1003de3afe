// Every store we write, read by a third, independent reader (pst-extractor, which places table
// rows by the arithmetic of the format rather than by following the blocks as they lie): the
// new stores of the shared stores, generated samples, and damaged copies recovered into new
// stores. It must open each and list the folders, classes and subjects our reader lists, and
// the subjects pffexport lists.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/support/damage_kinds.h"
#include "tests/support/store_listings.h"
#include "tests/support/test_data.h"
#include "writer/sample_generator.h"
#include "writer/store_check.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;
using testing::kTestData;

class ThirdReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!testing::HaveThirdReader(&why)) GTEST_SKIP() << why;
    if (std::system("command -v pffexport >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "pffexport is not installed";
    }
    char pattern[] = "/tmp/palvara-third-reader-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    std::ofstream(dir_ / "PV_PST.ini") << "[PV_PST]\nLogPath=" << dir_.string() << "\n";
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }

  // `recover` of `source` into a new store under the test's folder; empty when it fails.
  fs::path Recover(const fs::path& source, const std::string& name) {
    int status = 0;
    const std::string out =
        testing::CaptureCommand("PALVARA_SETTINGS='" + (dir_ / "PV_PST.ini").string() + "' " +
                                    PALVARA_CLI_PATH + " recover '" + source.string() + "' --to '" +
                                    (dir_ / name).string() + "' --json 2>/dev/null",
                                &status);
    const nlohmann::json saved = nlohmann::json::parse(out, nullptr, false);
    if (status != 0 || saved.is_discarded() || saved["outputFiles"].size() != 1) return {};
    return saved["outputFiles"][0].get<std::string>();
  }

  // The three readers agree on `store`, and it has no violation of the format's rules.
  void ExpectReadersAgree(const fs::path& store) {
    SCOPED_TRACE(store.string());
    std::string error;
    const auto third = testing::ThirdReaderListing(store, &error);
    ASSERT_TRUE(third) << "pst-extractor: " << error;
    const testing::StoreListing ours = testing::OurListing(store);
    EXPECT_EQ(testing::ListingDifferences(*third, ours), std::vector<std::string>{});
    const auto pff = testing::PffexportListing(store, dir_ / ("pff-" + std::to_string(++runs_)));
    ASSERT_TRUE(pff) << "pffexport failed";
    // pffexport skips posts ("Skipped item ... of type: IPM.Post").
    EXPECT_EQ(testing::ListingDifferences(third->Without("IPM.Post").SubjectsOnly(), *pff),
              std::vector<std::string>{});
    const CheckReport strict = CheckStore(store, CheckOptions{.strict = true});
    EXPECT_EQ(strict.Violations(), 0u) << FindingsText(strict);
    items_ += ours.Items();
  }

  static std::string FindingsText(const CheckReport& report) {
    std::string text;
    for (const CheckFinding& f : report.findings) text += f.rule + ": " + f.text + "\n";
    return text;
  }

  fs::path dir_;
  int runs_ = 0;
  std::size_t items_ = 0;
};

class SharedStoreThirdReaderTest : public ThirdReaderTest,
                                   public ::testing::WithParamInterface<std::string> {};

TEST_P(SharedStoreThirdReaderTest, ReadsTheNewStoreAsOurReaderAndPffexportDo) {
  const fs::path source = kTestData / "stores" / (GetParam());
  const fs::path output = Recover(source, "out");
  if (output.empty()) {
    // Only a store with no readable header at all gives nothing to save.
    EXPECT_EQ(GetParam(), "jmcleodfoss_truncated_header_40B.pst");
    return;
  }
  ExpectReadersAgree(output);
}

std::vector<std::string> SharedStores() {
  std::vector<std::string> names;
  for (const std::string& truth : testing::TruthNames("truth")) names.push_back(truth);
  return names;
}

INSTANTIATE_TEST_SUITE_P(SharedStores, SharedStoreThirdReaderTest,
                         ::testing::ValuesIn(SharedStores()), testing::StoreParamName());
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SharedStoreThirdReaderTest);

// Samples in every encoding, with folders of several hundred items (contents tables whose row
// matrix spans blocks), and their damaged copies recovered.
TEST_F(ThirdReaderTest, ReadsSamplesAndTheirRecoveredCopies) {
  for (const EncodingMethod encoding :
       {EncodingMethod::kNone, EncodingMethod::kPermute, EncodingMethod::kCyclic}) {
    const fs::path sample =
        dir_ / ("sample-" + std::to_string(static_cast<int>(encoding)) + ".pst");
    SampleOptions options;
    options.messages = 700;
    options.seed = 11;
    options.encoding = encoding;
    SampleSummary summary;
    ASSERT_TRUE(WriteSampleStore(sample, options, &summary).ok());
    if (encoding == EncodingMethod::kCyclic) {
      // pst-extractor does not decode the cyclic encoding ("PST is encrypted"): the sample is
      // checked through its recovered copy, which is written with the permutative encoding.
      std::string error;
      EXPECT_FALSE(testing::ThirdReaderListing(sample, &error));
      EXPECT_NE(error.find("encrypted"), std::string::npos) << error;
    } else {
      ExpectReadersAgree(sample);
    }
    for (const testing::DamageKind kind :
         {testing::DamageKind::kNodeLeafZeroed, testing::DamageKind::kHeaderWiped,
          testing::DamageKind::kCut25}) {
      const fs::path damaged = dir_ / "damaged.pst";
      const Bytes bytes = testing::Damage(testing::ReadFileBytes(sample), kind, 3);
      std::ofstream(damaged, std::ios::binary | std::ios::trunc)
          .write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
      const fs::path recovered = Recover(damaged, "rec-" + std::to_string(++runs_));
      ASSERT_FALSE(recovered.empty()) << testing::DamageKindName(kind);
      ExpectReadersAgree(recovered);
    }
  }
  EXPECT_GT(items_, 2000u);
}

}  // namespace
}  // namespace palvara
