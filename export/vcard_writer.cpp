#include "export/vcard_writer.h"

#include "export/card_text.h"
#include "export/mime_text.h"

namespace palvara {
namespace {

// Numbers of the address-set properties holding the three e-mail addresses.
constexpr std::uint32_t kEmailAddresses[] = {0x8083, 0x8093, 0x80A3};

std::string Field(const Text& text) { return text ? EscapeCardText(*text) : std::string(); }

// Outlook keeps a date-only value as local midnight in UTC.
std::string DateOnly(const Raw& raw) {
  if (!raw || raw->size() < 8) return {};
  return CardNearestDate(*LoadLe64(*raw, 0));
}

struct Phone {
  Text ContactFields::*field;
  const char* types;
};
const Phone kPhones[] = {
    {&ContactFields::businessPhone, "work,voice"}, {&ContactFields::business2Phone, "work,voice"},
    {&ContactFields::homePhone, "home,voice"},     {&ContactFields::home2Phone, "home,voice"},
    {&ContactFields::mobilePhone, "cell"},         {&ContactFields::carPhone, "car"},
    {&ContactFields::businessFax, "work,fax"},     {&ContactFields::homeFax, "home,fax"},
    {&ContactFields::pagerPhone, "pager"},         {&ContactFields::otherPhone, "voice"},
    {&ContactFields::assistantPhone, "voice"},     {&ContactFields::companyMainPhone, "work,voice"},
    {&ContactFields::callbackPhone, "voice"},      {&ContactFields::isdnNumber, "voice"},
    {&ContactFields::radioPhone, "voice"},         {&ContactFields::telexNumber, "voice"},
    {&ContactFields::ttyTddPhone, "textphone"},
};

struct Address {
  const char* type;
  Text ContactFields::*street, ContactFields::*city, ContactFields::*state,
      ContactFields::*postalCode, ContactFields::*country;
};
using C = ContactFields;
const Address kAddresses[] = {
    {"work", &C::businessStreet, &C::businessCity, &C::businessState, &C::businessPostalCode,
     &C::businessCountry},
    {"home", &C::homeStreet, &C::homeCity, &C::homeState, &C::homePostalCode, &C::homeCountry},
    {"", &C::otherStreet, &C::otherCity, &C::otherState, &C::otherPostalCode, &C::otherCountry},
};

}  // namespace

std::string RenderVCard(const SourceMessage& m) {
  static const ContactFields kNone;
  const ContactFields& c = m.record.contact ? *m.record.contact : kNone;
  const PropertyReader p = m.Properties();
  std::string v = "BEGIN:VCARD\r\nVERSION:4.0\r\n";
  std::string name = m.record.displayName.value_or("");
  if (name.empty()) name = c.fileAs.value_or("");
  if (name.empty()) name = c.givenName.value_or("") + (c.givenName && c.surname ? " " : "") + c.surname.value_or("");
  if (name.empty() && m.record.mail && m.record.mail->subject) name = m.record.mail->subject->text.value_or("");
  v += CardLine("FN", EscapeCardText(name.empty() ? "Unnamed" : name));
  v += CardLine("N", Field(c.surname) + ";" + Field(c.givenName) + ";" + Field(c.middleName) + ";" +
                         Field(c.displayNamePrefix) + ";" + Field(c.generation));
  if (c.nickname) v += CardLine("NICKNAME", Field(c.nickname));
  if (c.company || c.department) v += CardLine("ORG", Field(c.company) + (c.department ? ";" + Field(c.department) : ""));
  if (c.title) v += CardLine("TITLE", Field(c.title));
  if (c.profession) v += CardLine("ROLE", Field(c.profession));

  std::vector<std::string> emails;
  for (std::uint32_t id : kEmailAddresses) {
    if (auto e = p.Text(id); e && e->find('@') != std::string::npos) emails.push_back(*e);
  }
  if (c.emailAddress && emails.empty()) emails.push_back(*c.emailAddress);
  for (std::size_t i = 0; i < emails.size(); ++i) {
    v += CardLine(i == 0 ? "EMAIL;PREF=1" : "EMAIL", EscapeCardText(emails[i]));
  }
  for (const Phone& phone : kPhones) {
    if (const Text& number = c.*phone.field; number && !number->empty()) {
      v += CardLine(std::string("TEL;TYPE=\"") + phone.types + "\"", EscapeCardText(*number));
    }
  }
  for (const Address& a : kAddresses) {
    if (!(c.*a.street || c.*a.city || c.*a.state || c.*a.postalCode || c.*a.country)) continue;
    v += CardLine(std::string("ADR") + (*a.type ? std::string(";TYPE=") + a.type : ""),
                  ";;" + Field(c.*a.street) + ";" + Field(c.*a.city) + ";" + Field(c.*a.state) +
                      ";" + Field(c.*a.postalCode) + ";" + Field(c.*a.country));
  }
  if (const std::string day = DateOnly(c.birthday); !day.empty()) v += CardLine("BDAY", day);
  if (const std::string day = DateOnly(c.weddingAnniversary); !day.empty()) v += CardLine("ANNIVERSARY", day);
  for (const Text* url : {&c.businessHomePage, &c.personalHomePage}) {
    if (*url && !(*url)->empty()) v += CardLine("URL", EscapeCardText(**url));
  }
  if (c.spouseName) v += CardLine("RELATED;TYPE=spouse;VALUE=text", Field(c.spouseName));
  if (c.language) v += CardLine("LANG", Field(c.language));
  std::string note = m.record.mail ? m.record.mail->body.value_or("") : "";
  if (note.empty() && m.record.mail) note = m.record.mail->rtfText.value_or("");
  if (!note.empty()) v += CardLine("NOTE", EscapeCardText(note));
  for (const SourceAttachment& a : m.attachments) {
    if (!a.contactPhoto || a.data.empty()) continue;
    std::string base64 = Base64Lines(a.data);
    std::erase(base64, '\n');
    const bool png = a.data.size() > 4 && a.data[1] == std::byte{'P'} && a.data[2] == std::byte{'N'};
    v += CardLine("PHOTO", std::string("data:image/") + (png ? "png" : "jpeg") + ";base64," + base64);
    break;
  }
  return v + "END:VCARD\r\n";
}

}  // namespace palvara
