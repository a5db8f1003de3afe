// The recurrence of an appointment as Outlook stores it (the AppointmentRecurrencePattern of
// [MS-OXOCAL] 2.2.1.44) turned into an iCalendar RRULE, and its time zone (the TZREG of
// PidLidTimeZoneStruct) into a VTIMEZONE.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_view.h"

namespace palvara {

struct Recurrence {
  std::string rule;                    // "FREQ=WEEKLY;INTERVAL=1;BYDAY=MO,WE"
  std::uint32_t startDate = 0;         // minutes since 1601, local midnight of the first day
  std::uint32_t startOffset = 0;       // minutes after midnight, local
  std::uint32_t endOffset = 0;
  std::vector<std::uint32_t> deleted;  // local midnights of deleted instances
};

// nullopt when the blob is too short or names no pattern this writer knows.
std::optional<Recurrence> ParseRecurrence(ByteSpan blob);

// A VTIMEZONE block with TZID `id` from a TZREG (48 bytes); empty when the bytes are unusable.
std::string RenderTimeZone(ByteSpan tzreg, const std::string& id);

// "19970714T173000" of minutes since 1601 (local, floating).
std::string LocalStamp(std::uint64_t minutes);

}  // namespace palvara
