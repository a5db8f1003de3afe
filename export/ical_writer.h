// Calendar items as iCalendar (RFC 5545) components: appointments and meetings as VEVENT
// (times, all-day, location, description, organizer, attendees, recurrence with its time
// zone), tasks as VTODO, journal entries as VJOURNAL. Lines end in "\r\n".
#pragma once

#include <string>

#include "export/source_message.h"

namespace palvara {

inline constexpr const char* kCalendarHeader =
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Palvara//Palvara export//EN\r\n";
inline constexpr const char* kCalendarFooter = "END:VCALENDAR\r\n";

// Each returns the component. `uid` is unique in the export (the item's own search key is used
// when it has one). An event whose times are given in a zone sets `zoneId` and `zone` (its
// VTIMEZONE block), which the calendar must hold once.
std::string RenderEvent(const SourceMessage& item, const std::string& uid, std::string* zoneId,
                        std::string* zone);
std::string RenderTodo(const SourceMessage& item, const std::string& uid);
std::string RenderJournal(const SourceMessage& item, const std::string& uid);

}  // namespace palvara
