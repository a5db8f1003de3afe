// The saving run's walk: every step in walk order whatever the writer does with the steps it
// hands back, and a walk given up half way ends without waiting for the rest.
#include "export/saving_walk.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "items/analysis.h"
#include "reader/btree_walk.h"
#include "reader/named_properties.h"
#include "writer/sample_generator.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

class SavingWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-saving-walk-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    SampleOptions sample;
    sample.messages = 120;
    ASSERT_TRUE(WriteSampleStore(dir_ / "sample.pst", sample, &written_).ok());
    ASSERT_TRUE(OpenStore(store_, dir_ / "sample.pst").ok());
    IndexStore(store_);
    LoadNamedPropertyMap(store_);
    const auto storeRecord = LoadItem(store_, *store_.nodes.First(), MapContextFor(store_));
    ASSERT_TRUE(storeRecord && storeRecord->store);
    top_ = FindTopFolder(store_, *storeRecord->store);
    ASSERT_NE(top_, nullptr);
    AnalysisOptions options;
    options.sourcePath = dir_ / "sample.pst";
    AnalysisObserver quiet;
    RunControl control;
    for (const TreeFolder& f : RunAnalysis(options, quiet, control).tree) selected_.push_back(f.path);
  }
  void TearDown() override { fs::remove_all(dir_); }

  struct Seen {
    std::uint32_t nid;
    SavingStep::Kind kind;
    std::string path;
    bool whole;
    auto operator<=>(const Seen&) const = default;
  };
  // A queue the sample fills many times over.
  static constexpr std::size_t kLookahead = 16;

  // Every step of one walk; released back to the walk or kept by the caller.
  std::vector<Seen> Walk(bool release, std::size_t lookahead = kLookahead) {
    SavingWalk walk(store_, *top_, MapContextFor(store_), selected_, AttachmentReading::kWhole,
                    lookahead);
    std::vector<Seen> seen;
    std::vector<SavingStep> kept;
    while (std::optional<SavingStep> step = walk.Next()) {
      seen.push_back({step->node->nid, step->kind, step->path, step->source != nullptr});
      if (release) {
        walk.Release(std::move(*step));
      } else {
        kept.push_back(std::move(*step));
      }
    }
    return seen;
  }

  fs::path dir_;
  SampleSummary written_;
  StoreFile store_;
  const StoreNode* top_ = nullptr;
  std::vector<std::string> selected_;
};

TEST_F(SavingWalkTest, StepsComeInWalkOrderWhetherHandedBackOrKept) {
  const std::vector<Seen> released = Walk(true);
  EXPECT_EQ(released, Walk(false));
  EXPECT_EQ(released, Walk(true, SavingWalk::kLookahead));
  // Far more steps than wait at once, every mail read whole (all folders are selected).
  std::uint64_t items = 0, whole = 0;
  for (const Seen& s : released) {
    items += s.kind == SavingStep::Kind::kItem ? 1 : 0;
    whole += s.kind == SavingStep::Kind::kItem && s.whole ? 1 : 0;
  }
  EXPECT_GT(items, 2 * kLookahead);
  EXPECT_GE(items, written_.mails);
  EXPECT_EQ(whole, items);
}

// Asked for the table rows and the subject alone, the records leave the attachments' data and
// the bodies to the items read whole; asked for everything, both carry them.
TEST_F(SavingWalkTest, RecordsCarryTheirAttachmentsAndTextsAsAsked) {
  std::uint64_t subjectsOfAll = 0;
  for (const bool everything : {true, false}) {
    MapContext context = MapContextFor(store_);
    context.texts = everything ? TextFields::kAll : TextFields::kSubject;
    const AttachmentReading reading =
        everything ? AttachmentReading::kWhole : AttachmentReading::kTableRows;
    SavingWalk walk(store_, *top_, context, selected_, reading);
    std::uint64_t attachments = 0, inRecords = 0, inSources = 0, subjects = 0, bodies = 0;
    while (std::optional<SavingStep> step = walk.Next()) {
      if (step->kind != SavingStep::Kind::kItem) continue;
      ASSERT_NE(step->source, nullptr);
      for (const AttachmentNode& a : step->record->attachments) inRecords += a.data ? 1 : 0;
      if (const MailFields* m = step->record->mail.get()) {
        subjects += m->subject && m->subject->text && !m->subject->text->empty() ? 1 : 0;
        bodies += (m->body && !m->body->empty()) || (m->html && !m->html->empty()) ? 1 : 0;
      }
      for (const CopiedMessage::Attachment& a : step->source->attachments) {
        ++attachments;
        const bool data = std::any_of(
            a.properties.begin(), a.properties.end(),
            [](const CopiedProperty& p) { return !p.name && p.id == 0x3701 && !p.value.empty(); });
        inSources += data || a.message != nullptr ? 1 : 0;  // bytes, or an attached message
      }
      walk.Release(std::move(*step));
    }
    EXPECT_GT(attachments, 5u);
    EXPECT_EQ(inSources, attachments);
    EXPECT_EQ(inRecords, everything ? attachments : 0u);
    if (everything) subjectsOfAll = subjects;
    EXPECT_EQ(subjects, subjectsOfAll);
    EXPECT_GT(subjects, 100u);
    if (everything) {
      EXPECT_GT(bodies, 100u);
    } else {
      EXPECT_EQ(bodies, 0u);
    }
  }
}

TEST_F(SavingWalkTest, AWalkGivenUpHalfWayEnds) {
  for (const std::size_t taken : {std::size_t{0}, std::size_t{1}, kLookahead + 3}) {
    SavingWalk walk(store_, *top_, MapContextFor(store_), selected_, AttachmentReading::kWhole,
                    kLookahead);
    for (std::size_t i = 0; i < taken; ++i) {
      std::optional<SavingStep> step = walk.Next();
      ASSERT_TRUE(step);
      walk.Release(std::move(*step));
    }
    // Destroyed here, with the loading thread waiting for room or still loading.
  }
}

}  // namespace
}  // namespace palvara
