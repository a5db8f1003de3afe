// Components that record every call they receive, for tests of what a saving run passes.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "export/components.h"

namespace palvara::testing {

struct Call {
  Call() = default;
  Call(std::string n, std::vector<std::string> a = {}, std::int64_t value = 0)
      : name(std::move(n)), args(std::move(a)), number(value) {}
  std::string name;
  std::vector<std::string> args;
  std::int64_t number = 0;                  // body kind, contact integer
  std::map<std::string, std::string> files;  // attachment files read during SaveMail: name -> bytes
};

class RecordingFactory : public ComponentFactory {
 public:
  std::vector<Call> calls;
  std::set<std::string> missing;     // ProgIDs that cannot be created
  std::set<std::string> registered;  // ProgIDs that can be created after Register
  std::set<std::string> failing;     // call names that throw ComponentError
  std::uint64_t storeSize = 0;       // what the conversion component says its store will take
  bool writesSourceWhole = false;    // what the conversion component says of source items

  std::unique_ptr<Component> Create(std::string_view progId) override;
  bool Register(std::string_view progId) override {
    calls.push_back({"Register", {std::string(progId)}});
    if (!registered.count(std::string(progId))) return false;
    missing.erase(std::string(progId));
    return true;
  }

  void Record(Call call) {
    const bool fail = failing.count(call.name) > 0;
    calls.push_back(std::move(call));
    if (fail) throw ComponentError("recorded failure");
  }
  std::vector<Call> Named(const std::string& name) const {
    std::vector<Call> found;
    for (const Call& c : calls) {
      if (c.name == name) found.push_back(c);
    }
    return found;
  }
};

class RecordingConversion : public ConversionComponent {
 public:
  RecordingFactory& f;
  explicit RecordingConversion(RecordingFactory& factory) : f(factory) {}
  void Start() override { f.Record({"Start", {}}); }
  void CreateStore(const std::string& path, const std::string& name) override {
    f.Record({"CreateStore", {path, name}});
    std::ofstream{path};  // the store file, empty here, as a real component leaves one
  }
  void CreateFolder(const std::string& path) override { f.Record({"CreateFolder", {path}}); }
  // args: folder, subject, to, message text, date, the file names each followed by ";", body,
  // the two reserved texts, the source item's class ("-" without one).
  void SaveMail(const std::string& folder, const std::string& subject, const std::string& to,
                const std::string& messageText, const std::string& date,
                const std::vector<MemoryFile>& files, const std::string& body, std::int16_t kind,
                const std::string& r1, const std::string& r2, const CopiedMessage* source) override {
    std::string names;
    for (const MemoryFile& file : files) names += file.name + ";";
    Call call("SaveMail", {folder, subject, to, messageText, date, names, body, r1, r2, SourceClass(source)},
              kind);
    for (const MemoryFile& file : files) {
      call.files[file.name] = std::string(reinterpret_cast<const char*>(file.data.data()), file.data.size());
    }
    f.Record(std::move(call));
  }
  void SaveAppointment(const std::string& folder, const std::string& topic, const std::string& body,
                       const std::string& date, const std::string& date2,
                       const CopiedMessage* source) override {
    f.Record({"SaveAppointment", {folder, topic, body, date, date2, SourceClass(source)}});
  }
  void SaveTask(const std::string& folder, const std::string& body, const std::string& commonName,
                const std::string& subject, const CopiedMessage* source) override {
    f.Record({"SaveTask", {folder, body, commonName, subject, SourceClass(source)}});
  }
  void SaveItem(const std::string& folder, const CopiedMessage& source) override {
    f.Record({"SaveItem", {folder, SourceClass(&source)}});
  }
  static std::string SourceClass(const CopiedMessage* source) {
    return source != nullptr ? source->MessageClass() : "-";
  }
  std::optional<std::uint64_t> ProjectedSize() const override { return f.storeSize; }
  bool WritesSourceWhole() const override { return f.writesSourceWhole; }
  void Finish() override { f.Record({"Finish", {}}); }
};

class RecordingContact : public ContactItem {
 public:
  explicit RecordingContact(RecordingFactory& factory) : f(factory) {}
  void SetText(std::uint32_t id, const std::string& value) override {
    f.Record({"SetText", {std::to_string(id), value}});
  }
  void SetInteger(std::uint32_t id, std::int32_t value) override {
    f.Record({"SetInteger", {std::to_string(id)}, value});
  }
  void Save(const CopiedMessage* source) override {
    f.Record({"Save", {RecordingConversion::SourceClass(source)}});
  }
  RecordingFactory& f;
};

class RecordingItems : public ComponentItems {
 public:
  explicit RecordingItems(RecordingFactory& factory) : f(factory) {}
  std::unique_ptr<ContactItem> Add(std::int32_t kind) override {
    f.Record({"Add", {}, kind});
    return std::make_unique<RecordingContact>(f);
  }
  RecordingFactory& f;
};

class RecordingFolder : public ComponentFolder {
 public:
  explicit RecordingFolder(RecordingFactory& factory) : f(factory) {}
  std::unique_ptr<ComponentItems> Items() override { return std::make_unique<RecordingItems>(f); }
  RecordingFactory& f;
};

class RecordingSession : public ContactSession {
 public:
  explicit RecordingSession(RecordingFactory& factory) : f(factory) {}
  void Logon() override { f.Record({"Logon", {}}); }
  std::unique_ptr<ComponentFolder> GetFolderFromPath(const std::string& path) override {
    f.Record({"GetFolderFromPath", {path}});
    return std::make_unique<RecordingFolder>(f);
  }
  RecordingFactory& f;
};

inline std::unique_ptr<Component> RecordingFactory::Create(std::string_view progId) {
  calls.push_back({"Create", {std::string(progId)}});
  if (missing.count(std::string(progId))) return nullptr;
  if (progId == kConversionProgId) return std::make_unique<RecordingConversion>(*this);
  if (progId == kContactSessionProgId) return std::make_unique<RecordingSession>(*this);
  return nullptr;
}

}  // namespace palvara::testing
