#include "cli/item_view.h"

#include <cstdio>
#include <ostream>

#include "common/text.h"

namespace palvara::cli {
namespace {

constexpr std::size_t kBodyPreview = 200;

std::string HexOf(const Bytes& bytes) {
  std::string out;
  char two[4];
  for (std::size_t i = 0; i < bytes.size() && i < 64; ++i) {
    std::snprintf(two, sizeof two, "%02X", std::to_integer<unsigned>(bytes[i]));
    out += two;
  }
  if (bytes.size() > 64) out += "...";
  return out;
}

// The first `n` characters (not bytes) of UTF-8 text.
std::string FirstCharacters(const std::string& text, std::size_t n) {
  std::size_t at = 0;
  for (std::size_t count = 0; at < text.size() && count < n; ++count) {
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
  }
  return text.substr(0, at);
}

class Builder {
 public:
  explicit Builder(nlohmann::json& target) : j_(target) {}
  void Put(const char* name, const Text& value) {
    if (value && !value->empty()) j_[name] = *value;
  }
  void Preview(const char* name, const Text& value) {
    if (value && !value->empty()) j_[name] = FirstCharacters(*value, kBodyPreview);
  }
  void Time(const char* name, const Raw& value) {
    if (value && value->size() >= 8) j_[name] = FileTimeToIso8601(*LoadLe64(*value, 0));
  }
  void Binary(const char* name, const Raw& value) {
    if (value && !value->empty()) j_[name] = HexOf(*value);
  }
  template <typename N>
  void Number(const char* name, N value) {
    if (value != 0) j_[name] = value;
  }

 private:
  nlohmann::json& j_;
};

}  // namespace

nlohmann::json ItemJson(const ItemRecord& r) {
  nlohmann::json j = nlohmann::json::object();
  j["kind"] = ItemKindName(r.kind);
  Builder top(j);
  top.Put("messageClass", r.messageClass);
  top.Put("displayName", r.displayName);
  top.Binary("recordKey", r.recordKey);
  if (r.mail) {
    const MailFields& m = *r.mail;
    nlohmann::json& g = j["mail"] = nlohmann::json::object();
    Builder b(g);
    if (m.subject) {
      b.Put("subject", m.subject->text);
      b.Number("subjectMarker", m.subject->marker);
      b.Number("subjectPrefixLength", m.subject->prefixLength);
    }
    b.Time("deliveryTime", m.deliveryTime);
    b.Time("submitTime", m.submitTime);
    b.Number("messageFlags", m.messageFlags);
    b.Put("senderName", m.senderName);
    b.Put("senderAddress", m.senderAddress);
    b.Put("receiverAddress", m.receiverAddress);
    b.Put("displayTo", m.displayTo);
    b.Put("displayCc", m.displayCc);
    b.Put("replyNames", m.replyNames);
    b.Put("conversationTopic", m.conversationTopic);
    b.Put("inReplyTo", m.inReplyTo);
    b.Put("commonName", m.commonName);
    b.Binary("namedText1", m.namedText1);
    b.Binary("namedText2", m.namedText2);
    b.Number("hasRtfFile", m.hasRtfFile);
    b.Preview("body", m.body);
    b.Preview("rtfText", m.rtfText);
    if (m.html) {
      const std::string html(reinterpret_cast<const char*>(m.html->data()), m.html->size());
      b.Preview("html", html);
    }
  }
  if (r.folderCounts) {
    j["folderCounts"] = {{"contentCount", r.folderCounts->contentCount},
                         {"unreadCount", r.folderCounts->unreadCount},
                         {"hasSubfolders", r.folderCounts->hasSubfolders}};
  }
  if (r.contact) {
    const ContactFields& c = *r.contact;
    nlohmann::json& g = j["contact"] = nlohmann::json::object();
    Builder b(g);
    b.Put("company", c.company);
    b.Put("generation", c.generation);
    b.Put("emailAddress", c.emailAddress);
    b.Put("postalAddress", c.postalAddress);
    b.Put("title", c.title);
    b.Put("fileAs", c.fileAs);
    b.Put("surname", c.surname);
    b.Put("givenName", c.givenName);
    b.Put("middleName", c.middleName);
    b.Put("homePhone", c.homePhone);
    b.Put("businessPhone", c.businessPhone);
    b.Put("mobilePhone", c.mobilePhone);
    b.Put("businessFax", c.businessFax);
    b.Put("department", c.department);
    b.Put("businessAddress", c.businessAddress);
    b.Put("businessStreet", c.businessStreet);
    b.Put("businessCity", c.businessCity);
    b.Put("businessState", c.businessState);
    b.Put("businessPostalCode", c.businessPostalCode);
    b.Put("businessCountry", c.businessCountry);
    b.Put("homeStreet", c.homeStreet);
    b.Put("homeCity", c.homeCity);
    b.Put("homeState", c.homeState);
    b.Put("homePostalCode", c.homePostalCode);
    b.Put("homeCountry", c.homeCountry);
    b.Put("otherAddress", c.otherAddress);
    b.Put("nickname", c.nickname);
    b.Put("personalHomePage", c.personalHomePage);
    b.Put("businessHomePage", c.businessHomePage);
    b.Put("freeBusyLocation", c.freeBusyLocation);
    b.Time("birthday", c.birthday);
    b.Time("weddingAnniversary", c.weddingAnniversary);
    if (c.gender) g["gender"] = *c.gender;
  }
  if (r.store) {
    nlohmann::json& g = j["store"] = nlohmann::json::object();
    Builder b(g);
    b.Binary("ipmSubtreeEntryId", r.store->ipmSubtreeEntryId);
    b.Binary("wastebasketEntryId", r.store->wastebasketEntryId);
    b.Binary("finderEntryId", r.store->finderEntryId);
    b.Binary("topFolderEntryId", r.store->topFolderEntryId);
    b.Number("validFolderMask", r.store->validFolderMask);
  }
  if (r.journal) j["journal"] = {{"entryType", r.journal->entryType.value_or("")}};
  if (r.appointment) {
    nlohmann::json& g = j["appointment"] = nlohmann::json::object();
    Builder b(g);
    b.Time("start", r.appointment->start);
    b.Time("end", r.appointment->end);
    b.Put("location", r.appointment->location);
  }
  if (!r.attachments.empty()) {
    nlohmann::json list = nlohmann::json::array();
    for (const AttachmentNode& a : r.attachments) {
      nlohmann::json entry = {{"dataSize", a.dataSize}, {"subnodeId", a.subnodeId}};
      if (a.fileName) entry["fileName"] = *a.fileName;
      if (a.longFileName) entry["longFileName"] = *a.longFileName;
      if (a.displayName) entry["displayName"] = *a.displayName;
      list.push_back(entry);
    }
    j["attachments"] = list;
  }
  return j;
}

void PrintFlat(const nlohmann::json& value, const std::string& prefix, std::ostream& out) {
  if (value.is_object()) {
    for (const auto& [key, item] : value.items()) {
      PrintFlat(item, prefix.empty() ? key : prefix + "." + key, out);
    }
  } else if (value.is_array()) {
    for (std::size_t i = 0; i < value.size(); ++i) {
      PrintFlat(value[i], prefix + "[" + std::to_string(i) + "]", out);
    }
  } else {
    out << prefix << ": " << (value.is_string() ? value.get<std::string>() : value.dump()) << "\n";
  }
}

}  // namespace palvara::cli
