// A recurrence pattern as Outlook stores it, for the tests of its conversion.
#pragma once

#include "common/byte_view.h"

namespace palvara::testing {

// A weekly pattern (Monday and Wednesday, every week, ten times) laid out as
// AppointmentRecurrencePattern: the recurrence pattern, then the appointment's part.
inline Bytes WeeklyBlob() {
  Bytes b;
  auto put16 = [&](std::uint16_t v) { for (int i = 0; i < 2; ++i) b.push_back(std::byte(v >> (8 * i))); };
  auto put32 = [&](std::uint32_t v) { for (int i = 0; i < 4; ++i) b.push_back(std::byte(v >> (8 * i))); };
  put16(0x3004); put16(0x3004); put16(0x200B); put16(0x0001); put16(0);
  put32(0); put32(1); put32(0);      // first date time, period, sliding flag
  put32(0x0A);                        // Monday | Wednesday
  put32(0x2022); put32(10); put32(0); // end after 10, first day of week Sunday
  put32(1); put32(0x0CB36760);        // one deleted instance
  put32(0);                           // no modified instance
  put32(0x0CB35C20); put32(0x0CB404E0);
  put32(0x3006); put32(0x3009); put32(540); put32(600);  // 9:00 to 10:00
  put16(0); put32(0); put32(0);
  return b;
}

}  // namespace palvara::testing
