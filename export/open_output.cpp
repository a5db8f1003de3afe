#include "export/open_output.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <bit>
#include <cstdio>
#include <ctime>
#include <random>
#include <stdexcept>

#include "common/folder_path.h"
#include "export/ical_writer.h"
#include "export/mime_writer.h"
#include "export/source_message.h"
#include "export/vcard_writer.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace palvara {
namespace {

constexpr const char* kTopPath = "Personal Folders\\";

// The names this output gives its own files, which a folder's directory may not take.
const std::set<std::string> kReservedNames = {"mbox", "maildir", "contacts.vcf", "calendar.ics",
                                              "tasks.ics", "journal.ics"};

std::string MaildirFlags(const MailState& s) {
  // Maildir flags in ASCII order: Draft, Flagged, Passed, Replied, Seen.
  std::string flags;
  if (s.draft) flags += 'D';
  if (s.flagged) flags += 'F';
  if (s.forwarded) flags += 'P';
  if (s.answered) flags += 'R';
  if (s.read) flags += 'S';
  return flags;
}

std::string MboxStatus(const MailState& s) {
  std::string h = std::string("Status: ") + (s.read ? "RO" : "O") + "\n";
  std::string x;
  if (s.answered) x += 'A';
  if (s.flagged) x += 'F';
  if (s.draft) x += 'T';
  return x.empty() ? h : h + "X-Status: " + x + "\n";
}

std::string SubjectOf(const SourceMessage& m) {
  const MailFields* mail = m.record.mail.get();
  return mail && mail->subject && mail->subject->text ? *mail->subject->text : std::string();
}

}  // namespace

std::optional<OpenFormats> ParseOpenFormats(std::string_view name) {
  OpenFormats f;
  if (name == "mbox") f.mbox = true;
  else if (name == "maildir") f.maildir = true;
  else if (name == "eml") f.eml = true;
  else if (name == "all") f = {true, true, true};
  else return std::nullopt;
  return f;
}

namespace {

// The first "From " in `text` at or after `pos`, or npos.
std::size_t FindFromBlank(std::string_view text, std::size_t pos) {
#ifdef __SSE2__
  // Sixteen positions at once: each of the five bytes compared in its own shifted load.
  const char* const data = text.data();
  for (; pos + 20 <= text.size(); pos += 16) {
    __m128i hit = _mm_set1_epi8(-1);
    int shift = 0;
    for (const char c : {'F', 'r', 'o', 'm', ' '}) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos + shift++));
      hit = _mm_and_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(c)));
    }
    if (const int mask = _mm_movemask_epi8(hit); mask != 0) {
      return pos + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(mask)));
    }
  }
#endif
  return text.find("From ", pos);
}

}  // namespace

void MboxrdQuote(std::string& text, std::size_t from) {
  // Such lines are rare (a text part never has one): find the first, and copy only then.
  std::size_t first = std::string::npos;
  for (std::size_t at = FindFromBlank(text, from); at != std::string::npos;
       at = FindFromBlank(text, at + 1)) {
    std::size_t line = at;
    while (line > from && text[line - 1] == '>') --line;
    if (line == from || text[line - 1] == '\n') {
      first = line;
      break;
    }
  }
  if (first != std::string::npos) {
    // Only the lines from the first quoted one on are written again: `text` may hold much
    // before `from`.
    const std::string rest(text, first);
    text.resize(first);
    for (std::size_t pos = 0; pos < rest.size();) {
      std::size_t end = rest.find('\n', pos);
      end = end == std::string::npos ? rest.size() : end + 1;
      const std::size_t quotes = rest.find_first_not_of('>', pos);
      if (quotes != std::string::npos && rest.compare(quotes, 5, "From ") == 0) text += '>';
      text.append(rest, pos, end - pos);
      pos = end;
    }
  }
  if (text.size() > from && text.back() != '\n') text += '\n';
}

std::string MboxrdEscape(std::string_view message) {
  std::string out(message);
  MboxrdQuote(out, 0);
  return out;
}

OpenFormatOutput::OpenFormatOutput(OpenFormats formats, std::filesystem::path defaultDestination)
    : formats_(formats),
      defaultDestination_(std::move(defaultDestination)),
      directoryNames_(kReservedNames),
      maildirNames_() {}

OpenFormatOutput::~OpenFormatOutput() = default;

void OpenFormatOutput::InitOutputStore(const std::string& targetFolder) {
  destination_ = targetFolder.empty() ? defaultDestination_ : std::filesystem::path(targetFolder);
  contextStore_ = nullptr;  // a new run reads a store of its own
  collections_.reset();
  tree_.reset();
  folders_.clear();
  declared_.clear();
  directoryNames_ = SiblingNames(kReservedNames);
  maildirNames_ = SiblingNames();
  zonesWritten_.clear();
  messages_.clear();
  std::random_device random;
  runTag_ = std::to_string(random() % 100000000);
  try {
    tree_ = std::make_unique<OutputTree>(destination_);
    // A probe proves the folder takes files before anything is walked.
    tree_->ProbeWritable();
  } catch (const ComponentError& e) {
    tree_.reset();
    throw std::runtime_error(e.what());
  }
  collections_ = std::make_unique<CollectionFiles>(*tree_);
  Folder& top = folders_[kTopPath];
  top.dir = OutputTree::kTop;
  // Maildir++ folders live inside the top maildir, which must be one itself.
  if (formats_.maildir) MadeMaildir(kTopPath);
}

std::vector<std::string> OpenFormatOutput::TakeNotices() {
  return tree_ ? tree_->TakeNotices() : std::vector<std::string>{};
}

void OpenFormatOutput::DeclareFolder(const std::string& folderPath, const std::string& parentPath) {
  declared_.try_emplace(folderPath, parentPath);
}

namespace {

// Whether `escaped` can be one name as a path writes it: its backslashes come in pairs.
bool OneEscapedName(std::string_view escaped) {
  std::size_t run = 0;
  for (const char c : escaped) {
    if (c == '\\') {
      ++run;
    } else if (run % 2 != 0) {
      return false;
    } else {
      run = 0;
    }
  }
  return run % 2 == 0;
}

}  // namespace

std::string OpenFormatOutput::ParentPathOf(const std::string& folderPath) const {
  if (const auto declared = declared_.find(folderPath); declared != declared_.end()) {
    return declared->second;
  }
  // Not declared: the longest folder met so far that the path goes on from with one name.
  const std::size_t top = std::string_view(kTopPath).size();
  for (std::size_t end = folderPath.size() - 1; end-- > top - 1;) {
    if (folderPath[end] != '\\') continue;
    const std::string parent = folderPath.substr(0, end + 1);
    if ((folders_.count(parent) != 0 || declared_.count(parent) != 0) &&
        OneEscapedName(std::string_view(folderPath).substr(end + 1, folderPath.size() - end - 2))) {
      return parent;
    }
  }
  // "Personal Folders\\Inbox\\Old\\": the parent is "Personal Folders\\Inbox\\".
  std::string parent = SplitLastFolderName(folderPath).first + '\\';
  return parent.size() < top ? kTopPath : parent;
}

OpenFormatOutput::Folder& OpenFormatOutput::FolderFor(const std::string& folderPath) {
  if (const auto found = folders_.find(folderPath); found != folders_.end()) return found->second;
  const std::size_t top = std::string_view(kTopPath).size();
  Folder folder;
  folder.parentPath = folderPath.size() > top ? ParentPathOf(folderPath) : std::string(kTopPath);
  if (folder.parentPath.size() >= folderPath.size()) folder.parentPath = kTopPath;
  // The folder's own name is one level, whatever it holds: the text between its parent's
  // path and the backslash that ends it, unescaped.
  const std::size_t from = std::min(folder.parentPath.size(), folderPath.size());
  const std::string escaped = folderPath.substr(from, folderPath.size() - from - (folderPath.ends_with('\\') ? 1 : 0));
  const std::vector<std::string> names = FolderPathNames(escaped);
  for (std::size_t i = 0; i < names.size(); ++i) folder.name += (i == 0 ? "" : "\\") + names[i];
  FolderFor(folder.parentPath);  // the parents are known before their children
  return folders_.emplace(folderPath, std::move(folder)).first->second;
}

namespace {

// A store folder's name as one directory name: safe, and bounded with room for " (n)".
std::string DirectoryName(const std::string& name) {
  return BoundedName(SafeFileName(name, "Folder", std::string::npos), 120);
}

// The bytes of a Maildir++ folder name (".Inbox.Old"), leaving room for " (n)" in the 255 a
// name may have.
constexpr std::size_t kMaildirNameBytes = 240;

}  // namespace

OpenFormatOutput::Folder& OpenFormatOutput::MadeFolder(const std::string& folderPath) {
  Folder& folder = FolderFor(folderPath);
  if (!folder.dir) {
    const OutputTree::Dir parent = *MadeFolder(folder.parentPath).dir;
    const std::string key = std::to_string(parent);
    const std::string wanted = DirectoryName(folder.name);
    folder.dir = tree_->MakeDirectory(parent, [&](int) { return directoryNames_.Claim(key, wanted); });
  }
  return folder;
}

OpenFormatOutput::Folder& OpenFormatOutput::MadeMaildir(const std::string& folderPath) {
  Folder& folder = FolderFor(folderPath);
  if (folder.maildir) return folder;
  OutputTree::Dir box = OutputTree::kTop;
  if (folderPath == kTopPath) {
    box = tree_->MakeDirectory(OutputTree::kTop, [](int n) { return NumberedName("Maildir", "", n); });
  } else {
    // Maildir++ writes the levels into one name, its parent's first: the parent is made
    // first, so that the name it got is known.
    const std::string parentName = MadeMaildir(folder.parentPath).maildirName;
    const OutputTree::Dir root = *folders_[kTopPath].maildir;
    std::string flat = DirectoryName(folder.name);
    for (char& c : flat) c = c == '.' ? '_' : c;
    const std::string wanted = BoundedName(parentName + "." + flat, kMaildirNameBytes);
    box = tree_->MakeDirectory(root, [&](int) { return maildirNames_.Claim("", wanted); });
  }
  const auto sub = [&](const char* name) {
    return tree_->MakeDirectory(box, [name](int n) { return NumberedName(name, "", n); });
  };
  const OutputTree::Dir cur = sub("cur"), fresh = sub("new");
  sub("tmp");
  if (folderPath != kTopPath) {
    // The mark of a Maildir++ folder, once.
    tree_->WriteNewFile(box, [](int n) { return n == 1 ? "maildirfolder" : ""; }, "");
  }
  // Taken only once whole: a folder whose Maildir could not be made is tried again.
  folder.maildir = box;
  folder.maildirName = folderPath == kTopPath ? std::string() : tree_->NameOf(box);
  folder.maildirCur = cur;
  folder.maildirNew = fresh;
  return folder;
}

void OpenFormatOutput::CreateFolderPath(const std::string& folderPath) {
  if (!formats_.maildir || formats_.mbox || formats_.eml) MadeFolder(folderPath);
  if (formats_.maildir) MadeMaildir(folderPath);
}

std::unique_ptr<SourceMessage> OpenFormatOutput::Read(const OutputItem& item, bool borrow) {
  if (contextStore_ != &item.store) {
    context_ = MapContextFor(item.store);
    contextStore_ = &item.store;
  }
  auto m = SourceMessageOf(item.store, item.node, item.source, context_, borrow ? &item.record : nullptr);
  if (!m) throw ComponentError("the item could not be read from the store");
  return m;
}

void OpenFormatOutput::WriteItemFile(Folder& folder, const std::string& title, const char* extension,
                                     std::string_view content) {
  char number[16];
  std::snprintf(number, sizeof number, "%05d ", ++folder.files);
  const std::string stem = number + SafeFileName(title, "(no subject)", 80);
  tree_->WriteNewFile(*folder.dir, [&](int n) { return NumberedName(stem, extension, n); }, content);
}

void OpenFormatOutput::WriteMail(const OutputItem& item) {
  // The walk mapped the item already: its mail fields are all a message needs of the record.
  const auto m = Read(item, true);
  const MailState state = MailStateOf(*m);
  const std::uint64_t time = MessageTime(*m).value_or(kUnixEpochFileTime);
  if (formats_.mbox) {
    Folder& folder = MadeFolder(item.folderPath);
    // The separator line, then the message rendered in place after it and quoted there.
    collections_->AppendRendered({*folder.dir, "mbox"}, {}, [&](std::string& entry) {
      entry.append("From ").append(EnvelopeSender(*m)).append(" ").append(MboxDate(time)).append("\n");
      const std::size_t separator = entry.size();
      AppendMessage(entry, *m, MboxStatus(state));
      MboxrdQuote(entry, separator);
      entry += '\n';
    });
  }
  if (formats_.maildir || formats_.eml) {
    const std::string text = RenderMessage(*m);
    if (formats_.maildir) {
      const Folder& box = MadeMaildir(item.folderPath);
      const long long seconds = time > kUnixEpochFileTime ? static_cast<long long>((time - kUnixEpochFileTime) / 10000000) : 0;
      // Unique within the run by its counter, across runs by the process and the run's tag.
      const std::string unique = std::to_string(seconds) + ".M" + std::to_string(++counter_) + "P" +
                                 std::to_string(::getpid()) + "Q" + runTag_ + ".palvara";
      const std::string flags = MaildirFlags(state);
      const bool isNew = flags.empty();
      tree_->WriteNewFile(isNew ? box.maildirNew : box.maildirCur, [&](int n) {
        const std::string name = n < 2 ? unique : unique + "-" + std::to_string(n);
        return isNew ? name : name + ":2," + flags;
      }, text);
    }
    if (formats_.eml) WriteItemFile(MadeFolder(item.folderPath), SubjectOf(*m), ".eml", text);
  }
  ++messages_[item.folderPath];
}

void OpenFormatOutput::AppendCalendar(OutputTree::Dir dir, const char* name, const std::string& component,
                                      const std::string& zoneId, const std::string& zone) {
  std::string text = component;
  const std::string key = std::to_string(dir) + "/" + name + "\n" + zoneId;
  if (!zone.empty() && zonesWritten_.insert(key).second) text = zone + text;
  collections_->Append({dir, name}, text, kCalendarHeader);
}

void OpenFormatOutput::WriteAppointment(const OutputItem& item) {
  const auto m = Read(item);
  std::string zoneId, zone;
  const std::string uid = "palvara-" + std::to_string(item.node.nid) + "-" + std::to_string(++counter_);
  const std::string event = RenderEvent(*m, uid, &zoneId, &zone);
  AppendCalendar(*MadeFolder(item.folderPath).dir, "calendar.ics", event, zoneId, zone);
}

void OpenFormatOutput::WriteTask(const OutputItem& item) {
  const auto m = Read(item);
  const std::string uid = "palvara-" + std::to_string(item.node.nid) + "-" + std::to_string(++counter_);
  AppendCalendar(*MadeFolder(item.folderPath).dir, "tasks.ics", RenderTodo(*m, uid), "", "");
}

void OpenFormatOutput::WriteJournal(const OutputItem& item) {
  const auto m = Read(item);
  const std::string uid = "palvara-" + std::to_string(item.node.nid) + "-" + std::to_string(++counter_);
  AppendCalendar(*MadeFolder(item.folderPath).dir, "journal.ics", RenderJournal(*m, uid), "", "");
}

void OpenFormatOutput::WriteContact(const OutputItem& item) {
  const auto m = Read(item);
  collections_->Append({*MadeFolder(item.folderPath).dir, "contacts.vcf"}, RenderVCard(*m));
}

void OpenFormatOutput::WriteNote(const OutputItem& item) {
  const auto m = Read(item);
  const MailFields* mail = m->record.mail.get();
  std::string text = mail ? mail->body.value_or(mail->rtfText.value_or("")) : "";
  std::string title = SubjectOf(*m);
  if (title.empty()) title = text.substr(0, text.find_first_of("\r\n"));
  WriteItemFile(MadeFolder(item.folderPath), title, ".txt", ValidUtf8(text));
}

OpenFormatOutput::Placement OpenFormatOutput::PlacementOf(const std::string& folderPath) const {
  Placement out;
  const auto found = folders_.find(folderPath);
  if (found == folders_.end() || !tree_) return out;
  const Folder& folder = found->second;
  if (folder.dir) {
    out.directory = tree_->PathOf(*folder.dir);
    if (collections_) {
      for (const CollectionFiles::Finished& f : collections_->Files()) {
        if (f.file.dir == *folder.dir) out.files.push_back(out.directory / f.name);
      }
    }
  }
  if (folder.maildir) out.maildir = tree_->PathOf(*folder.maildir);
  return out;
}

void OpenFormatOutput::Finish() {
  if (collections_) collections_->Finish({{".ics", kCalendarFooter}});
}

}  // namespace palvara
