#include "gui/list_rows.h"

#include <ctime>

#include "common/byte_view.h"
#include "items/analysis.h"

namespace palvara::gui {
namespace {

QString text(const Text& t) { return t ? QString::fromStdString(*t) : QString(); }

QString subjectOf(const MailFields& mail) {
  return mail.subject ? text(mail.subject->text) : QString();
}

}  // namespace

ListKind listKindOf(const QString& p) {
  if (p == "Personal Folders\\Contacts\\") return ListKind::kContacts;
  if (p == "Personal Folders\\Tasks\\") return ListKind::kTasks;
  if (p == "Personal Folders\\Journal\\") return ListKind::kJournal;
  if (p == "Personal Folders\\Notes\\") return ListKind::kNotes;
  if (p == "Personal Folders\\Calendar\\") return ListKind::kCalendar;
  return ListKind::kMail;
}

QList<ListColumn> columnsOf(ListKind kind) {
  switch (kind) {
    case ListKind::kContacts:
      return {{"Contact Name", 150}, {"E-mail Address", 150}, {"Mobile Phone", 150},
              {"Postal Address", 150}};
    case ListKind::kTasks: return {{"Task Subject", 260}, {"Due Date", 260}};
    case ListKind::kJournal: return {{"Journal Subject", 260}, {"Entry Type", 260}};
    case ListKind::kNotes: return {{"Notes Subject", 150}, {"Text", 150}, {"Date", 150}};
    case ListKind::kCalendar: return {{"Calendar Subject", 150}, {"Location", 150}, {"Date", 150}};
    case ListKind::kMail: break;
  }
  return {{"From", 150}, {"E-mail Subject", 150}, {"To", 150}, {"Received", 150}};
}

int rowIconOf(ListKind kind) {
  switch (kind) {
    case ListKind::kCalendar: return 0;
    case ListKind::kContacts: return 1;
    case ListKind::kJournal: return 5;
    case ListKind::kNotes: return 7;
    case ListKind::kTasks: return 10;
    case ListKind::kMail: break;
  }
  return 13;
}

int rowIconOfItem(const std::string& messageClass) {
  switch (CategoryOfClass(messageClass)) {
    case ChildCategory::kAppointment:
      return rowIconOf(ListKind::kCalendar);
    case ChildCategory::kContact:
      return rowIconOf(ListKind::kContacts);
    case ChildCategory::kJournal:
      return rowIconOf(ListKind::kJournal);
    case ChildCategory::kNote:
      return rowIconOf(ListKind::kNotes);
    case ChildCategory::kTask:
      return rowIconOf(ListKind::kTasks);
    default: return rowIconOf(ListKind::kMail);
  }
}

bool insertsAtTop(ListKind kind) { return kind == ListKind::kTasks || kind == ListKind::kNotes; }

QString cleanText(const QString& in, bool mailText) {
  QString out = in;
  for (QChar& c : out) {
    const char16_t u = c.unicode();
    const bool blank = u == '\r' || u == '\n' || u == '\t' ||
                       (mailText && (u == 3 || u == 15 || u == 16 || u == 17 ||
                                     (u >= 23 && u <= 27)));
    if (blank) c = QLatin1Char(' ');
  }
  return out;
}

QString shortened(const QString& t) { return t.size() > 254 ? t.left(200) + "..." : t; }

QString dateText(const std::optional<Bytes>& fileTime) {
  if (!fileTime || fileTime->size() < 8) return {};
  const std::optional<std::uint64_t> ticks = LoadLe64(*fileTime, 0);
  if (!ticks) return {};
  constexpr std::uint64_t kUnixEpoch = 116444736000000000ULL;
  const std::int64_t seconds =
      static_cast<std::int64_t>(*ticks / 10000000ULL) - static_cast<std::int64_t>(kUnixEpoch / 10000000ULL);
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (::localtime_r(&t, &local) == nullptr) return {};
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11) return {};
  return QString::asprintf("%s %s %2d %02d:%02d:%02d %d", kDays[local.tm_wday],
                           kMonths[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min,
                           local.tm_sec, local.tm_year + 1900);
}

ListRow mailRow(const MailFields& mail, std::uint32_t nodeId) {
  const QString from = cleanText(text(mail.senderName), true);
  const QString subject = cleanText(subjectOf(mail), true);
  const QString to = cleanText(text(mail.displayTo), true);
  return {{from.isEmpty() ? "None" : from, subject.isEmpty() ? "Unspecified" : subject,
           to.isEmpty() ? "None" : to, dateText(mail.deliveryTime)},
          nodeId};
}

ListRow contactRow(const ContactFields& c) {
  QString name = text(c.fileAs);
  if (name.isEmpty()) {
    QStringList parts;
    for (const Text* t : {&c.givenName, &c.middleName, &c.surname}) {
      if (*t && !(*t)->empty()) parts << text(*t);
    }
    name = parts.join(' ');
  }
  return {{cleanText(name, false), text(c.emailAddress), text(c.mobilePhone),
           cleanText(text(c.postalAddress), false)}};
}

ListRow taskRow(const MailFields& task) { return {{subjectOf(task), dateText(task.deliveryTime)}}; }

ListRow journalRow(const JournalEntry& e) {
  return {{shortened(text(e.subject)), text(e.entryType)}};
}

ListRow noteRow(const NoteEntry& n) {
  return {{cleanText(text(n.subject), false), shortened(cleanText(text(n.body), false)),
           dateText(n.time)},
          n.nodeId};
}

ListRow calendarRow(const CalendarEntry& e) {
  return {{e.mail ? subjectOf(*e.mail) : QString(), text(e.location),
           e.mail ? dateText(e.mail->deliveryTime) : QString()}};
}

}  // namespace palvara::gui
