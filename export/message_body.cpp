#include "export/message_body.h"

#include "common/html_charset.h"
#include "export/mime_text.h"
#include "items/compressed_rtf.h"
#include "items/rtf_html.h"

namespace palvara {
namespace {

constexpr std::uint32_t kHtmlBody = 0x1013;
constexpr std::uint32_t kRtfCompressed = 0x1009;
constexpr std::uint32_t kInternetCodePage = 0x3FDE;
constexpr std::uint16_t kUnicodeString = 0x001F;

// `text` as valid UTF-8: itself when it is, else a repaired copy kept in `holder`.
std::string_view CleanView(std::string_view text, std::string& holder) {
  if (IsCleanUtf8(text)) return text;
  holder = ValidUtf8(text);
  return holder;
}

}  // namespace

MessageBodies::MessageBodies(const SourceMessage& m) {
  const MailFields* mail = m.record.mail.get();
  if (mail != nullptr && mail->html && !mail->html->empty()) {
    const PropertyEntry* e = m.Properties().Find(kHtmlBody);
    const auto codePage =
        static_cast<std::uint32_t>(m.Properties().Integer(kInternetCodePage).value_or(0));
    html_ = HtmlBodyToUtf8(*mail->html, codePage, e != nullptr && e->type == kUnicodeString);
  }
  const bool hasBody = mail != nullptr && mail->body && !mail->body->empty();
  const bool hasRtfText = mail != nullptr && mail->rtfText && !mail->rtfText->empty();
  // The RTF body is decoded only when it may give what is missing.
  if (!html_ || !hasBody) ReadWrapped(m);
  const std::string_view body = hasBody ? std::string_view(*mail->body) : std::string_view();
  const std::string_view rtfText =
      hasRtfText && !rtfWrapsHtml_ ? std::string_view(*mail->rtfText) : std::string_view();
  const std::string_view wrapped =
      wrappedText_ ? std::string_view(*wrappedText_) : std::string_view();
  plain_ = CleanView(!body.empty() ? body : !wrapped.empty() ? wrapped : rtfText, plainHolder_);
  shown_ = CleanView(!wrapped.empty() ? wrapped : !rtfText.empty() ? rtfText : body, shownHolder_);
}

void MessageBodies::ReadWrapped(const SourceMessage& m) {
  const Bytes* rtf = m.Properties().Binary(kRtfCompressed);
  if (rtf == nullptr) return;
  Bytes document;
  if (DecodeCompressedRtf(*rtf, document) != 0) return;
  UnwrappedBody body = UnwrapRtfBody(document);
  if (body.kind == RtfWrapped::kHtml) {
    rtfWrapsHtml_ = true;
    // Tolerant: HTML cut short by damage is still shown as far as it goes.
    if (!html_ && !body.text.empty()) {
      RelabelMetaCharsets(body.text);
      html_ = std::move(body.text);
      htmlFromRtf_ = true;
    }
  } else if (body.kind == RtfWrapped::kText) {
    wrappedText_ = std::move(body.text);
  }
}

}  // namespace palvara
