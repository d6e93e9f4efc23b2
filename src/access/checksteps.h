// The steps of the access decision that ProcessCard runs in order: the
// checks, the updates after a granted presentation and the `trans` row. Only
// the access sources and their tests include this; the loop controller calls
// what cardcheck.h declares. Same threading as there: the caller's thread,
// on the connection and rows it is given.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "access/cardcheck.h"
#include "db/odbc.h"
#include "db/sql.h"
#include "platform/clock.h"

namespace orlo {

// The time stored in a memory-card record (see ProcessCard), taken one day
// back when it lies more than five minutes after now. Raises EConvertError for
// an impossible date.
TDateTime MemoryCardTime(const std::string& record, TDateTime now);

// The settings row of a decision, read when a check first needs it: most
// decisions need none of it (a card not on file, a pass in the other
// direction than the last).
class TSettingsRow {
 public:
  TSettingsRow(TODBC& odbc, TRowCache* config) : odbc_(odbc), config_(config) {}
  const TDBRow& Row();

 private:
  TODBC& odbc_;
  TRowCache* config_;
  std::optional<TDBRow> row_;
};

// Runs the ordered checks and returns the code; fills rows.card and
// rows.cardType (the device row is read before).
int ValidateCard(bool debugLog, TMessLog* log, TODBC& odbc, TRowCache* config, double cardNo,
                 TDateTime transTime, TDecisionRows& rows);

// The SQL text that reads card_type row id (the key of its kept copy).
std::string CardTypeSql(int id);

// Access levels, time ranges, holidays and the validity period.
int DayColumnIndex(TODBC& odbc, TDateTime date, TRowCache* config = nullptr);  // N of day_N, 1..9
bool AccessLevelAllows(TODBC& odbc, int accessLevelId, TDateTime transTime, int deviceId,
                       TRowCache* config = nullptr);
// May write the first-use start of a period (kept even if a later check
// refuses), and then mirrors it into the card row, or reads the type row
// anew.
bool CardIsValidNow(TODBC& odbc, TRowCache* config, TDateTime transTime, TDecisionRows& rows);

// Group maximum, pathways and passback.
bool GroupHasRoom(TODBC& odbc, const TDecisionRows& rows);
bool PathwayAllows(TODBC& odbc, const TDecisionRows& rows, bool debugLog, TMessLog* log,
                   TDateTime transTime);
// The passback reset minutes are the settings row's stup_pbrst.
bool PassbackAllows(const TDecisionRows& rows, TSettingsRow& settings, TDateTime transTime);

// The card-row columns a granted presentation changes: written by one UPDATE
// at the end and mirrored at once into the decision's copy of the row, so
// that its later steps read what a fresh read would give.
class TCardWrite {
 public:
  TCardWrite(const TODBC& odbc, TDBRow& card);
  void SetInteger(const std::string& column, long long value);
  void SetDateTime(const std::string& column, TDateTime value);
  // "UPDATE card set ... WHERE number = %f" on the given statement; nothing
  // when no column was set.
  void Write(TODBCStatement& update, double cardNo);

 private:
  TDBRow& card_;
  TSql sql_;
};

// Updates after a granted presentation.
void UpdatePathwayPosition(TODBC& odbc, TCardWrite& write, const TDecisionRows& rows);
void UpdateGroupCount(TODBC& odbc, const TDecisionRows& rows);
// Takes one use (or refills); true once the change is set on write.
bool DebitCard(TCardWrite& write, const TDecisionRows& rows, TDateTime transTime);
// card.debit_date := transTime.
void UpdateDebitDate(TCardWrite& write, TDateTime transTime);
// card.trans_dt := transTime.
void UpdateLastPass(TCardWrite& write, TDateTime transTime);

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
