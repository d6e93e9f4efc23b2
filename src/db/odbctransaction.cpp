// Transactions on a TODBC, and TODBCTransaction, the scope that groups a
// decision's statements and tells whether its work is on record.
#include "db/odbc.h"
#include "db/odbccore.h"

namespace orlo {

namespace {

using detail::OdbcCore;
using detail::Succeeded;

// Switches autocommit; on MySQL-family servers this is a round trip.
bool SetAutocommit(OdbcCore& c, bool on) REQUIRES(c.lock) {
  SQLRETURN rc;
  {
    detail::ServerCall call(c);
    rc = c.api.SQLSetConnectAttr(
        c.dbc, SQL_ATTR_AUTOCOMMIT,
        reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER);
  }
  if (!Succeeded(rc)) {
    const TDBError error = detail::FirstDiagnostic(c.api, SQL_HANDLE_DBC, c.dbc);
    c.NoteFailure(error);
    if (c.reportErrors) c.LogNow(error.Text());
    return false;
  }
  c.autocommitOff = !on;
  return true;
}

// Ends the open transaction. A failed commit is always a fault: whatever
// the driver reports, the work is not known to be on record.
bool EndTran(OdbcCore& c, SQLSMALLINT completion) REQUIRES(c.lock) {
  // A disconnect in between has ended the transaction with its link, and a
  // new connection starts in autocommit mode: nothing is left to end.
  if (!c.Usable() || !c.autocommitOff) return completion == SQL_COMMIT && c.Usable();
  SQLRETURN rc;
  {
    detail::ServerCall call(c);
    rc = c.api.SQLEndTran(SQL_HANDLE_DBC, c.dbc, completion);
  }
  if (Succeeded(rc)) return true;
  const TDBError error = detail::FirstDiagnostic(c.api, SQL_HANDLE_DBC, c.dbc);
  if (completion == SQL_COMMIT) {
    c.counters->commitFailures.fetch_add(1, std::memory_order_relaxed);
    c.LogNow("Transaction commit failed: " + error.Text());
    if (c.NoteFailure(error) == TDBFault::None) c.CountFault(TDBFault::None, error);
  } else {
    c.LogNow("Transaction rollback failed: " + error.Text());
    c.NoteFailure(error);
  }
  return false;
}

}  // namespace

bool TODBC::BeginTransaction() {
  auto& c = *core_;
  TLockGuard guard(c.lock);
  return c.Usable() && SetAutocommit(c, false);
}

bool TODBC::CommitTransaction() {
  TLockGuard guard(core_->lock);
  return EndTran(*core_, SQL_COMMIT);
}

bool TODBC::RollbackTransaction() {
  TLockGuard guard(core_->lock);
  return EndTran(*core_, SQL_ROLLBACK);
}

bool TODBC::EndTransaction() {
  auto& c = *core_;
  TLockGuard guard(c.lock);
  const bool committed = EndTran(c, SQL_COMMIT);
  if (c.Usable() && c.autocommitOff) SetAutocommit(c, true);
  return committed;
}

TODBCTransaction::TODBCTransaction(TODBC& odbc)
    : odbc_(odbc),
      mark_(odbc.FaultCount()),
      open_(IsServerDatabase(odbc.DBKind()) && odbc.BeginTransaction()) {}

TODBCTransaction::~TODBCTransaction() {
  try {
    if (!open_) return;
    if (Voided()) odbc_.RollbackTransaction();
    odbc_.EndTransaction();
  } catch (...) {
  }
}

bool TODBCTransaction::Voided() const { return odbc_.FaultCount() != mark_; }

bool TODBCTransaction::Commit() {
  bool onRecord = !Voided();
  if (open_) onRecord = onRecord ? odbc_.CommitTransaction() : (odbc_.RollbackTransaction(), false);
  fault_ = TDBFault::None;
  faultError_ = {};
  if (!onRecord) {
    fault_ = odbc_.LastFaultKind();
    faultError_ = odbc_.LastFault();
  }
  mark_ = odbc_.FaultCount();
  return onRecord;
}

}  // namespace orlo
