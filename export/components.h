// The two outside components a saving run writes through: the conversion component, which
// creates the output store, its folders, mail, appointments and tasks, and the contact
// session, which adds contacts. Both are reached through these interfaces, one method per
// call of the original automation interfaces, and created by ProgID through a factory. Calls
// that fail throw ComponentError.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_view.h"
#include "writer/message_copy.h"

namespace palvara {

inline constexpr const char* kConversionProgId = "storemailconv.Class1";
inline constexpr const char* kContactSessionProgId = "Redemption.RDOSession";

// A failed component call. `fatal`: the component cannot go on (its store can no longer be
// written), so further calls would fail too.
class ComponentError : public std::runtime_error {
 public:
  explicit ComponentError(const std::string& what, bool fatal = false)
      : std::runtime_error(what), fatal_(fatal) {}
  bool fatal() const { return fatal_; }

 private:
  bool fatal_;
};

// Every component object; the factory hands them out under this type.
class Component {
 public:
  virtual ~Component() = default;
};

// A file handed to a component in memory: its name and bytes.
struct MemoryFile {
  std::string name;
  Bytes data;
};

// "storemailconv.Class1". Folder paths have the form "\\\\" + store name + "\\" + folder ...,
// without a trailing backslash. Texts are UTF-8. Each item call also carries the source item,
// read whole, when there is one: a component that can write it writes the item from it, and
// takes the texts only where it has no source item.
class ConversionComponent : public Component {
 public:
  virtual void Start() = 0;
  // Creates the store file at `path` with `displayName`, reachable as "\\\\" + displayName. A
  // second call for the same path renames the store.
  virtual void CreateStore(const std::string& path, const std::string& displayName) = 0;
  // Creates `folderPath` below its parent, which must exist; an existing folder stays as it is.
  virtual void CreateFolder(const std::string& folderPath) = 0;
  // One mail item. The sender comes from the message text's "From:" line; `date` is
  // "d/m/y h.m.s" (UTC); the attachments are files by name. Body kind 1: `body` is HTML, 0:
  // plain text.
  virtual void SaveMail(const std::string& folderPath, const std::string& subject,
                        const std::string& recipients, const std::string& messageText,
                        const std::string& date, const std::vector<MemoryFile>& attachments,
                        const std::string& body, std::int16_t bodyKind,
                        const std::string& reserved1, const std::string& reserved2,
                        const CopiedMessage* source) = 0;
  // An appointment; from the texts alone an all-day one on the date of `startDate` ("d/m/y").
  virtual void SaveAppointment(const std::string& folderPath, const std::string& topic,
                               const std::string& body, const std::string& startDate,
                               const std::string& startDate2, const CopiedMessage* source) = 0;
  // A task; an empty folder path files it in the store's Tasks folder.
  virtual void SaveTask(const std::string& folderPath, const std::string& body,
                        const std::string& commonName, const std::string& subject,
                        const CopiedMessage* source) = 0;
  // Any other item (a sticky note, a journal entry, a distribution list), from its source.
  virtual void SaveItem(const std::string& folderPath, const CopiedMessage& source) = 0;
  // The size the store file will have when finished; nullopt when the component cannot tell
  // (the file's size on disk is taken then).
  virtual std::optional<std::uint64_t> ProjectedSize() const { return std::nullopt; }
  // True when a save call given a source item writes the item from the source alone and takes
  // nothing from its other arguments, which the caller may then leave empty.
  virtual bool WritesSourceWhole() const { return false; }
  // Completes the store; no further calls follow.
  virtual void Finish() = 0;
};

// A contact item under construction. Properties are written by their dispatch identifiers.
class ContactItem {
 public:
  virtual ~ContactItem() = default;
  virtual void SetText(std::uint32_t dispatchId, const std::string& value) = 0;
  virtual void SetInteger(std::uint32_t dispatchId, std::int32_t value) = 0;
  // Dispatch identifier 0x6. With a source item the contact is written whole from it.
  virtual void Save(const CopiedMessage* source) = 0;
};

class ComponentItems {
 public:
  virtual ~ComponentItems() = default;
  // Dispatch identifier 0x4; kind 2 is a contact.
  virtual std::unique_ptr<ContactItem> Add(std::int32_t kind) = 0;
};

class ComponentFolder {
 public:
  virtual ~ComponentFolder() = default;
  virtual std::unique_ptr<ComponentItems> Items() = 0;  // dispatch identifier 0x11
};

// "Redemption.RDOSession".
class ContactSession : public Component {
 public:
  virtual void Logon() = 0;  // dispatch identifier 0x4, every option left open
  // Dispatch identifier 0x60020016: the folder at "\\\\store\\folder\\...".
  virtual std::unique_ptr<ComponentFolder> GetFolderFromPath(const std::string& path) = 0;
};

// Creates components by ProgID; nullptr when the ProgID cannot be created.
class ComponentFactory {
 public:
  virtual ~ComponentFactory() = default;
  virtual std::unique_ptr<Component> Create(std::string_view progId) = 0;
  // Tries to make the component creatable (the original registers its library); true when a
  // further attempt may succeed.
  virtual bool Register(std::string_view /*progId*/) { return false; }
};

}  // namespace palvara
