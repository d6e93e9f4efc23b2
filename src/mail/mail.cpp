#include "mail/mail.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/mutex.h"
#include "platform/text.h"

namespace orlo {

namespace {

bool IsControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7f;
}

// curl_global_init is not thread-safe in every libcurl build; run it once.
bool CurlReady() {
  static std::once_flag once;
  static CURLcode code = CURLE_FAILED_INIT;
  std::call_once(once, [] { code = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return code == CURLE_OK;
}

// The bare address of a list item: the part in angle brackets when there is
// one ("Ann" <ann@x>), else the item without enclosing double quotes.
std::string EnvelopeAddress(const std::string& item) {
  const auto open = item.find('<');
  if (open != std::string::npos) {
    const auto close = item.find('>', open + 1);
    if (close != std::string::npos) return item.substr(open + 1, close - open - 1);
  }
  if (item.size() >= 2 && item.front() == '"' && item.back() == '"')
    return item.substr(1, item.size() - 2);
  return item;
}

// Header values must stay on one line: a line break would start a new header.
std::string OneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) out += IsControl(c) ? ' ' : c;
  return out;
}

std::string Base64(std::string_view in) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                       (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += kDigits[(v >> 6) & 63];
    out += kDigits[v & 63];
  }
  if (i < in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < in.size() ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// Header text outside printable ASCII (names from the database) is sent as an
// RFC 2047 encoded word so that it survives any relay.
std::string HeaderText(std::string_view text) {
  const std::string line = OneLine(text);
  for (char c : line)
    if (static_cast<unsigned char>(c) > 0x7e) return "=?UTF-8?B?" + Base64(line) + "?=";
  return line;
}

std::string DateHeader() {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const time_t now = time(nullptr);
  struct tm t {};
  gmtime_r(&now, &t);
  char buf[64];
  std::snprintf(buf, sizeof buf, "Date: %s, %02d %s %d %02d:%02d:%02d +0000", kDays[t.tm_wday],
                t.tm_mday, kMonths[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  return buf;
}

bool IsDomainChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

std::string MessageIdHeader(const std::string& from) {
  static std::atomic<unsigned> counter{0};
  std::string domain;
  const auto at = from.rfind('@');
  if (at != std::string::npos) domain = from.substr(at + 1);
  bool ok = !domain.empty();
  for (char c : domain) ok = ok && IsDomainChar(c);
  if (!ok) domain = "orlocard.invalid";
  const auto stamp = std::chrono::system_clock::now().time_since_epoch().count();
  return "Message-ID: <" + std::to_string(stamp) + "." + std::to_string(++counter) + "@" + domain +
         ">";
}

// The settings file names the server; only a host name or an address may
// reach the URL, never a path, credentials or a second host.
bool BuildUrl(const std::string& host, int port, std::string& url) {
  if (host.empty() || port < 1 || port > 65535) return false;
  bool plain = true;
  for (char c : host) plain = plain && IsDomainChar(c);
  in6_addr v6{};
  if (plain)
    url = "smtp://" + host + ":" + std::to_string(port);
  else if (inet_pton(AF_INET6, host.c_str(), &v6) == 1)
    url = "smtp://[" + host + "]:" + std::to_string(port);
  else
    return false;
  return true;
}

// MIME type of an attachment by its extension; a part without one would be
// read as plain text.
const char* AttachmentType(const std::string& path) {
  static constexpr std::pair<const char*, const char*> kTypes[] = {
      {".txt", "text/plain"},      {".log", "text/plain"},      {".csv", "text/csv"},
      {".htm", "text/html"},       {".html", "text/html"},      {".xml", "application/xml"},
      {".pdf", "application/pdf"}, {".zip", "application/zip"}, {".png", "image/png"},
      {".jpg", "image/jpeg"},      {".jpeg", "image/jpeg"},     {".gif", "image/gif"}};
  const std::string ext = LowerCase(std::filesystem::path(path).extension().string());
  for (const auto& [suffix, type] : kTypes)
    if (ext == suffix) return type;
  return "application/octet-stream";
}

size_t DiscardOutput(char*, size_t size, size_t count, void*) { return size * count; }

struct CurlDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
  void operator()(curl_mime* m) const { curl_mime_free(m); }
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
template <class T>
using CurlPtr = std::unique_ptr<T, CurlDeleter>;
// CURLM and CURL may be the same type: the multi handle has its own deleter.
struct CurlMultiDeleter {
  void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
using CurlMultiPtr = std::unique_ptr<CURLM, CurlMultiDeleter>;

// Appends one line to a curl list; false when curl is out of memory.
bool Append(CurlPtr<curl_slist>& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (!grown) return false;
  list.release();
  list.reset(grown);
  return true;
}

// Deletes the attachment once the message that carries it is released.
class TTempFileGuard {
 public:
  explicit TTempFileGuard(std::string path) : path_(std::move(path)) {}
  ~TTempFileGuard() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove(path_, ec);
  }
  TTempFileGuard(const TTempFileGuard&) = delete;
  TTempFileGuard& operator=(const TTempFileGuard&) = delete;

 private:
  std::string path_;
};

std::string CurlError(CURLcode code, const char* errbuf) {
  return errbuf[0] ? std::string(errbuf) : std::string(curl_easy_strerror(code));
}

// Composes the message into curl's MIME structure and header list.
std::string Compose(CURL* h, const TMailMessage& msg, const std::vector<std::string>& to,
                    const std::string& from, CurlPtr<curl_mime>& mime,
                    CurlPtr<curl_slist>& headers) {
  std::string toLine;
  for (const auto& item : to) toLine += (toLine.empty() ? "" : ", ") + item;
  const bool ok =
      Append(headers, DateHeader()) &&
      Append(headers, "From: \"" + std::string(kMailSenderName) + "\" <" + from + ">") &&
      (from.empty() || Append(headers, "Reply-To: <" + from + ">")) &&
      Append(headers, "To: " + toLine) && Append(headers, "Subject: " + HeaderText(msg.subject)) &&
      Append(headers, MessageIdHeader(from));
  if (!ok) return "Out of memory";

  mime.reset(curl_mime_init(h));
  if (!mime) return "Out of memory";
  // The text part goes first; an empty body still gets one so the message is
  // well formed when there is no attachment either.
  if (!msg.body.empty() || msg.attachment.empty()) {
    curl_mimepart* text = curl_mime_addpart(mime.get());
    if (!text) return "Out of memory";
    curl_mime_data(text, msg.body.data(), msg.body.size());
    curl_mime_type(text, "text/plain; charset=utf-8");
    curl_mime_encoder(text, "quoted-printable");
  }
  if (!msg.attachment.empty()) {
    curl_mimepart* file = curl_mime_addpart(mime.get());
    if (!file) return "Out of memory";
    if (curl_mime_filedata(file, msg.attachment.c_str()) != CURLE_OK)
      return "Cannot read attachment " + msg.attachment;
    curl_mime_type(file, AttachmentType(msg.attachment));
    curl_mime_encoder(file, "base64");
    const std::string name = OneLine(std::filesystem::path(msg.attachment).filename().string());
    CurlPtr<curl_slist> partHeaders;
    if (!Append(partHeaders, "Content-Disposition: inline; filename=\"" + name + "\""))
      return "Out of memory";
    curl_mime_headers(file, partHeaders.release(), 1);
  }
  return {};
}

// The sockets of one exchange, made and closed through curl's socket
// callbacks so that a stop can shut them down. curl waits for a hung server
// in places no wake-up reaches (the answer to the end of the data, the QUIT
// it says when a transfer is removed); on a shut-down socket those waits end
// at once. curl calls back on the thread running the exchange; ShutDownAll
// may run on the stopping thread.
class TExchangeSockets {
 public:
  void Attach(CURL* c) {
    curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, &TExchangeSockets::Open);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(c, CURLOPT_CLOSESOCKETFUNCTION, &TExchangeSockets::Close);
    curl_easy_setopt(c, CURLOPT_CLOSESOCKETDATA, this);
  }
  void ShutDownAll() {
    TLockGuard lk(lock_);
    for (curl_socket_t fd : open_) ::shutdown(fd, SHUT_RDWR);
  }

 private:
  static curl_socket_t Open(void* self, curlsocktype, curl_sockaddr* address) {
    auto& sockets = *static_cast<TExchangeSockets*>(self);
    TLockGuard lk(sockets.lock_);
    const curl_socket_t fd =
        ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd == CURL_SOCKET_BAD) return fd;
    try {
      sockets.open_.push_back(fd);
    } catch (...) {  // a socket that cannot be tracked is not used
      ::close(fd);
      return CURL_SOCKET_BAD;
    }
    return fd;
  }
  // Forgets and closes under the lock: a shut-down never meets a number that
  // another part of the process has been given since.
  static int Close(void* self, curl_socket_t fd) {
    auto& sockets = *static_cast<TExchangeSockets*>(self);
    TLockGuard lk(sockets.lock_);
    std::erase(sockets.open_, fd);
    return ::close(fd);
  }

  TMutex lock_;
  std::vector<curl_socket_t> open_ GUARDED_BY(lock_);  // the sockets curl holds now
};

// Runs the prepared exchange of c on a multi handle, so that a stop request
// ends any wait for the server (its sockets shut down, the poll woken)
// instead of waiting out the time-outs. Returns "" when the server took the
// message, else the reason it did not (kMailAbandoned after a stop request).
std::string Perform(CURL* c, TExchangeSockets& sockets, std::stop_token stop, const char* errbuf) {
  CurlMultiPtr multi(curl_multi_init());
  if (!multi) return "Out of memory";
  CURLMcode mc = curl_multi_add_handle(multi.get(), c);
  if (mc != CURLM_OK) return curl_multi_strerror(mc);
  int running = 1;
  {
    // Made after the multi handle and gone before it is cleaned up; going,
    // it waits for a wake-up running on the stopping thread.
    std::stop_callback wake(stop, [m = multi.get(), &sockets] {
      sockets.ShutDownAll();
      curl_multi_wakeup(m);
    });
    while (mc == CURLM_OK && running > 0 && !stop.stop_requested()) {
      mc = curl_multi_perform(multi.get(), &running);
      // Returns on socket activity, at curl's own next time-out, or on a stop.
      if (mc == CURLM_OK && running > 0)
        mc = curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
    }
  }
  // Only a finished transfer's own result can say "taken".
  CURLcode code = CURLE_SEND_ERROR;
  int queued = 0;
  while (CURLMsg* m = curl_multi_info_read(multi.get(), &queued))
    if (m->msg == CURLMSG_DONE) code = m->data.result;
  // A stop ends the exchange unfinished, or fails it by shutting its socket.
  const bool abandoned = stop.stop_requested() && (running > 0 || code != CURLE_OK);
  if (abandoned) sockets.ShutDownAll();  // one made after the stop request
  curl_multi_remove_handle(multi.get(), c);
  if (abandoned) return std::string(kMailAbandoned);
  if (mc != CURLM_OK) return curl_multi_strerror(mc);
  return code == CURLE_OK ? std::string() : CurlError(code, errbuf);
}

}  // namespace

std::vector<std::string> SplitAddressList(std::string_view list) {
  std::vector<std::string> items;
  std::string item;
  bool quoted = false;
  for (char c : list) {
    if (c == '"') {
      quoted = !quoted;
      item += c;
    } else if (IsControl(c)) {
      if (!quoted && !item.empty()) items.push_back(std::move(item));
      if (!quoted) item.clear();
    } else if (!quoted && (c == ',' || c == ' ')) {
      if (!item.empty()) items.push_back(std::move(item));
      item.clear();
    } else {
      item += c;
    }
  }
  if (!item.empty()) items.push_back(std::move(item));
  return items;
}

std::string MailMessage(const TMailMessage& msg, const TMailTimeouts& timeouts,
                        std::stop_token stop) {
  const std::vector<std::string> to = SplitAddressList(msg.to);
  if (to.empty()) return std::string(kMailNoRecipients);
  const std::vector<std::string> bcc = SplitAddressList(msg.bcc);

  std::string url;
  if (!BuildUrl(msg.host, msg.port, url))
    return "Invalid mail server \"" + OneLine(msg.host) + "\" port " + std::to_string(msg.port);
  if (!msg.attachment.empty() && !std::ifstream(msg.attachment, std::ios::binary))
    return "Cannot open attachment " + OneLine(msg.attachment);
  TTempFileGuard attachmentGuard(msg.deleteAttachment ? msg.attachment : std::string());

  if (!CurlReady()) return "Cannot initialise the mail library";
  TExchangeSockets sockets;  // outlives every curl handle that may close a socket
  CurlPtr<CURL> h(curl_easy_init());
  if (!h) return "Cannot initialise the mail library";

  const std::string from = OneLine(EnvelopeAddress(msg.from));
  CurlPtr<curl_slist> rcpt;
  for (const auto& list : {&to, &bcc})
    for (const auto& item : *list)
      if (!Append(rcpt, "<" + EnvelopeAddress(item) + ">")) return "Out of memory";
  CurlPtr<curl_mime> mime;
  CurlPtr<curl_slist> headers;
  if (std::string error = Compose(h.get(), msg, to, from, mime, headers); !error.empty())
    return error;

  char errbuf[CURL_ERROR_SIZE] = "";
  CURL* c = h.get();
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_MAIL_FROM, ("<" + from + ">").c_str());
  curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpt.get());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_MIMEPOST, mime.get());
  if (!msg.userName.empty()) {
    curl_easy_setopt(c, CURLOPT_USERNAME, msg.userName.c_str());
    if (!msg.password.empty()) curl_easy_setopt(c, CURLOPT_PASSWORD, msg.password.c_str());
  }
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect.count()));
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts.total.count()));
  // A library inside a service prints nothing, and signals must not be used
  // for time-outs in a threaded program.
  curl_easy_setopt(c, CURLOPT_VERBOSE, 0L);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, DiscardOutput);
  // Only SMTP may be spoken, even if a redirect-like reply suggested another.
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp");

  sockets.Attach(c);
  std::string error = Perform(c, sockets, stop, errbuf);
  return error.empty() ? std::string(kMailSent) : error;
}

}  // namespace orlo
