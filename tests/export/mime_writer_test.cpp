// Multipart boundaries: a message whose bodies, attached message and attached file hold lines
// that spell the boundaries the writer draws still parses, in Python's mail parser, into the
// parts it was written with, every body whole.
#include "export/mime_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "tests/support/test_data.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

Bytes BytesOf(std::string_view text) {
  const auto* p = reinterpret_cast<const std::byte*>(text.data());
  return Bytes(p, p + text.size());
}

std::unique_ptr<SubjectText> Subject(std::string text) {
  auto subject = std::make_unique<SubjectText>();
  subject->text = std::move(text);
  return subject;
}

SourceAttachment File(std::string name, std::string mimeType, std::string_view data,
                      std::string contentId = {}) {
  SourceAttachment a;
  a.fileName = std::move(name);
  a.mimeType = std::move(mimeType);
  a.contentId = std::move(contentId);
  a.ownData = BytesOf(data);
  a.data = a.ownData;
  return a;
}

// Plain and HTML bodies, an image the HTML names (multipart/related), a text file and an
// attached message with bodies of its own (multipart/mixed): `lines` go into every text.
struct Crafted {
  std::string plain, html, file, innerPlain, innerHtml;
  std::unique_ptr<SourceMessage> message = std::make_unique<SourceMessage>();

  explicit Crafted(const std::string& lines) {
    plain = "Hello,\n" + lines + "-- \nAda\n";
    html =
        "<html><body><p>Chart:</p>\n" + lines + "<img src=\"cid:chart@palvara\"></body></html>\n";
    file = "notes\n" + lines;
    innerPlain = "Forwarded words\n" + lines;
    innerHtml = "<p>Forwarded</p>\n" + lines;
    SourceMessage& m = *message;
    m.record.Mail().subject = Subject("Outer");
    m.record.Mail().body = plain;
    m.record.Mail().html = BytesOf(html);
    m.attachments.push_back(File("chart.png", "image/png", "\x89PNG not really", "chart@palvara"));
    m.attachments.push_back(File("notes.txt", "text/plain", file));
    SourceAttachment attached;
    attached.fileName = "Inner.msg";
    attached.method = 5;
    attached.message = std::make_unique<SourceMessage>();
    attached.message->record.Mail().subject = Subject("Inner");
    attached.message->record.Mail().body = innerPlain;
    attached.message->record.Mail().html = BytesOf(innerHtml);
    m.attachments.push_back(std::move(attached));
  }
};

// The boundaries a rendered message declares, in order.
std::vector<std::string> Boundaries(const std::string& mail) {
  std::vector<std::string> found;
  const std::regex declared("boundary=\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(mail.begin(), mail.end(), declared);
       it != std::sregex_iterator(); ++it) {
    found.push_back((*it)[1]);
  }
  return found;
}

TEST(MimeWriter, PartsThatSpellTheBoundariesStillParseWhole) {
  // Boundaries are numbered in drawing order: a first rendering of the same shape shows the
  // numbers the next one draws (those after its last).
  const std::vector<std::string> probe = Boundaries(RenderMessage(*Crafted("").message));
  ASSERT_EQ(probe.size(), 4u);  // mixed, related, alternative; the inner alternative
  std::smatch number;
  ASSERT_TRUE(std::regex_match(probe.back(), number, std::regex("=_palvara_[a-z]+_([0-9]+)_=")));
  const int last = std::stoi(number[1]);
  std::string lines;
  for (const char* kind : {"mixed", "related", "alternative"}) {
    for (int n = last + 1; n <= last + 8; ++n) {
      for (const std::string again : {"", "1_", "2_"}) {
        const std::string delimiter =
            std::string("--=_palvara_") + kind + "_" + std::to_string(n) + "_" + again + "=";
        lines += delimiter + "\n" + delimiter + "--\n";
      }
      // A line that only begins with a delimiter is one to some parsers too.
      lines += std::string("--=_palvara_") + kind + "_" + std::to_string(n) + "_3_= and more\n";
    }
  }
  Crafted crafted(lines);
  const std::string mail = RenderMessage(*crafted.message);

  // Every boundary was drawn again, past every choice the parts hold.
  const std::vector<std::string> boundaries = Boundaries(mail);
  ASSERT_EQ(boundaries.size(), 4u) << mail.substr(0, 2000);
  for (const std::string& b : boundaries) {
    EXPECT_TRUE(std::regex_match(b, std::regex("=_palvara_[a-z]+_[0-9]+_4_="))) << b;
    EXPECT_EQ(lines.find("--" + b), std::string::npos) << b;
  }

  const fs::path dir =
      fs::temp_directory_path() / ("palvara-mime-writer-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir / "1 Outer.eml", std::ios::binary) << mail;
  int status = 0;
  const std::string out = testing::CaptureCommand(
      std::string("/usr/bin/python3 '") + PALVARA_EXPORT_READER + "' '" + dir.string() + "'",
      &status);
  fs::remove_all(dir);
  ASSERT_EQ(status, 0) << out;
  const json eml = json::parse(out)["folders"][""]["eml"];
  ASSERT_EQ(eml.size(), 1u);
  const json& parsed = eml[0];
  EXPECT_EQ(parsed["subject"], "Outer");
  EXPECT_EQ(parsed["plain"], crafted.plain);
  EXPECT_EQ(parsed["html"], crafted.html);
  EXPECT_EQ(parsed["inline"], json::array({"chart@palvara"}));
  ASSERT_EQ(parsed["attachments"].size(), 2u) << parsed.dump();
  EXPECT_EQ(parsed["attachments"][0]["filename"], "notes.txt");
  EXPECT_EQ(parsed["attachments"][0]["crc32"],
            crc32(0, reinterpret_cast<const Bytef*>(crafted.file.data()),
                  static_cast<uInt>(crafted.file.size())));
  EXPECT_EQ(parsed["attachments"][1]["type"], "message/rfc822");
  EXPECT_EQ(parsed["attachments"][1]["subject"], "Inner");
  EXPECT_EQ(parsed["attachments"][1]["plain"], crafted.innerPlain);
  EXPECT_EQ(parsed["attachments"][1]["html"], crafted.innerHtml);
  EXPECT_EQ(parsed["defects"], json::array()) << parsed.dump();
}

TEST(MimeWriter, AMessageWithoutClashesKeepsTheFirstChoice) {
  // Lines close to a delimiter but not beginning with one change nothing.
  Crafted crafted(" --=_palvara_mixed_1_=\n-=_palvara_related_2_=\n--=_palvara_mixed_\n");
  const std::string mail = RenderMessage(*crafted.message);
  for (const std::string& b : Boundaries(mail)) {
    EXPECT_TRUE(std::regex_match(b, std::regex("=_palvara_[a-z]+_[0-9]+_="))) << b;
  }
}

}  // namespace
}  // namespace palvara
