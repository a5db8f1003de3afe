#include "writer/sample_generator.h"

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "writer/store_writer.h"

namespace palvara {
namespace {

const char* const kWords[] = {
    "report",  "meeting", "budget",   "invoice", "project", "schedule", "update", "review",
    "東京",     "会議",     "報告書",    "Привет",   "отчёт",    "встреча",  "تقرير",   "اجتماع",
    "café",    "Grüße",   "naïve",    "façade",  "Zürich",  "résumé",   "año",    "déjà vu",
    "北京",     "计划",     "数据",      "Ελλάδα",   "שלום",     "서울",      "quarter", "draft"};
const char* const kNames[] = {"Ada Lovelace",  "Alan Turing", "Grace Hopper", "Linus Pauling",
                              "山田 太郎",       "Иван Петров", "محمد علي",      "Zoë Müller",
                              "Renée Dubois",  "李 小龙"};
constexpr std::uint64_t kBaseTime = 0x01D9000000000000ull;  // early 2023

class Generator {
 public:
  Generator(const SampleOptions& options, SampleSummary& summary)
      : random_(options.seed), summary_(summary) {}
  std::string Words(std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0) text += ' ';
      text += kWords[Pick(std::size(kWords))];
    }
    return text;
  }
  std::size_t Pick(std::size_t n) { return static_cast<std::size_t>(random_() % n); }
  std::string Name() { return kNames[Pick(std::size(kNames))]; }
  std::string Address(const std::string& seed) {
    return "user" + std::to_string(std::hash<std::string>{}(seed) % 10000) + "@example.com";
  }
  std::uint64_t Time() { return kBaseTime + (random_() % (3ull * 365 * 86400)) * 10000000ull; }

  Bytes Data(std::size_t size) {
    Bytes data(size);
    std::uint64_t x = random_();
    for (std::size_t i = 0; i < size; ++i) {
      x = x * 6364136223846793005ull + 1442695040888963407ull;
      data[i] = static_cast<std::byte>(x >> 56);
    }
    return data;
  }

  MessageSpec Mail(std::uint64_t index, bool allowEmbedded) {
    MessageSpec m;
    const bool reply = Pick(4) == 0;
    m.subject = (reply ? "RE: " : "") + Words(2 + Pick(5));
    m.senderName = Name();
    m.senderAddress = Address(m.senderName);
    m.submitTime = Time();
    m.deliveryTime = m.submitTime + 20000000;
    m.read = Pick(5) != 0;
    m.body = "Hello,\r\n\r\n" + Words(10 + Pick(60)) + "\r\n\r\n-- \r\n" + m.senderName + "\r\n";
    if (index % 3 == 1) {
      const std::string html = "<html><body><p>" + m.body + "</p></body></html>";
      m.html = Bytes(reinterpret_cast<const std::byte*>(html.data()),
                     reinterpret_cast<const std::byte*>(html.data()) + html.size());
    }
    if (index % 7 == 3) {
      const std::string rtf = "{\\rtf1\\ansi\\ansicpg1252 Hello,\\par " + Words(8) + "\\par}";
      m.rtf = Bytes(reinterpret_cast<const std::byte*>(rtf.data()),
                    reinterpret_cast<const std::byte*>(rtf.data()) + rtf.size());
    }
    const std::size_t recipients = index % 100 == 42 ? 60 : 1 + Pick(3);
    for (std::size_t i = 0; i < recipients; ++i) {
      const std::string name = Name() + (recipients > 10 ? " " + std::to_string(i) : "");
      m.recipients.push_back({name, Address(name), i == 0 ? 1u : 1u + static_cast<std::uint32_t>(Pick(3))});
    }
    if (index % 5 == 2) {
      for (std::size_t i = 0, n = 1 + Pick(3); i < n; ++i) {
        std::size_t size = 1 + Pick(i == 0 ? 64 * 1024 : 2048);
        // A few attachments of several megabytes (fewer in very large samples).
        if (index % (index < 10000 ? 200 : 2000) == 7 && i == 0) size = (2u << 20) + Pick(2u << 20);
        AttachmentSpec file;
        file.fileName = "file" + std::to_string(i) + "-" + kWords[Pick(8)] + ".bin";
        file.data = Data(size);
        m.attachments.push_back(std::move(file));
        ++summary_.attachments;
        summary_.attachmentBytes += size;
      }
    }
    if (allowEmbedded && index % 50 == 11) {
      AttachmentSpec attached;
      attached.fileName = "forwarded.msg";
      attached.embedded = std::make_shared<const MessageSpec>(Mail(index + 1, false));
      m.attachments.push_back(std::move(attached));
      ++summary_.attachments;
    }
    return m;
  }

 private:
  std::mt19937_64 random_;
  SampleSummary& summary_;
};

// Writes into one file after another: past the part limit the store is finished, and the next
// part begins with the folders made so far.
class WritingSink : public SampleSink {
 public:
  WritingSink(std::filesystem::path path, const SampleOptions& options, SampleSummary& summary)
      : path_(std::move(path)), options_(options), summary_(summary) {}

  Status Begin() { return NextPart(); }
  Status End() {
    if (!writer_) return status_;
    Status finished = writer_->Finish();
    writer_.reset();
    return status_.ok() ? finished : status_;
  }

  std::uint32_t Folder(std::uint32_t parent, const std::string& name,
                       const std::string& containerClass) override {
    folders_.push_back({parent, name, containerClass});
    const std::uint32_t id = static_cast<std::uint32_t>(folders_.size());
    if (writer_) nids_[id] = writer_->CreateFolder(Nid(parent), name, containerClass);
    return id;
  }
  void Mail(std::uint32_t folder, const MessageSpec& m) override {
    Add([&] { writer_->AddMessage(Nid(folder), m); });
  }
  void Contact(std::uint32_t folder, const StoreWriter::Contact& c) override {
    Add([&] { writer_->AddContact(Nid(folder), c); });
  }
  void Appointment(std::uint32_t folder, const StoreWriter::Appointment& a) override {
    Add([&] { writer_->AddAppointment(Nid(folder), a); });
  }
  void Task(std::uint32_t folder, const StoreWriter::Task& t) override {
    Add([&] { writer_->AddTask(Nid(folder), t); });
  }
  void Note(std::uint32_t folder, const std::string& text, std::uint64_t time) override {
    Add([&] { writer_->AddNote(Nid(folder), text, time); });
  }
  void Journal(std::uint32_t folder, const std::string& subject, const std::string& type,
               std::uint64_t start) override {
    Add([&] { writer_->AddJournalEntry(Nid(folder), subject, type, start); });
  }

 private:
  struct FolderDefinition {
    std::uint32_t parent;
    std::string name, containerClass;
  };

  std::uint32_t Nid(std::uint32_t id) const {
    const auto it = nids_.find(id);
    return it != nids_.end() ? it->second : id;  // the store's own folders keep their nids
  }

  template <typename Write>
  void Add(Write write) {
    if (!writer_) return;
    write();
    if (!writer_->status().ok()) {
      status_ = writer_->status();
      writer_.reset();
    } else if (writer_->ProjectedSize() > options_.partLimit) {
      status_ = writer_->Finish();
      writer_.reset();
      if (status_.ok()) status_ = NextPart();
    }
  }

  Status NextPart() {
    const std::filesystem::path path = PartPath(path_, summary_.files.size() + 1);
    Status status = Status::Ok();
    writer_ = StoreWriter::Create(path, "Personal Folders", options_.encoding, &status,
                                  options_.layout);
    if (!writer_) return status;
    summary_.files.push_back(path);
    nids_.clear();
    for (std::uint32_t id = 1; id <= folders_.size(); ++id) {
      const FolderDefinition& f = folders_[id - 1];
      nids_[id] = writer_->CreateFolder(Nid(f.parent), f.name, f.containerClass);
    }
    return Status::Ok();
  }

  std::filesystem::path path_;
  const SampleOptions& options_;
  SampleSummary& summary_;
  std::unique_ptr<StoreWriter> writer_;
  std::vector<FolderDefinition> folders_;
  std::map<std::uint32_t, std::uint32_t> nids_;  // sink folder id -> nid in the current part
  Status status_ = Status::Ok();
};

}  // namespace

std::filesystem::path PartPath(const std::filesystem::path& path, std::uint64_t part) {
  if (part <= 1) return path;
  std::filesystem::path next = path;
  next.replace_filename(path.stem().string() + "-" + std::to_string(part) +
                        path.extension().string());
  return next;
}

void GenerateSample(const SampleOptions& options, SampleSink& sink, SampleSummary& s) {
  Generator g(options, s);
  const std::uint32_t top = kNidIpmSubtree;
  const std::uint32_t inbox = sink.Folder(top, "Inbox", "IPF.Note");
  const std::uint32_t mailFolders[] = {
      inbox,
      sink.Folder(inbox, "Projects", "IPF.Note"),
      sink.Folder(inbox, "Receipts", "IPF.Note"),
      sink.Folder(top, "Sent Items", "IPF.Note"),
      sink.Folder(top, "Drafts", "IPF.Note"),
      kNidDeletedItems,
      sink.Folder(top, "Архив 2023", "IPF.Note")};
  const std::uint32_t contacts = sink.Folder(top, "Contacts", "IPF.Contact");
  const std::uint32_t calendar = sink.Folder(top, "Calendar", "IPF.Appointment");
  const std::uint32_t tasks = sink.Folder(top, "Tasks", "IPF.Task");
  const std::uint32_t notes = sink.Folder(top, "Notes", "IPF.StickyNote");
  const std::uint32_t journal = sink.Folder(top, "Journal", "IPF.Journal");
  s.folders = 12;

  for (std::uint64_t i = 0; i < options.messages; ++i) {
    // Most mail lands in the Inbox and its subfolders, the rest spread over the others.
    const std::size_t weights[] = {40, 10, 10, 20, 5, 5, 10};
    std::size_t roll = g.Pick(100), folder = 0;
    while (roll >= weights[folder]) roll -= weights[folder++];
    sink.Mail(mailFolders[folder], g.Mail(i, true));
    ++s.mails;
  }
  const std::uint64_t others = options.messages / 20 + 2;
  for (std::uint64_t i = 0; i < others * 2; ++i) {
    const std::string name = g.Name();
    sink.Contact(contacts, {name, name.substr(0, name.find(' ')), name.substr(name.find(' ') + 1),
                            g.Words(1) + " Ltd", g.Address(name),
                            "+1 555 01" + std::to_string(i % 100),
                            "+1 555 02" + std::to_string(i % 100)});
    ++s.contacts;
  }
  for (std::uint64_t i = 0; i < others; ++i) {
    const std::uint64_t start = g.Time();
    sink.Appointment(calendar, {g.Words(3), g.Words(1), g.Words(12), start,
                                start + 36000000000ull, i % 9 == 0});
    sink.Task(tasks, {g.Words(3), g.Words(10), start, start + 864000000000ull,
                      static_cast<double>(i % 5) / 4.0, ""});
    sink.Note(notes, g.Words(6), start);
    sink.Journal(journal, g.Words(3), "Phone call", start);
    ++s.appointments;
    ++s.tasks;
    ++s.notes;
    ++s.journal;
  }
}

Status WriteSampleStore(const std::filesystem::path& path, const SampleOptions& options,
                        SampleSummary* summary) {
  SampleSummary local;
  SampleSummary& s = summary != nullptr ? *summary : local;
  s = SampleSummary{};
  WritingSink sink(path, options, s);
  Status status = sink.Begin();
  if (!status.ok()) return status;
  GenerateSample(options, sink, s);
  return sink.End();
}

}  // namespace palvara
