// TOrloCard start-up and shut-down: the log, the service-wide connection, the
// loops of this computer and the "POE/POF" loops, the mail worker.
#include <exception>

#include "config/connparams.h"
#include "config/inifile.h"
#include "config/registryex.h"
#include "db/odbc.h"
#include "db/odbcconn.h"
#include "log/messlog.h"
#include "loop/loop.h"
#include "mail/mailworker.h"
#include "monitor/monitor.h"
#include "platform/program.h"
#include "platform/registrystore.h"
#include "platform/text.h"
#include "service/jobs.h"
#include "service/orlocard.h"

namespace orlo {

namespace {

constexpr int kPingTimeoutMs = 700;

std::string LogFileName() { return HomeFolder() + "/log/tolvsql.log"; }

}  // namespace

bool TOrloCard::StartUp() {
  bool result = false;
  try {
    MessLog = std::make_unique<TMessLog>(LogFileName(), /*deleteOld=*/true, /*daily=*/true,
                                         /*byDayOfMonth=*/false, /*noStartHeader=*/false);
    MessLog->SetCounters(Monitor->LogCounters());
    LogRegistryProblems();
    ConfigureMonitor();
    Mail = std::make_unique<TMailWorker>(*MessLog, TMailTimeouts{}, TMailWorker::kDefaultCapacity,
                                         Monitor->MailCounters());
    {
      TConnParams params;
      Log("Starting server, Reading Registry");
      Log("Connecting to: " + params.Host + ", Database: " + params.Database);
      DBConn = std::make_unique<TODBCConn>(kPingTimeoutMs);
      DB = std::make_unique<TODBC>();
      DBConn->SetODBC(DB.get());
      DBConn->SetCounters(Monitor->Connection("service"));
      DBConn->SetLog(MessLog.get());
      DBConn->SetParams(params.DSNName, params.ODBCDriver, params.Database, params.User,
                        params.Pass, params.ConnectOptions());
      DBConn->SetPingHost(params.Host);
    }
    if (DBConn->IsConnected()) {
      CreateLoops();
      ClearRestartRequest();
    } else {
      Log("Failed connection, check ODBC install and parameters, retrying in 20 seconds");
    }
    result = !Loops.empty();
  } catch (const std::exception& e) {
    result = false;
    Log(std::string("StartUp - Exception: ") + e.what());
  } catch (...) {
    result = false;
    Log("StartUp - Exception: unknown");
  }
  timMain.SetEnabled(result);
  Started = result;
  if (result)
    Log("Started!");
  else
    ShutDown();
  Monitor->Publish();
  return result;
}

void TOrloCard::ConfigureMonitor() {
  try {
    TIniFileEx ini(SettingsFileName());
    Monitor->Configure(TMonitorSettings::Read(ini), MessLog.get());
  } catch (const std::exception& e) {
    // An unreadable settings file is the loops' to report; the monitor keeps
    // what it had.
    Log(std::string("Monitor settings not read: ") + e.what());
  }
}

void TOrloCard::LogRegistryProblems() {
  const std::string file = RegistryFileName();
  const TRegistryStore store = TRegistryStore::Load(file);
  if (!store.ReadError().empty())
    Log("Registry store " + file + " cannot be read (" + store.ReadError() +
        "): the connection parameters take their defaults");
  for (const std::string& problem : store.Problems())
    Log("Registry store " + file + ": skipped " + problem);
}

void TOrloCard::CreateLoops() {
  ComputerName = LowerCase(ReadComputerName());
  TLoopContext context;
  context.MessLog = MessLog.get();
  context.MainLoop = &mainLoop_;
  context.Mail = Mail.get();
  context.Monitor = Monitor.get();
  std::vector<int> own, shared;
  ReadLoopIds(*DB, ComputerName, own, shared);

  // "(4,9)"; empty without a loop of our own, and the open-flag check is skipped.
  std::string idList;
  for (int id : own) {
    Loops.push_back(std::make_unique<TLoop>(context, id));
    idList += (idList.empty() ? "(" : ",") + std::to_string(id);
  }
  LoopIdList = idList.empty() ? idList : idList + ")";

  for (int id : shared) Loops.push_back(std::make_unique<TLoop>(context, id));

  if (!Loops.empty())
    Log("Loops FOUND for computer name \"" + ComputerName + "\"");
  else
    Log("No loops found for this computer name \"" + ComputerName + "\"");
}

// A pending restart request is cleared; an empty settings table gets its row.
// The row is inserted only when the table is seen empty afterwards: an UPDATE
// that changed nothing (a driver counting changed rather than matched rows)
// must never add a second row, and a failing statement must not add one.
void TOrloCard::ClearRestartRequest() {
  TODBCStatement q(*DB);
  if (q.ExecSQL("UPDATE settings SET reset_tolvsql = 0") && !q.Eof()) return;
  TODBCStatement check(*DB);
  if (check.ExecSQL("SELECT reset_tolvsql FROM settings") || !check.Eof()) return;
  q.ExecSQL("INSERT into settings (reset_tolvsql) values (0)");
}

void TOrloCard::ShutDown() {
  Log("ShutDown...");
  timMain.SetEnabled(false);
  for (auto& loop : Loops) loop.reset();  // in list order: ports, poll threads, connections
  Loops.clear();
  LoopIdList.clear();
  DBConn.reset();
  DB.reset();
  if (Mail) Mail->Stop();  // the loops that queued card mail are gone
  Mail.reset();
  MessLog.reset();  // writes "End Log"
  Started = false;
  Monitor->Publish();
}

bool TOrloCard::Connected() { return DB && DBConn && DBConn->IsConnected(); }

}  // namespace orlo
