// The main-timer jobs that work on the service-wide connection alone: the
// restart request, the daily and immediate resets, the lot count resets and
// the gate schedule test; and the loop ids that start-up (and the preflight
// check) read. TOrloCard calls them from its tick (after asking its
// supervisor IsConnected); tests call them with chosen times.
//
// Threads: they run on the caller's thread with statements of their own on
// the given connection (the service runs them on the main thread only).
// Failures are values: a failing statement is logged by the statement layer
// and the job goes on with its next statement.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace orlo {

class TMessLog;
class TODBC;
class TODBCStatement;

// reset_tolvsql of the first settings row; false without a row.
bool RestartRequested(TODBC& db);

// The passback, group and pathway resets: at the settings' reset_time (hour
// and minute of now), or at once for the immediate flags auto_now and
// auto_now_grp, which it then clears. Logs "Auto Reset: " and what was reset.
void AutoReset(TODBC& db, TMessLog* log, TDateTime now);

// The lot count and device counter resets due at the hour and minute of now.
void LotCountReset(TODBC& db, TDateTime now);

// Whether a gateoc row of the device for this day number holds the gate open
// at the time of day of now. q is a statement the caller lends (it is reused).
bool ScheduledOpen(TODBCStatement& q, int deviceId, int day, TDateTime now);

// The gateoc day number of a date: 1 (Monday) .. 7 (Sunday) on an ordinary
// day (holidayTab 0), 9 on a holiday of table 2, 8 on any other holiday.
int GateDayNumber(int holidayTab, TDateTime date);

// text as the inside of an SQL string literal for the connection's database
// family ('' doubled; on MySQL/MariaDB the backslash doubled too), so a
// computer name can never change a statement's meaning.
std::string SqlStringText(const TODBC& db, std::string_view text);

// The ids of the loops a computer takes at start-up: own are the rows named
// like computerName (given in lower case), shared those named "POE/POF", each
// in the order the database returns them. Both are read before any loop is
// made, so a loop's set-up never runs while a cursor walks the table.
void ReadLoopIds(TODBC& db, const std::string& computerName, std::vector<int>& own,
                 std::vector<int>& shared);

}  // namespace orlo
