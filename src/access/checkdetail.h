// Helpers shared by the access-decision sources: time arithmetic on whole
// milliseconds (so that 30 minutes between two stored times never reads as
// 29.999...), and SQL literals from database text.
#pragma once

#include <string>

#include "db/dbrow.h"
#include "platform/clock.h"

namespace orlo::detail {

// The date-time in whole milliseconds since 1899-12-30 00:00.
long long Ms(TDateTime dt);
// Milliseconds since midnight of the date-time's day (0 .. 86399999).
long long TimeOfDayMs(TDateTime dt);
// Whole minutes between two date-times: absolute difference, truncated.
long long MinutesBetween(TDateTime a, TDateTime b);
// a + minutes, in milliseconds.
long long PlusMinutesMs(TDateTime a, long long minutes);

// The card number in the general form (up to 15 significant digits).
std::string CardText(double cardNo);

// A column's text as an SQL numeric literal: the text itself when it is a
// plain decimal number (optional sign, digits, '.', exponent), otherwise the
// column read as a number. Database text never reaches SQL unchecked.
std::string NumberLiteral(const TDBRow& row, const std::string& column);
bool IsNumberLiteral(const std::string& text);

// The last second of dt's month.
TDateTime MonthEnd(TDateTime dt);
// "YYYY-MM-DD" of dt's date.
std::string DateText(TDateTime dt);

// Logs when detail logging is on and a log is there.
void Detail(bool debugLog, TMessLog* log, const std::string& line);

}  // namespace orlo::detail
