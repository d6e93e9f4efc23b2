// Date and time routines shared by the loop controller and the reader bus:
// issue times printed on parking tickets and barcodes, the reader clock text
// and memory-card time-of-day numbers. All values are TDateTime (days since
// 30 December 1899, local time). Pure functions of their input and Now(); no
// error is raised for bad input: unreadable numbers become the default.
// Thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace orlo {

// The positions of a ticket's printed date: ticket number, month, day, hour,
// minute.
inline constexpr char kTicketDateTemplate[] = "TTTTMMDDHHNN";

// Issue time carried by an exit barcode (10 to 12 characters); a value <= 0
// means the barcode carries no valid time (-1: an 11- or 10-character code
// beginning with '1'). oldFormat is the loop's "Old Ticket Format?" setting.
TDateTime BarcodeIssueTime(const std::string& barcode, bool oldFormat);

// Splits a ticket text by kTicketDateTemplate. The year is this year, or last
// year when the month is still to come. False (when untouched) when the date
// or time is incomplete or impossible; ticket gets the ticket digits anyway.
bool ParseTicketDate(const std::string& text, std::string& ticket, TDateTime& when);

// Seconds counted from 31 December 1999 00:00.
TDateTime SecondsToDateTime(std::int64_t seconds);
// Codes counting seconds (plus 20000000) from 1 January of an even year.
TDateTime CycleSecondsToDateTime(std::int64_t code);

// count characters from the 1-based position from (the whole text when count
// <= 0), without surrounding blanks, as a decimal integer; def when that is
// not a number.
int StrToIntPart(const std::string& text, int from, int count, int def);

// "0042" -> "42", "000" -> "0".
std::string StripLeadingZeros(const std::string& text);

// Now as "hhnnssyymmdd" (12 digits), the reader clock layout.
std::string ClockText();

// 1730 -> 1050 (17 * 60 + 30).
int HhmmToMinutes(int hhmm);

}  // namespace orlo
