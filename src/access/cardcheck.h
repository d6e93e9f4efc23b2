// The access decision (uCardCheck): judges one card presentation at one device
// against the database, applies what a granted presentation changes (debit,
// passback state, pathway position, group count) and records a `trans` row.
//
// Nothing here keeps state between calls: every operation works on the
// connection, the rows and the configuration cache it is given, creates the
// statements it needs and releases them before it returns. All of it runs on
// the loop controller's (main) thread; the connection's own lock orders it
// against the supervisor.
//
// Rows ("card row", "type row", "device row") are copies (TDBRow) read once
// per decision and kept for the rest of it; a row that was not found reads as
// empty (0, '', false), which is how a missing device or settings row is
// judged. The configuration rows (settings, device, card type, message sets,
// access-level ranges and their devices, holidays) are read through a
// TRowCache when the caller gives one; the card row, group counts, pathways
// and every write always go to the database.
#pragma once

#include <string>

#include "db/dbrow.h"
#include "db/odbc.h"
#include "db/rowcache.h"
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

// The rows one decision has read, for its later steps and its display
// message. The card row follows the decision's own writes (uses left, period
// start, ...), as a fresh read would give it; cardType is not Found when the
// card is not.
struct TDecisionRows {
  TDBRow device, card, cardType;
};

// What ProcessCard hands back besides the code; set for every code.
struct TCardOutcome {
  std::string deviceName;   // device.name
  std::string firstName;    // card.first_name ('' when not on file)
  TDateTime transTime = 0;  // the transaction time used
  int openPulse = 0;        // device.open_pulse truncated toward zero
  int spaceNo = -1;         // card.space_no when device.special_out is set, else -1
  TDecisionRows rows;
};

// The device row's open_pulse as every reader of it hands it on: truncated
// toward zero and kept inside the int range. Other programs fill the floating
// column, so a huge value must give a defined pulse; not a number gives 0.
int DeviceOpenPulse(const TDBRow& device);

// Judges and records one presentation of cardNo at bus address addr of loop
// loopId. A live card passes memFlag false and memData "0000"; a memory-card
// record passes memFlag true and the record text, whose first ten characters
// (YYMMDDhhmm) give the transaction time. Returns the result code.
// Raises EConvertError, before any statement runs, when the record's date is
// not a calendar date; every other failure is logged and judged as "no row".
// The configuration rows come through config when it is given.
int ProcessCard(bool debugLog, TMessLog* log, TODBC& odbc, double cardNo, int addr, int loopId,
                bool memFlag, const std::string& memData, TCardOutcome& out,
                TRowCache* config = nullptr);
// The same with the outputs the loop controller's signature names.
int ProcessCard(bool debugLog, TMessLog* log, TODBC& odbc, double cardNo, int addr, int loopId,
                bool memFlag, const std::string& memData, std::string& deviceName,
                std::string& firstName, TDateTime& transTime, int& openPulse, int& spaceNo);

// "SELECT * FROM card WHERE number = %f", always read from the database.
TDBRow FindCard(TODBC& odbc, double cardNo);
// The card_type row of the card row's type_id (not Found when there is none).
TDBRow FindCardType(TODBC& odbc, const TDBRow& card, TRowCache* config = nullptr);

// The holiday table number of a date; 0 on an ordinary day.
int HolidayTab(TODBC& odbc, TDateTime date, TRowCache* config = nullptr);

// Fills a display template: %1..%4 misc fields, %c card text (or the card
// row's number), %d uses left or days to expiry, %f %l %s first name, last
// name, street; other codes and a final lone '%' give nothing.
std::string ExpandCardMessage(const TDBRow& card, const std::string& templ,
                              const TDBRow& cardType, const std::string& cardText);

}  // namespace orlo
