// A deterministic, realistic sample store: the standard folders with subfolders, mail with
// plain, HTML and RTF bodies, attachments from a few bytes to several megabytes, attached
// messages, many recipients, contacts, appointments, tasks, notes and journal entries, and
// text in several scripts.
#pragma once

#include <cstdint>
#include <filesystem>

#include "common/status.h"
#include "reader/encoding.h"

namespace palvara {

struct SampleOptions {
  std::uint64_t messages = 200;
  std::uint64_t seed = 1;
  EncodingMethod encoding = EncodingMethod::kPermute;
};

struct SampleSummary {
  std::uint64_t folders = 0;
  std::uint64_t mails = 0;
  std::uint64_t contacts = 0;
  std::uint64_t appointments = 0;
  std::uint64_t tasks = 0;
  std::uint64_t notes = 0;
  std::uint64_t journal = 0;
  std::uint64_t attachments = 0;
  std::uint64_t attachmentBytes = 0;
};

Status WriteSampleStore(const std::filesystem::path& path, const SampleOptions& options,
                        SampleSummary* summary);

}  // namespace palvara
