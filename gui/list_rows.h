// What the item list shows: the kind of a folder's listing, its columns, and the texts of its
// rows (cleaned of line breaks and control characters, dates in local time).
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>

#include "items/item_record.h"

namespace palvara::gui {

enum class ListKind { kContacts, kTasks, kJournal, kNotes, kCalendar, kMail };

struct ListColumn {
  QString caption;
  int width;
};

// The kind chosen by the folder path ("Personal Folders\\Contacts\\", exact).
ListKind listKindOf(const QString& folderPath);
QList<ListColumn> columnsOf(ListKind kind);
// The row icon of the kind (the list's small-icon order).
int rowIconOf(ListKind kind);
// The row icon of an item of `messageClass` listed among mail (an appointment in a mail folder
// shows the calendar icon).
int rowIconOfItem(const std::string& messageClass);
// Rows of these kinds are inserted at the top of the list.
bool insertsAtTop(ListKind kind);

struct ListRow {
  QStringList cells;
  std::uint32_t nodeId = 0;  // the item's node, for mail and note rows
  int icon = -1;             // the row's own icon; -1 for the listing's
};

// Carriage return, line feed and tab become blanks; `mailText` also turns the control
// characters 3, 15, 16, 17 and 23 to 27 into blanks.
QString cleanText(const QString& text, bool mailText);
// Texts over 254 characters become their first 200 characters and "...".
QString shortened(const QString& text);
// A FILETIME as "Thu Jan  1 09:30:00 2009" in local time; empty when absent or unreadable.
QString dateText(const std::optional<Bytes>& fileTime);

ListRow mailRow(const MailFields& mail, std::uint32_t nodeId);
ListRow contactRow(const ContactFields& contact);
ListRow taskRow(const MailFields& task);
ListRow journalRow(const JournalEntry& entry);
ListRow noteRow(const NoteEntry& note);
ListRow calendarRow(const CalendarEntry& entry);

}  // namespace palvara::gui
