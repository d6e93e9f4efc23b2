#include "bus/tracefile.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "log/messlog.h"
#include "platform/format.h"

namespace orlo {

namespace fs = std::filesystem;

namespace {

static_assert(TTraceFile::kLinkType == DLT_USER0);

constexpr std::uint32_t kPcapMagicMicro = 0xa1b2c3d4;  // host byte order, microseconds
constexpr std::size_t kFileHeaderSize = 24;
constexpr std::size_t kRecordHeaderSize = 16;

std::tm LocalTime(TTraceFile::TimePoint at) {
  const std::time_t t = std::chrono::system_clock::to_time_t(at);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

// yyyymmdd of the local date.
int DayNumber(const std::tm& tm) {
  return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

std::string DateText(const std::tm& tm) {
  return Format("%.4d-%.2d-%.2d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

// The local date days before the date of tm.
std::tm DaysBefore(std::tm tm, int days) {
  tm.tm_mday -= days;
  tm.tm_hour = 12;  // noon: no daylight-saving change moves it to another day
  tm.tm_isdst = -1;
  std::mktime(&tm);
  return tm;
}

// The date part of one of this loop's trace file names (kept aside ones
// included), or empty for any other name.
std::string DateOfTraceFile(const std::string& name, const std::string& prefix) {
  if (name.rfind(prefix, 0) != 0) return {};
  const std::string date = name.substr(prefix.size(), 10);
  const std::string rest = name.substr(std::min(name.size(), prefix.size() + 10));
  if (rest != ".pcap" && rest != ".pcap.bad") return {};
  for (std::size_t i = 0; i < date.size(); ++i) {
    const bool dash = i == 4 || i == 7;
    if (dash ? date[i] != '-' : (date[i] < '0' || date[i] > '9')) return {};
  }
  return date.size() == 10 ? date : std::string();
}

std::string FilePrefix(int loopId) { return Format("loop%d-", loopId); }

// Whether the file starts with the header this program writes.
bool HasOwnHeader(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::uint32_t h[6] = {};
  if (!in.read(reinterpret_cast<char*>(h), sizeof h)) return false;
  const std::uint32_t version = 2u | (4u << 16);  // major 2, minor 4, host order
  return h[0] == kPcapMagicMicro && h[1] == version &&
         h[4] == static_cast<std::uint32_t>(TTraceFile::kSnapLen) &&
         h[5] == static_cast<std::uint32_t>(TTraceFile::kLinkType);
}

// The offset after the last whole record of a file with our header, and
// whether anything (a record cut off by a crash or a full disk) follows it.
bool LastWholeRecord(const std::string& path, std::uint64_t& end, bool& cut) {
  char err[PCAP_ERRBUF_SIZE] = {};
  pcap_t* p = pcap_open_offline(path.c_str(), err);
  if (!p) return false;
  end = kFileHeaderSize;
  cut = false;
  pcap_pkthdr* h = nullptr;
  const u_char* data = nullptr;
  for (;;) {
    const int r = pcap_next_ex(p, &h, &data);
    if (r == 1) {
      end = static_cast<std::uint64_t>(std::ftell(pcap_file(p)));
      continue;
    }
    cut = r != PCAP_ERROR_BREAK;  // the end of the file ends it cleanly
    break;
  }
  pcap_close(p);
  std::error_code ec;
  cut = cut || fs::file_size(path, ec) != end;
  return true;
}

}  // namespace

TTraceFile::TTraceFile(const TLineTraceSettings& settings, TMessLog* log)
    : settings_(settings),
      log_(log),
      dead_(
          pcap_open_dead_with_tstamp_precision(kLinkType, kSnapLen, PCAP_TSTAMP_PRECISION_MICRO)) {}

TTraceFile::~TTraceFile() {
  Close();
  if (dead_) pcap_close(dead_);
}

std::string TTraceFile::FileName(const std::string& folder, int loopId, TimePoint at) {
  return (fs::path(folder) / (FilePrefix(loopId) + DateText(LocalTime(at)) + ".pcap")).string();
}

std::string TTraceFile::Payload(const TTraceRecord& record, int loopId, int port) {
  std::string p;
  p.reserve(kHeaderSize + record.bytes.size());
  p.push_back(1);  // layout version
  p.push_back(static_cast<char>(record.direction));
  p.push_back(static_cast<char>(record.outcome));
  p.push_back(static_cast<char>(record.address));
  p.push_back(static_cast<char>((loopId >> 8) & 0xFF));
  p.push_back(static_cast<char>(loopId & 0xFF));
  p.push_back(static_cast<char>((port >> 8) & 0xFF));
  p.push_back(static_cast<char>(port & 0xFF));
  p.append(record.bytes);
  return p;
}

void TTraceFile::Write(const TTraceRecord& record) {
  lastAt_ = record.at;
  const int day = DayNumber(LocalTime(record.at));
  if (day != day_) {
    // A new day: a new file, a fresh bound, and a failed folder is tried at once.
    Close();
    day_ = day;
    full_ = false;
    retryAt_ = {};
  }
  if (full_) return;
  if (!dumper_ && ((failing_ && record.at < retryAt_) || !Open(record.at))) {
    ++lost_;
    return;
  }
  const std::string payload = Payload(record, settings_.loopId, settings_.port);
  const std::size_t caplen = std::min<std::size_t>(payload.size(), kSnapLen);
  if (size_ + kRecordHeaderSize + caplen > settings_.maxBytes) {
    full_ = true;
    Log(
        Format("Line trace of loop %d: %s reached its limit of %d MB; no more frames are "
               "traced today",
               settings_.loopId, path_, settings_.maxBytes / (1024 * 1024)));
    Close();
    return;
  }
  pcap_pkthdr h{};
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(record.at.time_since_epoch()).count();
  h.ts.tv_sec = static_cast<time_t>(us / 1000000);
  h.ts.tv_usec = static_cast<suseconds_t>(us % 1000000);
  h.caplen = static_cast<bpf_u_int32>(caplen);
  h.len = static_cast<bpf_u_int32>(payload.size());
  errno = 0;
  pcap_dump(reinterpret_cast<u_char*>(dumper_), &h,
            reinterpret_cast<const u_char*>(payload.data()));
  size_ += kRecordHeaderSize + caplen;
  CheckWritten();
}

void TTraceFile::Flush() {
  if (!dumper_) return;
  errno = 0;
  if (pcap_dump_flush(dumper_) != 0)
    WriteFailed();
  else
    CheckWritten();
}

void TTraceFile::CheckWritten() {
  // The stream keeps its error flag from the write that failed, the cause in
  // errno only until the next call: look at once.
  if (std::ferror(pcap_dump_file(dumper_))) WriteFailed();
}

void TTraceFile::WriteFailed() {
  const std::string reason = errno ? std::strerror(errno) : "write error";
  pcap_dump_close(dumper_);
  dumper_ = nullptr;
  // The file may end in a cut-off record now; the next open cuts it back.
  Fail("writing " + path_ + " failed: " + reason, lastAt_);
}

bool TTraceFile::Open(TimePoint at) {
  path_ = FileName(settings_.folder, settings_.loopId, at);
  std::error_code ec;
  fs::create_directories(settings_.folder, ec);
  if (ec || !fs::is_directory(settings_.folder, ec)) {
    Fail("cannot make the folder " + settings_.folder + ": " +
             (ec ? ec.message() : std::string("a file of that name is in the way")),
         at);
    return false;
  }
  RemoveOldFiles(at);
  if (!dead_) {
    Fail("cannot write " + path_ + ": out of memory", at);
    return false;
  }
  if (fs::exists(path_, ec)) {
    const std::string problem = PrepareExisting(path_);
    if (!problem.empty()) {
      Fail("cannot write " + path_ + ": " + problem, at);
      return false;
    }
  }
  dumper_ = pcap_dump_open_append(dead_, path_.c_str());
  if (!dumper_) {
    Fail("cannot write " + path_ + ": " + pcap_geterr(dead_), at);
    return false;
  }
  const std::int64_t pos = pcap_dump_ftell64(dumper_);
  size_ = pos > 0 ? static_cast<std::uint64_t>(pos) : kFileHeaderSize;
  if (failing_)
    Log(Format("Line trace of loop %d writes to %s again; %d frames were not traced meanwhile",
               settings_.loopId, path_, lost_));
  failing_ = false;
  lost_ = 0;
  return true;
}

std::string TTraceFile::PrepareExisting(const std::string& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return "it is not a file";
  // A file with no whole header holds nothing (the program stopped as it began it).
  if (fs::file_size(path, ec) < kFileHeaderSize)
    return fs::remove(path, ec) ? std::string() : ec.message();
  std::uint64_t end = 0;
  bool cut = false;
  if (!HasOwnHeader(path) || !LastWholeRecord(path, end, cut)) {
    // Not ours to append to, and not ours to destroy either.
    const std::string aside = path + ".bad";
    fs::rename(path, aside, ec);
    if (ec) return ec.message();
    Log(Format("Line trace of loop %d: %s is not a line trace of this program; moved to %s",
               settings_.loopId, path, aside));
    return {};
  }
  if (!cut) return {};
  fs::resize_file(path, end, ec);
  if (ec) return ec.message();
  Log(
      Format("Line trace of loop %d: %s ended in a cut-off frame; cut back to its last whole "
             "frame",
             settings_.loopId, path));
  return {};
}

void TTraceFile::RemoveOldFiles(TimePoint today) {
  const std::string oldest = DateText(DaysBefore(LocalTime(today), kKeepDays - 1));
  const std::string prefix = FilePrefix(settings_.loopId);
  std::error_code ec;
  int removed = 0;
  for (fs::directory_iterator it(settings_.folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string date = DateOfTraceFile(it->path().filename().string(), prefix);
    if (!date.empty() && date < oldest && it->is_regular_file(ec) && fs::remove(it->path(), ec))
      ++removed;
  }
  if (removed > 0)
    Log(Format("Line trace of loop %d: %d files older than %d days removed", settings_.loopId,
               removed, kKeepDays));
}

void TTraceFile::Close() {
  Flush();
  if (!dumper_) return;
  pcap_dump_close(dumper_);
  dumper_ = nullptr;
}

void TTraceFile::Fail(const std::string& what, TimePoint at) {
  if (!failing_)
    Log(Format("Line trace of loop %d: %s; frames are not traced until it works again",
               settings_.loopId, what));
  failing_ = true;
  retryAt_ = at + kRetryAfter;
}

void TTraceFile::Log(const std::string& line) const {
  if (log_) log_->Log(line);
}

}  // namespace orlo
