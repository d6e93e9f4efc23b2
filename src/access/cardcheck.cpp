// ProcessCard and the ordered checks of ValidateCard; the card and card-type
// lookups; the memory-card time.
#include "access/cardcheck.h"

#include <climits>
#include <cmath>

#include "access/checkdetail.h"
#include "access/checksteps.h"
#include "log/messlog.h"
#include "platform/format.h"
#include "platform/text.h"

namespace orlo {

namespace {

// A field of a memory-card record: characters from..from+len-1 (counted from
// 1), trimmed, read as a decimal integer; 0 when it is not one.
int RecordField(const std::string& record, std::size_t from, std::size_t len) {
  if (from - 1 >= record.size()) return 0;
  const std::string_view text = TrimWhiteSpaceView(std::string_view(record).substr(from - 1, len));
  if (text.empty()) return 0;
  std::size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return 0;
  int value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
    value = value * 10 + (text[i] - '0');
  }
  return text[0] == '-' ? -value : value;
}

// Step 5 of ProcessCard: what a granted presentation changes, in this order.
void ApplyGrant(TODBC& odbc, TODBCStatement& update, TODBCStatement& device, TODBCStatement& card,
                TODBCStatement& cardType, double cardNo, TDateTime t, int code) {
  const int dir = device.FieldAsInteger("dir_ection");
  const bool debitFlg = cardType.FieldAsBoolean("debit_flg");
  const bool resetFlag = cardType.FieldAsBoolean("debit_reset_flag");
  bool debited = false;
  if (dir != 3 && (debitFlg || resetFlag) && device.FieldAsBoolean("debit_flag"))
    debited = DebitCard(odbc, card, cardType, t);
  if (dir != 3) update.ExecSQLFmt("UPDATE card SET in_lot = %d WHERE number = %f", dir, cardNo);
  if (!debitFlg || resetFlag || debited) UpdateDebitDate(update, cardNo, t);
  UpdateLastPass(update, cardNo, t);
  UpdatePathwayPosition(odbc, card, device, cardType);
  // A card let through over a full group is not counted into it.
  if ((code & ~crSoftFlag) != crGroupMax) UpdateGroupCount(odbc, card, device);
}

}  // namespace

bool IsGranted(int code) { return code == crAccepted || (code & crSoftFlag) != 0; }

std::string ResultText(int code) {
  switch (code & ~crSoftFlag) {
    case crAccepted:
      return "Accepted";
    case crNotOnFile:
      return "Not On File";
    case crNoValidAccess:
      return "No Valid Access Found";
    case crExpired:
      return "Expired, or not valid yet";
    case crPassback:
      return "Passback Error";
    case crGroupMax:
      return "Group Max. Exceeded";
    case crNotInPath:
      return "Not in Path";
    default:
      return "Unknown error!";
  }
}

TDateTime MemoryCardTime(const std::string& record, TDateTime now) {
  const int year = 2000 + RecordField(record, 1, 2);
  const int month = RecordField(record, 3, 2);
  const int day = RecordField(record, 5, 2);
  const int hhmm = RecordField(record, 7, 4);
  // Raises EConvertError for a date that is not in the calendar.
  TDateTime t = EncodeDate(year, month, day);
  t += static_cast<double>(hhmm / 100 * 60 + hhmm % 100) / kMinutesPerDay;
  // The reader's clock may run a little ahead; a record more than five
  // minutes in the future was made yesterday.
  if (detail::PlusMinutesMs(now, 5) < detail::Ms(t)) t -= 1;
  return t;
}

int DeviceOpenPulse(TODBCStatement& device) {
  const double pulse = device.FieldAsFloat("open_pulse");
  if (!std::isfinite(pulse)) return 0;
  if (pulse >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (pulse <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(std::trunc(pulse));
}

bool FindCard(TODBCStatement& q, double cardNo) {
  return q.ExecSQLFmt("SELECT * FROM card WHERE number = %f", cardNo);
}

bool FindCardType(TODBCStatement& card, TODBCStatement& cardType) {
  return cardType.ExecSQLFmt("SELECT * FROM card_type WHERE id = %d",
                             card.FieldAsInteger("type_id"));
}

int ValidateCard(bool debugLog, TMessLog* log, TODBC& odbc, int pbResetMinutes, double cardNo,
                 TDateTime transTime, TODBCStatement& settings, TODBCStatement& device,
                 TODBCStatement& cardType, TODBCStatement& card) {
  const int deviceId = device.FieldAsInteger("id");
  const std::string n = detail::CardText(cardNo);
  if (!FindCard(card, cardNo)) {
    detail::Detail(debugLog, log, "Card " + n + " not on file");
    return crNotOnFile;
  }
  if (!FindCardType(card, cardType)) {
    detail::Detail(debugLog, log,
                   "Type id " + card.FieldAsString("type_id") + " is not on file for card " + n);
    return crNoValidAccess;
  }
  const int level = cardType.FieldAsInteger("access_level_id");
  if (!AccessLevelAllows(odbc, level, transTime, deviceId)) {
    detail::Detail(debugLog, log,
                   "Access level id " + std::to_string(level) + " access failure for card " + n);
    return crNoValidAccess;
  }
  if (!CardIsValidNow(odbc, transTime, cardType, card)) {
    detail::Detail(debugLog, log, "Card " + n + " is inactive");
    return crExpired;
  }
  if (!GroupHasRoom(odbc, card, device)) {
    detail::Detail(debugLog, log, "Card " + n + " is over group maximum");
    return settings.FieldAsBoolean("soft_group") ? crGroupMax | crSoftFlag : crGroupMax;
  }
  if (!PathwayAllows(odbc, card, device, debugLog, log, cardType, transTime)) {
    detail::Detail(debugLog, log, "Card " + n + " has a pathway error");
    return settings.FieldAsBoolean("soft_path") ? crNotInPath | crSoftFlag : crNotInPath;
  }
  if (!PassbackAllows(card, cardType, device, pbResetMinutes, transTime)) {
    detail::Detail(debugLog, log, "Card " + n + " passback error");
    return settings.FieldAsBoolean("soft_pb") ? crPassback | crSoftFlag : crPassback;
  }
  return crAccepted;
}

int ProcessCard(bool debugLog, TMessLog* log, TODBC& odbc, double cardNo, int addr, int loopId,
                bool memFlag, const std::string& memData, TCardOutcome& out) {
  // A reader's number that is no finite value would make every statement of
  // the decision fail, the transaction row included; it is judged as card 0.
  if (!std::isfinite(cardNo)) cardNo = 0;
  TDateTime t = Now();
  if (memFlag) t = MemoryCardTime(memData, t);  // may raise: nothing has run yet

  TODBCStatement update(odbc), device(odbc), settings(odbc), card(odbc), cardType(odbc);
  // Whether these rows exist is not tested: a missing one reads as zeros.
  device.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", loopId, addr);
  settings.ExecSQL("SELECT * FROM settings");

  const int code = ValidateCard(debugLog, log, odbc, settings.FieldAsInteger("stup_pbrst"), cardNo,
                                t, settings, device, cardType, card);
  if (IsGranted(code)) ApplyGrant(odbc, update, device, card, cardType, cardNo, t, code);

  out.transTime = t;
  out.openPulse = DeviceOpenPulse(device);
  out.spaceNo = device.FieldAsBoolean("special_out") ? card.FieldAsInteger("space_no") : -1;
  out.deviceName = device.FieldAsString("name");
  out.firstName = card.FieldAsString("first_name");

  TTransRecord rec;
  rec.cardNo = cardNo;
  rec.when = t;
  rec.deviceId = device.FieldAsInteger("id");
  rec.code = code;
  rec.deviceName = out.deviceName;
  rec.firstName = out.firstName;
  rec.lastName = card.FieldAsString("last_name");
  rec.memFlag = memFlag;
  WriteTransaction(update, rec);
  return code;
}

int ProcessCard(bool debugLog, TMessLog* log, TODBC& odbc, double cardNo, int addr, int loopId,
                bool memFlag, const std::string& memData, std::string& deviceName,
                std::string& firstName, TDateTime& transTime, int& openPulse, int& spaceNo) {
  TCardOutcome out;
  const int code = ProcessCard(debugLog, log, odbc, cardNo, addr, loopId, memFlag, memData, out);
  deviceName = out.deviceName;
  firstName = out.firstName;
  transTime = out.transTime;
  openPulse = out.openPulse;
  spaceNo = out.spaceNo;
  return code;
}

}  // namespace orlo
