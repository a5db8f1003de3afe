#include "export/native_components.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "common/folder_path.h"
#include "common/text.h"
#include "writer/store_writer.h"

namespace palvara {
namespace {

constexpr std::uint64_t kTicksPerDay = 864000000000ull;

constexpr ContactProperty kContactProperties[] = {
    {0x600400A2, 0x3A10, 0x001F, 0}, {0x60040051, 0x8005, 0x001F, 4},
    {0x60040056, 0x3A07, 0x001F, 0}, {0x600400CC, 0x3A4B, 0x001F, 0},
    {0x6004000A, 0x3A1B, 0x001F, 0}, {0x600400BE, 0x3A1D, 0x001F, 0},
    {0x600400C8, 0x3A2C, 0x001F, 0}, {0x0000001F, 0x8534, 0x001F, 8},
    {0x6004004D, 0x3A06, 0x001F, 0}, {0x60040096, 0x3A44, 0x001F, 0},
    {0x60040083, 0x3A11, 0x001F, 0}, {0x6004004B, 0x3001, 0x001F, 0},
    {0x6004000C, 0x801B, 0x001F, 4}, {0x6004005B, 0x3A2F, 0x001F, 0},
    {0x60040033, 0x3A18, 0x001F, 0}, {0x60040022, 0x3A1E, 0x001F, 0},
    {0x60040012, 0x3A2A, 0x001F, 0}, {0x60040018, 0x3A29, 0x001F, 0},
    {0x60040016, 0x3A28, 0x001F, 0}, {0x60040010, 0x3A26, 0x001F, 0},
    {0x6004000E, 0x3A27, 0x001F, 0}, {0x60040020, 0x3A02, 0x001F, 0},
    {0x600400AA, 0x3A61, 0x001F, 0}, {0x600400A4, 0x801C, 0x001F, 4},
    {0x600400B4, 0x3A1F, 0x001F, 0}, {0x600400B0, 0x3A63, 0x001F, 0},
    {0x600400AE, 0x3A62, 0x001F, 0}, {0x600400A8, 0x3A60, 0x001F, 0},
    {0x600400A6, 0x3A5F, 0x001F, 0}, {0x60040067, 0x3A5C, 0x001F, 0},
    {0x60040069, 0x3A5D, 0x001F, 0}, {0x60040063, 0x3A5B, 0x001F, 0},
    {0x60040061, 0x3A5A, 0x001F, 0}, {0x6004001C, 0x3A51, 0x001F, 0},
    {0x600400B8, 0x3A50, 0x001F, 0}, {0x6004009E, 0x3A4F, 0x001F, 0},
    {0x60040094, 0x3A4E, 0x001F, 0}, {0x60040073, 0x80D8, 0x001F, 4},
    {0x6004005F, 0x3A59, 0x001F, 0}, {0x6004002B, 0x3A57, 0x001F, 0},
    {0x600400C4, 0x3A48, 0x001F, 0}, {0x600400BC, 0x3A46, 0x001F, 0},
    {0x60040004, 0x3A30, 0x001F, 0}, {0x60040006, 0x3A2E, 0x001F, 0},
    {0x60040075, 0x3A2D, 0x001F, 0}, {0x600400B6, 0x3A21, 0x001F, 0},
    {0x600400A0, 0x3A19, 0x001F, 0}, {0x6004006B, 0x3A25, 0x001F, 0},
    {0x6004007B, 0x3A0C, 0x001F, 0}, {0x6004001E, 0x3A08, 0x001F, 0},
    {0x6004001A, 0x3A24, 0x001F, 0}, {0x0000000B, 0x1000, 0x001F, 0},
    {0x60040059, 0x3A43, 0x001F, 0}, {0x60040054, 0x3A4D, 0x0002, 0},
    {0x60040031, 0x3A4A, 0x001F, 0},
    // The item's default property is taken as the generation, which is written to it again.
    {0x00000000, 0x3A05, 0x001F, 0}, {0x600400C6, 0x3A05, 0x001F, 0},
    {0x60040035, 0x8083, 0x001F, 4}, {0x6004002D, 0x3A16, 0x001F, 0},
    {0x60040077, 0x3A17, 0x001F, 0}, {0x6004006D, 0x3A09, 0x001F, 0},
    {0x60040098, 0x3A1C, 0x001F, 0},
};

std::string Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

// "Name<address>", "<address>", "Name": the name and the address.
std::pair<std::string, std::string> SplitAddress(std::string_view text) {
  const auto open = text.rfind('<');
  if (open == std::string_view::npos || text.empty() || text.back() != '>') return {Trim(text), ""};
  return {Trim(text.substr(0, open)), std::string(text.substr(open + 1, text.size() - open - 2))};
}

// "d/m/y" and "d/m/y h.m.s" (UTC) as a FILETIME; nullopt when the text is not such a date.
std::optional<std::uint64_t> ParseDateText(const std::string& text) {
  CivilTime t;
  char tail = 0;
  const int n = std::sscanf(text.c_str(), "%d/%d/%d %d.%d.%d%c", &t.day, &t.month, &t.year,
                            &t.hour, &t.minute, &t.second, &tail);
  if (n != 3 && n != 6) return std::nullopt;
  if (n == 3) t.hour = t.minute = t.second = 0;
  return CivilToFileTime(t);
}

}  // namespace

const ContactProperty* FindContactProperty(std::uint32_t dispatchId) {
  for (const ContactProperty& p : kContactProperties) {
    if (p.dispatchId == dispatchId) return &p;
  }
  return nullptr;
}

// One output store while it is written: its writer and its folders by path below the store.
struct NativeStore {
  std::unique_ptr<StoreWriter> writer;
  std::filesystem::path path;
  std::string displayName;
  std::map<std::string, std::uint32_t> folders;  // "Inbox\\Old" -> nid; "" is the top folder
  bool finished = false;

  // The nid of the folder at "\\\\store\\a\\b" below this store; nullopt when unknown.
  std::optional<std::uint32_t> Find(const std::string& relative) const {
    const auto it = folders.find(relative);
    if (it == folders.end()) return std::nullopt;
    return it->second;
  }

  void CheckOpen() const {
    if (finished) throw ComponentError("the store \"" + displayName + "\" is finished", true);
  }

  // Failure of the writer itself: nothing more can be written to this store.
  void CheckWriter() const {
    if (!writer->status().ok()) throw ComponentError(writer->status().message(), true);
  }

  // Gives an unclassed folder the class of the first item filed in it.
  void ClassifyFolder(std::uint32_t folder, const char* containerClass) {
    if (writer->FolderClass(folder).empty()) writer->SetFolderClass(folder, containerClass);
  }

  // Writes a source item whole into `folder`, which takes the class of its kind when it has
  // none yet.
  void AddCopied(std::uint32_t folder, const CopiedMessage& source) {
    CheckOpen();
    ClassifyFolder(folder, ContainerClassOf(source.MessageClass()));
    writer->AddCopiedMessage(folder, source);
    CheckWriter();
  }

  static const char* ContainerClassOf(const std::string& messageClass) {
    static const std::pair<const char*, const char*> kKinds[] = {
        {"IPM.Contact", "IPF.Contact"},  {"IPM.DistList", "IPF.Contact"},
        {"IPM.Appointment", "IPF.Appointment"}, {"IPM.Schedule.Meeting", "IPF.Appointment"},
        {"IPM.Task", "IPF.Task"},        {"IPM.StickyNote", "IPF.StickyNote"},
        {"IPM.Activity", "IPF.Journal"}};
    for (const auto& [prefix, containerClass] : kKinds) {
      if (StartsWithIgnoringCase(messageClass, prefix)) return containerClass;
    }
    return "IPF.Note";
  }
};

// The stores created and not yet finished, by display name.
class NativeStores {
 public:
  void Add(const std::shared_ptr<NativeStore>& store) {
    std::lock_guard lock(mutex_);
    stores_[store->displayName] = store;
  }
  void Remove(const std::string& displayName) {
    std::lock_guard lock(mutex_);
    stores_.erase(displayName);
  }
  std::shared_ptr<NativeStore> Find(const std::string& displayName) {
    std::lock_guard lock(mutex_);
    const auto it = stores_.find(displayName);
    return it != stores_.end() ? it->second : nullptr;
  }

  // Splits "\\\\store\\a\\b" into the store and "a\\b"; throws when the store is unknown.
  std::pair<std::shared_ptr<NativeStore>, std::string> Resolve(const std::string& path) {
    if (path.rfind("\\\\", 0) != 0) throw ComponentError("not a store folder path: " + path);
    const std::string rest = path.substr(2);
    const auto slash = rest.find('\\');
    const std::string name = rest.substr(0, slash);
    std::shared_ptr<NativeStore> store = Find(name);
    if (!store) throw ComponentError("no open store is named \"" + name + "\"");
    return {store, slash == std::string::npos ? std::string() : rest.substr(slash + 1)};
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<NativeStore>> stores_;
};

namespace {

// The conversion component: one output store per instance.
class NativeConversion : public ConversionComponent {
 public:
  explicit NativeConversion(std::shared_ptr<NativeStores> stores) : stores_(std::move(stores)) {}
  ~NativeConversion() override {
    // An instance released without Finish leaves no half-written store registered.
    if (store_) stores_->Remove(store_->displayName);
  }

  void Start() override {}

  void CreateStore(const std::string& path, const std::string& displayName) override {
    if (store_ && store_->path == path) {
      stores_->Remove(store_->displayName);
      store_->displayName = displayName;
      store_->writer->SetDisplayName(displayName);
      stores_->Add(store_);
      return;
    }
    if (store_) throw ComponentError("this instance already writes " + store_->path.string());
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) throw ComponentError("\"" + path + "\" already exists");
    Status status = Status::Ok();
    auto writer = StoreWriter::Create(path, displayName, EncodingMethod::kPermute, &status);
    if (!writer) throw ComponentError(status.message(), true);
    store_ = std::make_shared<NativeStore>();
    store_->writer = std::move(writer);
    store_->path = path;
    store_->displayName = displayName;
    store_->folders[""] = kNidIpmSubtree;
    store_->folders["Deleted Items"] = kNidDeletedItems;
    stores_->Add(store_);
  }

  void CreateFolder(const std::string& folderPath) override {
    auto [store, relative] = Mine(folderPath);
    if (relative.empty() || store->Find(relative)) return;
    // The last level's name may hold backslashes of its own, written twice.
    const auto [parentPath, name] = SplitLastFolderName(relative);
    const auto parent = store->Find(parentPath);
    if (!parent) throw ComponentError("the parent of \"" + folderPath + "\" does not exist");
    if (name.empty()) throw ComponentError("a folder needs a name: \"" + folderPath + "\"");
    store->folders[relative] = store->writer->CreateFolder(*parent, name, StandardClass(parentPath, name));
  }

  void SaveMail(const std::string& folderPath, const std::string& subject,
                const std::string& recipients, const std::string& messageText,
                const std::string& date, const std::vector<MemoryFile>& attachments,
                const std::string& body, std::int16_t bodyKind, const std::string&,
                const std::string&, const CopiedMessage* source) override {
    auto [store, relative] = Mine(folderPath);
    const std::uint32_t folder = FolderOf(*store, relative, folderPath);
    if (source != nullptr) return store->AddCopied(folder, *source);
    MessageSpec m;
    m.subject = subject;
    // The sender: the message text's "From:" line.
    const std::string& header = messageText;
    if (header.rfind("From:", 0) == 0) {
      const std::string from = header.substr(5, header.find_first_of("\r\n") - 5);
      if (from != "UnKnown") {
        auto [name, address] = SplitAddress(from);
        // "<text>" without "@" names the sender by that text alone.
        if (name.empty() && address.find('@') == std::string::npos) name = address;
        m.senderName = name;
        m.senderAddress = address;
      }
    }
    // The recipient text: the display names, then "<address>" of the receiving mailbox.
    std::string names = recipients;
    if (!names.empty() && names.back() == '>' && names.rfind('<') != std::string::npos &&
        names.rfind('<') > (names.rfind(';') == std::string::npos ? 0 : names.rfind(';'))) {
      const auto open = names.rfind('<');
      m.receivedByAddress = names.substr(open + 1, names.size() - open - 2);
      names.resize(open);
    }
    m.displayTo = names;
    for (std::size_t start = 0; start < names.size();) {
      const auto end = std::min(names.find(';', start), names.size());
      auto [name, address] = SplitAddress(std::string_view(names).substr(start, end - start));
      if (!name.empty() || !address.empty()) m.recipients.push_back({name, address, 1});
      start = end + 1;
    }
    if (const auto time = ParseDateText(date)) m.submitTime = m.deliveryTime = *time;
    if (bodyKind == 1) {
      if (!body.empty()) m.html = Bytes(reinterpret_cast<const std::byte*>(body.data()),
                                        reinterpret_cast<const std::byte*>(body.data()) + body.size());
    } else {
      m.body = body;
    }
    for (const MemoryFile& file : attachments) {
      AttachmentSpec a;
      a.fileName = file.name;
      a.data = file.data;
      m.attachments.push_back(std::move(a));
    }
    store->ClassifyFolder(folder, "IPF.Note");
    store->writer->AddMessage(folder, m);
    store->CheckWriter();
  }

  void SaveAppointment(const std::string& folderPath, const std::string& topic,
                       const std::string& body, const std::string& startDate,
                       const std::string&, const CopiedMessage* source) override {
    auto [store, relative] = Mine(folderPath);
    const std::uint32_t folder = FolderOf(*store, relative, folderPath);
    if (source != nullptr) return store->AddCopied(folder, *source);
    StoreWriter::Appointment a;
    a.subject = topic;
    a.body = body;
    a.allDay = true;
    // The date is all the call carries: an all-day appointment on that day.
    const std::uint64_t day = ParseDateText(startDate.substr(0, startDate.find(' '))).value_or(0);
    a.start = day;
    a.end = day == 0 ? 0 : day + kTicksPerDay;
    store->ClassifyFolder(folder, "IPF.Appointment");
    store->writer->AddAppointment(folder, a);
    store->CheckWriter();
  }

  void SaveTask(const std::string& folderPath, const std::string& body,
                const std::string& commonName, const std::string& subject,
                const CopiedMessage* source) override {
    std::shared_ptr<NativeStore> store;
    std::uint32_t folder = 0;
    if (folderPath.empty()) {
      // No folder given: the store's Tasks folder, made when it is missing.
      if (!store_) throw ComponentError("no store has been created");
      store = store_;
      if (!store->Find("Tasks")) CreateFolder("\\\\" + store->displayName + "\\Tasks");
      folder = *store->Find("Tasks");
    } else {
      auto [found, relative] = Mine(folderPath);
      store = found;
      folder = FolderOf(*store, relative, folderPath);
    }
    if (source != nullptr) return store->AddCopied(folder, *source);
    StoreWriter::Task t;
    t.subject = subject;
    t.body = body;
    t.commonName = commonName;
    store->ClassifyFolder(folder, "IPF.Task");
    store->writer->AddTask(folder, t);
    store->CheckWriter();
  }

  void SaveItem(const std::string& folderPath, const CopiedMessage& source) override {
    auto [store, relative] = Mine(folderPath);
    store->AddCopied(FolderOf(*store, relative, folderPath), source);
  }

  bool WritesSourceWhole() const override { return true; }

  std::optional<std::uint64_t> ProjectedSize() const override {
    if (!store_) return std::nullopt;
    return store_->writer->ProjectedSize();
  }

  void Finish() override {
    if (!store_) return;
    stores_->Remove(store_->displayName);
    store_->finished = true;
    // Folders that received no item and have no standard name hold mail.
    for (const auto& [relative, nid] : store_->folders) {
      if (!relative.empty()) store_->ClassifyFolder(nid, "IPF.Note");
    }
    const Status finished = store_->writer->Finish();
    store_.reset();
    if (!finished.ok()) throw ComponentError(finished.message(), true);
  }

 private:
  // Resolves a path to a store this instance created.
  std::pair<std::shared_ptr<NativeStore>, std::string> Mine(const std::string& path) {
    auto resolved = stores_->Resolve(path);
    if (resolved.first != store_) throw ComponentError("\"" + path + "\" is not in this instance's store");
    return resolved;
  }

  static std::uint32_t FolderOf(const NativeStore& store, const std::string& relative,
                                const std::string& path) {
    const auto folder = store.Find(relative);
    if (!folder) throw ComponentError("no folder \"" + path + "\"");
    return *folder;
  }

  // Top-level folders with a standard name get that folder's class.
  static std::string StandardClass(const std::string& parentPath, const std::string& name) {
    if (!parentPath.empty()) return "";
    static const std::pair<const char*, const char*> kStandard[] = {
        {"Contacts", "IPF.Contact"}, {"Calendar", "IPF.Appointment"}, {"Tasks", "IPF.Task"},
        {"Notes", "IPF.StickyNote"}, {"Journal", "IPF.Journal"}};
    for (const auto& [standard, containerClass] : kStandard) {
      if (name == standard) return containerClass;
    }
    return "";
  }

  std::shared_ptr<NativeStores> stores_;
  std::shared_ptr<NativeStore> store_;
};

class NativeContactItem : public ContactItem {
 public:
  NativeContactItem(std::shared_ptr<NativeStore> store, std::uint32_t folder)
      : store_(std::move(store)), folder_(folder) {}

  void SetText(std::uint32_t dispatchId, const std::string& value) override {
    const ContactProperty* p = FindContactProperty(dispatchId);
    if (p == nullptr || p->type != 0x001F) {
      throw ComponentError("a contact has no text property " + std::to_string(dispatchId));
    }
    values_[Key(*p)] = {p, Utf16Value(value)};
    if (p->id == 0x3001) displayName_ = value;
    if (p->named == 4 && p->id == 0x8083) email_ = value;
  }

  void SetInteger(std::uint32_t dispatchId, std::int32_t value) override {
    const ContactProperty* p = FindContactProperty(dispatchId);
    if (p == nullptr || p->type != 0x0002) {
      throw ComponentError("a contact has no integer property " + std::to_string(dispatchId));
    }
    values_[Key(*p)] = {p, IntValue(static_cast<std::uint16_t>(value), 2)};
  }

  void Save(const CopiedMessage* source) override {
    if (source != nullptr) return store_->AddCopied(folder_, *source);
    store_->CheckOpen();
    StoreWriter& w = *store_->writer;
    MessageSpec m;
    m.messageClass = "IPM.Contact";
    m.subject = displayName_;
    for (const auto& [key, value] : values_) {
      const ContactProperty& p = *value.first;
      const std::uint16_t id = p.named == 0 ? p.id : w.NamedPropertyId(PropertySet(p.named), p.id);
      m.extra.push_back({id, p.type, value.second});
    }
    if (!email_.empty()) {
      // E-mail 1 as Outlook keeps it: address type and original address beside the address.
      m.extra.push_back({w.NamedPropertyId(PropertySet(4), 0x8082), 0x001F, Utf16Value("SMTP")});
      m.extra.push_back({w.NamedPropertyId(PropertySet(4), 0x8084), 0x001F, Utf16Value(email_)});
    }
    store_->ClassifyFolder(folder_, "IPF.Contact");
    w.AddMessage(folder_, m);
    store_->CheckWriter();
  }

 private:
  static std::uint32_t Key(const ContactProperty& p) { return (std::uint32_t{p.named} << 16) | p.id; }

  std::shared_ptr<NativeStore> store_;
  std::uint32_t folder_;
  std::map<std::uint32_t, std::pair<const ContactProperty*, Bytes>> values_;
  std::string displayName_, email_;
};

class NativeItems : public ComponentItems {
 public:
  NativeItems(std::shared_ptr<NativeStore> store, std::uint32_t folder)
      : store_(std::move(store)), folder_(folder) {}
  std::unique_ptr<ContactItem> Add(std::int32_t kind) override {
    if (kind != 2) throw ComponentError("only contact items (2) can be added");
    return std::make_unique<NativeContactItem>(store_, folder_);
  }

 private:
  std::shared_ptr<NativeStore> store_;
  std::uint32_t folder_;
};

class NativeFolder : public ComponentFolder {
 public:
  NativeFolder(std::shared_ptr<NativeStore> store, std::uint32_t folder)
      : store_(std::move(store)), folder_(folder) {}
  std::unique_ptr<ComponentItems> Items() override {
    return std::make_unique<NativeItems>(store_, folder_);
  }

 private:
  std::shared_ptr<NativeStore> store_;
  std::uint32_t folder_;
};

class NativeSession : public ContactSession {
 public:
  explicit NativeSession(std::shared_ptr<NativeStores> stores) : stores_(std::move(stores)) {}
  void Logon() override { loggedOn_ = true; }
  std::unique_ptr<ComponentFolder> GetFolderFromPath(const std::string& path) override {
    if (!loggedOn_) throw ComponentError("the session is not logged on");
    auto [store, relative] = stores_->Resolve(path);
    const auto folder = store->Find(relative);
    if (!folder) throw ComponentError("no folder \"" + path + "\"");
    return std::make_unique<NativeFolder>(store, *folder);
  }

 private:
  std::shared_ptr<NativeStores> stores_;
  bool loggedOn_ = false;
};

}  // namespace

NativeComponentFactory::NativeComponentFactory() : stores_(std::make_shared<NativeStores>()) {}
NativeComponentFactory::~NativeComponentFactory() = default;

std::unique_ptr<Component> NativeComponentFactory::Create(std::string_view progId) {
  if (progId == kConversionProgId) return std::make_unique<NativeConversion>(stores_);
  if (progId == kContactSessionProgId) return std::make_unique<NativeSession>(stores_);
  return nullptr;
}

}  // namespace palvara
