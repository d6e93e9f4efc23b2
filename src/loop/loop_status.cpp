// TLoop: device status events (printer, counters, alarm inputs, offline,
// power-up) and the outputs the main timer drives: lot-full outputs and signs,
// gates held by schedule and remote opens. Everything here runs on the main
// thread: the bus component hands the events over, the main tick calls the
// rest.
#include <charconv>
#include <exception>
#include <vector>

#include "bus/card.h"
#include "counters/counter.h"
#include "counters/input.h"
#include "db/odbc.h"
#include "db/odbcconn.h"
#include "db/sql.h"
#include "log/messlog.h"
#include "loop/loop.h"
#include "monitor/monitor.h"
#include "platform/clock.h"
#include "platform/format.h"

namespace orlo {

namespace {

// The texts of the printer status bits 0..11; bit 3 has none.
constexpr const char* kPrinterBitText[12] = {
    "offline;",     "paper out;", "low paper;",    nullptr,      "cover open;",  "temp error;",
    "power error;", "paper jam;", "cutter error;", "ram error;", "eprom error;", "emitter error;"};

constexpr unsigned kPrinterErrorBits = 0xFF7;  // every bit with a meaning but 3
constexpr unsigned kPaperBits = 0x86;          // paper out, low paper, paper jam

// A decimal integer, 0 when the text is not one (leading blanks allowed).
int WordValue(const std::string& text) {
  std::size_t from = text.find_first_not_of(' ');
  if (from == std::string::npos) return 0;
  int value = 0;
  const char* first = text.data() + from;
  const char* last = text.data() + text.size();
  if (*first == '+') ++first;
  auto [end, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || end != last) return 0;
  return value;
}

// "MMMDD/YYYY HH:NN:SS", e.g. "Dec08/2026 18:30:05".
std::string PrinterLogTime(TDateTime when) {
  static constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int y, m, d, h, n, s, ms;
  DecodeDate(when, y, m, d);
  DecodeTime(when, h, n, s, ms);
  return Format("%s%.2d/%d %.2d:%.2d:%.2d", kMonths[(m + 11) % 12], d, y, h, n, s);
}

}  // namespace

// A device whose lot-full output or sign is due for a refresh.
struct TLoop::TLotFullDevice {
  int id = 0;
  int address = 0;
  std::string name;
  int lotId = 0;
  int output = 0;  // lf_output
  bool outputFlag = false;
  bool signFlag = false;
};

// The rows are read first and their cursor closed: the updates that follow
// must not meet an open cursor on the device table of the same connection.
std::vector<TLoop::TLotFullDevice> TLoop::ReadLotFullDevices() {
  std::vector<TLotFullDevice> devices;
  TODBCStatement q(*DB);
  for (bool ok = q.ExecSQLFmt(
           "SELECT * FROM device WHERE loop_id = %d and (lf_sign_flag <> 0 or lf_output_flag <> 0)",
           LoopId);
       ok; ok = q.dbSkip()) {
    TLotFullDevice device;
    device.id = q.FieldAsInteger("id");
    device.address = q.FieldAsInteger("addr_ess");
    device.name = q.FieldAsString("name");
    device.lotId = q.FieldAsInteger("lot_id");
    device.output = q.FieldAsInteger("lf_output");
    device.outputFlag = q.FieldAsBoolean("lf_output_flag");
    device.signFlag = q.FieldAsBoolean("lf_sign_flag");
    devices.push_back(device);
  }
  return devices;
}

// A device of no known lot only has its flags cleared.
void TLoop::UpdateLotFullDevice(const TLotFullDevice& device) {
  int count = 0, capacity = 0;
  bool lotFound = false;
  {
    TODBCStatement lot(*DB);
    lotFound = lot.ExecSQLFmt("SELECT * FROM lot WHERE id = %d", device.lotId);
    count = lot.FieldAsInteger("lot_count");
    capacity = lot.FieldAsInteger("max_capacity");
  }
  TODBCStatement update(*DB);
  if (!lotFound) {
    update.ExecSQLFmt("UPDATE device SET lf_output_flag = 0, lf_sign_flag = 0 WHERE id = %d",
                      device.id);
    return;
  }
  if (device.outputFlag) {
    const bool full = count >= capacity;
    // Output 2 is the lowest of the sixteen output bits; any other number
    // names no bit, and shifting by it would be meaningless (or undefined).
    if (device.output >= 2 && device.output <= 17) {
      Card->SetOutput(device.address, full, 1u << (device.output - 2));
      if (DebugLog)
        Log(std::string("Lot full output is now ") + (full ? " On" : " Off") + " for " +
            device.name);
    } else {
      Log("Lot full output " + std::to_string(device.output) + " of " + device.name +
          " names no output bit - nothing sent");
    }
    update.ExecSQLFmt("UPDATE device SET lf_output_flag = 0 WHERE id = %d", device.id);
  }
  if (device.signFlag) {
    const int free = capacity - count > 0 ? capacity - count : 0;
    Card->SignMsg(device.address, std::string("\x14"
                                              "1\r\x16") +
                                      std::to_string(free) + "\\1\\1");
    update.ExecSQLFmt("UPDATE device SET lf_sign_flag = 0 WHERE id = %d", device.id);
    if (DebugLog)
      Log("Lot full sign is being updated to " + std::to_string(free) + " for " + device.name);
  }
}

bool TLoop::PrinterWords(const std::string& value, int& first, int& second) {
  const auto comma = value.find(',');
  if (comma == std::string::npos) {
    first = WordValue(value);
    second = 0;
    return false;
  }
  first = WordValue(value.substr(0, comma));
  second = WordValue(value.substr(comma + 1, 99));
  return true;
}

std::string TLoop::PrinterStatusText(int word) {
  std::string text;
  for (int bit = 0; bit < 12; ++bit)
    if (kPrinterBitText[bit] && (static_cast<unsigned>(word) & (1u << bit)))
      text += kPrinterBitText[bit];
  return text.empty() ? "Ok" : text;
}

void TLoop::AddPrinterColumns(TSql& sql, int word, bool second) {
  const unsigned bits = static_cast<unsigned>(word);
  int paper = 0, hardware = 0, failure = 0;
  if (bits & kPrinterErrorBits) {
    if (bits & kPaperBits) {
      paper = ((bits & 0x4) ? 1 : 0) + ((bits & 0x82) ? 2 : 0);
    } else if (bits & 0x1) {
      failure = 1;
    } else {
      hardware = 1;
    }
  }
  const std::string suffix = second ? "2" : "";
  sql.AddInt("ptr_paper" + suffix, paper);
  sql.AddInt("ptr_hdwr" + suffix, hardware);
  sql.AddInt("ptr_fail" + suffix, failure);
  sql.AddInt("ptr_stat" + suffix, word);
}

void TLoop::PrinterEvent(int reader, const std::string& value) {
  if (!DatabaseUp()) return;
  int first = 0, second = 0;
  const std::string when = PrinterLogTime(Now());
  if (PrinterWords(value, first, second)) {
    if (MessLog)
      MessLog->LogFmt("PStat:%d %d Reader: %d Date:%s ... Status:%s 2nd: %s", first, second, reader,
                      when, PrinterStatusText(first), PrinterStatusText(second));
  } else {
    if (MessLog)
      MessLog->LogFmt("PStat:%d Reader: %d Date:%s ... Status:%s", first, reader, when,
                      PrinterStatusText(first));
  }
  if (EventLog) {
    EventLog->SetPrinterStatus(first);
    EventLog->AddEvent("PTR", TEventLog::kPrinter, reader);
  }
  TSql sql(*DB);
  AddPrinterColumns(sql, first, false);
  AddPrinterColumns(sql, second, true);
  std::string text;
  sql.BuildUpdate("UPDATE device", Format("WHERE loop_id = %d and addr_ess = %d", LoopId, reader),
                  text);
  TODBCStatement q(*DB);
  q.ExecSQL(text);
}

void TLoop::CounterEvent(int reader, const std::string& value) {
  if (reader <= 0) return;
  try {
    if (reader >= static_cast<int>(Counters.size()) || !Counters[reader]) return;
    std::string name = "Database error";
    if (DatabaseUp()) name = Counters[reader]->Process(value);
    if (DebugLog) {
      std::string nibbles;
      for (char c : value) {
        if (!nibbles.empty()) nibbles += ",";
        nibbles += std::to_string(static_cast<unsigned char>(c) & 0x0F);
      }
      Log("Counter event " + name + " input value: " + value + " = " + nibbles);
    }
  } catch (...) {
    Log("CounterEvent Exception!");
  }
}

void TLoop::CounterRestartEvent(int reader) {
  // No database work: the counter only forgets the values of before the
  // power-up, also while the database is down.
  if (reader <= 0 || reader >= static_cast<int>(Counters.size()) || !Counters[reader]) return;
  Counters[reader]->Restart();
  if (DebugLog) Log("Counters of address " + std::to_string(reader) + " restart from 0");
}

void TLoop::InputEvent(int reader, const std::string& value) {
  if (reader <= 0) return;
  try {
    if (reader >= static_cast<int>(Inputs.size()) || !Inputs[reader]) return;
    if (DatabaseUp()) Inputs[reader]->ProcessInput(value);
  } catch (...) {
    Log("InputEvent Exception, reader: " + std::to_string(reader) + " !");
  }
}

void TLoop::SetOnline(int reader, bool online) {
  if (!DatabaseUp()) return;
  TODBCStatement q(*DB);
  q.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", LoopId, reader);
  Log((online ? "PowerUp Event, Device: " : "Offline, Device: ") + q.FieldAsString("name"));
  if (online)
    q.ExecSQLFmt("UPDATE device SET online_flag = 1 WHERE loop_id = %d and addr_ess = %d", LoopId,
                 reader);
  else
    q.ExecSQLFmt("UPDATE device SET online_flag = 0 WHERE loop_id = %d and addr_ess = %d", LoopId,
                 reader);
}

void TLoop::OfflineEvent(int reader) { SetOnline(reader, false); }

void TLoop::PowerUpEvent(int reader) { SetOnline(reader, true); }

void TLoop::UpdateOutputs() {
  if (!Card) return;
  try {
    if (!DatabaseUp()) return;
    TODBCStatement soft(*DB);
    for (auto& counter : Counters)
      if (counter && counter->SoftCounter()) counter->CheckSoftCount(soft);

    for (const TLotFullDevice& device : ReadLotFullDevices()) UpdateLotFullDevice(device);
  } catch (const std::exception& e) {
    Log(std::string("EXCEPTION: UpdateOutputs ") + e.what());
  } catch (...) {
    Log("EXCEPTION: UpdateOutputs ");
  }
}

bool TLoop::ForceGate(int address, bool open) {
  if (!Card) return false;
  const bool held = Card->GetGate(address);
  if (open == held) return false;
  Card->SetGate(address, open);
  Monitor->GateHeld(address, open);
  if (DebugLog)
    Log("Loop id " + std::to_string(LoopId) + " address " + std::to_string(address) +
        (open ? " forced open" : " forced closed"));
  return true;
}

void TLoop::ManualOpen(int address, int pulse) {
  Log("Manual open Loop Id " + std::to_string(LoopId) + " address " + std::to_string(address));
  if (Card) Card->GateOpenMsg(address, true, pulse, "Manual Open");
  if (!DB) return;
  TODBCStatement q(*DB);
  q.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", LoopId, address);
  TSql sql(*DB);
  sql.AddDateTime("dat_e", Now());
  sql.AddInt("device_id", q.FieldAsInteger("id"));
  sql.AddInt("error_code", 999);
  sql.AddField("error_desc", "Manual Open", true);
  sql.AddFloat("cardno", 9999999);
  sql.AddField("device_name", q.FieldAsString("name"), true);
  sql.AddField("first_name", q.FieldAsString("remote_user"), true);
  sql.AddField("last_name", "IP:" + q.FieldAsString("remote_ip"), true);
  std::string text;
  sql.BuildInsert("INSERT INTO trans", "Values", text, "");
  q.ExecSQL(text);
}

}  // namespace orlo
