// The item preview: the page a mail shows (its HTML, in its own character set or wrapped in
// its RTF body; else its text, escaped) and a note's text, in a browser that loads nothing from
// outside except the item's own inline images.
#pragma once

#include <QByteArray>
#include <QTextBrowser>

#include <vector>

#include "export/source_message.h"

namespace palvara::gui {

// An attachment the page names, for its <img> elements.
struct PreviewImage {
  QString contentId;  // PR_ATTACH_CONTENT_ID, without angle brackets; may be empty
  QString fileName;   // the long file name, else the short one; may be empty
  QByteArray data;
};

struct PreviewContent {
  QString html;  // the page; empty when the item has no body of any kind
  // The attachments whose content id or file name the page mentions.
  std::vector<PreviewImage> images;
};

// The preview of a message read whole: its HTML within the preview's bounds (BoundPage: cut
// past 1 MiB, tags nested too deep for a quick layout left out, each with a note saying so)
// followed by one blank (MessageBodies::Html), else its text as a page
// (MessageBodies::ShownText); no page when it has neither.
PreviewContent previewOf(const SourceMessage& message);

// `text` as a page: escaped, one line break per line end (CR LF, LF or CR), wrapped; cut after
// as many characters as a page may have bytes (PageLimits::maxBytes), with a note saying so.
QString textPage(const QString& text);

class PreviewBrowser : public QTextBrowser {
  Q_OBJECT
 public:
  explicit PreviewBrowser(QWidget* parent = nullptr);
  // Shows the page with its images.
  void showItem(PreviewContent content);
  // Shows a page of the application folder ("progress.html", "Preview.html", ...).
  void showPage(const QString& name);
  // How many loads of outside resources were refused (remote, file, anything but the item's
  // own images).
  int refusedLoads() const { return m_refused; }
  // Images come from the item: "cid:" names an image by content id, else by file name (with or
  // without the part from '@'); a relative name without a scheme names one by file name.
  QVariant loadResource(int type, const QUrl& url) override;

 private:
  const PreviewImage* imageFor(const QUrl& url) const;

  std::vector<PreviewImage> m_images;
  int m_refused = 0;
};

}  // namespace palvara::gui
