#include "export/open_output.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <ctime>
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

void OpenFormatOutput::InitOutputStore(const std::string& targetFolder) {
  destination_ = targetFolder.empty() ? defaultDestination_ : std::filesystem::path(targetFolder);
  contextStore_ = nullptr;  // a new run reads a store of its own
  std::error_code ec;
  std::filesystem::create_directories(destination_, ec);
  if (ec) throw std::runtime_error(destination_.string() + ": " + ec.message());
  // A probe proves the folder takes files before anything is walked.
  try {
    const std::filesystem::path probe = destination_ / ".palvara-write-test";
    WriteWholeFile(probe, "");
    std::filesystem::remove(probe, ec);
  } catch (const ComponentError& e) {
    throw std::runtime_error(e.what());
  }
  Folder& top = folders_[kTopPath];
  top.dir = destination_;
  // Maildir++ folders live inside the top maildir, which must be one itself.
  if (formats_.maildir) MaildirOf(top);
}

OpenFormatOutput::Folder& OpenFormatOutput::FolderFor(const std::string& folderPath) {
  const auto found = folders_.find(folderPath);
  if (found != folders_.end()) return found->second;
  // "Personal Folders\\Inbox\\Old\\": the parent is "Personal Folders\\Inbox\\", the name
  // "Old" (whose own backslashes the path writes twice).
  auto [parentPath, name] = SplitLastFolderName(folderPath);
  parentPath += '\\';
  if (parentPath.size() < std::string_view(kTopPath).size()) parentPath = kTopPath;
  Folder& parent = FolderFor(parentPath);
  Folder folder;
  folder.dir = parent.dir / directoryNames_.Claim(parent.dir.string(), SafeFileName(name, "Folder"));
  std::string flat = SafeFileName(name, "Folder");
  for (char& c : flat) c = c == '.' ? '_' : c;
  folder.maildirName = maildirNames_.Claim("", parent.maildirName + "." + flat);
  return folders_.emplace(folderPath, std::move(folder)).first->second;
}

OpenFormatOutput::Folder& OpenFormatOutput::MadeFolder(const std::string& folderPath) {
  Folder& folder = FolderFor(folderPath);
  if (!folder.made) {
    std::error_code ec;
    std::filesystem::create_directories(folder.dir, ec);
    if (ec) ThrowFileError(folder.dir, ec.value());
    folder.made = true;
  }
  return folder;
}

std::filesystem::path OpenFormatOutput::MaildirOf(Folder& folder) {
  const std::filesystem::path root = destination_ / "Maildir";
  const std::filesystem::path dir = folder.maildirName.empty() ? root : root / folder.maildirName;
  if (!folder.maildirMade) {
    std::error_code ec;
    for (const char* sub : {"cur", "new", "tmp"}) {
      std::filesystem::create_directories(dir / sub, ec);
      if (ec) ThrowFileError(dir / sub, ec.value());
    }
    if (!folder.maildirName.empty()) WriteWholeFile(dir / "maildirfolder", "");
    folder.maildirMade = true;
  }
  return dir;
}

void OpenFormatOutput::CreateFolderPath(const std::string& folderPath) {
  if (!formats_.maildir || formats_.mbox || formats_.eml) MadeFolder(folderPath);
  if (formats_.maildir) MaildirOf(FolderFor(folderPath));
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

std::string OpenFormatOutput::NextItemFile(Folder& folder, const std::string& title,
                                           const char* extension) {
  char number[16];
  std::snprintf(number, sizeof number, "%05d ", ++folder.files);
  return number + SafeFileName(title, "(no subject)", 80) + extension;
}

void OpenFormatOutput::WriteMail(const OutputItem& item) {
  // The walk mapped the item already: its mail fields are all a message needs of the record.
  const auto m = Read(item, true);
  const MailState state = MailStateOf(*m);
  const std::uint64_t time = MessageTime(*m).value_or(kUnixEpochFileTime);
  if (formats_.mbox) {
    Folder& folder = MadeFolder(item.folderPath);
    // The separator line, then the message rendered in place after it and quoted there.
    collections_.AppendRendered(folder.dir / "mbox", {}, [&](std::string& entry) {
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
      const std::filesystem::path dir = MaildirOf(FolderFor(item.folderPath));
      const long long seconds = time > kUnixEpochFileTime ? static_cast<long long>((time - kUnixEpochFileTime) / 10000000) : 0;
      const std::string unique = std::to_string(seconds) + ".M" + std::to_string(++counter_) + "P" +
                                 std::to_string(::getpid()) + ".palvara";
      const std::string flags = MaildirFlags(state);
      const bool isNew = flags.empty();
      WriteFileVia(dir / "tmp" / unique, isNew ? dir / "new" / unique : dir / "cur" / (unique + ":2," + flags), text);
    }
    if (formats_.eml) {
      Folder& folder = MadeFolder(item.folderPath);
      WriteWholeFile(folder.dir / NextItemFile(folder, SubjectOf(*m), ".eml"), text);
    }
  }
  ++messages_[item.folderPath];
}

void OpenFormatOutput::AppendCalendar(const std::filesystem::path& file, const std::string& component,
                                      const std::string& zoneId, const std::string& zone) {
  std::string text = component;
  if (!zone.empty() && zonesWritten_.insert(file.string() + "\n" + zoneId).second) text = zone + text;
  collections_.Append(file, text, kCalendarHeader);
}

void OpenFormatOutput::WriteAppointment(const OutputItem& item) {
  const auto m = Read(item);
  std::string zoneId, zone;
  const std::string uid = "palvara-" + std::to_string(item.node.nid) + "-" + std::to_string(++counter_);
  const std::string event = RenderEvent(*m, uid, &zoneId, &zone);
  AppendCalendar(MadeFolder(item.folderPath).dir / "calendar.ics", event, zoneId, zone);
}

void OpenFormatOutput::WriteTask(const OutputItem& item) {
  const auto m = Read(item);
  const std::string uid = "palvara-" + std::to_string(item.node.nid) + "-" + std::to_string(++counter_);
  AppendCalendar(MadeFolder(item.folderPath).dir / "tasks.ics", RenderTodo(*m, uid), "", "");
}

void OpenFormatOutput::WriteJournal(const OutputItem& item) {
  const auto m = Read(item);
  const std::string uid = "palvara-" + std::to_string(item.node.nid) + "-" + std::to_string(++counter_);
  AppendCalendar(MadeFolder(item.folderPath).dir / "journal.ics", RenderJournal(*m, uid), "", "");
}

void OpenFormatOutput::WriteContact(const OutputItem& item) {
  const auto m = Read(item);
  collections_.Append(MadeFolder(item.folderPath).dir / "contacts.vcf", RenderVCard(*m));
}

void OpenFormatOutput::WriteNote(const OutputItem& item) {
  const auto m = Read(item);
  const MailFields* mail = m->record.mail.get();
  std::string text = mail ? mail->body.value_or(mail->rtfText.value_or("")) : "";
  std::string title = SubjectOf(*m);
  if (title.empty()) title = text.substr(0, text.find_first_of("\r\n"));
  Folder& folder = MadeFolder(item.folderPath);
  WriteWholeFile(folder.dir / NextItemFile(folder, title, ".txt"), ValidUtf8(text));
}

std::filesystem::path OpenFormatOutput::DirectoryOf(const std::string& folderPath) const {
  const auto found = folders_.find(folderPath);
  return found == folders_.end() ? std::filesystem::path() : found->second.dir;
}

void OpenFormatOutput::Finish() { collections_.Finish({{".ics", kCalendarFooter}}); }

}  // namespace palvara
