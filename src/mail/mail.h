// MailMessage: composes one e-mail and hands it to an SMTP server (libcurl,
// SMTP with a MIME body). It blocks for the whole exchange, bounded by the
// time-outs in TMailTimeouts and ended at once by a stop request; callers that
// must not wait (the card handlers) go through TMailWorker instead.
// Thread-safe: every call uses its own curl handles; any thread may call it,
// and any thread may request the stop.
#pragma once

#include <chrono>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace orlo {

// Display name of the sender of every message.
inline constexpr std::string_view kMailSenderName = "Mardelle";
inline constexpr std::string_view kMailSent = "Sent";
inline constexpr std::string_view kMailNoRecipients = "No one to send to!";
inline constexpr std::string_view kMailAbandoned =
    "Abandoned at a stop request before the server confirmed the message";

struct TMailTimeouts {
  // TCP connect plus the server's greeting.
  std::chrono::milliseconds connect{10000};
  // The whole exchange, connect included: an unresponsive server can hold a
  // mail no longer than this.
  std::chrono::milliseconds total{30000};
};

struct TMailMessage {
  std::string userName;  // empty: no authentication
  std::string password;  // used only with a user name
  std::string host;      // SMTP server host name or address
  int port = 25;
  std::string from;  // sender address, also the reply address
  std::string to;    // recipient list (see SplitAddressList)
  std::string bcc;   // blind-copy list, same form
  std::string subject;
  std::string body;  // plain text; may be empty
  // Optional file sent as an inline attachment. It is a temporary file handed
  // over to the mail: it is deleted once the message is released, whether the
  // sending succeeded or not (unless deleteAttachment is false).
  std::string attachment;
  bool deleteAttachment = true;
};

// Splits an address list into items at every comma and every blank outside
// double quotes; a double-quoted part may hold commas and blanks. Empty items
// are skipped, so "a, b" gives two items and empty text gives none. Control
// characters (line breaks) also separate items: they must never reach the SMTP
// dialogue or a header.
std::vector<std::string> SplitAddressList(std::string_view list);

// Sends msg. Returns "Sent" after the server took the message, "No one to send
// to!" when msg.to has no item (nothing is connected), kMailAbandoned when
// stop was requested before the server confirmed the message (the exchange
// ends at once, however long the server keeps silent), or the text of the
// error that stopped the sending. Never throws for mail failures.
std::string MailMessage(const TMailMessage& msg, const TMailTimeouts& timeouts = {},
                        std::stop_token stop = {});

}  // namespace orlo
