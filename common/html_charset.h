// The character set of an HTML body: charset labels, the charset an HTML document declares in
// its <meta> elements, and the conversion of a stored HTML body to UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_view.h"

namespace palvara {

inline constexpr std::uint32_t kCodePageUtf16Le = 1200;
inline constexpr std::uint32_t kCodePageUtf16Be = 1201;
inline constexpr std::uint32_t kCodePageUtf8 = 65001;

// The code page of a charset label ("windows-1252", "Shift_JIS", "utf-8", "ks_c_5601-1987",
// ...), matched without regard to letter case and to surrounding blanks and quotes. Labels of
// ASCII and Latin-1 give 1252, as browsers read them. nullopt for a label not known here.
std::optional<std::uint32_t> CodePageOfCharsetLabel(std::string_view label);

// Where a <meta> element names a charset: the label's bytes in the document.
struct MetaCharset {
  std::size_t offset = 0;
  std::size_t length = 0;
};

// The charset labels of <meta charset=...> and <meta http-equiv="Content-Type"
// content="...; charset=..."> elements, in document order. Only the document's head is read
// (up to "<body" or the first kMetaScanLimit bytes), and at most kMaxMetaCharsets are given.
// The document is read as ASCII, which every charset these labels name agrees with.
inline constexpr std::size_t kMetaScanLimit = 64 * 1024;
inline constexpr std::size_t kMaxMetaCharsets = 16;
std::vector<MetaCharset> FindMetaCharsets(std::string_view html);

// The code page of the first declared charset this system knows; nullopt when there is none.
std::optional<std::uint32_t> DeclaredCodePage(std::string_view html);

// Rewrites every <meta> charset label FindMetaCharsets finds in `html` to "utf-8": for HTML
// that has been converted to UTF-8 from the charset it names.
void RelabelMetaCharsets(std::string& html);

// A stored HTML body (PidTagHtml) as UTF-8. The bytes are read as UTF-16LE when the property is
// stored as a Unicode string (`storedAsUnicode`); else in `internetCodePage`
// (PidTagInternetCodepage) when it is not 0; else in the charset the document declares; else
// as UTF-8 when they are well-formed UTF-8; else as Windows-1252. The text ends at the first
// NUL character; bytes the code page does not define become U+FFFD. Every <meta> charset label
// in the result is rewritten to "utf-8" (RelabelMetaCharsets), so that the text names the
// encoding it is in.
std::string HtmlBodyToUtf8(ByteSpan html, std::uint32_t internetCodePage, bool storedAsUnicode);

}  // namespace palvara
