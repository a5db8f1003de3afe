// The item preview: the page a mail shows (its HTML body; else its RTF text; else its plain
// body, escaped), in a browser that loads nothing from outside except the item's own inline
// images.
#pragma once

#include <QTextBrowser>

#include <vector>

#include "items/item_record.h"

namespace palvara::gui {

// The page of `record`; empty when the mail has no body of any kind.
QString previewPage(const ItemRecord& record);

class PreviewBrowser : public QTextBrowser {
  Q_OBJECT
 public:
  explicit PreviewBrowser(QWidget* parent = nullptr);
  // Shows `html` with `attachments` as the source of its "cid:" images.
  void showItem(const QString& html, std::vector<AttachmentNode> attachments);
  // Shows a page of the application folder ("progress.html", "Preview.html", ...).
  void showPage(const QString& name);
  // How many loads of outside resources were refused (remote, file, anything but cid:).
  int refusedLoads() const { return m_refused; }
  QVariant loadResource(int type, const QUrl& url) override;

 private:
  std::vector<AttachmentNode> m_attachments;
  int m_refused = 0;
};

}  // namespace palvara::gui
