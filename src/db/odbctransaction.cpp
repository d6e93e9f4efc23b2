// Transactions on a TODBC, and TODBCTransaction, the scope that groups a
// decision's statements and tells whether its work is on record.
#include "db/odbc.h"
#include "db/odbccore.h"

namespace orlo {

namespace detail {

bool OdbcCore::SetAutocommit(bool on) {
  SQLRETURN rc;
  {
    ServerCall call(*this);
    rc = api.SQLSetConnectAttr(
        dbc, SQL_ATTR_AUTOCOMMIT,
        reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER);
  }
  if (!Succeeded(rc)) {
    const TDBError error = FirstDiagnostic(api, SQL_HANDLE_DBC, dbc);
    NoteFailure(error);
    if (reportErrors) LogNow(error.Text());
    return false;
  }
  autocommitOff = !on;
  return true;
}

}  // namespace detail

namespace {

using detail::OdbcCore;
using detail::Succeeded;

// Ends the open transaction. A failed commit is always a fault: whatever
// the driver reports, the work is not known to be on record.
bool EndTran(OdbcCore& c, SQLSMALLINT completion) REQUIRES(c.lock) {
  // A disconnect in between has ended the transaction with its link, and a
  // new connection starts in autocommit mode: nothing is left to end.
  if (!c.Usable() || !c.autocommitOff) return completion == SQL_COMMIT && c.Usable();
  // Nothing ran since the last commit: nothing to end, and no round trip.
  if (!c.workSinceCommit) return true;
  SQLRETURN rc;
  {
    detail::ServerCall call(c);
    rc = c.api.SQLEndTran(SQL_HANDLE_DBC, c.dbc, completion);
  }
  if (Succeeded(rc)) {
    c.workSinceCommit = false;
    return true;
  }
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
  if (!c.Usable() || (!c.autocommitOff && !c.SetAutocommit(false))) return false;
  c.transactionOpen = true;
  return true;
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
  c.transactionOpen = false;  // autocommit stays off until a statement runs outside a transaction
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
