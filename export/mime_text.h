// The text forms of an Internet message: RFC 2047 encoded words, addresses, RFC 2231
// parameters, base64 and quoted-printable bodies, dates. Lines end in "\n" (the form mail
// folders on this system keep); every text given is UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_view.h"
#include "common/text.h"  // IsCleanUtf8

namespace palvara {

// A header line "Name: value\n", folded before 78 characters where the value has blanks.
// Non-ASCII and control characters in an unstructured value become encoded words.
std::string HeaderLine(std::string_view name, std::string_view value);
// The same, appended to `out`; `name` has no line break.
void AppendHeaderLine(std::string& out, std::string_view name, std::string_view value);

// `text` as it may stand in an unstructured header: itself when it is printable ASCII, else
// one or more "=?UTF-8?B?...?=" words (each at most 75 characters, whole characters only)
// separated by "\n ".
std::string EncodeWords(std::string_view text);
void AppendEncodedWords(std::string& out, std::string_view text);

struct MailAddress {
  std::string name;
  std::string address;  // without angle brackets; empty when unknown
};
// "Name <a@b>, ..." with names quoted or encoded as needed; a name without an address
// becomes an empty group ("Name:;"), which every parser takes.
std::string AddressList(const std::vector<MailAddress>& addresses);
// One address of such a list appended to `out`, after ", " unless `out` is empty.
void AppendAddress(std::string& out, std::string_view name, std::string_view address);

// "; name=value" for a MIME parameter: a quoted string for printable ASCII, else the RFC 2231
// form name*=UTF-8''%xx.
std::string MimeParameter(std::string_view name, std::string_view value);

// Base64 in lines of 76 characters, each ending in "\n".
std::string Base64Lines(ByteSpan bytes);
void AppendBase64Lines(std::string& out, ByteSpan bytes);
// Quoted-printable in lines of at most 76 characters; "\r\n" and "\n" both end a line.
std::string QuotedPrintable(std::string_view text);

// 1970-01-01 00:00 UTC as a FILETIME.
inline constexpr std::uint64_t kUnixEpochFileTime = 116444736000000000ull;

// "Mon, 7 Dec 2026 09:05:00 +0000" (RFC 5322), and "Mon Dec  7 09:05:00 2026" (mbox).
std::string RfcDate(std::uint64_t fileTime);
std::string MboxDate(std::uint64_t fileTime);

// Text with every byte sequence that is not UTF-8 replaced by U+FFFD and NUL removed.
std::string ValidUtf8(std::string_view text);

bool IsAscii(std::string_view text);
// Only characters from blank to tilde.
bool IsPrintableAscii(std::string_view text);

}  // namespace palvara
