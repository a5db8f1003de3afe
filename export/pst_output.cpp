#include "export/pst_output.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>

#include "common/folder_path.h"
#include "export/native_components.h"
#include "items/mapping.h"
#include "reader/block_access.h"
#include "reader/node_tree.h"
#include "reader/property_list.h"
#include "writer/ndb_writer.h"

namespace palvara {
namespace {

constexpr const char* kPersonalFolders = "Personal Folders";

CivilTime LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour,        local.tm_min,     local.tm_sec};
}

// Characters of UTF-8 text (code points), for the long-body rule.
std::size_t CharacterCount(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

class BytesWriter : public ByteWriter {
 public:
  explicit BytesWriter(Bytes& out) : out_(out) {}
  void Write(ByteSpan bytes) override { out_.insert(out_.end(), bytes.begin(), bytes.end()); }

 private:
  Bytes& out_;
};

Bytes ToBytes(std::string_view text) {
  return Bytes(reinterpret_cast<const std::byte*>(text.data()),
               reinterpret_cast<const std::byte*>(text.data()) + text.size());
}

// The text of an appointment, task or contact: the decoded RTF body, else the plain body (an
// item without an RTF body keeps its text); empty when it is 500,000 characters or longer.
std::string BodyText(const MailFields& mail) {
  const Text& text = mail.rtfText && !mail.rtfText->empty() ? mail.rtfText : mail.body;
  return text && CharacterCount(*text) < kLongBodyLimit ? *text : std::string();
}

// The property list of an attachment's node, with the attachment's own subnodes.
struct AttachmentProperties {
  SubnodeList own;
  std::unique_ptr<PropertyList> list;
};
std::optional<AttachmentProperties> ReadAttachment(StoreFile& store, const StoreNode* message,
                                                   const AttachmentNode& attachment) {
  if (message == nullptr || message->subnodeBlock == nullptr) return std::nullopt;
  SubnodeList subnodes;
  ReadSubnodes(store, message->subnodeBlock, subnodes);
  const SubnodeEntry* entry = FindSubnodeEntry(subnodes, attachment.subnodeId);
  if (entry == nullptr) return std::nullopt;
  AttachmentProperties a;
  a.list = ReadSubnodePropertyList(store, *entry, a.own);
  if (!a.list) return std::nullopt;
  return a;
}

// The attachment data the record does not hold (a value whose subnode could not be read in
// place): the attachment's own data subnode, appended to `out`. Returns the bytes read.
std::uint64_t StreamAttachmentData(StoreFile& store, const StoreNode* message,
                                   const AttachmentNode& attachment, Bytes& out) {
  const auto a = ReadAttachment(store, message, attachment);
  const PropertyEntry* value = a ? a->list->Find(0x3701) : nullptr;
  if (value == nullptr || value->type != 0x0102) return 0;
  BytesWriter writer(out);
  if (value->value) {
    writer.Write(*value->value);
    return value->value->size();
  }
  DataSink sink;
  sink.stream = &writer;
  sink.mode = 1;
  const std::uint64_t read = ReadNodeData(store, FindSubnode(a->own, value->reference), sink);
  // Mode 1 holds back up to two bytes; they belong at the end.
  writer.Write(ByteSpan(sink.carry.data(), static_cast<std::size_t>(sink.carryCount)));
  return read;
}

// "Mon, 6 Dec 2026 09:05:00 +0000".
std::string MailDate(std::uint64_t fileTime) {
  static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const CivilTime t = FileTimeToCivil(fileTime);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %d %s %d %02d:%02d:%02d +0000",
                kDays[(fileTime / 864000000000ull) % 7], t.day, kMonths[(t.month + 11) % 12], t.year,
                t.hour, t.minute, t.second);
  return text;
}

}  // namespace

std::optional<AttachedMessage> RenderAttachedMessage(StoreFile& store, const StoreNode* message,
                                                     const AttachmentNode& attachment) {
  if (attachment.embeddedNid == 0) return std::nullopt;
  const auto a = ReadAttachment(store, message, attachment);
  const SubnodeEntry* embedded = a ? FindSubnodeEntry(a->own, attachment.embeddedNid) : nullptr;
  if (embedded == nullptr) return std::nullopt;
  SubnodeList inner;
  const auto list = ReadSubnodePropertyList(store, *embedded, inner);
  if (!list) return std::nullopt;
  ItemRecord record;
  MapProperties(list.get(), &record, MapContextFor(store));
  const MailFields& m = record.Mail();
  AttachedMessage out;
  out.subject = m.subject && m.subject->text ? *m.subject->text : "";
  std::string& t = out.text;
  if (const std::string sender = SenderText(m); !sender.empty()) t += "From: " + sender + "\r\n";
  if (m.displayTo) t += "To: " + *m.displayTo + "\r\n";
  if (m.displayCc) t += "Cc: " + *m.displayCc + "\r\n";
  t += "Subject: " + out.subject + "\r\n";
  for (const Raw* time : {&m.deliveryTime, &m.submitTime}) {
    if (*time && (*time)->size() >= 8) {
      t += "Date: " + MailDate(*LoadLe64(**time, 0)) + "\r\n";
      break;
    }
  }
  t += "MIME-Version: 1.0\r\n";
  if (m.html) {
    t += "Content-Type: text/html\r\n\r\n";
    t.append(reinterpret_cast<const char*>(m.html->data()), m.html->size());
  } else {
    t += "Content-Type: text/plain; charset=utf-8\r\n\r\n" + BodyText(m);
  }
  return out;
}

std::string OutputFileName(const std::string& sourceFileName, const std::string& stamp) {
  std::string name = sourceFileName;
  if (name.find(".pst") != std::string::npos) {
    ReplaceAll(name, ".pst", "-" + stamp + ".pst");
    return name;
  }
  // Any other source (an OST, another extension, none) gives a PST named after its stem.
  const std::string stem = std::filesystem::path(name).stem().string();
  return (stem.empty() ? std::string("Recovered") : stem) + "-" + stamp + ".pst";
}

std::string AttachedMessageName(const AttachmentNode& attachment, const std::string& subject) {
  std::string name = AttachmentName(attachment);
  if (!IsAcceptableFileName(name)) {
    // Named after its subject, with what a file name cannot hold replaced.
    name.clear();
    for (char c : subject.substr(0, 200)) {
      const auto u = static_cast<unsigned char>(c);
      name += u < 0x20 || u >= 0x80 || std::string_view("\"*/:<>?\\|").find(c) != std::string_view::npos ? '_' : c;
    }
    if (!IsAcceptableFileName(name + ".eml")) name = "Attached message";
    return name + ".eml";
  }
  if (name.size() >= 4 && EqualsIgnoringCase(std::string_view(name).substr(name.size() - 4), ".msg")) {
    name.resize(name.size() - 4);
  }
  if (name.size() < 4 || !EqualsIgnoringCase(std::string_view(name).substr(name.size() - 4), ".eml")) {
    name += ".eml";
  }
  return name;
}

namespace {

enum class Source { kField, kDisplayName, kBody, kGender };
struct ContactWrite {
  std::uint32_t dispatchId;
  Text ContactFields::*field;
  Source source = Source::kField;
};
using C = ContactFields;

// The contact's property writes, in their order; a later write to a property replaces an
// earlier one.
const ContactWrite kContactWrites[] = {
    {0x600400A2, &C::organizationalId}, {0x60040051, &C::fileAs},
    {0x60040056, &C::governmentId},     {0x600400CC, &C::ttyTddPhone},
    {0x6004000A, &C::business2Phone},   {0x600400BE, &C::radioPhone},
    {0x600400C8, &C::telexNumber},      {0x0000001F, &C::mileage},
    {0x6004004D, &C::givenName},        {0x60040096, &C::middleName},
    {0x60040083, &C::surname},          {0x6004004B, nullptr, Source::kDisplayName},
    {0x6004000C, &C::businessAddress},  {0x6004005B, &C::home2Phone},
    {0x60040033, &C::department},       {0x60040022, &C::carPhone},
    {0x60040012, &C::businessPostalCode}, {0x60040018, &C::businessStreet},
    {0x60040016, &C::businessState},    {0x60040010, &C::businessCountry},
    {0x6004000E, &C::businessCity},     {0x60040020, &C::callbackPhone},
    {0x600400AA, &C::otherPostalCode},  {0x600400A4, &C::otherAddress},
    {0x600400B4, &C::otherPhone},       {0x600400B0, &C::otherStreet},
    {0x600400AE, &C::otherState},       {0x600400A8, &C::otherCountry},
    {0x600400A6, &C::otherCity},        {0x60040067, &C::homeState},
    {0x60040069, &C::homeStreet},       {0x60040063, &C::homePostalCode},
    {0x60040061, &C::homeCountry},      {0x6004001C, &C::businessHomePage},
    {0x600400B8, &C::personalHomePage}, {0x6004009E, &C::nickname},
    {0x60040094, &C::managerName},      {0x60040073, &C::freeBusyLocation},
    {0x6004005F, &C::homeCity},         {0x6004002B, &C::companyMainPhone},
    {0x600400C4, &C::spouseName},       {0x600400BC, &C::profession},
    {0x60040004, &C::assistant},        {0x60040006, &C::assistantPhone},
    {0x60040075, &C::isdnNumber},       {0x600400B6, &C::pagerPhone},
    {0x600400A0, &C::officeLocation},   {0x6004006B, &C::homeFax},
    {0x6004007B, &C::language},         {0x6004001E, &C::businessPhone},
    {0x6004001A, &C::businessFax},      {0x0000000B, nullptr, Source::kBody},
    {0x6004000C, &C::postalAddress},    {0x60040059, &C::hobbies},
    {0x60040054, nullptr, Source::kGender}, {0x60040031, &C::customerId},
    {0x00000000, &C::generation},       {0x600400C6, &C::generation},
    {0x60040035, &C::emailAddress},     {0x6004002D, &C::company},
    {0x60040077, &C::title},            {0x6004004D, &C::givenName},
    {0x60040096, &C::middleName},       {0x60040083, &C::surname},
    {0x6004006D, &C::homePhone},        {0x60040098, &C::mobilePhone},
    {0x60040051, &C::fileAs},
};

}  // namespace

std::string SenderText(const MailFields& mail) {
  std::string sender = mail.senderName.value_or("");
  if (mail.senderAddress) {
    if (mail.senderAddress->find('@') != std::string::npos) {
      sender += "<" + *mail.senderAddress + ">";
    } else if (mail.senderName) {
      sender = "<" + *mail.senderName + ">";
    }
  }
  return sender;
}

std::string RecipientText(const MailFields& mail) {
  return mail.displayTo.value_or("") + (mail.receiverAddress ? "<" + *mail.receiverAddress + ">" : "");
}

std::string AttachmentName(const AttachmentNode& attachment) {
  if (attachment.longFileName && IsAcceptableFileName(*attachment.longFileName)) {
    return *attachment.longFileName;
  }
  return attachment.fileName.value_or("");
}

std::string ComponentMissingMessage(std::string_view progId) {
  const std::string library = progId == kContactSessionProgId ? "Redemption.dll" : "StoreMailConv.dll";
  return library + " is not properly configured. Please Re-Install the software.";
}

bool IsAcceptableFileName(std::string_view name) {
  if (name.empty() || name.size() >= 256) return false;
  if (name.find_first_not_of('.') == std::string_view::npos) return false;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x80 || std::string_view("\"*/:<>?\\|").find(c) != std::string_view::npos) {
      return false;
    }
  }
  if (name[0] == '.') return true;
  const std::string_view base = name.substr(0, name.find('.'));
  for (const char* device : {"AUX", "CON", "NUL", "PRN", "CLOCK$"}) {
    if (EqualsIgnoringCase(base, device)) return false;
  }
  if (base.size() == 4 && base[3] >= '1' && base[3] <= '9' &&
      (StartsWithIgnoringCase(base, "COM") || StartsWithIgnoringCase(base, "LPT"))) {
    return false;
  }
  return true;
}

std::string DateText(std::uint64_t fileTime) {
  const CivilTime t = FileTimeToCivil(fileTime);
  return std::to_string(t.day) + "/" + std::to_string(t.month) + "/" + std::to_string(t.year);
}

std::string TimeText(std::uint64_t fileTime) {
  const CivilTime t = FileTimeToCivil(fileTime);
  return std::to_string(t.hour) + "." + std::to_string(t.minute) + "." + std::to_string(t.second);
}

USave_to_PST_Format::USave_to_PST_Format(PstOutputOptions options) : options_(std::move(options)) {
  if (options_.factory == nullptr) {
    ownFactory_ = std::make_unique<NativeComponentFactory>();
    options_.factory = ownFactory_.get();
  }
  if (!options_.localTime) options_.localTime = LocalNow;
}

USave_to_PST_Format::~USave_to_PST_Format() {
  conversion_.reset();
  // A store that was not finished is not kept (file_ removes it).
}

std::unique_ptr<Component> USave_to_PST_Format::CreateChecked(std::string_view progId) {
  std::unique_ptr<Component> component = options_.factory->Create(progId);
  if (!component && options_.factory->Register(progId)) component = options_.factory->Create(progId);
  if (!component) throw ComponentMissing(ComponentMissingMessage(progId));
  return component;
}

void USave_to_PST_Format::InitOutputStore(const std::string& targetFolder) {
  // Both components must be creatable; the session only proves it.
  CreateChecked(kContactSessionProgId).reset();
  std::unique_ptr<Component> created = CreateChecked(kConversionProgId);
  auto* conversion = dynamic_cast<ConversionComponent*>(created.get());
  if (conversion == nullptr) throw ComponentMissing(ComponentMissingMessage(kConversionProgId));
  created.release();
  conversion_.reset(conversion);
  conversion_->Start();

  const CivilTime now = options_.localTime();
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%d-%d-%d %d-%d-%d", now.day, now.month, now.year, now.hour,
                now.minute, now.second);
  std::filesystem::path output;
  if (split_) {
    // A continuation file: beside the first one, numbered, with the first file's store name.
    const std::filesystem::path& first = outputFiles_.front();
    output = first.parent_path() / (first.stem().string() + "(" + std::to_string(outputFileCount_) +
                                    ")" + first.extension().string());
  } else {
    const std::filesystem::path target =
        targetFolder.empty() ? options_.defaultTargetFolder : std::filesystem::path(targetFolder);
    std::error_code made;
    std::filesystem::create_directories(target, made);  // a missing target folder is made
    if (made) {
      throw ComponentError("Cannot create the folder \"" + target.string() + "\": " + made.message(),
                           true);
    }
    // What runs of ours that were killed left there goes first.
    RemoveStaleOutputs(target);
    std::string name = OutputFileName(options_.sourceFileName, stamp);
    output = target / name;
    storeName_ = std::string(kStoreNamePrefix) + stamp;
  }
  // Written under a temporary name beside the final one, in a folder of this run's own, so
  // that runs at the same time never share a file and an unfinished store never carries a
  // ".pst" name.
  file_.Reserve(output);
  conversion_->CreateStore(file_.temporary().string(), storeName_);
  storeDisplayName_ = "\\\\" + storeName_;

  if (split_) {
    storeDisplayName_ += "(" + std::to_string(outputFileCount_) + ")";
    conversion_->CreateStore(file_.temporary().string(), storeDisplayName_.substr(2));
  }
  ++outputFileCount_;
}

std::string USave_to_PST_Format::StorePath(const std::string& folderPath) const {
  std::string path = folderPath;
  if (!path.empty() && path.back() == '\\') path.pop_back();
  if (path.rfind(kPersonalFolders, 0) == 0) path.replace(0, std::string_view(kPersonalFolders).size(), storeDisplayName_);
  return path;
}

void USave_to_PST_Format::CreateFolderPath(const std::string& folderPath) {
  currentOutputFolder_ = StorePath(folderPath);
  // "\\\\store\\a\\b": one call per level below the store, parents first. A name keeps its
  // own backslashes (written twice in the path), so it stays one level.
  const std::vector<std::string> names = FolderPathNames(currentOutputFolder_);
  if (names.empty()) return;
  std::string level = EscapeFolderName(names[0]);  // "\\\\store"
  for (std::size_t i = 1; i < names.size(); ++i) {
    level += "\\" + EscapeFolderName(names[i]);
    try {
      conversion_->CreateFolder(level);
    } catch (const ComponentError&) {
      // The next level is tried all the same.
    }
  }
}

void USave_to_PST_Format::FormatTime(const Raw& fileTime) {
  if (!fileTime || fileTime->size() < 8) return;
  const std::uint64_t value = *LoadLe64(*fileTime, 0);
  dateText_ = DateText(value);
  timeText_ = TimeText(value);
}

void USave_to_PST_Format::WriteMail(ItemRecord& record, StoreFile& store,
                                    const std::string& folderPath, const StoreNode* node,
                                    const CopiedMessage* source) {
  MailFields empty;
  MailFields& mail = record.mail ? *record.mail : empty;
  const std::string folder = StorePath(folderPath);
  if (source != nullptr && WritesSourceWhole()) {
    // Nothing of the record is rendered for a component that writes the source alone.
    FormatTime(mail.submitTime);
    FormatTime(mail.deliveryTime);
    conversion_->SaveMail(folder, {}, {}, {}, {}, {}, {}, 0, {}, {}, source);
    CheckSize();
    return;
  }

  const std::string sender = SenderText(mail);
  const std::string messageText = "From:" + (sender.empty() ? std::string("UnKnown") : sender) + "\r\n";
  const std::string recipients = RecipientText(mail);
  FormatTime(mail.submitTime);
  FormatTime(mail.deliveryTime);
  const std::string date = dateText_ + " " + timeText_;
  const std::string subject = mail.subject && mail.subject->text ? *mail.subject->text : "";

  std::string body;
  std::int16_t bodyKind = 0;
  if (mail.html) {
    bodyKind = 1;
    if (mail.html->size() < kLongBodyLimit) {
      body.assign(reinterpret_cast<const char*>(mail.html->data()), mail.html->size());
    }
  } else if (mail.hasRtfFile == 1) {
    if (mail.rtfText && CharacterCount(*mail.rtfText) < kLongBodyLimit) body = *mail.rtfText;
  } else {
    const std::string named1 = mail.namedText1 ? NarrowUtf16(*mail.namedText1) : "";
    const std::string named2 = mail.namedText2 ? NarrowUtf16(*mail.namedText2) : "";
    const std::string* longest = nullptr;
    std::size_t longestLength = 0;
    for (const std::string* candidate : std::initializer_list<const std::string*>{
             mail.rtfText ? &*mail.rtfText : nullptr, mail.namedText1 ? &named1 : nullptr,
          mail.namedText2 ? &named2 : nullptr, mail.body ? &*mail.body : nullptr}) {
      if (candidate == nullptr) continue;
      const std::size_t length = CharacterCount(*candidate);
      if (longest == nullptr || length >= longestLength) {
        longest = candidate;
        longestLength = length;
      }
    }
    if (longest != nullptr && longestLength < kLongBodyLimit) body = *longest;
  }

  // The attachment files, in memory.
  std::vector<MemoryFile> files;
  // The list holds the table's last row first: from its tail, the files keep the source's order.
  for (auto it = record.attachments.rbegin(); it != record.attachments.rend(); ++it) {
    AttachmentNode& attachment = *it;
    // An attached message goes as a message file; its stored bytes are its raw structure.
    std::optional<AttachedMessage> attached;
    std::string name;
    if (attachment.embeddedNid != 0) {
      attached = RenderAttachedMessage(store, node, attachment);
      if (!attached) continue;
      name = AttachedMessageName(attachment, attached->subject);
    } else {
      name = AttachmentName(attachment);
    }
    if (!IsAcceptableFileName(name)) continue;
    MemoryFile file{name, {}};
    if (attached) {
      file.data = ToBytes(attached->text);
    } else if (attachment.data) {
      // The bytes stay with the record: a mail written again into a continuation file needs
      // them once more.
      file.data = *attachment.data;
    } else {
      attachment.dataSize = static_cast<std::int32_t>(StreamAttachmentData(store, node, attachment, file.data));
    }
    files.push_back(std::move(file));
  }

  conversion_->SaveMail(folder, subject, recipients, messageText, date, files, body, bodyKind, "",
                        "", source);
  CheckSize();
}

void USave_to_PST_Format::CheckSize() {
  ++itemsInFile_;
  // The size the file will have when finished, where the component can tell (the file on disk
  // lacks the indexes and tables written at the end); else the file's size.
  std::optional<std::uint64_t> size = conversion_->ProjectedSize();
  if (!size) {
    struct stat info {};
    // Until it is finished the store is written under its unfinished name.
    if (::stat(NdbWriter::UnfinishedPath(file_.temporary()).c_str(), &info) == 0 ||
        ::stat(file_.temporary().c_str(), &info) == 0) {
      size = static_cast<std::uint64_t>(info.st_size);
    }
  }
  if (size && *size <= options_.splitSize) return;
  // A file that holds one item only goes on: an item larger than the limit would otherwise
  // begin one continuation file after another.
  if (size && itemsInFile_ < 2) return;
  itemsInFile_ = 0;
  split_ = true;
  FinishCurrentFile();
  conversion_.reset();
  InitOutputStore(file_.final().parent_path().string());
}

void USave_to_PST_Format::WriteAppointment(const ItemRecord& record, const CopiedMessage* source) {
  const MailFields* mail = record.mail.get();
  if (record.appointment && record.appointment->start) FormatTime(record.appointment->start);
  const std::string topic = mail && mail->conversationTopic ? *mail->conversationTopic : "";
  conversion_->SaveAppointment(currentOutputFolder_, topic, mail ? BodyText(*mail) : "", dateText_,
                               dateText_, source);
  CheckSize();
}

void USave_to_PST_Format::WriteTask(const MailFields& mail, const CopiedMessage* source) {
  conversion_->SaveTask(mail.deliveryTime ? currentOutputFolder_ : "", BodyText(mail),
                        mail.commonName.value_or(""),
                        mail.subject && mail.subject->text ? *mail.subject->text : "", source);
  CheckSize();
}

void USave_to_PST_Format::WriteItem(const CopiedMessage& source) {
  conversion_->SaveItem(currentOutputFolder_, source);
  CheckSize();
}

void USave_to_PST_Format::Finish() {
  if (conversion_) FinishCurrentFile();
}

void USave_to_PST_Format::FinishCurrentFile() {
  conversion_->Finish();
  if (!file_.reserved()) return;
  outputFiles_.push_back(file_.Publish());
}

void USave_to_PST_Format::WriteContact(const ItemRecord& record, const CopiedMessage* source) {
  if (!record.contact && source == nullptr) throw ComponentError("the contact holds no fields");
  std::unique_ptr<Component> created = CreateChecked(kContactSessionProgId);
  auto* session = dynamic_cast<ContactSession*>(created.get());
  if (session == nullptr) throw ComponentMissing(ComponentMissingMessage(kContactSessionProgId));
  session->Logon();
  std::unique_ptr<ComponentFolder> folder = session->GetFolderFromPath(currentOutputFolder_);
  std::unique_ptr<ComponentItems> items = folder->Items();
  std::unique_ptr<ContactItem> item = items->Add(2);
  const ContactFields none;
  const ContactFields& c = record.contact ? *record.contact : none;
  for (const ContactWrite& write : kContactWrites) {
    switch (write.source) {
      case Source::kField:
        if (const Text& value = c.*write.field; value && !value->empty()) item->SetText(write.dispatchId, *value);
        break;
      case Source::kDisplayName:
        if (record.displayName && !record.displayName->empty()) {
          item->SetText(write.dispatchId, *record.displayName);
        }
        break;
      case Source::kBody:
        if (record.mail) {
          if (const std::string body = BodyText(*record.mail); !body.empty()) item->SetText(write.dispatchId, body);
        }
        break;
      case Source::kGender:
        if (c.gender && *c.gender != 0) item->SetInteger(write.dispatchId, *c.gender);
        break;
    }
  }
  item->Save(source);
  CheckSize();
}

}  // namespace palvara
