#include "export/mime_writer.h"

#include <algorithm>
#include <atomic>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/text.h"
#include "export/message_body.h"

namespace palvara {
namespace {

// Property ids read beyond the item record.
constexpr std::uint32_t kTransportHeaders = 0x007D;
constexpr std::uint32_t kMessageId = 0x1035;
constexpr std::uint32_t kReferences = 0x1039;
constexpr std::uint32_t kInReplyTo = 0x1042;
constexpr std::uint32_t kLastVerb = 0x1081;
constexpr std::uint32_t kFlagStatus = 0x1090;
constexpr std::uint32_t kCreationTime = 0x3007;

// A boundary begins "=_", which neither base64 nor quoted-printable text can hold at a line
// start; only parts written as they are (8bit text, attached messages) can clash with one.
std::string BoundaryStem(const char* kind) {
  static std::atomic<std::uint64_t> counter{0};
  return std::string("=_palvara_") + kind + "_" + std::to_string(++counter) + "_";
}

bool IsLineStart(std::string_view text, std::size_t at) {
  return at == 0 || text[at - 1] == '\n' || text[at - 1] == '\r';
}

// The boundary "<stem>=" when no line of `parts` begins with its delimiter, else "<stem>N_="
// with the least N whose delimiter none begins with. A parser may take any line that merely
// begins with a delimiter for one, so each line that begins "--<stem>" rules out the one
// choice whose delimiter it begins with; a single scan finds them all.
std::string BoundaryFor(const std::string& stem, std::string_view out,
                        const std::vector<std::pair<std::size_t, std::size_t>>& parts) {
  const std::string prefix = "--" + stem;
  bool plainTaken = false;
  std::unordered_set<std::string> numbersTaken;
  for (const auto& [begin, end] : parts) {
    const std::string_view text = out.substr(begin, end - begin);
    for (std::size_t at = text.find(prefix); at != std::string_view::npos;
         at = text.find(prefix, at + 1)) {
      if (!IsLineStart(text, at)) continue;
      const std::string_view rest = text.substr(at + prefix.size());
      if (rest.starts_with('=')) {
        plainTaken = true;
        continue;
      }
      const std::size_t digits = rest.find_first_not_of("0123456789");
      if (digits != 0 && digits != std::string_view::npos &&
          rest.substr(digits).starts_with("_=")) {
        numbersTaken.emplace(rest.substr(0, digits));
      }
    }
  }
  if (!plainTaken) return stem + "=";
  for (std::size_t n = 1;; ++n) {
    std::string number = std::to_string(n);
    if (!numbersTaken.contains(number)) return stem + number + "_=";
  }
}

std::string Lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

// The sender: the represented sender (whose behalf the mail was sent on), else the sender.
MailAddress SenderOf(const SourceMessage& m) {
  const PropertyReader p = m.Properties();
  MailAddress a;
  a.name = p.Text(0x0042).value_or(p.Text(0x0C1A).value_or(""));
  for (std::uint32_t id : {0x5D02u, 0x0065u, 0x5D01u, 0x0C1Fu}) {
    const std::string address = p.Text(id).value_or("");
    if (address.find('@') != std::string::npos) {
      a.address = address;
      break;
    }
  }
  return a;
}

// Whether every line of `text` can go as it is (8bit): no bare carriage return, none longer
// than 900 characters, and none that begins "From " (which an mbox would quote: such text goes
// quoted-printable).
bool FitsEightBit(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t newline = text.find('\n', pos);
    const std::size_t end = newline == std::string_view::npos ? text.size() : newline;
    std::string_view line = text.substr(pos, end - pos);
    if (newline != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    if (line.size() > 900 || line.find('\r') != std::string_view::npos || line.starts_with("From ")) {
      return false;
    }
    pos = end + 1;
  }
  return true;
}

void AppendTextPart(std::string& out, std::string_view subtype, std::string_view text) {
  out.append("Content-Type: text/").append(subtype).append("; charset=\"utf-8\"\n");
  if (FitsEightBit(text)) {
    out.append("Content-Transfer-Encoding: ").append(IsAscii(text) ? "7bit" : "8bit").append("\n\n");
    // Lines end in "\n": the carriage returns (each before a line feed) are left out.
    const std::size_t start = out.size();
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t cr = text.find('\r', pos);
      const std::size_t end = cr == std::string_view::npos ? text.size() : cr;
      out.append(text.substr(pos, end - pos));
      pos = end + 1;
    }
    if (out.size() > start && out.back() != '\n') out += '\n';
    return;
  }
  out.append("Content-Transfer-Encoding: quoted-printable\n\n").append(QuotedPrintable(text));
}

void AppendMultipartHeader(std::string& out, const char* kind, std::string_view boundary) {
  out.append("Content-Type: multipart/").append(kind).append(";\n boundary=\"");
  out.append(boundary).append("\"\n\n");
}

// A multipart of `count` parts, each appended by `part(i)`; a single part stands alone. Parts
// are written in place: an attachment's bytes are not copied from one level to the next. When
// a part holds a line that begins with the boundary's delimiter, the multipart is written again
// around the same parts with a boundary none of them holds.
template <typename Part>
void AppendMultipart(std::string& out, const char* kind, std::size_t count, Part part) {
  if (count == 1) return part(0);
  const std::size_t start = out.size();
  const std::string stem = BoundaryStem(kind);
  const std::string first = stem + "=";
  AppendMultipartHeader(out, kind, first);
  std::vector<std::pair<std::size_t, std::size_t>> parts;  // each part's text in `out`
  for (std::size_t i = 0; i < count; ++i) {
    out.append("--").append(first).append("\n");
    const std::size_t begin = out.size();
    part(i);
    parts.emplace_back(begin, out.size());
    out += '\n';
  }
  out.append("--").append(first).append("--\n");
  const std::string boundary = BoundaryFor(stem, out, parts);
  if (boundary == first) return;
  std::string again;
  again.reserve(out.size() - start + count * (boundary.size() - first.size() + 1) + 64);
  AppendMultipartHeader(again, kind, boundary);
  for (const auto& [begin, end] : parts) {
    again.append("--").append(boundary).append("\n");
    again.append(out, begin, end - begin).append("\n");
  }
  again.append("--").append(boundary).append("--\n");
  out.resize(start);
  out.append(again);
}

std::string GuessMimeType(const std::string& fileName) {
  const std::string name = Lowered(fileName);
  const auto dot = name.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  static const std::pair<const char*, const char*> kTypes[] = {
      {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"}, {"png", "image/png"}, {"gif", "image/gif"},
      {"bmp", "image/bmp"},  {"pdf", "application/pdf"}, {"txt", "text/plain"},
      {"htm", "text/html"},  {"html", "text/html"}, {"zip", "application/zip"},
      {"eml", "message/rfc822"}, {"ics", "text/calendar"}, {"vcf", "text/vcard"},
  };
  for (const auto& [e, type] : kTypes) {
    if (ext == e) return type;
  }
  return "application/octet-stream";
}

// A MIME type as a header may carry it: "type/subtype" of token characters, else a guess.
std::string MimeTypeOf(const SourceAttachment& a) {
  const std::string type = Lowered(a.mimeType);
  const auto slash = type.find('/');
  const bool valid = slash != std::string::npos && slash > 0 && slash + 1 < type.size() &&
                     type.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789!#$&^_.+-/") ==
                         std::string::npos &&
                     type.find('/', slash + 1) == std::string::npos;
  // A text or message part in base64 confuses some readers; such files go as plain bytes.
  if (!valid || type.starts_with("multipart/") || type.starts_with("message/")) {
    return GuessMimeType(a.fileName) == "message/rfc822" ? "application/octet-stream"
                                                          : GuessMimeType(a.fileName);
  }
  return type;
}

void AppendAttachmentPart(std::string& out, const SourceAttachment& a, bool inline_) {
  if (a.message) {
    const std::string inner = RenderMessage(*a.message, {});
    out += "Content-Type: message/rfc822";
    if (!a.fileName.empty()) out += MimeParameter("name", a.fileName);
    out.append("\nContent-Transfer-Encoding: ").append(IsAscii(inner) ? "7bit" : "8bit").append("\n");
    out += "Content-Disposition: attachment";
    if (!a.fileName.empty()) out += MimeParameter("filename", a.fileName);
    out.append("\n\n").append(inner);
    return;
  }
  out.append("Content-Type: ").append(MimeTypeOf(a));
  if (!a.fileName.empty()) out += MimeParameter("name", a.fileName);
  out += "\nContent-Transfer-Encoding: base64\n";
  if (inline_) out.append("Content-ID: <").append(ValidUtf8(a.contentId)).append(">\n");
  out.append("Content-Disposition: ").append(inline_ ? "inline" : "attachment");
  if (!a.fileName.empty()) out += MimeParameter("filename", a.fileName);
  out += "\n\n";
  AppendBase64Lines(out, a.data);
}

bool ReferencedByHtml(const SourceAttachment& a, const std::optional<std::string_view>& html) {
  if (!html || a.contentId.empty() || a.message || !IsPrintableAscii(a.contentId)) return false;
  return html->find("cid:" + a.contentId) != std::string::npos;
}

void AppendBody(std::string& out, const SourceMessage& m) {
  const MessageBodies bodies(m);
  const std::string_view plain = bodies.Plain();
  std::optional<std::string_view> html;
  if (bodies.Html()) html = *bodies.Html();

  std::vector<std::pair<const char*, std::string_view>> alternatives;
  if (!plain.empty() || !html) alternatives.emplace_back("plain", plain);
  if (html) alternatives.emplace_back("html", *html);
  std::vector<const SourceAttachment*> related, mixed;
  for (const SourceAttachment& a : m.attachments) {
    (ReferencedByHtml(a, html) ? related : mixed).push_back(&a);
  }
  AppendMultipart(out, "mixed", mixed.size() + 1, [&](std::size_t i) {
    if (i > 0) return AppendAttachmentPart(out, *mixed[i - 1], false);
    AppendMultipart(out, "related", related.size() + 1, [&](std::size_t j) {
      if (j > 0) return AppendAttachmentPart(out, *related[j - 1], true);
      AppendMultipart(out, "alternative", alternatives.size(), [&](std::size_t k) {
        AppendTextPart(out, alternatives[k].first, alternatives[k].second);
      });
    });
  });
}

bool IsHeaderName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 32 || u >= 127 || c == ':') return false;
  }
  return true;
}

// Senders label GBK text "GB2312" (of which GBK is the superset), and strict decoders then fail
// on the GBK-only characters: the words are relabelled, their bytes kept.
std::string RelabelEncodedWords(std::string line) {
  const std::string lower = Lowered(line);
  for (std::size_t at = lower.rfind("=?gb2312?"); at != std::string::npos;
       at = at == 0 ? std::string::npos : lower.rfind("=?gb2312?", at - 1)) {
    line.replace(at + 2, 6, "GBK");
  }
  return line;
}

// Names of the headers the built ones would repeat.
std::string HeaderName(std::string_view line) { return Lowered(line.substr(0, line.find(':'))); }

void AppendBuiltHeaders(std::string& h, const SourceMessage& m) {
  const PropertyReader p = m.Properties();
  std::string value;  // each header's value, before it is folded into `h`
  if (const MailAddress from = SenderOf(m); !from.name.empty() || !from.address.empty()) {
    AppendAddress(value, from.name, from.address);
    AppendHeaderLine(h, "From", value);
  }
  const MailFields* mail = m.record.mail.get();
  const char* names[3] = {"To", "Cc", "Bcc"};
  for (int type = 1; type <= 3; ++type) {
    value.clear();
    for (const SourceRecipient& r : m.recipients) {
      if (r.type == type) AppendAddress(value, r.name, r.address);
    }
    if (type == 1 && value.empty() && mail && mail->displayTo) {
      // No recipient table: the display text names them.
      for (std::string_view rest = *mail->displayTo; !rest.empty();) {
        const auto semi = rest.find(';');
        const std::string_view name = rest.substr(0, semi);
        const auto first = name.find_first_not_of(' ');
        if (first != std::string_view::npos) AppendAddress(value, name.substr(first), "");
        rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
      }
    }
    if (!value.empty()) AppendHeaderLine(h, names[type - 1], value);
  }
  if (mail && mail->subject && mail->subject->text) {
    std::string subject = ValidUtf8(*mail->subject->text);
    std::replace_if(subject.begin(), subject.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    value.clear();
    AppendEncodedWords(value, subject);
    AppendHeaderLine(h, "Subject", value);
  }
  if (const auto time = MessageTime(m)) AppendHeaderLine(h, "Date", RfcDate(*time));
  for (const auto& [id, name] : {std::pair{kMessageId, "Message-ID"}, std::pair{kInReplyTo, "In-Reply-To"},
                                 std::pair{kReferences, "References"}}) {
    const std::optional<std::string> text = p.Text(id);
    if (text && !text->empty() && IsPrintableAscii(*text)) AppendHeaderLine(h, name, *text);
  }
}

}  // namespace

MailState MailStateOf(const SourceMessage& m) {
  const PropertyReader p = m.Properties();
  const std::uint32_t flags = m.record.mail ? m.record.mail->messageFlags : 0;
  MailState s;
  s.read = (flags & 0x1) != 0;
  s.draft = (flags & 0x8) != 0;
  const std::int64_t verb = p.Integer(kLastVerb).value_or(0);
  s.answered = verb == 102 || verb == 103;
  s.forwarded = verb == 104;
  s.flagged = p.Integer(kFlagStatus).value_or(0) == 2;
  return s;
}

std::optional<std::uint64_t> MessageTime(const SourceMessage& m) {
  if (m.record.mail) {
    for (const Raw* raw : {&m.record.mail->submitTime, &m.record.mail->deliveryTime}) {
      if (*raw && (*raw)->size() >= 8) return LoadLe64(**raw, 0);
    }
  }
  return m.Properties().Time(kCreationTime);
}

std::string EnvelopeSender(const SourceMessage& m) {
  const std::string address = SenderOf(m).address;
  const bool plain = !address.empty() && IsPrintableAscii(address) && address.find(' ') == std::string::npos;
  return plain ? address : "MAILER-DAEMON";
}

std::string CleanTransportHeaders(std::string_view stored) {
  std::string out;
  bool keeping = false;
  std::size_t pos = 0;
  while (pos < stored.size()) {
    auto end = stored.find('\n', pos);
    if (end == std::string_view::npos) end = stored.size();
    std::string line(stored.substr(pos, end - pos));
    pos = end + 1;
    std::erase(line, '\r');
    std::erase(line, '\0');
    if (line.empty()) break;  // the end of the header block
    if (line[0] == ' ' || line[0] == '\t') {
      if (keeping) out += line + "\n";
      continue;
    }
    const auto colon = line.find(':');
    keeping = colon != std::string::npos && IsHeaderName(std::string_view(line).substr(0, colon));
    if (keeping) {
      const std::string name = HeaderName(line);
      keeping = name != "mime-version" && !name.starts_with("content-") && name != "status" &&
                name != "x-status";
    }
    if (keeping) out += RelabelEncodedWords(line) + "\n";
  }
  return ValidUtf8(out);
}

std::string RenderMessage(const SourceMessage& m, const std::string& extraHeaders) {
  std::string out;
  AppendMessage(out, m, extraHeaders);
  return out;
}

void AppendMessage(std::string& out, const SourceMessage& m, const std::string& extraHeaders) {
  const std::optional<std::string> stored = m.Properties().Text(kTransportHeaders);
  std::string headers;
  if (stored && !stored->empty()) headers = CleanTransportHeaders(*stored);
  if (headers.empty()) {
    AppendBuiltHeaders(out, m);
  } else {
    // What a reader needs and the stored headers lack comes from the item.
    std::string built;
    AppendBuiltHeaders(built, m);
    std::string present = "\n" + Lowered(headers);
    for (std::size_t pos = 0; pos < built.size();) {
      std::size_t end = pos;
      do {
        end = built.find('\n', end);
        end = end == std::string::npos ? built.size() : end + 1;
      } while (end < built.size() && (built[end] == ' ' || built[end] == '\t'));
      const std::string line = built.substr(pos, end - pos);
      if (present.find("\n" + HeaderName(line) + ":") == std::string::npos) headers += line;
      pos = end;
    }
    out.append(headers);
  }
  out.append(extraHeaders).append("MIME-Version: 1.0\n");
  AppendBody(out, m);
}

}  // namespace palvara
