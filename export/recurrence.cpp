#include "export/recurrence.h"

#include <cstdio>

#include "common/text.h"

namespace palvara {
namespace {

constexpr const char* kDays[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
constexpr std::uint64_t kTicksPerMinute = 600000000ull;

std::string DayList(std::uint32_t mask) {
  std::string out;
  for (int d = 0; d < 7; ++d) {
    if ((mask & (1u << d)) != 0) out += std::string(out.empty() ? "" : ",") + kDays[d];
  }
  return out;
}

std::string Offset(int minutes) {
  char text[16];
  const int a = minutes < 0 ? -minutes : minutes;
  std::snprintf(text, sizeof text, "%c%02d%02d", minutes < 0 ? '-' : '+', a / 60, a % 60);
  return text;
}

// A STANDARD or DAYLIGHT block from a SYSTEMTIME rule (month, day of week, week 1-5).
std::string Observance(const char* kind, ByteSpan rule, int from, int to) {
  const int month = LoadLe16(rule, 2).value_or(0);
  const int dayOfWeek = LoadLe16(rule, 4).value_or(0);
  const int week = LoadLe16(rule, 6).value_or(0);
  const int hour = LoadLe16(rule, 8).value_or(0);
  const int minute = LoadLe16(rule, 10).value_or(0);
  char start[32];
  std::snprintf(start, sizeof start, "16010101T%02d%02d00", hour % 24, minute % 60);
  std::string out = std::string("BEGIN:") + kind + "\r\nDTSTART:" + start + "\r\n";
  out += "TZOFFSETFROM:" + Offset(from) + "\r\nTZOFFSETTO:" + Offset(to) + "\r\n";
  if (month >= 1 && month <= 12 && dayOfWeek >= 0 && dayOfWeek <= 6 && week >= 1 && week <= 5) {
    out += "RRULE:FREQ=YEARLY;BYMONTH=" + std::to_string(month) + ";BYDAY=" +
           (week == 5 ? "-1" : std::to_string(week)) + kDays[dayOfWeek] + "\r\n";
  }
  return out + "END:" + kind + "\r\n";
}

}  // namespace

std::string LocalStamp(std::uint64_t minutes) {
  const CivilTime t = FileTimeToCivil(minutes * kTicksPerMinute);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

std::optional<Recurrence> ParseRecurrence(ByteSpan b) {
  const auto frequency = LoadLe16(b, 4);
  const auto patternType = LoadLe16(b, 6);
  const auto period = LoadLe32(b, 14);
  if (!frequency || !patternType || !period) return std::nullopt;
  std::size_t at = 22;
  std::uint32_t mask = 0, day = 0, nth = 0;
  switch (*patternType) {
    case 0x0: break;
    case 0x1: mask = LoadLe32(b, at).value_or(0); at += 4; break;
    case 0x2: case 0x4: case 0xA: case 0xC: day = LoadLe32(b, at).value_or(0); at += 4; break;
    case 0x3: case 0xB:
      mask = LoadLe32(b, at).value_or(0);
      nth = LoadLe32(b, at + 4).value_or(0);
      at += 8;
      break;
    default: return std::nullopt;
  }
  const auto endType = LoadLe32(b, at);
  const auto count = LoadLe32(b, at + 4);
  const auto firstDay = LoadLe32(b, at + 8);
  const auto deletedCount = LoadLe32(b, at + 12);
  if (!endType || !count || !firstDay || !deletedCount || *deletedCount > b.size() / 4) return std::nullopt;
  Recurrence r;
  at += 16;
  for (std::uint32_t i = 0; i < *deletedCount; ++i, at += 4) {
    if (auto d = LoadLe32(b, at)) r.deleted.push_back(*d);
  }
  const auto modifiedCount = LoadLe32(b, at);
  if (!modifiedCount || *modifiedCount > b.size() / 4) return std::nullopt;
  at += 4 + 4ull * *modifiedCount;
  const auto startDate = LoadLe32(b, at);
  const auto endDate = LoadLe32(b, at + 4);
  if (!startDate || !endDate) return std::nullopt;
  r.startDate = *startDate;
  // The appointment part: two versions, then the offsets of the start and end in the day.
  r.startOffset = LoadLe32(b, at + 16).value_or(0);
  r.endOffset = LoadLe32(b, at + 20).value_or(r.startOffset);

  const bool yearly = *frequency == 0x200D;
  const std::uint32_t months = yearly ? std::max<std::uint32_t>(1, *period / 12) : *period;
  const int startMonth = FileTimeToCivil(std::uint64_t{*startDate} * kTicksPerMinute).month;
  std::string& rule = r.rule;
  switch (*patternType) {
    case 0x0: rule = "FREQ=DAILY;INTERVAL=" + std::to_string(std::max<std::uint32_t>(1, *period / 1440)); break;
    case 0x1:
      rule = "FREQ=WEEKLY;INTERVAL=" + std::to_string(std::max<std::uint32_t>(1, *period));
      if (!DayList(mask).empty()) rule += ";BYDAY=" + DayList(mask);
      if (*firstDay <= 6) rule += std::string(";WKST=") + kDays[*firstDay];
      break;
    default: {
      rule = std::string(yearly ? "FREQ=YEARLY" : "FREQ=MONTHLY") + ";INTERVAL=" +
             std::to_string(std::max<std::uint32_t>(1, months));
      if (yearly) rule += ";BYMONTH=" + std::to_string(startMonth);
      if (*patternType == 0x3 || *patternType == 0xB) {
        rule += ";BYDAY=" + DayList(mask) + ";BYSETPOS=" + (nth >= 5 ? "-1" : std::to_string(nth));
      } else {
        const bool last = *patternType == 0x4 || *patternType == 0xC || day >= 31;
        rule += ";BYMONTHDAY=" + (last ? std::string("-1") : std::to_string(day));
      }
    }
  }
  if (*endType == 0x2022 && *count > 0) {
    rule += ";COUNT=" + std::to_string(*count);
  } else if (*endType == 0x2021) {
    rule += ";UNTIL=" + LocalStamp(std::uint64_t{*endDate} + 1439).substr(0, 8) + "T235959Z";
  }
  return r;
}

std::string RenderTimeZone(ByteSpan tz, const std::string& id) {
  const auto bias = LoadLe32(tz, 0);
  const auto standardBias = LoadLe32(tz, 4);
  const auto daylightBias = LoadLe32(tz, 8);
  if (!bias || !standardBias || !daylightBias || tz.size() < 48) return {};
  const int standard = -(static_cast<std::int32_t>(*bias) + static_cast<std::int32_t>(*standardBias));
  const int daylight = -(static_cast<std::int32_t>(*bias) + static_cast<std::int32_t>(*daylightBias));
  if (standard < -24 * 60 || standard > 24 * 60 || daylight < -24 * 60 || daylight > 24 * 60) return {};
  const ByteSpan standardDate = tz.subspan(14, 16);
  const ByteSpan daylightDate = tz.subspan(32, 16);
  std::string out = "BEGIN:VTIMEZONE\r\nTZID:" + id + "\r\n";
  if (LoadLe16(standardDate, 2).value_or(0) == 0) {
    out += Observance("STANDARD", {}, standard, standard);
  } else {
    out += Observance("STANDARD", standardDate, daylight, standard);
    out += Observance("DAYLIGHT", daylightDate, standard, daylight);
  }
  return out + "END:VTIMEZONE\r\n";
}

}  // namespace palvara
