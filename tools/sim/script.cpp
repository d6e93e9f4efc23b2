// The simulator's command language.
#include "script.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <functional>
#include <map>
#include <stdexcept>
#include <thread>

namespace orlo::sim {

namespace {

// Thrown inside a command for bad arguments; becomes an "error ..." line.
struct TUsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Walks the words of one command line; the rest of the line is available for
// texts that may contain spaces.
class TArgs {
 public:
  explicit TArgs(const std::string& line) : line_(line) {}
  bool AtEnd() {
    SkipBlanks();
    return pos_ >= line_.size();
  }
  std::string Peek() {
    std::size_t keep = pos_;
    std::string w = Word();
    pos_ = keep;
    return w;
  }
  std::string Word() {
    SkipBlanks();
    std::size_t start = pos_;
    while (pos_ < line_.size() && !std::isspace(static_cast<unsigned char>(line_[pos_]))) ++pos_;
    return line_.substr(start, pos_ - start);
  }
  std::string Need(const char* what) {
    std::string w = Word();
    if (w.empty()) throw TUsageError(std::string("missing ") + what);
    return w;
  }
  // Everything after the next blank (one separating blank is dropped).
  std::string Rest() {
    if (pos_ < line_.size() && std::isspace(static_cast<unsigned char>(line_[pos_]))) ++pos_;
    std::string r = pos_ < line_.size() ? line_.substr(pos_) : std::string();
    pos_ = line_.size();
    return r;
  }
  void NoMore() {
    if (!AtEnd()) throw TUsageError("unexpected argument \"" + Word() + "\"");
  }

 private:
  void SkipBlanks() {
    while (pos_ < line_.size() && std::isspace(static_cast<unsigned char>(line_[pos_]))) ++pos_;
  }
  const std::string& line_;
  std::size_t pos_ = 0;
};

int ToInt(const std::string& text, const char* what, int lo, int hi) {
  int v = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || p != text.data() + text.size() || v < lo || v > hi)
    throw TUsageError(std::string("bad ") + what + " \"" + text + "\" (" + std::to_string(lo) +
                      ".." + std::to_string(hi) + ")");
  return v;
}

int Address(const std::string& text) { return ToInt(text, "address", 1, kMaxAddress); }

// "3", "1-4", "2,5,7", "all", several words.
std::vector<int> AddressList(TArgs& args) {
  std::vector<int> out;
  bool any = false;
  while (!args.AtEnd()) {
    std::string word = args.Word();
    any = true;
    std::size_t start = 0;
    while (start <= word.size()) {
      std::size_t comma = word.find(',', start);
      std::string part =
          word.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      start = comma == std::string::npos ? word.size() + 1 : comma + 1;
      if (part.empty()) continue;
      if (part == "all") {
        for (int a = 1; a <= kMaxAddress; ++a) out.push_back(a);
        continue;
      }
      std::size_t dash = part.find('-');
      if (dash == std::string::npos) {
        out.push_back(Address(part));
      } else {
        int lo = Address(part.substr(0, dash));
        int hi = Address(part.substr(dash + 1));
        if (hi < lo) throw TUsageError("bad address range \"" + part + "\"");
        for (int a = lo; a <= hi; ++a) out.push_back(a);
      }
    }
  }
  if (!any || out.empty()) throw TUsageError("missing address");
  return out;
}

std::string Text(const std::string& raw) {
  std::string out, error;
  if (!Unescape(raw, out, error)) throw TUsageError(error);
  return out;
}

std::string HexBytes(const std::string& raw) {
  std::string out, error;
  if (!ParseHex(raw, out, error)) throw TUsageError(error);
  return out;
}

char Letter(const std::string& word, const char* what) {
  std::string l = Text(word);
  if (l.size() != 1) throw TUsageError(std::string("bad ") + what + " \"" + word + "\"");
  return l[0];
}

// Reply options: words starting with '-' before the address.
TReplyOptions Options(TArgs& args) {
  TReplyOptions o;
  while (!args.AtEnd() && args.Peek().size() > 1 && args.Peek()[0] == '-' &&
         !std::isdigit(static_cast<unsigned char>(args.Peek()[1]))) {
    std::string opt = args.Word();
    if (opt == "-to") {
      o.answers = Letter(args.Need("letter after -to"), "letter");
    } else if (opt == "-badcheck") {
      o.badCheck = true;
    } else if (opt == "-noise") {
      o.noise = HexBytes(args.Need("bytes after -noise"));
    } else if (opt == "-split") {
      std::string v = args.Need("count after -split");
      std::size_t colon = v.find(':');
      o.splitAt = ToInt(v.substr(0, colon), "split position", 0, 100000);
      if (colon != std::string::npos) o.splitGapMs = ToInt(v.substr(colon + 1), "gap", 0, 600000);
    } else if (opt == "-from") {
      o.addressByte = 0x30 + ToInt(args.Need("address after -from"), "address", 0, 0xCF);
    } else if (opt == "-delay") {
      o.delayMs = ToInt(args.Need("ms after -delay"), "delay", 0, 600000);
    } else if (opt == "-untilack") {
      o.untilAcknowledged = true;
    } else {
      throw TUsageError("unknown option " + opt);
    }
  }
  return o;
}

std::string FrameLine(const TReceivedFrame& r) {
  char head[96];
  std::snprintf(head, sizeof head,
                "frame %llu ms=%.3f start=%s addr=%d cmd=", static_cast<unsigned long long>(r.seq),
                r.ms, r.frame.start == kEnq ? "ENQ" : "STX", r.frame.address);
  std::string line = head;
  line += r.frame.letter ? Escape(std::string(1, r.frame.letter)) : std::string("-");
  line += " data=\"" + Escape(r.frame.data) + "\" check=" + (r.frame.checkOk ? "ok" : "bad");
  std::string answer;
  for (unsigned char c : r.answer) {
    char b[3];
    std::snprintf(b, sizeof b, "%02X", c);
    answer += b;
  }
  line += " answer=" + (answer.empty() ? std::string("-") : answer);
  return line;
}

// Filter words: an address (or '*') and a letter (or '*').
struct TFilter {
  int address = 0;  // 0: any
  char letter = 0;  // 0: any
  bool Matches(const TReceivedFrame& r) const {
    return (address == 0 || r.frame.address == address) &&
           (letter == 0 || r.frame.letter == letter);
  }
};

TFilter Filter(TArgs& args) {
  TFilter f;
  if (args.AtEnd()) return f;
  std::string a = args.Word();
  if (a != "*") f.address = Address(a);
  if (args.AtEnd()) return f;
  std::string l = args.Word();
  if (l != "*") f.letter = Letter(l, "letter");
  return f;
}

using TLines = std::vector<std::string>;

}  // namespace

bool Unescape(const std::string& text, std::string& out, std::string& error) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i >= text.size()) {
      error = "a text ends with a lone backslash";
      return false;
    }
    switch (text[i]) {
      case '\\':
        out += '\\';
        break;
      case 's':
        out += ' ';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case '0':
        out += '\0';
        break;
      case 'x': {
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
          error = "\\x needs two hex digits";
          return false;
        }
        out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
        break;
      }
      default:
        error = std::string("unknown escape \\") + text[i];
        return false;
    }
  }
  return true;
}

bool ParseHex(const std::string& text, std::string& out, std::string& error) {
  out.clear();
  std::string digits;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c)) || c == ',' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      error = std::string("bad hex digit '") + c + "'";
      return false;
    }
    digits += c;
  }
  if (digits.empty() || digits.size() % 2) {
    error = "hex bytes need two digits each";
    return false;
  }
  for (std::size_t i = 0; i < digits.size(); i += 2)
    out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  return true;
}

TSimScript::~TSimScript() { StopRepeaters(); }

void TSimScript::StopRepeaters() {
  for (auto& t : repeaters_) t.request_stop();
  repeaters_.clear();  // joins each
}

void TSimScript::StartRepeater(int periodMs, const std::string& command) {
  repeaters_.emplace_back([this, periodMs, command](std::stop_token stop) {
    TSimScript inner(sim_);
    auto next = std::chrono::steady_clock::now();
    while (!stop.stop_requested()) {
      next += std::chrono::milliseconds(periodMs);
      {
        std::unique_lock<std::mutex> lock(repeatMutex_);
        repeatCv_.wait_until(lock, stop, next, [] { return false; });
      }
      if (stop.stop_requested()) return;
      inner.Execute(command);
    }
  });
}

std::string TSimScript::Help() {
  return R"(Commands (one per line; ADDR is 1..16; LIST is e.g. "1 3", "1-4", "2,5" or "all";
texts take the escapes \xHH \s \t \r \n \0 \\; a line starting with # is a comment):
  devices LIST            devices at these addresses answer (ACK when nothing is queued)
  remove LIST             devices leave the line (silent, settings and queue dropped)
  offline LIST            devices stay silent (the controller declares them offline)
  online LIST             devices answer again
  restart ADDR [P|p]      power cycle: queue dropped, online, reports power-up 'P' (or 'p')
  delay ADDR MS           answer delay of a device
  pace BAUD               pace both directions like a line at BAUD (0 = unpaced)
  card [OPT] ADDR TEXT    card data report 'C'       memory [OPT] ADDR TEXT  memory card 'M'
  barcode [OPT] ADDR TEXT barcode report '#'         disc [OPT] ADDR TEXT    disc code 'D'
  deposit [OPT] ADDR TEXT deposit report 'Z'         printer [OPT] ADDR S[,S] printer status 'J'
  escrow [OPT] ADDR       escrow lever report 'E'    cashbox [OPT] ADDR      cash box report 'U'
  ticket [OPT] ADDR BARCODE NUMBER [FLAGS]   spitter ticket record (sent as card data 'C')
  button [OPT] ADDR ID up|down               button report 'K'
  board [OPT] ADDR BOARD STATES              I/O board report 'L'; STATES per input 0..63:
                                             1 = off, 2 = on, - = nothing to report
  powerup [OPT] ADDR [P|p]                   power-up report
  reply [OPT] ADDR KIND [PAYLOAD]            any report: kind letter and payload text
  raw [OPT] ADDR HEX                         raw bytes as the next answer (default: any command)
  silent ADDR [N] [LETTER]                   no answer to the next N commands (or polls LETTER)
  counters ADDR TEXT|-    standing answer to the counter poll 'R' (- = answer ACK)
  inputs ADDR TEXT|-      standing answer to the input poll 'I' (- = answer ACK)
  clear LIST              drop queued reports
  noise HEX               send bytes now, outside any exchange
  frames [FROM]           list received frames (from sequence number FROM)
  count [ADDR|*] [LETTER|*]                  number of received frames that match
  wait [ADDR|*] [LETTER|*] [N] [TIMEOUT_MS]  wait until N (1) matching frames were received
  forget                  clear the record of received frames
  status                  one line per device
  sleep MS                pause this command stream
  every MS COMMAND        run COMMAND every MS ms (e.g. "every 8000 card 1 1234")
  every stop              stop the repeaters this command stream started
  vanish                  close the line (the controller sees its port disappear)
  quit                    end the simulator
Report options [OPT]: -to LETTER (answer this command instead; * = any), -untilack (report
again at every poll until the controller acknowledges it), -badcheck, -noise HEX (bytes
before the reply), -split N[:MS] (pause MS, default 20, after N bytes), -from ADDR (answer
with another address byte), -delay MS.
Queued reports answer the card poll 'C' ('R' and 'I' reports answer those polls) in order.
Every command answers with a last line "ok ..." or "error ...".)";
}

std::vector<std::string> TSimScript::Execute(const std::string& line) {
  TArgs args(line);
  if (args.AtEnd()) return {};
  if (args.Peek()[0] == '#') return {};
  std::string cmd = args.Word();
  TLines out;
  try {
    auto queue = [&](char kind, const std::string& payload, const TReplyOptions& o, int addr) {
      sim_.QueueReply(addr, kind, payload, o);
      out.push_back("ok queued=" + std::to_string(sim_.Queued(addr)));
    };
    // Reports whose payload is the rest of the line.
    static const std::map<std::string, char> kTextReports = {
        {"card", 'C'}, {"memory", 'M'},  {"barcode", '#'},
        {"disc", 'D'}, {"deposit", 'Z'}, {"printer", 'J'},
    };
    if (cmd == "help") {
      std::string h = Help();
      std::size_t start = 0;
      while (start < h.size()) {
        std::size_t nl = h.find('\n', start);
        out.push_back(h.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
        if (nl == std::string::npos) break;
        start = nl + 1;
      }
      out.push_back("ok");
    } else if (cmd == "devices" || cmd == "device") {
      for (int a : AddressList(args)) sim_.AddDevice(a);
      out.push_back("ok");
    } else if (cmd == "remove") {
      for (int a : AddressList(args)) sim_.RemoveDevice(a);
      out.push_back("ok");
    } else if (cmd == "offline" || cmd == "online") {
      for (int a : AddressList(args)) sim_.SetOnline(a, cmd == "online");
      out.push_back("ok");
    } else if (cmd == "restart") {
      int a = Address(args.Need("address"));
      char kind = args.AtEnd() ? 'P' : Letter(args.Word(), "power-up kind");
      if (kind != 'P' && kind != 'p') throw TUsageError("power-up kind is P or p");
      args.NoMore();
      sim_.ClearQueue(a);
      sim_.SetOnline(a, true);
      queue(kind, "", TReplyOptions{}, a);
    } else if (cmd == "delay") {
      int a = Address(args.Need("address"));
      int ms = ToInt(args.Need("ms"), "delay", 0, 600000);
      args.NoMore();
      sim_.SetAnswerDelay(a, ms);
      out.push_back("ok");
    } else if (cmd == "pace") {
      int baud = ToInt(args.Need("baud rate"), "baud rate", 0, 4000000);
      args.NoMore();
      sim_.SetPace(baud);
      out.push_back("ok pace=" + std::to_string(baud));
    } else if (auto it = kTextReports.find(cmd); it != kTextReports.end()) {
      TReplyOptions o = Options(args);
      int a = Address(args.Need("address"));
      queue(it->second, Text(args.Rest()), o, a);
    } else if (cmd == "escrow" || cmd == "cashbox") {
      TReplyOptions o = Options(args);
      int a = Address(args.Need("address"));
      args.NoMore();
      queue(cmd == "escrow" ? 'E' : 'U', "", o, a);
    } else if (cmd == "ticket") {
      TReplyOptions o = Options(args);
      int a = Address(args.Need("address"));
      std::string barcode = Text(args.Need("barcode"));
      if (barcode.size() != 10) throw TUsageError("a ticket barcode has 10 characters");
      int number = ToInt(args.Need("ticket number"), "ticket number", 0, 999999);
      int flags = args.AtEnd() ? 0 : ToInt(args.Word(), "flags", 0, 9);
      args.NoMore();
      char num[8];
      std::snprintf(num, sizeof num, "%06d", number);
      queue('C', std::to_string(flags) + barcode + num, o, a);
    } else if (cmd == "button") {
      TReplyOptions o = Options(args);
      int a = Address(args.Need("address"));
      char id = Letter(args.Need("button id"), "button id");
      std::string dir = args.Need("up or down");
      if (dir != "up" && dir != "down") throw TUsageError("button state is up or down");
      args.NoMore();
      queue('K', std::string(1, id) + (dir == "up" ? '1' : '0'), o, a);
    } else if (cmd == "board") {
      TReplyOptions o = Options(args);
      int a = Address(args.Need("address"));
      int board = ToInt(args.Need("board"), "board", 0, 15);
      std::string states = args.AtEnd() ? std::string() : args.Word();
      args.NoMore();
      if (states.size() > 64) throw TUsageError("a board has at most 64 inputs");
      std::string payload(1, static_cast<char>(0x30 + board));
      for (char c : states) {
        if (c == '1' || c == '2')
          payload += c;
        else if (c == '-' || c == '0' || c == '.')
          payload += '0';
        else
          throw TUsageError("board input states are 1 (off), 2 (on) or - (nothing)");
      }
      queue('L', payload, o, a);
    } else if (cmd == "powerup") {
      TReplyOptions o = Options(args);
      int a = Address(args.Need("address"));
      char kind = args.AtEnd() ? 'P' : Letter(args.Word(), "power-up kind");
      if (kind != 'P' && kind != 'p') throw TUsageError("power-up kind is P or p");
      args.NoMore();
      queue(kind, "", o, a);
    } else if (cmd == "reply") {
      TReplyOptions o = Options(args);
      int a = Address(args.Need("address"));
      char kind = Letter(args.Need("kind"), "kind");
      queue(kind, Text(args.Rest()), o, a);
    } else if (cmd == "raw") {
      TReplyOptions o = Options(args);
      int a = Address(args.Need("address"));
      sim_.QueueRaw(a, HexBytes(args.Rest()), o);
      out.push_back("ok queued=" + std::to_string(sim_.Queued(a)));
    } else if (cmd == "silent") {
      int a = Address(args.Need("address"));
      int n = args.AtEnd() ? 1 : ToInt(args.Word(), "count", 1, 1000000);
      char letter = args.AtEnd() ? '*' : Letter(args.Word(), "letter");
      args.NoMore();
      sim_.QueueSilence(a, n, letter);
      out.push_back("ok queued=" + std::to_string(sim_.Queued(a)));
    } else if (cmd == "counters" || cmd == "inputs") {
      int a = Address(args.Need("address"));
      std::string rest = args.Rest();
      if (rest.empty()) throw TUsageError("missing text (- for none)");
      std::optional<std::string> text;
      if (rest != "-") text = Text(rest);
      if (cmd == "counters")
        sim_.SetCounters(a, text);
      else
        sim_.SetInputs(a, text);
      out.push_back("ok");
    } else if (cmd == "clear") {
      for (int a : AddressList(args)) sim_.ClearQueue(a);
      out.push_back("ok");
    } else if (cmd == "noise") {
      sim_.SendRaw(HexBytes(args.Rest()));
      out.push_back("ok");
    } else if (cmd == "frames") {
      std::uint64_t from = args.AtEnd() ? 0 : ToInt(args.Word(), "sequence number", 0, 2000000000);
      args.NoMore();
      std::size_t n = 0;
      for (const auto& r : sim_.Frames()) {
        if (r.seq < from) continue;
        out.push_back(FrameLine(r));
        ++n;
      }
      out.push_back("ok frames=" + std::to_string(n));
    } else if (cmd == "count") {
      TFilter f = Filter(args);
      args.NoMore();
      std::size_t n = 0;
      for (const auto& r : sim_.Frames()) n += f.Matches(r);
      out.push_back("ok count=" + std::to_string(n));
    } else if (cmd == "wait") {
      TFilter f = Filter(args);
      std::size_t want = args.AtEnd() ? 1 : ToInt(args.Word(), "count", 0, 100000000);
      int timeout = args.AtEnd() ? 10000 : ToInt(args.Word(), "time-out", 0, 86400000);
      args.NoMore();
      std::size_t seen = 0;
      bool ok = sim_.WaitFrames(
          [&](const std::vector<TReceivedFrame>& frames) {
            seen = 0;
            for (const auto& r : frames) seen += f.Matches(r);
            return seen >= want;
          },
          std::chrono::milliseconds(timeout));
      out.push_back((ok ? "ok count=" : "error timeout count=") + std::to_string(seen));
    } else if (cmd == "forget") {
      args.NoMore();
      sim_.ClearFrames();
      out.push_back("ok");
    } else if (cmd == "status") {
      args.NoMore();
      out = sim_.Status();
      out.push_back("ok line=" + (sim_.IsOpen() ? sim_.Path() : std::string("closed")) + " pace=" +
                    std::to_string(sim_.Pace()) + " frames=" + std::to_string(sim_.FrameCount()));
    } else if (cmd == "sleep") {
      int ms = ToInt(args.Need("ms"), "sleep", 0, 86400000);
      args.NoMore();
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      out.push_back("ok");
    } else if (cmd == "every") {
      std::string first = args.Need("period or stop");
      if (first == "stop") {
        args.NoMore();
        StopRepeaters();
        out.push_back("ok");
      } else {
        int ms = ToInt(first, "period", 1, 86400000);
        std::string command = args.Rest();
        TArgs inner(command);
        if (inner.AtEnd()) throw TUsageError("missing command");
        std::string name = inner.Word();
        if (name == "every" || name == "quit" || name == "exit" || name == "sleep")
          throw TUsageError("\"" + name + "\" cannot be repeated");
        StartRepeater(ms, command);
        out.push_back("ok repeaters=" + std::to_string(repeaters_.size()));
      }
    } else if (cmd == "vanish") {
      args.NoMore();
      sim_.Close();
      out.push_back("ok");
    } else if (cmd == "quit" || cmd == "exit") {
      quit_ = true;
      out.push_back("ok bye");
    } else {
      out.push_back("error unknown command \"" + cmd + "\" (try help)");
    }
  } catch (const TUsageError& e) {
    out.push_back(std::string("error ") + cmd + ": " + e.what());
  }
  return out;
}

}  // namespace orlo::sim
