// The status page: one HTML page readable on a phone at the gate (no script,
// inline CSS, refreshes itself) and the same content as JSON.
#include "monitor/statuspage.h"

#include <cstdio>

namespace orlo::detail {

namespace {

constexpr int kRefreshSeconds = 5;
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the valid UTF-8 sequence at text[i] (shortest form, no
// surrogates, at most U+10FFFF), or 0 when there is none.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  unsigned min = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  unsigned code = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

std::string TimeText(TDateTime when) { return when == 0 ? "" : DateTimeText(when); }

std::string UptimeText(std::int64_t seconds) {
  const std::int64_t days = seconds / 86400, hours = seconds / 3600 % 24,
                     minutes = seconds / 60 % 60;
  std::string text;
  if (days > 0) text += std::to_string(days) + " d ";
  if (days > 0 || hours > 0) text += std::to_string(hours) + " h ";
  return text + std::to_string(minutes) + " min";
}

const char* OnlineText(const TLoopStatus& loop, int address) {
  if (!loop.line || address < 0 || address >= kAddressSlots) return "unknown";
  switch (loop.line->address[address].online.load(std::memory_order_relaxed)) {
    case 1:
      return "online";
    case 0:
      return "offline";
    default:
      return "unknown";
  }
}

const char* ConnectionText(const TConnectionStatus& connection) {
  switch (connection.counters ? connection.counters->state.load(std::memory_order_relaxed)
                              : TDBCounters::Down) {
    case TDBCounters::Up:
      return "connected";
    case TDBCounters::NotAnswering:
      return "not answering";
    default:
      return "down";
  }
}

std::string PortText(const TLoopStatus& loop) {
  if (loop.port == 0) return "no serial line";
  return "COM" + std::to_string(loop.port) + (loop.portOpen ? "" : " (not open)");
}

// A table cell of text from outside.
std::string Cell(std::string_view text) { return "<td>" + HtmlEscape(text) + "</td>"; }

// A cell whose class (for its colour) is the text itself: one of ours.
std::string StateCell(const char* text) {
  std::string cls = text;
  for (char& c : cls)
    if (c == ' ') c = '-';
  return "<td class=\"" + cls + "\">" + text + "</td>";
}

// A cell of text from outside with a second, smaller line under it.
std::string TwoLineCell(std::string_view first, std::string_view second) {
  return "<td>" + HtmlEscape(first) + "<br><small>" + HtmlEscape(second) + "</small></td>";
}

// Narrow enough for a phone held upright: secondary facts go on a second,
// smaller line of their cell instead of into columns of their own.
constexpr char kStyle[] =
    "body{font-family:system-ui,sans-serif;margin:0.6em;font-size:1rem;color:#111}"
    "h1{font-size:1.3em;margin:0.2em 0}h2{font-size:1.1em;margin:1em 0 0.3em}"
    ".meta{color:#555;margin:0}.scroll{overflow-x:auto}"
    "table{border-collapse:collapse;width:100%}"
    "th,td{text-align:left;vertical-align:top;padding:0.3em 0.4em;border-bottom:1px solid #ddd}"
    "th{background:#f2f2f2}small{color:#666}"
    ".online,.connected,.open{color:#0a6b1f;font-weight:600}"
    ".offline,.down,.not-answering,.refused{color:#b00020;font-weight:600}"
    ".unknown{color:#777}";

}  // namespace

std::string CleanText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8SequenceAt(text, i);
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (length == 0 || (length == 1 && (c < 0x20 || c == 0x7F))) {
      out += kReplacement;
      ++i;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  for (char c : CleanText(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : CleanText(text)) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      // Never markup, should the JSON end up inside a page.
      case '<':
        out += "\\u003c";
        break;
      case '>':
        out += "\\u003e";
        break;
      case '&':
        out += "\\u0026";
        break;
      default:
        out += c;
    }
  }
  return out + "\"";
}

std::string ResultName(int code) {
  // The access decision's result codes; 8 is the soft bit of a failure the
  // site's settings let through.
  static const char* const kNames[] = {"accepted", "not on file",   "no valid access", "expired",
                                       "passback", "group maximum", "not in path"};
  const int base = code & ~8;
  if (code < 0 || base > 6) return "code " + std::to_string(code);
  return std::string(kNames[base]) + ((code & 8) ? " (let through)" : "");
}

std::string StatusHtml(const TStatusSnapshot& status) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<meta http-equiv=\"refresh\" content=\"" +
      std::to_string(kRefreshSeconds) + "\"><title>orlocard status</title><style>" + kStyle +
      "</style></head><body>\n<h1>orlocard</h1>\n<p class=\"meta\">Version <span id=\"version\">" +
      HtmlEscape(status.version) + "</span>, up <span id=\"uptime\">" +
      UptimeText(status.uptimeSeconds) + "</span>, as of " + TimeText(status.published) + "</p>\n";

  html +=
      "<h2>Database</h2>\n<div class=\"scroll\"><table id=\"connections\">"
      "<tr><th>Connection</th><th>State</th></tr>\n";
  for (const TConnectionStatus& connection : status.connections)
    html += "<tr>" + Cell(connection.name) + StateCell(ConnectionText(connection)) + "</tr>\n";
  html += "</table></div>\n";

  if (status.loops.empty()) html += "<h2>Loops</h2>\n<p>No loop is running.</p>\n";
  for (const TLoopStatus& loop : status.loops) {
    html += "<h2>Loop " + std::to_string(loop.loopId) + " &middot; " + PortText(loop) +
            "</h2>\n<div class=\"scroll\"><table class=\"devices\" id=\"loop-" +
            std::to_string(loop.loopId) +
            "\"><tr><th>Addr</th><th>Device</th><th>State</th><th>Gate</th><th>Last report</th>"
            "</tr>\n";
    for (const TDeviceStatus& device : loop.devices)
      html += "<tr><td>" + std::to_string(device.address) + "</td>" +
              TwoLineCell(device.name, device.kind) + StateCell(OnlineText(loop, device.address)) +
              "<td>" + (device.gateUp ? "held open" : "normal") + "</td>" +
              TwoLineCell(device.lastReport, TimeText(device.lastReportTime)) + "</tr>\n";
    html += "</table></div>\n";
  }

  html +=
      "<h2>Last decisions</h2>\n<div class=\"scroll\"><table id=\"decisions\">"
      "<tr><th>Time</th><th>Loop / addr</th><th>Card</th><th>Result</th></tr>\n";
  for (const TDecisionStatus& decision : status.decisions) {
    const bool granted = decision.code == 0 || (decision.code & 8);
    const std::string when = TimeText(decision.time);
    html += "<tr>" + TwoLineCell(when.substr(when.size() > 11 ? 11 : 0), when.substr(0, 10)) +
            "<td>" + std::to_string(decision.loopId) + " / " + std::to_string(decision.address) +
            "</td>" + Cell(decision.card) + "<td class=\"" + (granted ? "open" : "refused") +
            "\">" + HtmlEscape(ResultName(decision.code)) + "</td></tr>\n";
  }
  return html + "</table></div>\n</body></html>\n";
}

std::string StatusJson(const TStatusSnapshot& status) {
  std::string json = "{\"version\":" + JsonString(status.version) +
                     ",\"uptime_seconds\":" + std::to_string(status.uptimeSeconds) +
                     ",\"as_of\":" + JsonString(TimeText(status.published)) + ",\"connections\":[";
  for (std::size_t i = 0; i < status.connections.size(); ++i)
    json += std::string(i ? "," : "") + "{\"name\":" + JsonString(status.connections[i].name) +
            ",\"state\":" + JsonString(ConnectionText(status.connections[i])) + "}";
  json += "],\"loops\":[";
  for (std::size_t l = 0; l < status.loops.size(); ++l) {
    const TLoopStatus& loop = status.loops[l];
    json += std::string(l ? "," : "") + "{\"loop\":" + std::to_string(loop.loopId) +
            ",\"port\":" + std::to_string(loop.port) +
            ",\"port_open\":" + (loop.portOpen ? "true" : "false") + ",\"devices\":[";
    for (std::size_t d = 0; d < loop.devices.size(); ++d) {
      const TDeviceStatus& device = loop.devices[d];
      json += std::string(d ? "," : "") + "{\"address\":" + std::to_string(device.address) +
              ",\"name\":" + JsonString(device.name) + ",\"kind\":" + JsonString(device.kind) +
              ",\"state\":" + JsonString(OnlineText(loop, device.address)) +
              ",\"gate_held_open\":" + (device.gateUp ? "true" : "false") +
              ",\"last_report\":" + JsonString(device.lastReport) +
              ",\"last_report_time\":" + JsonString(TimeText(device.lastReportTime)) + "}";
    }
    json += "]}";
  }
  json += "],\"decisions\":[";
  for (std::size_t i = 0; i < status.decisions.size(); ++i) {
    const TDecisionStatus& decision = status.decisions[i];
    json += std::string(i ? "," : "") + "{\"time\":" + JsonString(TimeText(decision.time)) +
            ",\"loop\":" + std::to_string(decision.loopId) +
            ",\"address\":" + std::to_string(decision.address) +
            ",\"card\":" + JsonString(decision.card) +
            ",\"code\":" + std::to_string(decision.code) +
            ",\"result\":" + JsonString(ResultName(decision.code)) + "}";
  }
  return json + "]}\n";
}

}  // namespace orlo::detail
