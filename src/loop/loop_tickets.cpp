// TLoop: exit passes at barcode exit readers and the ticket inventory kept
// from the spitters' ticket records, both in `tickinv` (one row per barcode).
//
// The barcode is text from a device. It reaches SQL only as a string
// literal escaped by the rules of the loop's connection, never through a format
// string, so a barcode holding a quote, a backslash or a '%' is judged and
// recorded like any other. Main thread only, like every handler of the loop.
#include <cmath>
#include <string>

#include "access/cardcheck.h"
#include "bus/card.h"
#include "config/datetime.h"
#include "db/odbc.h"
#include "db/odbcconn.h"
#include "db/sql.h"
#include "log/messlog.h"
#include "loop/loop.h"
#include "platform/clock.h"
#include "platform/format.h"

namespace orlo {

namespace {

constexpr int kDefaultExitPulse = 5;

}  // namespace

enum class TLoop::TExitOutcome : std::uint8_t { Valid, Used, SystemError, Expired, Unreadable };

const char* TLoop::ExitText(TExitOutcome outcome) {
  switch (outcome) {
    case TExitOutcome::Valid:
      return "Thank you...";
    case TExitOutcome::Used:
      return "ExitPass Used";
    case TExitOutcome::SystemError:
      return "System ERROR!";
    case TExitOutcome::Expired:
      return "ExitPass Expired";
    case TExitOutcome::Unreadable:
      return "Read ERROR;Please Re-try";
  }
  return "";
}

namespace {

// "where barcode='...'" with the barcode escaped by the connection's rules.
std::string BarcodeCondition(const TODBC& db, const std::string& barcode) {
  return "where barcode='" + TSql(db).Escape(barcode) + "'";
}

// The issue time as "MMMDD/YYYY HH:NN:SS" (month as its short English name).
std::string TicketTimeText(TDateTime when) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msec = 0;
  DecodeDate(when, year, month, day);
  DecodeTime(when, hour, minute, second, msec);
  const char* name = month >= 1 && month <= 12 ? kMonths[month - 1] : "???";
  return Format("%s%.2d/%d %.2d:%.2d:%.2d", std::string(name), day, year, hour, minute, second);
}

// Whole minutes from the issue time to now, truncated toward zero (negative
// when the issue time lies ahead).
long long MinutesSince(TDateTime issued) {
  return static_cast<long long>(std::trunc((Now() - issued) * kMinutesPerDay));
}

}  // namespace

// A pass never seen before is entered, a valid one is marked used.
TLoop::TExitOutcome TLoop::JudgeExitPass(int address, const std::string& barcode, double issued,
                                         int& pulse) {
  TExitOutcome outcome = TExitOutcome::Valid;
  if (MessLog) MessLog->LogFmt("Checking BarCode: %s ", barcode);
  const std::string where = BarcodeCondition(*DB, barcode);
  TODBCStatement q(DB.get());
  bool found = q.ExecSQL("select * from tickinv " + where);
  if (!found) {
    // A pass never seen before (issued at a pay station): record it first.
    TSql sql(*DB);
    sql.AddField("barcode", barcode, true);
    sql.AddInt("issuerid", 0);
    sql.AddInt("status", 0);
    sql.AddDateTime("in_date", issued);
    sql.AddNow("l_date");
    std::string text;
    sql.BuildSQL("tickinv", true, text, "");
    TODBCStatement insert(DB.get());
    insert.ExecSQL(text);
    found = q.ExecSQL("select * from tickinv " + where);
  }
  if (!found) {
    outcome = TExitOutcome::SystemError;
  } else {
    const int lane = StrToIntPart(barcode, 9, 2, 0);
    if (q.FieldAsInteger("status") != 0) {
      outcome = TExitOutcome::Used;
    } else if (!(FlatRate && lane > 50)) {
      // Pay lanes are numbered 50 above their pay station's lane.
      int allowance = GraceTime;
      for (int extended : ExtendedGraceLanes)
        if (lane == extended + 50) allowance = GraceTimeExtended;
      const long long minutes = MinutesSince(issued);
      if (minutes > allowance || (minutes < 0 && -minutes > GraceTimeFuture))
        outcome = TExitOutcome::Expired;
    }
    if (outcome == TExitOutcome::Valid) {
      TSql sql(*DB);
      sql.AddInt("takerid", address);
      sql.AddInt("status", 1);
      sql.AddNow("out_date");
      sql.AddNow("l_date");
      std::string text;
      sql.BuildSQL("tickinv", false, text, where);
      TODBCStatement update(DB.get());
      update.ExecSQL(text);
    }
  }
  TODBCStatement device(DB.get());
  if (device.ExecSQLFmt("SELECT * FROM device WHERE loop_id=%d and addr_ess=%d", LoopId, address))
    pulse = DeviceOpenPulse(device.CurrentRow());
  return outcome;
}

// Updates in place only a row that an exit made and already used, for a
// ticket reported after the fact; any other row with this barcode or ticket
// is archived and a new one inserted.
bool TLoop::WriteTicketRecord(const TTicketData& data, int ticket) {
  bool update = false;
  std::string where = BarcodeCondition(*DB, data.Barcode);
  TODBCStatement q(DB.get());
  TODBCStatement archive(DB.get());
  if (q.ExecSQL("select * from tickinv " + where)) {
    update = q.FieldAsInteger("issuerid") == 0 && q.FieldAsInteger("takerid") != 0 && !data.Online;
    if (!update) {
      TSql sql(*DB);
      sql.AddField("barcode", data.Barcode + "*", true);
      std::string textSql;
      sql.BuildSQL("tickinv", false, textSql, where);
      archive.ExecSQL(textSql);
    }
  } else {
    where = Format("where ticket=%d and issuerid is null", ticket);
    if (q.ExecSQL("select * from tickinv " + where)) {
      update = q.FieldAsInteger("takerid") != 0 && !data.Online;
      if (!update) {
        TSql sql(*DB);
        sql.AddInt("ticket", -ticket);
        std::string textSql;
        sql.BuildSQL("tickinv", false, textSql, where);
        archive.ExecSQL(textSql);
      }
    }
  }

  TSql sql(*DB);
  if (update) {
    Log("TickInv Record Found! Updating: " + where);
  } else {
    sql.AddInt("status", 0);
    sql.AddInt("security", 1);
  }
  if (data.BackOut) {
    sql.SetInt("status", 2, false);
    sql.AddDateTime("out_date", data.IssueTime);
    sql.AddInt("takerid", data.Lane);
  }
  sql.AddField("barcode", data.Barcode, true);
  sql.AddInt("ticket", ticket);
  sql.AddDateTime("in_date", data.IssueTime);
  sql.AddInt("issuerid", data.Lane);
  sql.AddInt("online", data.Online ? 1 : 0);
  sql.AddNow("l_date");
  std::string textSql;
  sql.BuildSQL("tickinv", !update, textSql, update ? where : std::string());
  TODBCStatement write(DB.get());
  return write.ExecSQL(textSql);
}

void TLoop::BarcodeEvent(int reader, const std::string& value) {
  Log("Got BarcodeEvent event!  - " + std::to_string(reader) + " - |" + value + "|");
  if (Conn && DB && Conn->IsConnected())
    CheckExitPass(reader, value);
  else
    AnswerWithoutDecision(reader, value, true);
}

void TLoop::CheckExitPass(int address, const std::string& barcode) {
  TExitOutcome outcome = TExitOutcome::Unreadable;
  int pulse = kDefaultExitPulse;
  const TDateTime issued = BarcodeIssueTime(barcode, OldTicketFormat);
  // The pass is marked used before the gate opens for it.
  TODBCTransaction transaction(*DB);
  if (issued > 0 && !RecordDecision(transaction, "exit pass " + barcode, [&] {
        pulse = kDefaultExitPulse;
        outcome = JudgeExitPass(address, barcode, issued, pulse);
      })) {
    AnswerWithoutDecision(address, barcode, true);
    return;
  }
  const bool valid = outcome == TExitOutcome::Valid;
  const std::string text = ExitText(outcome);
  LastPulse = pulse;
  if (Card) Card->GateOpenMsg(address, valid, pulse, text);
  if (MessLog)
    MessLog->LogFmt("Card1.GateOpenMsg(%d, %s, %d, %s)", address, BoolText(valid), pulse, text);
  if (valid) CountPassage(address);
}

TTicketData TLoop::ParseTicketData(const std::string& text) {
  TTicketData data;
  if (text.size() != 17) return data;
  const char flagChar = text[0];
  const int flags = flagChar >= '0' && flagChar <= '9' ? flagChar - '0' : 0;
  data.Failed = false;
  data.Online = (flags & 1) == 0;
  data.BackOut = (flags & 2) != 0;
  data.Barcode = text.substr(1, 10);
  data.IssueTime = CycleSecondsToDateTime(StrToIntPart(data.Barcode, 1, 8, 0));
  data.Lane = StrToIntPart(data.Barcode, 9, 2, 0);
  data.Ticket = StripLeadingZeros(text.substr(11, 6));
  return data;
}

void TLoop::RecordTicketIssue(int address, const std::string& text) {
  const TTicketData data = ParseTicketData(text);
  if (data.Failed) {
    Log("Invalid or unknown value?");
    CountPassage(address);
    return;
  }
  if (MessLog)
    MessLog->LogFmt("Bar:%s Date:%s Lane:%d Ticket:%s ... BackOut:%s OnLine:%s", data.Barcode,
                    TicketTimeText(data.IssueTime), data.Lane, data.Ticket, BoolText(data.BackOut),
                    BoolText(data.Online));
  const int ticket = StrToIntPart(data.Ticket, 0, 0, 0);

  bool written = false;
  TODBCTransaction transaction(*DB);
  const bool recorded = RecordDecision(transaction, "ticket " + text,
                                       [&] { written = WriteTicketRecord(data, ticket); });
  if (recorded && written) CountPassage(address);  // not recorded: not counted either
}

}  // namespace orlo
