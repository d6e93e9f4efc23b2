// TLoop set-up and tear-down: the loop's own connection, the bus component
// with its handlers, texts and timing, the per-address tables of device kinds,
// counters and inputs, and the keys of the settings file.
#include "loop/loop.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <filesystem>

#include "bus/card.h"
#include "config/connparams.h"
#include "config/inifile.h"
#include "counters/counter.h"
#include "counters/input.h"
#include "db/odbc.h"
#include "db/odbcconn.h"
#include "db/rowcache.h"
#include "log/messlog.h"
#include "monitor/monitor.h"
#include "platform/format.h"
#include "platform/program.h"
#include "platform/text.h"

namespace orlo {

namespace {

constexpr char kSettings[] = "Settings";
constexpr char kMonitor[] = "Monitor";
constexpr int kLineTraceLimitMB = 100;

// Bus addresses the loop accepts from device rows. The bus itself polls 1..16;
// rows up to 99 still get counters and inputs (the set-up's search starts at
// 99), anything else could only size the tables without bound or index them
// below zero.
constexpr int kLowestAddress = 0;
constexpr int kHighestAddress = 99;

const char* DeviceKindText(TDeviceTypes kind) {
  switch (kind) {
    case dtCardReader:
      return "card reader";
    case dtTicketSpitter:
      return "ticket spitter";
    case dtBarcodeExit:
      return "barcode exit";
  }
  return "unknown kind";
}

// "3,5" or "3 5" -> {3, 5}; an item that is not a whole number gives 0.
std::vector<int> ParseLaneList(const std::string& text) {
  std::vector<int> lanes;
  std::string item;
  auto flush = [&] {
    if (item.empty()) return;
    int value = 0;
    auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), value);
    if (ec != std::errc() || end != item.data() + item.size()) value = 0;
    lanes.push_back(value);
    item.clear();
  };
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '\t')
      flush();
    else
      item += c;
  }
  flush();
  return lanes;
}

}  // namespace

TLoop::TLoop(const TLoopContext& context, int loopId)
    : MessLog(context.MessLog), MainLoop(context.MainLoop), Mail(context.Mail), LoopId(loopId) {
  if (context.Monitor) {
    Monitor = &context.Monitor->Loop(loopId);
  } else {
    ownMonitor_ = std::make_unique<TLoopMonitor>(loopId);
    Monitor = ownMonitor_.get();
  }
  try {
    TConnParams params;
    DebugLog = params.DebugLog;
    Conn = std::make_unique<TODBCConn>(700);
    DB = std::make_unique<TODBC>();
    Conn->SetODBC(DB.get());
    Conn->SetCounters(Monitor->DBCounters());
    Conn->SetLog(MessLog);
    Conn->SetParams(params.DSNName, params.ODBCDriver, params.Database, params.User, params.Pass,
                    params.ConnectOptions());
    Conn->SetPingHost(params.Host);
  } catch (const std::exception& e) {
    Log(std::string("TLoop Create - Exception: ") + e.what());
    return;
  }
  if (!Conn->IsConnected()) return;
  UpgradeSchema();
  CreateCardInterface();
}

TLoop::~TLoop() {
  if (Card) {
    Card->Close();
    Card.reset();
    EventLog.reset();
  }
  for (auto& counter : Counters) counter.reset();
  Counters.clear();
  for (auto& input : Inputs) input.reset();
  Inputs.clear();
  DeviceTypes.clear();
  Conn.reset();
  DB.reset();
  Monitor->Close();
}

void TLoop::Log(const std::string& line) const {
  if (MessLog) MessLog->Log(line);
}

void TLoop::CountPassage(int address) {
  if (address < 0 || address >= static_cast<int>(Counters.size())) return;
  if (Counters[address]) Counters[address]->AddSoftCount();
}

TDeviceTypes TLoop::DeviceTypeAt(int address) const {
  if (address < 0 || address >= static_cast<int>(DeviceTypes.size())) return dtCardReader;
  return DeviceTypes[address];
}

// Each report is counted once its handler is done (a card's after its answer
// went out).
void TLoop::BindHandlers() {
  Card->OnData = [this](int reader, const std::string& value) {
    CardDataEvent(reader, value);
    const TDeviceTypes kind = DeviceTypeAt(reader);
    Monitor->Report(reader,
                    kind == dtTicketSpitter ? TReportKind::Ticket
                    : kind == dtBarcodeExit ? TReportKind::Barcode
                                            : TReportKind::Card,
                    value);
  };
  Card->OnMemory = [this](int reader, const std::string& value) {
    MemoryDataEvent(reader, value);
    Monitor->Report(reader, TReportKind::MemoryCard, value);
  };
  Card->OnBarCode = [this](int reader, const std::string& value) {
    BarcodeEvent(reader, value);
    Monitor->Report(reader, TReportKind::Barcode, value);
  };
  Card->OnPrinter = [this](int reader, const std::string& value) {
    PrinterEvent(reader, value);
    Monitor->Report(reader, TReportKind::Printer, value);
  };
  Card->OnCounter = [this](int reader, const std::string& value) {
    CounterEvent(reader, value);
    Monitor->Report(reader, TReportKind::Counter, value);
  };
  // Raised for exactly the power-up reports ('P', 'p'); OnPowerUp also comes
  // with a device's first answer and its return.
  Card->OnCounterRestart = [this](int reader) {
    CounterRestartEvent(reader);
    Monitor->Report(reader, TReportKind::PowerUp, "");
  };
  Card->OnInput = [this](int reader, const std::string& value) {
    InputEvent(reader, value);
    Monitor->Report(reader, TReportKind::Input, value);
  };
  Card->OnError = [this](int reader) { OfflineEvent(reader); };
  Card->OnPowerUp = [this](int reader) { PowerUpEvent(reader); };
}

void TLoop::CreateCardInterface() {
  Card = std::make_unique<TCard>(*MainLoop);
  Card->SetLog(MessLog);
  Card->SetLineCounters(Monitor->LineCounters());
  BindHandlers();
  Monitor->SetUp(0);
  try {
    EventLog = std::make_unique<TEventLog>(DB.get(), LoopId);
    TODBCStatement loopRow(*DB);
    int lowest = 0;
    int highest = 0;
    if (!loopRow.ExecSQLFmt("SELECT * FROM " + DB->QuoteTable("loop") + " WHERE id = %d", LoopId)) {
      Log("Failed Card Init - No Loop id: " + std::to_string(LoopId));
    } else if (loopRow.FieldAsBoolean("enabled")) {
      Card->SetPort(loopRow.FieldAsInteger("port"));
      Monitor->SetUp(Card->Port());
      const bool rfModem = loopRow.FieldAsBoolean("rfmodem");
      Log(Format("Init Devices for LoopId %d Port %d", LoopId, Card->Port()));
      ReadDevices(lowest, highest);
      TIniFileEx ini(SettingsFileName());
      Card->SetFirstReader(lowest);
      Card->SetLastReader(highest);
      ReadSettings(ini, rfModem);
      if (Card->Open()) {
        Monitor->LineOpened(Card->FirstReader(), Card->LastReader());
        Log(Format("TCard - PollDly %d  TurnAround %d  RespDly %d  Baud %d  OffLineDly %d",
                   Card->PollDelay(), Card->TurnAround(), Card->RespDly(), Card->Baud(),
                   Card->OffLineDly()));
        Log(Format("Device started.  LoopId %d  First address: %d  Last address: %d", LoopId,
                   lowest, highest));
      } else {
        Log("Failed to open port COM" + std::to_string(Card->Port()) + " for loop id " +
            std::to_string(LoopId));
      }
    } else if (UpperCase(loopRow.FieldAsString("name")) == "POE/POF") {
      CreateSoftCounters();
    }
    RaiseLotFullFlags();
    Log("CreateCardInterface - Done");
  } catch (const std::exception& e) {
    // Say what failed (an unreadable settings file names itself here).
    Log(std::string("CreateCardInterface - Exception: ") + e.what());
  } catch (...) {
    Log("CreateCardInterface - Exception");
  }
}

bool TLoop::UsableAddress(int address) {
  if (address >= kLowestAddress && address <= kHighestAddress) return true;
  Log("Device address " + std::to_string(address) + " out of range for loop id " +
      std::to_string(LoopId) + " - ignored");
  return false;
}

void TLoop::ReadDevices(int& lowest, int& highest) {
  TODBCStatement devices(*DB);
  if (!devices.ExecSQLFmt("SELECT * FROM device WHERE loop_id=%d", LoopId)) {
    Log(Format("No devices found for loop id %d", LoopId));
    return;
  }
  lowest = 99;
  highest = -99;
  TODBCStatement messages(*DB);
  do {
    const int address = devices.FieldAsInteger("addr_ess");
    if (!UsableAddress(address)) continue;
    const int msgId = devices.FieldAsInteger("msg_id");
    if (messages.ExecSQLFmt("SELECT idle,gateup FROM messages WHERE id=%d", msgId)) {
      Card->SetIdleMsg(address, messages.FieldAsString("idle"));
      Card->SetGateUpMsg(address, messages.FieldAsString("gateup"));
    } else {
      Card->SetIdleMsg(address, "Default message");
      Card->SetGateUpMsg(address, "Device activated");
    }
    if (static_cast<int>(DeviceTypes.size()) < address + 1) DeviceTypes.resize(address + 1);
    DeviceTypes[address] = static_cast<TDeviceTypes>(devices.FieldAsInteger("device_type"));
    Monitor->AddDevice(address, devices.FieldAsString("name"),
                       DeviceKindText(DeviceTypes[address]));
    lowest = std::min(lowest, address);
    highest = std::max(highest, address);
  } while (devices.dbSkip());

  if (highest < lowest) {  // every row had an unusable address
    lowest = highest = 0;
    return;
  }
  Counters.resize(highest + 1);
  for (int a = lowest; a <= highest; ++a)
    Counters[a] = std::make_unique<TCounter>(MessLog, false, a, LoopId, DB.get());
  Inputs.resize(highest + 1);
  TCard* card = Card.get();
  auto pulse = [card](int address, int output, int duration) {
    card->PulseOutput(address, output, duration);
  };
  for (int a = lowest; a <= highest; ++a)
    Inputs[a] = std::make_unique<TInput>(LoopId, DB.get(), EventLog.get(), MessLog, pulse, a);
}

void TLoop::ReadSettings(TIniFileEx& ini, bool rfModem) {
  if (rfModem) {
    Log("NOTE: Using RF Modem Mode for loop id " + std::to_string(LoopId));
    Card->SetRespDly(200);
    Card->SetTurnAround(100);
  } else {
    Card->SetRespDly(ini.ReadIntegerEx(kSettings, "RespDelay", Card->RespDly()));
    Card->SetTurnAround(ini.ReadIntegerEx(kSettings, "TurnAround", Card->TurnAround()));
    Card->SetPollDelay(ini.ReadIntegerEx(kSettings, "PollDelay", Card->PollDelay()));
  }
  Card->SetPayOnFoot(ini.ReadBoolEx(kSettings, "PayOnFoot Poll", false));
  Card->SetNoInputs(ini.ReadBoolEx(kSettings, "Inputs Off", false));
  Card->SetNoCounters(ini.ReadBoolEx(kSettings, "Counters Off", false));
  SyncMinutes = ini.ReadIntegerEx(kSettings, "Sync Readers every XX minutes", 0);
  SyncCount = 0;
  GraceTime = ini.ReadIntegerEx(kSettings, "Grace Time from POF (minutes)", 15);
  ExtendedGraceLanes = ParseLaneList(ini.ReadStringEx(kSettings, "Extended Grace Lane", ""));
  GraceTimeExtended = ini.ReadIntegerEx(kSettings, "Grace Time from POF Extended (minutes)", 15);
  GraceTimeFuture = ini.ReadIntegerEx(kSettings, "Grace Time Future", 15);
  OldTicketFormat = ini.ReadBoolEx(kSettings, "Old Ticket Format?", false);
  SyncExitReader = ini.ReadBoolEx(kSettings, "Sync Exit Reader", true);
  FlatRate = ini.ReadBoolEx(kSettings, "Flat Rate Flag", false);
  EmailServer = ini.ReadStringEx(kSettings, "Email Server", "");
  EmailPort = ini.ReadIntegerEx(kSettings, "Email Port", 25);
  EmailFrom = ini.ReadStringEx(kSettings, "Email From", "");
  EmailTo = ini.ReadStringEx(kSettings, "Email To", "");
  LowSecurityOnDBError = ini.ReadBoolEx(kSettings, "Low Security on DB Error", false);
  ReadConfigCache(ini);
  ReadLineTrace(ini);
}

void TLoop::ReadConfigCache(TIniFileEx& ini) {
  int seconds = ini.ReadIntegerEx(kSettings, "Config Cache (seconds)", 0);
  if (seconds < 0) {
    Log(Format("Config Cache (seconds) %d is no time; 0 taken (no cache)", seconds));
    seconds = 0;
  }
  ConfigCache = std::make_unique<TRowCache>(std::chrono::seconds(seconds));
  if (seconds > 0)
    Log(Format("Configuration rows of card decisions are kept for %d seconds", seconds));
}

void TLoop::ReadLineTrace(TIniFileEx& ini) {
  TLineTraceSettings trace;
  trace.enabled = ini.ReadBoolEx(kMonitor, "Line Trace", false);
  int limitMB = ini.ReadIntegerEx(kMonitor, "Line Trace Limit (MB)", kLineTraceLimitMB);
  if (limitMB <= 0) {
    Log(Format("Line Trace Limit (MB) %d is no size; %d taken", limitMB, kLineTraceLimitMB));
    limitMB = kLineTraceLimitMB;
  }
  trace.maxBytes = static_cast<std::uint64_t>(limitMB) * 1024 * 1024;
  trace.folder = (std::filesystem::path(HomeFolder()) / "trace").string();
  trace.loopId = LoopId;
  Card->SetLineTrace(trace);
}

void TLoop::CreateSoftCounters() {
  TIniFileEx ini(SettingsFileName());
  if (ini.ReadBoolEx(kSettings, "NoRemoteCounts", false)) return;
  TODBCStatement devices(*DB);
  int lowest = 99;
  int highest = -99;
  for (bool ok = devices.ExecSQLFmt("SELECT * FROM device WHERE loop_id=%d", LoopId); ok;
       ok = devices.dbSkip()) {
    const int address = devices.FieldAsInteger("addr_ess");
    if (!UsableAddress(address)) continue;
    lowest = std::min(lowest, address);
    highest = std::max(highest, address);
  }
  if (highest < 0) return;
  Counters.resize(highest + 1);
  for (int a = lowest; a <= highest; ++a) {
    Counters[a] = std::make_unique<TCounter>(MessLog, true, a, LoopId, DB.get());
    Log("Created POE/POF soft counter for address " + std::to_string(a));
  }
}

void TLoop::RaiseLotFullFlags() {
  TODBCStatement q(*DB);
  q.ExecSQLFmt("UPDATE device SET lf_sign_flag = 1 WHERE loop_id = %d and lf_sign <> 0", LoopId);
  q.ExecSQLFmt("UPDATE device SET lf_output_flag = 1 WHERE loop_id = %d and lf_enabled <> 0",
               LoopId);
}

}  // namespace orlo
