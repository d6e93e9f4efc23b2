// TODBCConn and its check thread TProcessConn.
#include "db/odbcconn.h"

#include <chrono>
#include <exception>

#include "db/odbc.h"
#include "log/messlog.h"

namespace orlo {

TProcessConn::TProcessConn(TODBCConn& owner, int periodMs)
    : owner_(owner), periodMs_(periodMs), thread_([this](std::stop_token st) { Run(st); }) {}

TProcessConn::~TProcessConn() { Stop(); }

void TProcessConn::Stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
}

void TProcessConn::Run(std::stop_token stop) {
  while (!stop.stop_requested()) {
    // Until the owner has connected once, its callers make the attempts.
    if (!owner_.FirstTime()) {
      try {
        status_ = owner_.ConnectToODBC();
      } catch (...) {
      }
    }
    std::unique_lock lock(sleepLock_);
    wake_.wait_for(lock, stop, std::chrono::milliseconds(periodMs_), [] { return false; });
  }
}

TODBCConn::TODBCConn(int pingTimeout)
    : pingTimeout_(pingTimeout), counters_(std::make_shared<TDBCounters>()), thread_(*this) {}

TODBCConn::~TODBCConn() {
  LogLine("Stopping CheckConn Thread...");
  try {
    thread_.Stop();
  } catch (...) {
  }
  LogLine("Stopped!");
  TLockGuard guard(checkLock_);
  Disconnect();
  counters_->state = TDBCounters::Down;
}

void TODBCConn::SetODBC(TODBC* odbc) {
  TLockGuard guard(checkLock_);
  odbc_ = odbc;
}

void TODBCConn::SetLog(TMessLog* log) {
  TLockGuard guard(checkLock_);
  log_ = log;
  if (odbc_ && !odbc_->Log()) odbc_->SetLog(log);
}

void TODBCConn::SetParams(const std::string& DSN, const std::string& Driver,
                          const std::string& Database, const std::string& User,
                          const std::string& Password, const std::string& Options) {
  TLockGuard guard(checkLock_);
  dsn_ = DSN;
  driver_ = Driver;
  database_ = Database;
  user_ = User;
  password_ = Password;
  options_ = Options;
}

void TODBCConn::SetCounters(std::shared_ptr<TDBCounters> counters) {
  if (!counters) return;
  TLockGuard guard(checkLock_);
  counters_ = std::move(counters);
  if (odbc_) odbc_->SetCounters(counters_);
}

void TODBCConn::SetPingFunc(TPingFunc ping) {
  TLockGuard guard(checkLock_);
  ping_ = std::move(ping);
}

bool TODBCConn::IsConnected() {
  if (firstTime_) return ConnectToODBC();
  return thread_.Status() && odbc_ && odbc_->Healthy(kStallLimit);
}

bool TODBCConn::LinkUsable() {
  // Busy: statement work holds the connection and has not stalled, so the
  // server is answering.
  if (odbc_->CheckLink(kProbeIdle) != TODBC::TLinkState::Dead) return true;
  LogLine("ODBC Connection 'Dead'!");
  try {
    Disconnect();
  } catch (...) {
  }
  return false;
}

bool TODBCConn::ConnectToODBC() {
  TLockGuard guard(checkLock_);
  if (!odbc_) {
    LogLine("TODBC Could not be Created!");
    return false;
  }
  // A call stuck on a silent server holds the connection: nothing can be
  // asked on it, and it ends at the driver's time-out, which drops the link.
  // Until then the check gives no verdict; IsConnected answers false from the
  // stall itself, and true again at once should the server answer after all.
  if (odbc_->CallStalled(kStallLimit)) {
    if (!stallLogged_) {
      LogLine("ODBC Connection not answering!");
      counters_->timeouts.fetch_add(1, std::memory_order_relaxed);
    }
    stallLogged_ = true;
    counters_->state = TDBCounters::NotAnswering;
    return thread_.Status();
  }
  stallLogged_ = false;
  try {
    bool ok = odbc_->Connected();
    bool wasDown = !ok;
    if (ok && !LinkUsable()) {
      ok = false;
      wasDown = true;
    }
    if (!ok) {
      try {
        ok = Connect();
      } catch (...) {
        LogLine("Exception: ODBC Connect!");
        ok = false;
      }
    }
    if (odbc_->Connected() && wasDown) {
      LogLine("Connected to DataSource!");
      if (!firstTime_) counters_->reconnects.fetch_add(1, std::memory_order_relaxed);
    }
    if (!ok) {
      LogLine("Could not connect to DataSource, check your setup...");
      Disconnect();
    } else if (firstTime_) {
      firstTime_ = false;
    }
    counters_->state = ok ? TDBCounters::Up : TDBCounters::Down;
    return ok;
  } catch (...) {
    LogLine("EXCEPTION: ConnectToODBC!");
    return odbc_->Connected();
  }
}

bool TODBCConn::Connect() {
  if (log_) {
    odbc_->SetReportErrors(true);
    odbc_->SetLog(log_);
    if (!database_.empty())
      LogLine("Connecting to " + database_);
    else if (!user_.empty())
      LogLine("Connecting as " + user_);
  } else {
    odbc_->SetReportErrors(false);
  }
  bool ok = pingTimeout_ > 0 ? Ping() : true;
  if (ok) ok = odbc_->ConnectToDataSource(dsn_, user_, password_, database_, driver_, options_);
  odbc_->SetBindColumns(true);
  if (log_) odbc_->SetReportErrors(true);
  if (!ok) Disconnect();
  return ok;
}

void TODBCConn::Disconnect() {
  if (!odbc_) return;
  odbc_->DisconnectFromDataSource();
  if (odbc_->Connected()) LogLine("Problem Disconnecting from the DataSource!");
}

bool TODBCConn::Ping() {
  // Shorter than any dotted IPv4 address: no host worth pinging.
  if (pingHost_.size() < 7) return true;
  LogLine("Pinging - " + pingHost_);
  bool ok = false;
  try {
    for (int attempt = 0; attempt < 3; ++attempt) {
      TPingResult r = ping_ ? ping_(pingHost_, pingTimeout_) : IcmpEcho(pingHost_, pingTimeout_);
      if (r.outcome == TPingOutcome::Reply) {
        ok = true;
        break;
      }
      if (r.outcome == TPingOutcome::Error) {
        LogLine("Ping Exception - " + r.message);
        break;
      }
      if (r.outcome == TPingOutcome::Failed) break;
    }
  } catch (const std::exception& e) {
    LogLine(std::string("Ping Exception - ") + e.what());
    ok = false;
  }
  LogLine(ok ? "Ping OK" : "Ping FAIL");
  return ok;
}

void TODBCConn::LogLine(const std::string& text) {
  if (log_) log_->Log(text);
}

}  // namespace orlo
