// The simulator's command language.
#include "script.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string_view>
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

// The report options, each applied to the options of the report it precedes.
struct TReportOption {
  std::string_view name;
  void (*apply)(TArgs& args, TReplyOptions& options);
};

constexpr TReportOption kReportOptions[] = {
    {"-to", [](TArgs& args,
               TReplyOptions& o) { o.answers = Letter(args.Need("letter after -to"), "letter"); }},
    {"-badcheck", [](TArgs&, TReplyOptions& o) { o.badCheck = true; }},
    {"-noise",
     [](TArgs& args, TReplyOptions& o) { o.noise = HexBytes(args.Need("bytes after -noise")); }},
    {"-split",
     [](TArgs& args, TReplyOptions& o) {
       const std::string v = args.Need("count after -split");
       const std::size_t colon = v.find(':');
       o.splitAt = ToInt(v.substr(0, colon), "split position", 0, 100000);
       if (colon != std::string::npos) o.splitGapMs = ToInt(v.substr(colon + 1), "gap", 0, 600000);
     }},
    {"-from",
     [](TArgs& args, TReplyOptions& o) {
       o.addressByte = 0x30 + ToInt(args.Need("address after -from"), "address", 0, 0xCF);
     }},
    {"-delay",
     [](TArgs& args, TReplyOptions& o) {
       o.delayMs = ToInt(args.Need("ms after -delay"), "delay", 0, 600000);
     }},
    {"-untilack", [](TArgs&, TReplyOptions& o) { o.untilAcknowledged = true; }},
};

// Report options: words starting with '-' (and not a negative number)
// before the address.
TReplyOptions Options(TArgs& args) {
  TReplyOptions o;
  while (!args.AtEnd() && args.Peek().size() > 1 && args.Peek()[0] == '-' &&
         !std::isdigit(static_cast<unsigned char>(args.Peek()[1]))) {
    const std::string name = args.Word();
    const auto option = std::find_if(std::begin(kReportOptions), std::end(kReportOptions),
                                     [&](const TReportOption& r) { return r.name == name; });
    if (option == std::end(kReportOptions)) throw TUsageError("unknown option " + name);
    option->apply(args, o);
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

// One command being run: its words, its output lines and the script and
// simulator it runs on. Lives for one Execute call, on the caller's thread.
class TScriptCall {
 public:
  TScriptCall(TSimScript& script, const std::string& name, TArgs& args, TLines& out)
      : name(name), args(args), out(out), sim(script.sim_), script_(script) {}

  const std::string& name;  // as typed: a command with two names tells them apart
  TArgs& args;
  TLines& out;
  TSimulator& sim;

  void Ok(const std::string& detail = {}) { out.push_back(detail.empty() ? "ok" : "ok " + detail); }
  void OkQueued(int address) { Ok("queued=" + std::to_string(sim.Queued(address))); }
  void Queue(int address, char kind, const std::string& payload, const TReplyOptions& options) {
    sim.QueueReply(address, kind, payload, options);
    OkQueued(address);
  }
  void StartRepeater(int periodMs, const std::string& command) {
    script_.StartRepeater(periodMs, command);
  }
  void StopRepeaters() { script_.StopRepeaters(); }
  std::size_t Repeaters() const { return script_.repeaters_.size(); }
  void Quit() { script_.quit_ = true; }

 private:
  TSimScript& script_;
};

namespace {

// The optional power-up kind: 'P' (the default) or 'p'.
char PowerUpKind(TArgs& args) {
  const char kind = args.AtEnd() ? 'P' : Letter(args.Word(), "power-up kind");
  if (kind != 'P' && kind != 'p') throw TUsageError("power-up kind is P or p");
  return kind;
}

void HelpCommand(TScriptCall& c) {
  const std::string h = TSimScript::Help();
  std::size_t start = 0;
  while (start < h.size()) {
    const std::size_t nl = h.find('\n', start);
    c.out.push_back(h.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  c.Ok();
}

void DevicesCommand(TScriptCall& c) {
  for (int a : AddressList(c.args)) c.sim.AddDevice(a);
  c.Ok();
}

void RemoveCommand(TScriptCall& c) {
  for (int a : AddressList(c.args)) c.sim.RemoveDevice(a);
  c.Ok();
}

// "online" and "offline".
void OnlineCommand(TScriptCall& c) {
  for (int a : AddressList(c.args)) c.sim.SetOnline(a, c.name == "online");
  c.Ok();
}

void RestartCommand(TScriptCall& c) {
  const int a = Address(c.args.Need("address"));
  const char kind = PowerUpKind(c.args);
  c.args.NoMore();
  c.sim.ClearQueue(a);
  c.sim.SetOnline(a, true);
  c.Queue(a, kind, "", TReplyOptions{});
}

void DelayCommand(TScriptCall& c) {
  const int a = Address(c.args.Need("address"));
  const int ms = ToInt(c.args.Need("ms"), "delay", 0, 600000);
  c.args.NoMore();
  c.sim.SetAnswerDelay(a, ms);
  c.Ok();
}

void PaceCommand(TScriptCall& c) {
  const int baud = ToInt(c.args.Need("baud rate"), "baud rate", 0, 4000000);
  c.args.NoMore();
  c.sim.SetPace(baud);
  c.Ok("pace=" + std::to_string(baud));
}

// Reports whose payload is the rest of the line, by command name.
void TextReportCommand(TScriptCall& c) {
  static const std::map<std::string, char> kKinds = {
      {"card", 'C'}, {"memory", 'M'},  {"barcode", '#'},
      {"disc", 'D'}, {"deposit", 'Z'}, {"printer", 'J'},
  };
  const TReplyOptions o = Options(c.args);
  const int a = Address(c.args.Need("address"));
  c.Queue(a, kKinds.at(c.name), Text(c.args.Rest()), o);
}

// "escrow" and "cashbox": reports without a payload.
void LeverReportCommand(TScriptCall& c) {
  const TReplyOptions o = Options(c.args);
  const int a = Address(c.args.Need("address"));
  c.args.NoMore();
  c.Queue(a, c.name == "escrow" ? 'E' : 'U', "", o);
}

void TicketCommand(TScriptCall& c) {
  const TReplyOptions o = Options(c.args);
  const int a = Address(c.args.Need("address"));
  const std::string barcode = Text(c.args.Need("barcode"));
  if (barcode.size() != 10) throw TUsageError("a ticket barcode has 10 characters");
  const int number = ToInt(c.args.Need("ticket number"), "ticket number", 0, 999999);
  const int flags = c.args.AtEnd() ? 0 : ToInt(c.args.Word(), "flags", 0, 9);
  c.args.NoMore();
  char num[8];
  std::snprintf(num, sizeof num, "%06d", number);
  c.Queue(a, 'C', std::to_string(flags) + barcode + num, o);
}

void ButtonCommand(TScriptCall& c) {
  const TReplyOptions o = Options(c.args);
  const int a = Address(c.args.Need("address"));
  const char id = Letter(c.args.Need("button id"), "button id");
  const std::string dir = c.args.Need("up or down");
  if (dir != "up" && dir != "down") throw TUsageError("button state is up or down");
  c.args.NoMore();
  c.Queue(a, 'K', std::string(1, id) + (dir == "up" ? '1' : '0'), o);
}

void BoardCommand(TScriptCall& c) {
  const TReplyOptions o = Options(c.args);
  const int a = Address(c.args.Need("address"));
  const int board = ToInt(c.args.Need("board"), "board", 0, 15);
  const std::string states = c.args.AtEnd() ? std::string() : c.args.Word();
  c.args.NoMore();
  if (states.size() > 64) throw TUsageError("a board has at most 64 inputs");
  std::string payload(1, static_cast<char>(0x30 + board));
  for (char s : states) {
    if (s == '1' || s == '2')
      payload += s;
    else if (s == '-' || s == '0' || s == '.')
      payload += '0';
    else
      throw TUsageError("board input states are 1 (off), 2 (on) or - (nothing)");
  }
  c.Queue(a, 'L', payload, o);
}

void PowerUpCommand(TScriptCall& c) {
  const TReplyOptions o = Options(c.args);
  const int a = Address(c.args.Need("address"));
  const char kind = PowerUpKind(c.args);
  c.args.NoMore();
  c.Queue(a, kind, "", o);
}

void ReplyCommand(TScriptCall& c) {
  const TReplyOptions o = Options(c.args);
  const int a = Address(c.args.Need("address"));
  const char kind = Letter(c.args.Need("kind"), "kind");
  c.Queue(a, kind, Text(c.args.Rest()), o);
}

void RawCommand(TScriptCall& c) {
  const TReplyOptions o = Options(c.args);
  const int a = Address(c.args.Need("address"));
  c.sim.QueueRaw(a, HexBytes(c.args.Rest()), o);
  c.OkQueued(a);
}

void SilentCommand(TScriptCall& c) {
  const int a = Address(c.args.Need("address"));
  const int n = c.args.AtEnd() ? 1 : ToInt(c.args.Word(), "count", 1, 1000000);
  const char letter = c.args.AtEnd() ? '*' : Letter(c.args.Word(), "letter");
  c.args.NoMore();
  c.sim.QueueSilence(a, n, letter);
  c.OkQueued(a);
}

// "counters" and "inputs": the standing answer to a poll, or ACK for "-".
void StandingAnswerCommand(TScriptCall& c) {
  const int a = Address(c.args.Need("address"));
  const std::string rest = c.args.Rest();
  if (rest.empty()) throw TUsageError("missing text (- for none)");
  std::optional<std::string> text;
  if (rest != "-") text = Text(rest);
  if (c.name == "counters")
    c.sim.SetCounters(a, text);
  else
    c.sim.SetInputs(a, text);
  c.Ok();
}

void ClearCommand(TScriptCall& c) {
  for (int a : AddressList(c.args)) c.sim.ClearQueue(a);
  c.Ok();
}

void NoiseCommand(TScriptCall& c) {
  c.sim.SendRaw(HexBytes(c.args.Rest()));
  c.Ok();
}

void FramesCommand(TScriptCall& c) {
  const std::uint64_t from =
      c.args.AtEnd() ? 0 : ToInt(c.args.Word(), "sequence number", 0, 2000000000);
  c.args.NoMore();
  std::size_t n = 0;
  for (const auto& r : c.sim.Frames()) {
    if (r.seq < from) continue;
    c.out.push_back(FrameLine(r));
    ++n;
  }
  c.Ok("frames=" + std::to_string(n));
}

void CountCommand(TScriptCall& c) {
  const TFilter f = Filter(c.args);
  c.args.NoMore();
  std::size_t n = 0;
  for (const auto& r : c.sim.Frames()) n += f.Matches(r);
  c.Ok("count=" + std::to_string(n));
}

void WaitCommand(TScriptCall& c) {
  const TFilter f = Filter(c.args);
  const std::size_t want = c.args.AtEnd() ? 1 : ToInt(c.args.Word(), "count", 0, 100000000);
  const int timeout = c.args.AtEnd() ? 10000 : ToInt(c.args.Word(), "time-out", 0, 86400000);
  c.args.NoMore();
  std::size_t seen = 0;
  const bool ok = c.sim.WaitFrames(
      [&](const std::vector<TReceivedFrame>& frames) {
        seen = 0;
        for (const auto& r : frames) seen += f.Matches(r);
        return seen >= want;
      },
      std::chrono::milliseconds(timeout));
  c.out.push_back((ok ? "ok count=" : "error timeout count=") + std::to_string(seen));
}

void ForgetCommand(TScriptCall& c) {
  c.args.NoMore();
  c.sim.ClearFrames();
  c.Ok();
}

void StatusCommand(TScriptCall& c) {
  c.args.NoMore();
  c.out = c.sim.Status();
  c.Ok("line=" + (c.sim.IsOpen() ? c.sim.Path() : std::string("closed")) +
       " pace=" + std::to_string(c.sim.Pace()) + " frames=" + std::to_string(c.sim.FrameCount()));
}

void SleepCommand(TScriptCall& c) {
  const int ms = ToInt(c.args.Need("ms"), "sleep", 0, 86400000);
  c.args.NoMore();
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  c.Ok();
}

void EveryCommand(TScriptCall& c) {
  const std::string first = c.args.Need("period or stop");
  if (first == "stop") {
    c.args.NoMore();
    c.StopRepeaters();
    c.Ok();
    return;
  }
  const int ms = ToInt(first, "period", 1, 86400000);
  const std::string command = c.args.Rest();
  TArgs inner(command);
  if (inner.AtEnd()) throw TUsageError("missing command");
  const std::string name = inner.Word();
  if (name == "every" || name == "quit" || name == "exit" || name == "sleep")
    throw TUsageError("\"" + name + "\" cannot be repeated");
  c.StartRepeater(ms, command);
  c.Ok("repeaters=" + std::to_string(c.Repeaters()));
}

void VanishCommand(TScriptCall& c) {
  c.args.NoMore();
  c.sim.Close();
  c.Ok();
}

void QuitCommand(TScriptCall& c) {
  c.Quit();
  c.Ok("bye");
}

struct TCommand {
  std::string_view name;
  void (*run)(TScriptCall& call);
};

constexpr TCommand kCommands[] = {
    {"help", HelpCommand},
    {"devices", DevicesCommand},
    {"device", DevicesCommand},
    {"remove", RemoveCommand},
    {"offline", OnlineCommand},
    {"online", OnlineCommand},
    {"restart", RestartCommand},
    {"delay", DelayCommand},
    {"pace", PaceCommand},
    {"card", TextReportCommand},
    {"memory", TextReportCommand},
    {"barcode", TextReportCommand},
    {"disc", TextReportCommand},
    {"deposit", TextReportCommand},
    {"printer", TextReportCommand},
    {"escrow", LeverReportCommand},
    {"cashbox", LeverReportCommand},
    {"ticket", TicketCommand},
    {"button", ButtonCommand},
    {"board", BoardCommand},
    {"powerup", PowerUpCommand},
    {"reply", ReplyCommand},
    {"raw", RawCommand},
    {"silent", SilentCommand},
    {"counters", StandingAnswerCommand},
    {"inputs", StandingAnswerCommand},
    {"clear", ClearCommand},
    {"noise", NoiseCommand},
    {"frames", FramesCommand},
    {"count", CountCommand},
    {"wait", WaitCommand},
    {"forget", ForgetCommand},
    {"status", StatusCommand},
    {"sleep", SleepCommand},
    {"every", EveryCommand},
    {"vanish", VanishCommand},
    {"quit", QuitCommand},
    {"exit", QuitCommand},
};

}  // namespace

std::vector<std::string> TSimScript::Execute(const std::string& line) {
  TArgs args(line);
  if (args.AtEnd()) return {};
  if (args.Peek()[0] == '#') return {};
  const std::string name = args.Word();
  const auto command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                    [&](const TCommand& c) { return c.name == name; });
  if (command == std::end(kCommands)) return {"error unknown command \"" + name + "\" (try help)"};
  TLines out;
  TScriptCall call(*this, name, args, out);
  try {
    command->run(call);
  } catch (const TUsageError& e) {
    out.push_back("error " + name + ": " + e.what());
  }
  return out;
}

}  // namespace orlo::sim
