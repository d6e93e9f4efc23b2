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
// The card row's changes go to the database as one UPDATE.
void ApplyGrant(TODBC& odbc, TODBCStatement& update, TDecisionRows& rows, double cardNo,
                TDateTime t, int code) {
  const int dir = rows.device.FieldAsInteger("dir_ection");
  const bool debitFlg = rows.cardType.FieldAsBoolean("debit_flg");
  const bool resetFlag = rows.cardType.FieldAsBoolean("debit_reset_flag");
  TCardWrite write(odbc, rows.card);
  bool debited = false;
  if (dir != 3 && (debitFlg || resetFlag) && rows.device.FieldAsBoolean("debit_flag"))
    debited = DebitCard(write, rows, t);
  if (dir != 3) write.SetInteger("in_lot", dir);
  if (!debitFlg || resetFlag || debited) UpdateDebitDate(write, t);
  UpdateLastPass(write, t);
  UpdatePathwayPosition(odbc, write, rows);
  write.Write(update, cardNo);
  // A card let through over a full group is not counted into it.
  if ((code & ~crSoftFlag) != crGroupMax) UpdateGroupCount(odbc, rows);
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

int DeviceOpenPulse(const TDBRow& device) {
  const double pulse = device.FieldAsFloat("open_pulse");
  if (!std::isfinite(pulse)) return 0;
  if (pulse >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (pulse <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(std::trunc(pulse));
}

TDBRow FindCard(TODBC& odbc, double cardNo) {
  return ReadRow(odbc, Format("SELECT * FROM card WHERE number = %f", cardNo));
}

TDBRow FindCardType(TODBC& odbc, const TDBRow& card, TRowCache* config) {
  return ConfigRow(odbc, config, CardTypeSql(card.FieldAsInteger("type_id")));
}

std::string CardTypeSql(int id) { return Format("SELECT * FROM card_type WHERE id = %d", id); }

const TDBRow& TSettingsRow::Row() {
  if (!row_) row_ = ConfigRow(odbc_, config_, "SELECT * FROM settings");
  return *row_;
}

int ValidateCard(bool debugLog, TMessLog* log, TODBC& odbc, TRowCache* config, double cardNo,
                 TDateTime transTime, TDecisionRows& rows) {
  TSettingsRow settings(odbc, config);
  const int deviceId = rows.device.FieldAsInteger("id");
  const std::string n = detail::CardText(cardNo);
  rows.card = FindCard(odbc, cardNo);
  if (!rows.card.Found()) {
    detail::Detail(debugLog, log, "Card " + n + " not on file");
    return crNotOnFile;
  }
  rows.cardType = FindCardType(odbc, rows.card, config);
  if (!rows.cardType.Found()) {
    detail::Detail(debugLog, log,
                   "Type id " + rows.card.FieldAsString("type_id") + " is not on file for card " + n);
    return crNoValidAccess;
  }
  const int level = rows.cardType.FieldAsInteger("access_level_id");
  if (!AccessLevelAllows(odbc, level, transTime, deviceId, config)) {
    detail::Detail(debugLog, log,
                   "Access level id " + std::to_string(level) + " access failure for card " + n);
    return crNoValidAccess;
  }
  if (!CardIsValidNow(odbc, config, transTime, rows)) {
    detail::Detail(debugLog, log, "Card " + n + " is inactive");
    return crExpired;
  }
  if (!GroupHasRoom(odbc, rows)) {
    detail::Detail(debugLog, log, "Card " + n + " is over group maximum");
    return settings.Row().FieldAsBoolean("soft_group") ? crGroupMax | crSoftFlag : crGroupMax;
  }
  if (!PathwayAllows(odbc, rows, debugLog, log, transTime)) {
    detail::Detail(debugLog, log, "Card " + n + " has a pathway error");
    return settings.Row().FieldAsBoolean("soft_path") ? crNotInPath | crSoftFlag : crNotInPath;
  }
  if (!PassbackAllows(rows, settings, transTime)) {
    detail::Detail(debugLog, log, "Card " + n + " passback error");
    return settings.Row().FieldAsBoolean("soft_pb") ? crPassback | crSoftFlag : crPassback;
  }
  return crAccepted;
}

int ProcessCard(bool debugLog, TMessLog* log, TODBC& odbc, double cardNo, int addr, int loopId,
                bool memFlag, const std::string& memData, TCardOutcome& out, TRowCache* config) {
  // A reader's number that is no finite value would make every statement of
  // the decision fail, the transaction row included; it is judged as card 0.
  if (!std::isfinite(cardNo)) cardNo = 0;
  TDateTime t = Now();
  if (memFlag) t = MemoryCardTime(memData, t);  // may raise: nothing has run yet

  TDecisionRows& rows = out.rows;
  rows = TDecisionRows{};
  // Whether the device row exists is not tested: a missing one reads as
  // zeros, as a missing settings row does.
  rows.device = ConfigRow(
      odbc, config,
      Format("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", loopId, addr));
  const int code = ValidateCard(debugLog, log, odbc, config, cardNo, t, rows);
  TODBCStatement update(odbc);
  if (IsGranted(code)) ApplyGrant(odbc, update, rows, cardNo, t, code);

  out.transTime = t;
  out.openPulse = DeviceOpenPulse(rows.device);
  out.spaceNo =
      rows.device.FieldAsBoolean("special_out") ? rows.card.FieldAsInteger("space_no") : -1;
  out.deviceName = rows.device.FieldAsString("name");
  out.firstName = rows.card.FieldAsString("first_name");

  TTransRecord rec;
  rec.cardNo = cardNo;
  rec.when = t;
  rec.deviceId = rows.device.FieldAsInteger("id");
  rec.code = code;
  rec.deviceName = out.deviceName;
  rec.firstName = out.firstName;
  rec.lastName = rows.card.FieldAsString("last_name");
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
