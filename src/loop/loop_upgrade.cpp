// TLoop: brings an older database up to date before the loop sets up its
// devices. Every statement runs only when the column it adds is missing, so
// the upgrade is safe on an up-to-date database and later loops run nothing.
#include <sstream>
#include <string>

#include "db/odbc.h"
#include "loop/loop.h"

namespace orlo {

namespace {

// The device columns later releases write, with the statement that adds each.
struct TAddedColumn {
  const char* name;
  const char* sql;
};
constexpr TAddedColumn kDeviceColumns[] = {
    {"GATE_UP", "alter table device add gate_up integer"},
    {"PTR_PAPER", "alter table device add ptr_paper integer"},
    {"PTR_HDWR", "alter table device add ptr_hdwr integer"},
    {"PTR_FAIL", "alter table device add ptr_fail integer"},
    {"PTR_STAT", "alter table device add ptr_stat integer"},
    {"PTR_PAPER2", "alter table device add ptr_paper2 integer"},
    {"PTR_HDWR2", "alter table device add ptr_hdwr2 integer"},
    {"PTR_FAIL2", "alter table device add ptr_fail2 integer"},
    {"PTR_STAT2", "alter table device add ptr_stat2 integer"},
    {"DEVICE_TYPE", "alter table device add device_type integer"},
    {"SPECIAL_OUT", "alter table device add special_out integer"},
};

// The ticket inventory block, written for the Firebird dialect; on other
// databases some statements fail, which is expected and not logged.
constexpr const char* kTickinvBlock[] = {
    "drop TRIGGER AI_INSERT$TICKINV$TICKET",
    "drop generator gen$tickinv$ticket",
    "alter table tickinv drop issuername",
    "alter table tickinv add takerid integer",
    "alter table tickinv add online integer",
    "alter table tickinv add tran_id integer",
    "alter table tickinv alter column takerid position 9",
    "alter table tickinv alter column online position 10",
    "alter table tickinv alter column tran_id position 11",
    "drop INDEX TICKINV$status",
    "CREATE INDEX TICKINV$ticket ON TICKINV (ticket)",
};

// Whether the comma list of column names holds name (letter case ignored;
// names with a blank come in double quotes and never match these).
bool HasColumn(const std::string& list, const std::string& name) {
  std::stringstream in(list);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < item.size() && same; ++i) {
      auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
      same = upper(item[i]) == upper(name[i]);
    }
    if (same) return true;
  }
  return false;
}

}  // namespace

void TLoop::UpgradeSchema() {
  if (!DB) return;
  const bool reportErrors = DB->ReportErrors();
  DB->SetReportErrors(false);
  {
    TODBCStatement q(*DB);
    // Upper case as the catalogue of most servers keeps names; where the
    // catalogue is case-sensitive and holds the table in lower case (MariaDB
    // on Linux) the lower-case name finds it.
    std::string deviceColumns = q.GetFieldNames("DEVICE");
    if (deviceColumns.empty()) deviceColumns = q.GetFieldNames("device");
    for (const auto& column : kDeviceColumns)
      if (!HasColumn(deviceColumns, column.name)) q.ExecSQL(column.sql);

    if (!HasColumn(q.GetFieldNames("tickinv"), "ONLINE"))
      for (const char* sql : kTickinvBlock) q.DoSQL(sql);
  }
  DB->SetReportErrors(reportErrors);
}

}  // namespace orlo
