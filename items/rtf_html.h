// Bodies wrapped in RTF ([MS-OXRTFEX]): an HTML or plain-text body that a mail system stored as
// RTF, marked by \fromhtml1 or \fromtext in the document's header, turned back into the HTML
// or the text it was made from.
#pragma once

#include <string>

#include "common/byte_view.h"

namespace palvara {

enum class RtfWrapped {
  kNone,  // an RTF document of its own (or no RTF at all)
  kHtml,  // \fromhtml1: HTML in {\*\htmltagN ...} groups and the text between them
  kText,  // \fromtext: plain text
};

// What `rtf` wraps, by the first ten tokens of the document (group starts, control words and
// text characters), which must begin with "{\rtf": \fromhtml1 (or \fromhtml without a number)
// gives kHtml, \fromtext kText.
RtfWrapped WrappedBodyOf(ByteSpan rtf);

// Groups nested deeper than this end the reading.
inline constexpr int kMaxRtfGroupDepth = 1000;

struct UnwrappedBody {
  RtfWrapped kind = RtfWrapped::kNone;
  // UTF-8: the HTML (kHtml) or the text (kText), lines ending in CR LF; empty for kNone.
  std::string text;
  // False when the document ends inside its outer group or inside a control word, or nests
  // deeper than kMaxRtfGroupDepth; `text` then holds what came before.
  bool complete = true;
};

// The body `rtf` wraps. The text of {\*\htmltagN ...} groups is HTML and is kept; text and
// control words between \htmlrtf (or \htmlrtf1) and \htmlrtf0 belong to the RTF rendering only
// and are dropped (the state is scoped by groups like any character property); the other text
// between the groups is kept; {\*\mhtmltagN ...} groups, the header's tables and other
// destinations give nothing. \par and \line become CR LF, \tab a tab, \lquote, \rquote,
// \ldblquote, \rdblquote, \bullet, \endash, \emdash and the escaped \{ \} \\ \~ \_ their
// characters. \'hh bytes are read in the code page of the current font (\fcharsetN or \cpgN in
// the font table) or of the document (\ansicpgN, 1252 by default); inside {\*\htmltag} groups
// always in the document's. \uN gives UTF-16 code unit N (pairs of surrogates joined) and skips
// the \ucN fallback characters after it. Linear in the size of `rtf`; never reads past it.
UnwrappedBody UnwrapRtfBody(ByteSpan rtf);

}  // namespace palvara
