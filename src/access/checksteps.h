// The steps of the access decision that ProcessCard runs in order: the
// checks, the updates after a granted presentation and the `trans` row. Only
// the access sources and their tests include this; the loop controller calls
// what cardcheck.h declares. Same threading as there: the caller's thread,
// on the connection and rows it is given.
#pragma once

#include <functional>
#include <string>

#include "access/cardcheck.h"
#include "db/odbc.h"
#include "platform/clock.h"

namespace orlo {

// The time stored in a memory-card record (see ProcessCard), taken one day
// back when it lies more than five minutes after now. Raises EConvertError for
// an impossible date.
TDateTime MemoryCardTime(const std::string& record, TDateTime now);

// Runs the ordered checks and returns the code; fills card and cardType.
int ValidateCard(bool debugLog, TMessLog* log, TODBC& odbc, int pbResetMinutes, double cardNo,
                 TDateTime transTime, TODBCStatement& settings, TODBCStatement& device,
                 TODBCStatement& cardType, TODBCStatement& card);

// Access levels, time ranges, holidays and the validity period.
int DayColumnIndex(TODBC& odbc, TDateTime date);  // N of day_N, 1..9
bool AccessLevelAllows(TODBC& odbc, int accessLevelId, TDateTime transTime, int deviceId);
// May write the first-use start of a period (kept even if a later check refuses).
bool CardIsValidNow(TODBC& odbc, TDateTime transTime, TODBCStatement& cardType,
                    TODBCStatement& card);

// Group maximum, pathways and passback.
bool GroupHasRoom(TODBC& odbc, TODBCStatement& card, TODBCStatement& device);
bool PathwayAllows(TODBC& odbc, TODBCStatement& card, TODBCStatement& device, bool debugLog,
                   TMessLog* log, TODBCStatement& cardType, TDateTime transTime);
bool PassbackAllows(TODBCStatement& card, TODBCStatement& cardType, TODBCStatement& device,
                    int pbResetMinutes, TDateTime transTime);

// Updates after a granted presentation.
void UpdatePathwayPosition(TODBC& odbc, TODBCStatement& card, TODBCStatement& device,
                           TODBCStatement& cardType);
void UpdateGroupCount(TODBC& odbc, TODBCStatement& card, TODBCStatement& device);
// Takes one use (or refills); true once its UPDATE has run.
bool DebitCard(TODBC& odbc, TODBCStatement& card, TODBCStatement& cardType, TDateTime transTime);
// card.debit_date := transTime, on the given update statement.
void UpdateDebitDate(TODBCStatement& update, double cardNo, TDateTime transTime);
// card.trans_dt := transTime, on the given update statement.
void UpdateLastPass(TODBCStatement& update, double cardNo, TDateTime transTime);

// The `trans` row of one presentation, on the given update statement.
struct TTransRecord {
  double cardNo = 0;
  TDateTime when = 0;
  int deviceId = 0;
  int code = 0;
  std::string deviceName, firstName, lastName;
  bool memFlag = false;
};
// Text values are escaped by the rules of the statement's connection.
bool WriteTransaction(TODBCStatement& update, const TTransRecord& rec);

// The template walk of ExpandCardMessage: each "%x" becomes field(x) (called
// for every code, known or not; it gives "" for unknown ones), a final lone
// '%' is dropped, and trailing blanks and control characters are cut.
std::string ExpandMessageTemplate(const std::string& templ,
                                  const std::function<std::string(char code)>& field);

}  // namespace orlo
