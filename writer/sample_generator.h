// A deterministic, realistic sample store: the standard folders with subfolders, mail with
// plain, HTML and RTF bodies, attachments from a few bytes to several megabytes, attached
// messages, many recipients, contacts, appointments, tasks, notes and journal entries, and
// text in several scripts. Past the size one file may reach, the sample goes on in further
// files ("sample-2.pst", ...), each with the whole folder tree.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/status.h"
#include "reader/encoding.h"
#include "writer/store_writer.h"

namespace palvara {

struct SampleOptions {
  std::uint64_t messages = 200;
  std::uint64_t seed = 1;
  EncodingMethod encoding = EncodingMethod::kPermute;
  // The layout: Unicode (a PST), or 4 KiB pages (compressed or not, "SO" or "SM").
  NdbLayout layout;
  // A new file is begun once the current one has grown past this many bytes.
  std::uint64_t partLimit = kStoreSizeLimit;
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
  std::vector<std::filesystem::path> files;  // the files written, in order
};

// Receives the sample as it is generated. Folder ids are the sink's own, except the two
// folders every store has: kNidIpmSubtree and kNidDeletedItems.
class SampleSink {
 public:
  virtual ~SampleSink() = default;
  virtual std::uint32_t Folder(std::uint32_t parent, const std::string& name,
                               const std::string& containerClass) = 0;
  virtual void Mail(std::uint32_t folder, const MessageSpec& message) = 0;
  virtual void Contact(std::uint32_t folder, const StoreWriter::Contact& contact) = 0;
  virtual void Appointment(std::uint32_t folder, const StoreWriter::Appointment& appointment) = 0;
  virtual void Task(std::uint32_t folder, const StoreWriter::Task& task) = 0;
  virtual void Note(std::uint32_t folder, const std::string& text, std::uint64_t time) = 0;
  virtual void Journal(std::uint32_t folder, const std::string& subject, const std::string& type,
                       std::uint64_t start) = 0;
};

// Generates the sample for `options` into `sink`, adding what it made to `summary`.
void GenerateSample(const SampleOptions& options, SampleSink& sink, SampleSummary& summary);

// Generates the sample and writes it to `path` (and its continuation files).
Status WriteSampleStore(const std::filesystem::path& path, const SampleOptions& options,
                        SampleSummary* summary);

// The name of part `part` (1 for the first) of a store split from `path`.
std::filesystem::path PartPath(const std::filesystem::path& path, std::uint64_t part);

}  // namespace palvara
