// The bodies of a message as the export writes them and the preview shows them: its HTML (the
// stored HTML body in its character set, else the HTML its RTF body wraps) and its plain text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "export/source_message.h"

namespace palvara {

class MessageBodies {
 public:
  // Reads the bodies of `message`, which must outlive this object.
  explicit MessageBodies(const SourceMessage& message);
  MessageBodies(const MessageBodies&) = delete;
  MessageBodies& operator=(const MessageBodies&) = delete;

  // The HTML as UTF-8: the HTML body (PidTagHtml) read as HtmlBodyToUtf8 reads it, else the
  // HTML the RTF body wraps (\fromhtml1), its charset labels rewritten to "utf-8" too; nullopt
  // when the message has neither (an empty HTML body is none).
  const std::optional<std::string>& Html() const { return html_; }
  // True when Html() came out of the RTF body.
  bool HtmlFromRtf() const { return htmlFromRtf_; }

  // The plain text as valid UTF-8: the plain body, else the text the RTF body wraps
  // (\fromtext), else the text of the RTF body unless that wraps HTML; empty when none. Viewed
  // in the message or in this object.
  std::string_view Plain() const { return plain_; }

  // What a message without HTML shows, as valid UTF-8: the text the RTF body wraps, else the
  // text of the RTF body unless that wraps HTML, else the plain body; empty when none. (With
  // HTML, the RTF body is not read and this is the RTF body's text, else the plain body.)
  std::string_view ShownText() const { return shown_; }

 private:
  void ReadWrapped(const SourceMessage& message);

  std::optional<std::string> html_;
  bool htmlFromRtf_ = false;
  std::optional<std::string> wrappedText_;  // the text of a \fromtext RTF body
  bool rtfWrapsHtml_ = false;
  std::string plainHolder_, shownHolder_;
  std::string_view plain_, shown_;
};

}  // namespace palvara
