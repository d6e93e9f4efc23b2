// Inside the monitor: the snapshot the status page shows, and the page itself
// in HTML and JSON. Pure functions of the snapshot; any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bus/card.h"
#include "db/odbc.h"
#include "platform/clock.h"

namespace orlo::detail {

struct TDeviceStatus {
  int address = 0;
  std::string name;  // device and database text: escaped wherever it is shown
  std::string kind;
  std::string lastReport;
  TDateTime lastReportTime = 0;
  bool gateUp = false;
};

struct TLoopStatus {
  int loopId = 0;
  int port = 0;  // 0: no serial line
  bool portOpen = false;
  std::vector<TDeviceStatus> devices;
  std::shared_ptr<const TLineCounters> line;  // online states, read live
};

struct TDecisionStatus {
  TDateTime time = 0;
  int loopId = 0;
  int address = 0;
  std::string card;
  int code = 0;
};

struct TConnectionStatus {
  std::string name;
  std::shared_ptr<const TDBCounters> counters;  // state, read live
};

struct TStatusSnapshot {
  std::string version;
  TDateTime published = 0;
  std::int64_t uptimeSeconds = 0;  // filled in when the page is made
  std::vector<TConnectionStatus> connections;
  std::vector<TLoopStatus> loops;
  std::vector<TDecisionStatus> decisions;  // newest first
};

std::string StatusHtml(const TStatusSnapshot& status);
std::string StatusJson(const TStatusSnapshot& status);

// The name of an access decision's result code ("accepted", "passback (let
// through)", ...).
std::string ResultName(int code);
// Text made fit for an HTML page and JSON: valid UTF-8 (each byte that is not
// part of a valid sequence becomes U+FFFD), no control characters (shown as
// U+FFFD too).
std::string CleanText(std::string_view text);
std::string HtmlEscape(std::string_view text);
std::string JsonString(std::string_view text);  // quoted and escaped

}  // namespace orlo::detail
