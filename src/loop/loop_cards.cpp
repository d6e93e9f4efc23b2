// TLoop: card and memory-card events. A live card at a reader is judged by
// ProcessCard, answered with its display text (opened or refused), optionally
// sent to a parking-space output, mailed and counted; a memory-card record is
// only judged and counted. A device hears only a decision that is on record:
// without the database, or when the decision's work could not be committed,
// cards are let through on the "Low Security on DB Error" setting and refused
// otherwise, never left without an answer.
//
// Everything here runs on the main thread while the loop's poll thread waits
// for the handler; the gate command queued here is the next frame on the line.
// Once a card's decision is stored and its answer queued, the poll thread is
// let go (TMainLoop::ReleaseWaiter) to send it, while the handler finishes:
// the passage counted, the mail queued, the transaction closed. The card mail
// is only queued to the mail worker, so no SMTP exchange ever lies between
// the decision and the gate command. On a database server the writes of a
// decision form one transaction: one log flush per card instead of one per
// statement.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>

#include "access/cardcheck.h"
#include "bus/card.h"
#include "db/odbc.h"
#include "db/odbcconn.h"
#include "db/rowcache.h"
#include "log/messlog.h"
#include "loop/loop.h"
#include "mail/mailworker.h"
#include "monitor/monitor.h"
#include "platform/format.h"
#include "platform/mainloop.h"
#include "platform/text.h"

namespace orlo {

namespace {

constexpr char kThankYou[] = "Thank you...";
constexpr char kGoingUp[] = "Going Up!";
// Shown when no decision can be made: the same words as an exit pass the
// system could not judge.
constexpr char kSystemError[] = "System ERROR!";

// Card numbers are held as doubles, and the drivers give them back as text
// rounded to 15 significant digits: only numbers of at most 15 digits are the
// same card in every lookup, update and record.
constexpr std::size_t kCardDigits = 15;

// The significant digits of a plain decimal text (sign and exponent aside):
// leading zeros do not count, nor trailing zeros of a fraction.
std::size_t SignificantDigits(const std::string& number) {
  const std::string mantissa = number.substr(0, number.find_first_of("eE"));
  const auto point = mantissa.find('.');
  std::string whole = mantissa.substr(0, point);
  std::string fraction = point == std::string::npos ? "" : mantissa.substr(point + 1);
  std::erase_if(whole, [](char c) { return c == '+' || c == '-'; });
  whole.erase(0, whole.find_first_not_of('0'));
  fraction.erase(fraction.find_last_not_of('0') + 1);
  if (whole.empty()) fraction.erase(0, fraction.find_first_not_of('0'));
  return whole.size() + fraction.size();
}

// The card number of a reader's text; 0 (no card) for text that is not a
// number, and for a number that cannot be held exactly, which would otherwise
// be looked up as another card: that one is logged.
double CardTextToNumber(const std::string& text, TMessLog* log) {
  // Only a plain decimal number counts: no hexadecimal, "inf" or "nan" that
  // strtod would take, and no trailing rubbish.
  const std::string s(TrimSpaceTabView(text));
  if (s.empty()) return 0;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '+' &&
        c != 'e' && c != 'E')
      return 0;
  }
  char* end = nullptr;
  const double value = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !std::isfinite(value)) return 0;
  // An exponent can write a long number with few digits.
  if (SignificantDigits(s) > kCardDigits || std::fabs(value) >= 1e15) {
    if (log)
      log->Log("Card number " + s +
               " has more than 15 digits and cannot be held exactly: judged as card 0");
    return 0;
  }
  return value;
}

// The general form: up to 15 significant digits, no trailing zeros.
std::string CardNumberText(double cardNo) { return Format("%g", cardNo); }

// The messages column of each outcome, by the code with the soft bit cleared.
const char* MessageColumn(int code) {
  switch (code & ~crSoftFlag) {
    case crAccepted:
      return "accepted";
    case crNotOnFile:
      return "not_on_file";
    case crNoValidAccess:
      return "access";
    case crExpired:
      return "inac_tive";
    case crPassback:
      return "passback";
    case crGroupMax:
      return "max_group";
    case crNotInPath:
      return "not_on_path";
    default:
      return nullptr;
  }
}

}  // namespace

bool TLoop::DatabaseUp() { return Conn && DB && Conn->IsConnected(); }

std::string TLoop::Where(int address, const std::string& value) const {
  return "Loop Id " + std::to_string(LoopId) + " address " + std::to_string(address) + ", Card " +
         value;
}

// The worker logs "Sending email to: ..." when the exchange starts and the
// error text of a failed one. Nothing here waits for the SMTP server, so the
// gate command is never held back by it.
void TLoop::SendCardMail(const std::string& number, const std::string& firstName,
                         const std::string& deviceName) {
  try {
    const std::string body = "Card: " + number + ", Name: " + firstName + ", Device: " + deviceName;
    if (!Mail) {
      Log("Sending email to: " + EmailTo + " Server: " + EmailServer +
          " Port: " + std::to_string(EmailPort));
      Log("Email not sent: no mail service");
      return;
    }
    Mail->SubmitCardEvent(EmailServer, EmailPort, EmailFrom, EmailTo, body);
  } catch (const std::exception&) {
    Log("Exception in MailMessage()");
  }
}

// Nothing is recorded. The low-security opening takes the pulse of the last
// decided card.
void TLoop::AnswerWithoutDecision(int address, const std::string& value, bool answerExpected) {
  if (LowSecurityOnDBError || answerExpected) Monitor->UndecidedAnswer(LowSecurityOnDBError);
  if (LowSecurityOnDBError) {
    if (Card) Card->GateOpenMsg(address, true, LastPulse, kThankYou);
    if (DebugLog) Log("Cannot connect to DB!  Card Allowed, " + Where(address, value));
  } else if (answerExpected) {
    if (Card) Card->GateOpenMsg(address, false, LastPulse, kSystemError);
    Log("Cannot connect to DB!  Card Refused, " + Where(address, value));
  }
}

void TLoop::AnswerQueued() {
  const auto replied = Card ? Card->HandOverReplyTime() : std::chrono::steady_clock::time_point{};
  if (replied != std::chrono::steady_clock::time_point{})
    Monitor->CardToGate(std::chrono::steady_clock::now() - replied);
  if (MainLoop) MainLoop->ReleaseWaiter();
}

bool TLoop::RecordDecision(TODBCTransaction& transaction, const std::string& what,
                           const std::function<void()>& decide) {
  for (int attempt = 1;; ++attempt) {
    decide();
    if (transaction.Commit()) return true;
    // The server rolled the victim of a deadlock back as a whole: deciding
    // again is safe, and the other transaction has usually gone by now.
    if (transaction.Fault() == TDBFault::Deadlock && attempt == 1) {
      Log("Deadlock, deciding again: " + what);
      continue;
    }
    Log("Decision not recorded: " + what + ": " + transaction.FaultError().Text());
    return false;
  }
}

void TLoop::CardDataEvent(int reader, const std::string& value) {
  const TDeviceTypes kind = DeviceTypeAt(reader);
  if (kind == dtTicketSpitter && Card) Card->TicketAck(reader, "");
  Log("Got CardData event!  - " + std::to_string(reader) + " - |" + value + "|");
  if (!DatabaseUp()) {
    AnswerWithoutDecision(reader, value, kind != dtTicketSpitter);
    if (kind == dtCardReader) AnswerQueued();
    return;
  }
  switch (kind) {
    case dtTicketSpitter:
      RecordTicketIssue(reader, value);
      break;
    case dtBarcodeExit:
      CheckExitPass(reader, value);
      break;
    default:
      CheckCard(reader, value);
      break;
  }
}

void TLoop::MemoryDataEvent(int reader, const std::string& value) {
  Log("Got MemoryData event!  - " + std::to_string(reader) + " - |" + value + "|");
  if (!DatabaseUp()) {
    // The reader decided the record itself: it waits for no answer.
    AnswerWithoutDecision(reader, value, false);
    return;
  }
  CheckMemoryCard(reader, value);
}

void TLoop::CheckCard(int address, const std::string& cardText) {
  const double cardNo = CardTextToNumber(cardText, MessLog);
  TCardOutcome out;
  int code = 0;
  std::string text;
  // The decision and its trans row are committed before the device hears it;
  // the passage counting below forms a second transaction.
  TODBCTransaction transaction(*DB);
  if (!RecordDecision(transaction, Where(address, cardText), [&] {
        code = ProcessCard(DebugLog, MessLog, *DB, cardNo, address, LoopId, false, "0000", out,
                           ConfigCache.get());
        text = CardMessage(code, out.rows, cardNo);
      })) {
    AnswerWithoutDecision(address, cardText, true);
    AnswerQueued();
    return;
  }
  LastPulse = out.openPulse;
  const bool granted = IsGranted(code);
  if (!granted) {
    if (Card) Card->GateOpenMsg(address, false, out.openPulse, text);
  } else if (!SpecialOutput(address, out.spaceNo, out.openPulse) && Card) {
    Card->GateOpenMsg(address, true, out.openPulse, text);
  }
  AnswerQueued();
  const std::string number = CardNumberText(cardNo);
  Monitor->Decision(address, number, code);
  if (!granted) return;
  if (DebugLog)
    Log("Card Allowed, Loop Id " + std::to_string(LoopId) + " address " + std::to_string(address) +
        ", Card " + number);
  if (!EmailServer.empty()) SendCardMail(number, out.firstName, out.deviceName);
  CountPassage(address);
}

void TLoop::CheckMemoryCard(int address, const std::string& record) {
  const double cardNo = CardTextToNumber(record.size() > 10 ? record.substr(10) : "", MessLog);
  TCardOutcome out;
  int code = 0;
  TODBCTransaction transaction(*DB);
  // An impossible record date raises EConvertError before anything is
  // written; the bus component contains it and goes on polling. A record not
  // on record is in the log ("Got MemoryData event!"), to be entered by hand.
  if (!RecordDecision(transaction, "memory card record " + Where(address, record), [&] {
        code = ProcessCard(DebugLog, MessLog, *DB, cardNo, address, LoopId, true, record, out,
                           ConfigCache.get());
      }))
    return;
  if (!IsGranted(code)) return;
  if (DebugLog)
    Log("Memory Card Success, Loop Id " + std::to_string(LoopId) + " address " +
        std::to_string(address) + ", Card " + CardNumberText(cardNo));
  CountPassage(address);
}

// The rows are those the decision read: the card row as the decision left
// it, the device row of the presentation.
std::string TLoop::CardMessage(int code, const TDecisionRows& rows, double cardNo) {
  int msgId = rows.cardType.Found() ? rows.cardType.FieldAsInteger("msg_id") : 0;
  if (msgId <= 0 && rows.device.Found()) msgId = rows.device.FieldAsInteger("msg_id");
  TRowCache* config = ConfigCache.get();
  TDBRow messages = ConfigRow(*DB, config, Format("SELECT * FROM messages WHERE id = %d", msgId));
  if (!messages.Found()) messages = ConfigRow(*DB, config, "SELECT * FROM messages WHERE id = 1");
  const char* column = MessageColumn(code);
  if (!column) return "Unknown Error";
  const std::string cardText =
      (code & ~crSoftFlag) == crNotOnFile ? CardNumberText(cardNo) : std::string();
  return ExpandCardMessage(rows.card, messages.FieldAsString(column), rows.cardType, cardText);
}

bool TLoop::SpecialOutput(int address, int spaceNo, int pulse) {
  if (spaceNo <= 0) return false;
  TODBCStatement spot(DB.get());
  if (!spot.DoSQLFmt("select * from spots where number=%d", spaceNo)) {
    if (DebugLog && MessLog)
      MessLog->LogFmt("'Special' output.  %d NOT Found in Spots file", spaceNo);
    return false;
  }
  const int floor = spot.FieldAsInteger("floor");
  if (floor <= 0) {
    if (DebugLog && MessLog) MessLog->LogFmt("'Special' output %d invalid", floor);
    return false;
  }
  if (DebugLog && MessLog) MessLog->LogFmt("'Special' output %d going On!", floor);
  if (floor <= 3) {
    if (Card) {
      Card->GateOpenMsg(address, false, pulse, kGoingUp);
      // Floor 1 drives output 1, floors 2 and 3 the outputs above it.
      const int output = floor == 1 ? 1 : floor + 1;
      // Ten times the pulse, at least 5; counted wide so a huge pulse cannot overflow.
      const long long duration =
          std::clamp(10LL * pulse, 5LL, static_cast<long long>(std::numeric_limits<int>::max()));
      Card->PulseOutput(address, output, static_cast<int>(duration));
    }
  } else if (Card) {
    Card->GateOpenMsg(address, true, pulse, kGoingUp);
  }
  return true;
}

}  // namespace orlo
