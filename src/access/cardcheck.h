// The access decision (uCardCheck): judges one card presentation at one device
// against the database, applies what a granted presentation changes (debit,
// passback state, pathway position, group count) and records a `trans` row.
//
// Nothing here keeps state between calls: every operation works on the
// connection and the rows it is given, creates the statements it needs and
// releases them before it returns. All of it runs on the loop controller's
// (main) thread; the connection's own lock orders it against the supervisor.
//
// Rows ("card row", "type row", "device row") are statements positioned on a
// row; a statement past its end reads as an empty row (0, '', false), which is
// how a missing device or settings row is judged.
#pragma once

#include <string>

#include "db/odbc.h"
#include "platform/clock.h"

namespace orlo {

class TMessLog;

// Result codes of the decision. The soft bit marks a failure that the settings
// let through; such a code is granted like crAccepted.
constexpr int crAccepted = 0;
constexpr int crNotOnFile = 1;
constexpr int crNoValidAccess = 2;
constexpr int crExpired = 3;
constexpr int crPassback = 4;
constexpr int crGroupMax = 5;
constexpr int crNotInPath = 6;
constexpr int crSoftFlag = 8;

// True for crAccepted and for every code with the soft bit set.
bool IsGranted(int code);
// "Accepted", "Not On File", ... chosen with the soft bit cleared;
// "Unknown error!" outside 0..6.
std::string ResultText(int code);

// What ProcessCard hands back besides the code; set for every code.
struct TCardOutcome {
  std::string deviceName;   // device.name
  std::string firstName;    // card.first_name ('' when not on file)
  TDateTime transTime = 0;  // the transaction time used
  int openPulse = 0;        // device.open_pulse truncated toward zero
  int spaceNo = -1;         // card.space_no when device.special_out is set, else -1
};

// The device row's open_pulse as every reader of it hands it on: truncated
// toward zero and kept inside the int range. Other programs fill the floating
// column, so a huge value must give a defined pulse; not a number gives 0.
int DeviceOpenPulse(TODBCStatement& device);

// Judges and records one presentation of cardNo at bus address addr of loop
// loopId. A live card passes memFlag false and memData "0000"; a memory-card
// record passes memFlag true and the record text, whose first ten characters
// (YYMMDDhhmm) give the transaction time. Returns the result code.
// Raises EConvertError, before any statement runs, when the record's date is
// not a calendar date; every other failure is logged and judged as "no row".
int ProcessCard(bool debugLog, TMessLog* log, TODBC& odbc, double cardNo, int addr, int loopId,
                bool memFlag, const std::string& memData, TCardOutcome& out);
// The same with the outputs the loop controller's signature names.
int ProcessCard(bool debugLog, TMessLog* log, TODBC& odbc, double cardNo, int addr, int loopId,
                bool memFlag, const std::string& memData, std::string& deviceName,
                std::string& firstName, TDateTime& transTime, int& openPulse, int& spaceNo);

// "SELECT * FROM card WHERE number = %f"; true when found (q then stays on it).
bool FindCard(TODBCStatement& q, double cardNo);
// The card_type row of the card row's type_id; true when found.
bool FindCardType(TODBCStatement& card, TODBCStatement& cardType);

// The holiday table number of a date; 0 on an ordinary day.
int HolidayTab(TODBC& odbc, TDateTime date);

// Fills a display template: %1..%4 misc fields, %c card text (or the card
// row's number), %d uses left or days to expiry, %f %l %s first name, last
// name, street; other codes and a final lone '%' give nothing.
std::string ExpandCardMessage(TODBCStatement& card, const std::string& templ,
                              TODBCStatement& cardType, const std::string& cardText);

}  // namespace orlo
