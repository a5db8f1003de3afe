#include "export/ical_writer.h"

#include <cstdio>
#include <ctime>

#include "export/card_text.h"
#include "export/mime_text.h"
#include "export/mime_writer.h"
#include "export/recurrence.h"

namespace palvara {
namespace {

// Numbers of named properties (appointment, task and journal sets).
constexpr std::uint32_t kStartWhole = 0x820D, kEndWhole = 0x820E, kAllDay = 0x8215,
                        kLocation = 0x8208, kRecurrence = 0x8216, kTimeZoneStruct = 0x8233,
                        kTimeZoneName = 0x8234, kTaskStart = 0x8104, kTaskDue = 0x8105,
                        kTaskStatus = 0x8101, kTaskCompleted = 0x810F, kLogStart = 0x8706;
constexpr std::uint32_t kStartDate = 0x0060, kEndDate = 0x0061, kCreationTime = 0x3007,
                        kSearchKey = 0x300B;


std::string Hex(const Bytes& bytes) {
  std::string out;
  char two[3];
  for (std::byte b : bytes) {
    std::snprintf(two, sizeof two, "%02X", static_cast<unsigned>(b));
    out += two;
  }
  return out;
}

std::string Uid(const SourceMessage& m, const std::string& fallback) {
  const Bytes* key = m.Properties().Binary(kSearchKey);
  return key != nullptr && !key->empty() && key->size() <= 64 ? Hex(*key) + "@palvara" : fallback;
}

std::string Summary(const SourceMessage& m) {
  const MailFields* mail = m.record.mail.get();
  return mail && mail->subject && mail->subject->text ? *mail->subject->text : std::string();
}

std::string Description(const SourceMessage& m) {
  const MailFields* mail = m.record.mail.get();
  if (mail == nullptr) return {};
  std::string text = mail->body.value_or("");
  return text.empty() ? mail->rtfText.value_or("") : text;
}

// The lines every component has: UID, DTSTAMP, SUMMARY and DESCRIPTION.
std::string CommonLines(const SourceMessage& m, const std::string& uid) {
  std::string out = CardLine("UID", EscapeCardText(Uid(m, uid)));
  std::optional<std::uint64_t> stamp = m.Properties().Time(kCreationTime);
  if (!stamp) stamp = MessageTime(m);
  if (!stamp) stamp = static_cast<std::uint64_t>(std::time(nullptr)) * 10000000ull + kUnixEpochFileTime;
  out += CardLine("DTSTAMP", CardUtcStamp(*stamp));
  if (const std::string s = Summary(m); !s.empty()) out += CardLine("SUMMARY", EscapeCardText(s));
  if (const std::string d = Description(m); !d.empty()) out += CardLine("DESCRIPTION", EscapeCardText(d));
  return out;
}

std::string Participant(const char* property, const std::string& params, const std::string& name,
                        const std::string& address) {
  std::string line = property;
  if (!name.empty()) line += ";CN=" + CardParameter(name);
  line += params;
  const bool mail = address.find('@') != std::string::npos && address.find_first_of(" \r\n") == std::string::npos;
  return CardLine(line, mail ? "mailto:" + address : "urn:x-palvara:unknown");
}

std::string People(const SourceMessage& m) {
  std::string out;
  const PropertyReader p = m.Properties();
  const std::string organizerName = p.Text(0x0042).value_or(p.Text(0x0C1A).value_or(""));
  std::string organizerAddress = p.Text(0x0065).value_or("");
  if (organizerAddress.find('@') == std::string::npos) organizerAddress = p.Text(0x5D01).value_or(organizerAddress);
  if (!m.recipients.empty() && (!organizerName.empty() || !organizerAddress.empty())) {
    out += Participant("ORGANIZER", "", organizerName, organizerAddress);
  }
  for (const SourceRecipient& r : m.recipients) {
    const char* role = r.type == 2 ? "OPT-PARTICIPANT" : r.type == 3 ? "NON-PARTICIPANT" : "REQ-PARTICIPANT";
    out += Participant("ATTENDEE", std::string(";ROLE=") + role, r.name, r.address);
  }
  return out;
}

}  // namespace

std::string RenderEvent(const SourceMessage& m, const std::string& uid, std::string* zoneIdOut,
                        std::string* zoneOut) {
  const PropertyReader p = m.Properties();
  const auto start = p.Time(kStartWhole).has_value() ? p.Time(kStartWhole) : p.Time(kStartDate);
  const auto end = p.Time(kEndWhole).has_value() ? p.Time(kEndWhole) : p.Time(kEndDate);
  const bool allDay = p.Integer(kAllDay).value_or(0) != 0;
  std::string zone;
  std::string body = CommonLines(m, uid);
  std::optional<Recurrence> recurrence;
  if (const Bytes* blob = p.Binary(kRecurrence)) recurrence = ParseRecurrence(*blob);
  std::string zoneId = p.Text(kTimeZoneName).value_or("");
  const Bytes* tz = p.Binary(kTimeZoneStruct);
  if (recurrence && !allDay) {
    // A rule repeats in local time: the start is given in the zone the rule was made in.
    if (zoneId.empty()) zoneId = "Outlook zone";
    zoneId = CardParameter(zoneId);
    if (tz != nullptr) zone = RenderTimeZone(*tz, zoneId);
    const std::string params = zone.empty() ? "" : ";TZID=" + zoneId;
    const std::uint64_t day = recurrence->startDate;
    body += CardLine("DTSTART" + params, LocalStamp(day + recurrence->startOffset));
    body += CardLine("DTEND" + params, LocalStamp(day + std::max(recurrence->endOffset, recurrence->startOffset)));
    for (std::uint32_t deleted : recurrence->deleted) {
      body += CardLine("EXDATE" + params, LocalStamp(std::uint64_t{deleted} + recurrence->startOffset));
    }
  } else if (recurrence && allDay) {
    body += CardLine("DTSTART;VALUE=DATE", LocalStamp(recurrence->startDate).substr(0, 8));
  } else if (allDay && start) {
    body += CardLine("DTSTART;VALUE=DATE", CardNearestDate(*start));
    if (end && *end > *start) body += CardLine("DTEND;VALUE=DATE", CardNearestDate(*end));
  } else if (start) {
    body += CardLine("DTSTART", CardUtcStamp(*start));
    if (end && *end >= *start) body += CardLine("DTEND", CardUtcStamp(*end));
  }
  if (recurrence) body += CardLine("RRULE", recurrence->rule);
  if (const auto location = p.Text(kLocation); location && !location->empty()) {
    body += CardLine("LOCATION", EscapeCardText(*location));
  }
  body += People(m);
  if (!zone.empty()) {
    *zoneIdOut = zoneId;
    *zoneOut = zone;
  }
  return "BEGIN:VEVENT\r\n" + body + "END:VEVENT\r\n";
}

std::string RenderTodo(const SourceMessage& m, const std::string& uid) {
  const PropertyReader p = m.Properties();
  std::string body = CommonLines(m, uid);
  const auto start = p.Time(kTaskStart);
  const auto due = p.Time(kTaskDue);
  if (start) body += CardLine("DTSTART;VALUE=DATE", CardNearestDate(*start));
  if (due && (!start || *due >= *start)) body += CardLine("DUE;VALUE=DATE", CardNearestDate(*due));
  static const char* const kStatus[] = {"NEEDS-ACTION", "IN-PROCESS", "COMPLETED", "NEEDS-ACTION", "CANCELLED"};
  const std::int64_t status = p.Integer(kTaskStatus).value_or(0);
  if (status >= 0 && status <= 4) body += CardLine("STATUS", kStatus[status]);
  if (const auto done = p.Time(kTaskCompleted); done && status == 2) body += CardLine("COMPLETED", CardUtcStamp(*done));
  return "BEGIN:VTODO\r\n" + body + "END:VTODO\r\n";
}

std::string RenderJournal(const SourceMessage& m, const std::string& uid) {
  const PropertyReader p = m.Properties();
  std::string body = CommonLines(m, uid);
  if (const auto start = p.Time(kLogStart).has_value() ? p.Time(kLogStart) : MessageTime(m)) {
    body += CardLine("DTSTART", CardUtcStamp(*start));
  }
  if (m.record.journal && m.record.journal->entryType) {
    body += CardLine("CATEGORIES", EscapeCardText(*m.record.journal->entryType));
  }
  return "BEGIN:VJOURNAL\r\n" + body + "END:VJOURNAL\r\n";
}

}  // namespace palvara
