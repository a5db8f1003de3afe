// An item as an Internet message (RFC 5322 / MIME): the stored transport headers when the
// message has them, else headers built from its properties; plain and HTML bodies as
// multipart/alternative (MessageBodies: the HTML or text an RTF body wraps, else the RTF body's
// text, when there is no other), images the HTML names by cid: as multipart/related, files in
// base64 with RFC 2231 names, attached messages as message/rfc822. Every text part is UTF-8;
// lines end in "\n". A multipart's boundary is "=_palvara_<kind>_<N>_=" (N counts the
// boundaries drawn in the process), or "..._<N>_<M>_=" when a line of its parts begins with
// the first choice's delimiter: no part ever holds a line that begins with its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "export/mime_text.h"
#include "export/source_message.h"

namespace palvara {

struct MailState {
  bool read = false;
  bool answered = false;
  bool forwarded = false;
  bool flagged = false;
  bool draft = false;
};
MailState MailStateOf(const SourceMessage& message);

// The message's time: submit, else delivery, else the creation time; nullopt when none.
std::optional<std::uint64_t> MessageTime(const SourceMessage& message);

// The sender's address (for an mbox separator line), else "MAILER-DAEMON".
std::string EnvelopeSender(const SourceMessage& message);

// The whole message. `extraHeaders` (complete "Name: value\n" lines) go after the others.
std::string RenderMessage(const SourceMessage& message, const std::string& extraHeaders = {});
// The same, appended to `out`.
void AppendMessage(std::string& out, const SourceMessage& message,
                   const std::string& extraHeaders = {});

// The stored transport headers made parseable: lines that are neither a header nor its
// continuation dropped, bare carriage returns removed, and the headers that describe the
// original body (MIME-Version, Content-*) left out, since the body is written anew.
std::string CleanTransportHeaders(std::string_view stored);

}  // namespace palvara
