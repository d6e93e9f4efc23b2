// TODBCStatement: execute, result description, bound text buffers and the
// typed column readers.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "db/dbrow.h"
#include "db/odbc.h"
#include "db/odbccore.h"
#include "log/messlog.h"
#include "platform/text.h"

namespace orlo {

namespace {

using detail::OdbcCore;
using detail::StatementState;
using detail::Succeeded;

// Text columns are bound with room for this many bytes per character the
// driver counts in its display size: UTF-8 text needs up to four.
constexpr SQLLEN kBytesPerChar = 4;
// Columns wider than this are read with SQLGetData instead of a bound buffer,
// so a huge declared size (BLOB, LONGTEXT under another type) cannot make a
// huge allocation.
constexpr SQLLEN kMaxBoundSize = 65535;
// A value read with SQLGetData is cut at this size.
constexpr size_t kMaxLongText = 16u << 20;

TColCategory CategoryOf(SQLSMALLINT type) {
  switch (type) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      return ccText;
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_TINYINT:
    case SQL_BIGINT:
      return ccInteger;
    case SQL_NUMERIC:
    case SQL_DECIMAL:
    case SQL_FLOAT:
    case SQL_REAL:
    case SQL_DOUBLE:
      return ccDecimal;
    case SQL_BIT:
      return ccBit;
    case SQL_TYPE_DATE:
      return ccDate;
    case SQL_TIME:
    case SQL_TYPE_TIME:
      return ccTime;
    case SQL_DATETIME:
    case SQL_TIMESTAMP:
    case SQL_TYPE_TIMESTAMP:
      return ccDateTime;
    case SQL_LONGVARCHAR:
    case SQL_WLONGVARCHAR:
      return ccLongText;
    default:
      return ccUnsupported;
  }
}

// Case-insensitive lookup; the first of equal names wins.
int IndexOf(const StatementState& st, std::string_view name) {
  const auto& cols = st.cols;
  for (size_t i = 0; i < cols.size(); ++i)
    if (SameText(cols[i].name, name)) return static_cast<int>(i);
  return -1;
}

void ClearResult(StatementState& st) {
  st.onRow = false;
  st.cols.clear();
  st.bufs.clear();
  st.fetched.clear();
}

}  // namespace

namespace detail {

// Frees a statement's driver handle; the statement object lives on, unallocated.
void ReleaseHandle(OdbcCore& c, StatementState& st) REQUIRES(c.lock) {
  if (st.allocated) {
    SQLHSTMT h = st.handle;
    c.Report(SQL_HANDLE_STMT, h, c.api.SQLCancel(h));
    c.Report(SQL_HANDLE_STMT, h, c.api.SQLFreeStmt(h, SQL_CLOSE));
    c.Report(SQL_HANDLE_STMT, h, c.api.SQLFreeStmt(h, SQL_UNBIND));
    c.Report(SQL_HANDLE_STMT, h, c.api.SQLFreeStmt(h, SQL_RESET_PARAMS));
    c.Report(SQL_HANDLE_STMT, h, c.api.SQLFreeHandle(SQL_HANDLE_STMT, h));
  }
  st.handle = SQL_NULL_HSTMT;
  st.allocated = false;
  st.canRefresh = false;
  ClearResult(st);
}

void OdbcCore::ReleaseStatements() {
  for (TODBCStatement* s : registry)
    if (s) ReleaseHandle(*this, *s->st_);
  registry.clear();
}

void OdbcCore::NoteStatement(const std::string& sql, bool ok,
                             std::chrono::steady_clock::duration took) {
  counters->latency.Observe(took);
  counters->statements.fetch_add(1, std::memory_order_relaxed);
  if (!ok) counters->failures.fetch_add(1, std::memory_order_relaxed);
  if (observer) observer(sql, ok);
}

}  // namespace detail

namespace {

// Cursor set-up of a fresh handle (concurrency, cursor type, refresh ability).
void SetUpCursor(OdbcCore& c, StatementState& st) REQUIRES(c.lock) {
  auto& api = c.api;
  SQLHSTMT h = st.handle;
  for (SQLULEN conc : {SQL_CONCUR_ROWVER, SQL_CONCUR_VALUES, SQL_CONCUR_LOCK})
    if (api.SQLSetStmtAttr(h, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(conc), 0) !=
        SQL_ERROR)
      break;
  api.SQLSetStmtAttr(h, SQL_ATTR_METADATA_ID, reinterpret_cast<SQLPOINTER>(SQL_FALSE), 0);
  c.Report(SQL_HANDLE_STMT, h,
           api.SQLSetStmtAttr(h, SQL_ATTR_CURSOR_TYPE,
                              reinterpret_cast<SQLPOINTER>(SQL_CURSOR_DYNAMIC), 0));
  SQLULEN type = SQL_CURSOR_FORWARD_ONLY;
  if (c.kind == dbkOracle || c.kind == dbkMySQL) {
    api.SQLGetStmtAttr(h, SQL_ATTR_CURSOR_TYPE, &type, 0, nullptr);
    if ((c.kind == dbkOracle && type == SQL_CURSOR_KEYSET_DRIVEN) ||
        (c.kind == dbkMySQL && type == SQL_CURSOR_STATIC))
      c.Report(SQL_HANDLE_STMT, h,
               api.SQLSetStmtAttr(h, SQL_ATTR_CURSOR_TYPE,
                                  reinterpret_cast<SQLPOINTER>(SQL_CURSOR_FORWARD_ONLY), 0));
  }
  type = SQL_CURSOR_FORWARD_ONLY;
  c.Report(SQL_HANDLE_STMT, h, api.SQLGetStmtAttr(h, SQL_ATTR_CURSOR_TYPE, &type, 0, nullptr));
  SQLUSMALLINT info = type == SQL_CURSOR_KEYSET_DRIVEN ? SQL_KEYSET_CURSOR_ATTRIBUTES1
                      : type == SQL_CURSOR_DYNAMIC     ? SQL_DYNAMIC_CURSOR_ATTRIBUTES1
                      : type == SQL_CURSOR_STATIC      ? SQL_STATIC_CURSOR_ATTRIBUTES1
                                                       : SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES1;
  SQLUINTEGER attrs = 0;
  c.ReportDbc(api.SQLGetInfo(c.dbc, info, &attrs, sizeof attrs, nullptr));
  st.canRefresh = (attrs & SQL_CA1_POS_REFRESH) != 0 && type != SQL_CURSOR_STATIC;
  c.Report(SQL_HANDLE_STMT, h,
           api.SQLSetStmtAttr(h, SQL_ATTR_MAX_ROWS, reinterpret_cast<SQLPOINTER>(0), 0));
}

void DescribeColumns(OdbcCore& c, StatementState& st) REQUIRES(c.lock) {
  auto& api = c.api;
  SQLHSTMT h = st.handle;
  ClearResult(st);
  SQLSMALLINT n = 0;
  if (!Succeeded(api.SQLNumResultCols(h, &n)) || n <= 0) return;
  st.cols.resize(n);
  st.bufs.resize(n);
  st.fetched.resize(n);
  for (SQLUSMALLINT i = 0; i < n; ++i) {
    auto& col = st.cols[i];
    SQLCHAR name[256] = {};
    SQLSMALLINT nameLen = 0, type = SQL_CHAR, digits = 0, nullable = 0;
    SQLULEN colSize = 0;
    SQLRETURN rc = api.SQLDescribeCol(h, i + 1, name, sizeof name, &nameLen, &type, &colSize,
                                      &digits, &nullable);
    if (!Succeeded(rc)) {
      type = SQL_CHAR;
      c.Report(SQL_HANDLE_STMT, h, rc);
    }
    SQLLEN size = 0;
    c.Report(SQL_HANDLE_STMT, h,
             api.SQLColAttribute(h, i + 1, SQL_DESC_DISPLAY_SIZE, nullptr, 0, nullptr, &size));
    if (c.kind == dbkSQLServer && type == SQL_VARCHAR && size == 0) size = 8000;
    col.name = UpperCase(std::string_view(reinterpret_cast<char*>(name),
                                          strnlen(reinterpret_cast<char*>(name), 128)));
    col.category = CategoryOf(type);
    if (col.category == ccUnsupported) size = 0;
    col.size = size;
  }
  for (SQLUSMALLINT i = 0; i < n; ++i) {
    auto& col = st.cols[i];
    SQLLEN size = col.size <= 0 ? 10 : col.size;
    if (col.category == ccInteger || col.category == ccDecimal) size += 20;
    if (col.category == ccText) size = size * kBytesPerChar + 20;
    if (col.category == ccLongText || !st.bindColumns || size > kMaxBoundSize) {
      st.bufs[i].assign(1, 0);
      continue;
    }
    st.bufs[i].assign(size + 2, 0);
    SQLRETURN rc =
        api.SQLBindCol(h, i + 1, SQL_C_CHAR, st.bufs[i].data(), size + 1, &st.cols[i].ind);
    c.Report(SQL_HANDLE_STMT, h, rc);
    col.bound = Succeeded(rc);
  }
}

// Keeps the driver's report of a failed call for LastError and lets the
// connection judge what it means (a lost link, a deadlock, ...).
void NoteStatementFailure(OdbcCore& c, StatementState& st) REQUIRES(c.lock) {
  st.lastError = detail::FirstDiagnostic(c.api, SQL_HANDLE_STMT, st.handle);
  c.NoteFailure(st.lastError);
}

bool Fetch(OdbcCore& c, StatementState& st) REQUIRES(c.lock) {
  for (auto& b : st.bufs) b[0] = 0;
  for (auto& f : st.fetched) f.reset();
  for (auto& col : st.cols) col.ind = 0;
  SQLRETURN rc;
  {
    detail::ServerCall call(c);
    rc = c.api.SQLFetch(st.handle);
  }
  if (rc == SQL_ERROR) NoteStatementFailure(c, st);
  st.onRow = Succeeded(rc);
  return st.onRow;
}

// The text of an unbound column, read once per row with SQLGetData in pieces
// (some drivers cannot give the total length up front).
const std::string& ReadUnbound(OdbcCore& c, StatementState& st, int i) REQUIRES(c.lock) {
  auto& slot = st.fetched[i];
  if (slot) return *slot;
  std::string out;
  char chunk[4096];
  bool refreshed = false;
  for (;;) {
    SQLLEN len = 0;
    SQLRETURN rc = c.api.SQLGetData(st.handle, i + 1, SQL_C_CHAR, chunk, sizeof chunk, &len);
    if (rc == SQL_NO_DATA && out.empty() && st.canRefresh && !refreshed) {
      refreshed = true;
      if (c.api.SQLSetPos(st.handle, 1, SQL_REFRESH, SQL_LOCK_NO_CHANGE) != SQL_ERROR) continue;
    }
    if (!Succeeded(rc) || len == SQL_NULL_DATA) break;
    size_t got = (len == SQL_NO_TOTAL || len >= static_cast<SQLLEN>(sizeof chunk))
                     ? sizeof chunk - 1
                     : static_cast<size_t>(len);
    out.append(chunk, strnlen(chunk, got));
    if (rc == SQL_SUCCESS || out.size() >= kMaxLongText) break;
  }
  slot = std::string(TrimView(out));
  return *slot;
}

std::string ColumnText(OdbcCore& c, StatementState& st, int i) REQUIRES(c.lock) {
  const auto& col = st.cols[i];
  if (!col.bound) return st.allocated ? ReadUnbound(c, st, i) : std::string();
  if (col.ind == SQL_NULL_DATA) return {};
  const auto& b = st.bufs[i];
  return std::string(TrimView(std::string_view(b.data(), strnlen(b.data(), b.size() - 1))));
}

// The text the numeric readers parse: '' for long text, as its buffer is not bound.
bool NumericText(OdbcCore& c, StatementState& st, int i, std::string& text) REQUIRES(c.lock) {
  if (i < 0 || st.cols[i].category == ccLongText) return false;
  text = ColumnText(c, st, i);
  return true;
}

}  // namespace

TODBCStatement::TODBCStatement(TODBC& odbc) : TODBCStatement(&odbc) {}

TODBCStatement::TODBCStatement(TODBC* odbc)
    : core_(odbc ? odbc->core_ : nullptr), st_(std::make_unique<StatementState>()) {
  if (!core_) return;
  TLockGuard guard(core_->lock);
  auto& c = *core_;
  st_->bindColumns = c.bindColumns;
  if (!c.Usable()) return;
  if (!Succeeded(c.api.SQLAllocHandle(SQL_HANDLE_STMT, c.dbc, &st_->handle))) {
    st_->handle = SQL_NULL_HSTMT;
    return;
  }
  st_->allocated = true;
  SetUpCursor(c, *st_);
  c.Register(this);
}

TODBCStatement::~TODBCStatement() {
  if (!core_) return;
  TLockGuard guard(core_->lock);
  detail::ReleaseHandle(*core_, *st_);
  core_->Unregister(this);
}

bool TODBCStatement::ExecSQL(const std::string& sql) { return Execute(sql, true); }

bool TODBCStatement::DoSQL(const std::string& sql) { return Execute(sql, false); }

bool TODBCStatement::ExecSQLFmtV(std::string_view fmt, std::span<const FormatArg> args,
                                 bool logged) {
  std::string sql;
  try {
    sql = FormatV(fmt, args);
  } catch (const std::exception& e) {
    if (logged && core_) {
      TLockGuard guard(core_->lock);
      core_->LogNow("SQL format error: " + std::string(e.what()) + " - " + std::string(fmt));
    }
    return false;
  }
  return Execute(sql, logged);
}

bool TODBCStatement::Execute(const std::string& sql, bool logged) {
  if (!core_) return false;
  auto& c = *core_;
  TLockGuard guard(c.lock);
  auto& st = *st_;
  auto& api = c.api;
  st.lastSql = sql;
  bool ok = false;
  SQLRETURN rc = SQL_ERROR;
  // A NUL byte would silently cut the text the driver sees (dropping a WHERE
  // clause, for one), so such text is refused.
  if (c.alive && st.allocated && sql.find('\0') == std::string::npos) {
    api.SQLFreeStmt(st.handle, SQL_UNBIND);
    c.Report(SQL_HANDLE_STMT, st.handle, api.SQLFreeStmt(st.handle, SQL_CLOSE));
    ClearResult(st);
    std::string text = sql;
    st.lastError = {};
    // Left off by the last transaction: a statement of its own commits by itself.
    if (c.autocommitOff && !c.transactionOpen) c.SetAutocommit(true);
    if (c.autocommitOff) c.workSinceCommit = true;
    const auto started = std::chrono::steady_clock::now();
    {
      detail::ServerCall call(c);
      rc = api.SQLExecDirect(st.handle, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
    }
    c.NoteStatement(sql, rc != SQL_ERROR, std::chrono::steady_clock::now() - started);
    if (rc == SQL_ERROR) NoteStatementFailure(c, st);
    st.eof = false;
    const std::string kind(TrimView(UpperCase(std::string_view(sql).substr(0, 6))));
    if (Succeeded(rc)) {
      DescribeColumns(c, st);
      if (kind != "SELECT") {
        ok = true;
        // MySQL/MariaDB answer an UPDATE or DELETE that matched nothing with
        // success and a row count of 0 where others answer SQL_NO_DATA:
        // both end as "true with Eof".
        if (kind == "UPDATE" || kind == "DELETE" || kind == "INSERT") {
          SQLLEN rows = -1;
          if (Succeeded(api.SQLRowCount(st.handle, &rows)) && rows == 0) st.eof = true;
        }
      } else {
        size_t b1 = sql.find(' ');
        size_t b2 = b1 == std::string::npos ? b1 : sql.find(' ', b1 + 1);
        std::string third;
        if (b2 != std::string::npos) {
          third = std::string(TrimView(UpperCase(std::string_view(sql).substr(b2 + 1))));
          third = third.substr(0, third.find(' '));
        }
        if (third == "INTO") {
          ok = true;
        } else {
          ok = Fetch(c, st);
          st.eof = !ok;
        }
      }
    } else if (rc == SQL_NO_DATA) {
      st.eof = true;
      ok = kind == "INSERT" || kind == "DELETE" || kind == "UPDATE";
    }
  } else {
    st.eof = false;
  }
  if (!ok && !st.eof && logged) {
    SQLHSTMT h = st.allocated ? st.handle : SQL_NULL_HSTMT;
    if (c.log) {
      bool old = c.reportErrors;
      c.reportErrors = true;
      c.log->Add(sql);
      c.Report(SQL_HANDLE_STMT, h, SQL_ERROR);
      c.reportErrors = old;
    } else {
      c.Report(SQL_HANDLE_STMT, h, SQL_ERROR);
    }
  }
  return ok;
}

bool TODBCStatement::dbSkip() {
  if (!core_) return false;
  TLockGuard guard(core_->lock);
  if (!core_->alive || !st_->allocated) return false;
  return Fetch(*core_, *st_);
}

bool TODBCStatement::Eof() const {
  if (!core_) return st_->eof;
  TLockGuard guard(core_->lock);
  return st_->eof;
}

int TODBCStatement::FieldIndex(std::string_view name) const {
  if (!core_) return -1;
  TLockGuard guard(core_->lock);
  return IndexOf(*st_, name);
}

std::string TODBCStatement::FieldAsString(std::string_view name) {
  if (!core_) return {};
  TLockGuard guard(core_->lock);
  int i = IndexOf(*st_, name);
  return i < 0 ? std::string() : ColumnText(*core_, *st_, i);
}

int TODBCStatement::FieldAsInteger(std::string_view name) {
  if (!core_) return 0;
  TLockGuard guard(core_->lock);
  std::string text;
  const int i = IndexOf(*st_, name);
  if (!NumericText(*core_, *st_, i, text)) return 0;
  return detail::TextAsInteger(st_->cols[i].category, text);
}

double TODBCStatement::FieldAsFloat(std::string_view name) {
  if (!core_) return 0;
  TLockGuard guard(core_->lock);
  std::string text;
  const int i = IndexOf(*st_, name);
  if (!NumericText(*core_, *st_, i, text)) return 0;
  return detail::TextAsFloat(st_->cols[i].category, text);
}

bool TODBCStatement::FieldAsBoolean(std::string_view name) { return FieldAsInteger(name) != 0; }

TDateTime TODBCStatement::FieldAsDateTime(std::string_view name) {
  if (!core_) return Date();
  TLockGuard guard(core_->lock);
  const int i = IndexOf(*st_, name);
  if (i < 0) return Date();
  const TColCategory cat = st_->cols[i].category;
  // The text of other columns is not read.
  if (cat != ccDate && cat != ccTime && cat != ccDateTime) return Date();
  return detail::TextAsDateTime(cat, ColumnText(*core_, *st_, i));
}

TDBRow TODBCStatement::CurrentRow() {
  TDBRow row;
  if (!core_) return row;
  TLockGuard guard(core_->lock);
  auto& st = *st_;
  row.found_ = st.onRow;
  row.columns_.reserve(st.cols.size());
  for (std::size_t i = 0; i < st.cols.size(); ++i) {
    const auto& col = st.cols[i];
    row.columns_.push_back(
        {col.name, col.category,
         st.onRow ? ColumnText(*core_, st, static_cast<int>(i)) : std::string()});
  }
  return row;
}

std::string TODBCStatement::GetFieldNames(const std::string& table) {
  if (!core_) return {};
  auto& c = *core_;
  TLockGuard guard(c.lock);
  auto& st = *st_;
  if (!c.alive || !st.allocated) return {};
  auto& api = c.api;
  SQLHSTMT h = st.handle;
  c.Report(SQL_HANDLE_STMT, h, api.SQLFreeStmt(h, SQL_CLOSE));
  c.Report(SQL_HANDLE_STMT, h, api.SQLFreeStmt(h, SQL_UNBIND));
  c.Report(SQL_HANDLE_STMT, h, api.SQLFreeStmt(h, SQL_RESET_PARAMS));
  ClearResult(st);
  std::string name = c.kind == dbkFirebird ? UpperCase(table) : table;
  if (!Succeeded(api.SQLColumns(h, nullptr, 0, nullptr, 0, reinterpret_cast<SQLCHAR*>(name.data()),
                                SQL_NTS, nullptr, 0)))
    return {};
  char buf[128] = {};
  SQLLEN ind = 0;
  std::string out;
  if (Succeeded(api.SQLBindCol(h, 4, SQL_C_CHAR, buf, 126, &ind))) {
    while (api.SQLFetch(h) == SQL_SUCCESS) {
      std::string col =
          UpperCase(std::string_view(buf, ind == SQL_NULL_DATA ? 0 : strnlen(buf, 126)));
      if (col.find(' ') != std::string::npos) col = "\"" + col + "\"";
      if (!out.empty()) out += ',';
      out += col;
    }
  }
  api.SQLFreeStmt(h, SQL_UNBIND);
  api.SQLFreeStmt(h, SQL_CLOSE);
  return out;
}

int TODBCStatement::FieldCount() const {
  if (!core_) return 0;
  TLockGuard guard(core_->lock);
  return static_cast<int>(st_->cols.size());
}

std::string TODBCStatement::FieldName(int index) const {
  if (!core_) return {};
  TLockGuard guard(core_->lock);
  if (index < 0 || index >= static_cast<int>(st_->cols.size())) return {};
  return st_->cols[index].name;
}

TColCategory TODBCStatement::FieldCategory(int index) const {
  if (!core_) return ccUnsupported;
  TLockGuard guard(core_->lock);
  if (index < 0 || index >= static_cast<int>(st_->cols.size())) return ccUnsupported;
  return st_->cols[index].category;
}

TDBKind TODBCStatement::DBKind() const { return core_ ? core_->kind.load() : dbkUnknown; }

bool TODBCStatement::Allocated() const {
  if (!core_) return false;
  TLockGuard guard(core_->lock);
  return core_->alive && st_->allocated;
}

bool TODBCStatement::CanRefresh() const {
  if (!core_) return false;
  TLockGuard guard(core_->lock);
  return st_->canRefresh;
}

std::string TODBCStatement::LastSQL() const {
  if (!core_) return st_->lastSql;
  TLockGuard guard(core_->lock);
  return st_->lastSql;
}

TDBError TODBCStatement::LastError() const {
  if (!core_) return st_->lastError;
  TLockGuard guard(core_->lock);
  return st_->lastError;
}

}  // namespace orlo
