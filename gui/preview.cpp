#include "gui/preview.h"

#include <QDir>
#include <QFile>
#include <QImage>

#include "shell/app_paths.h"

namespace palvara::gui {

QString previewPage(const ItemRecord& record) {
  if (!record.mail) return {};
  const MailFields& m = *record.mail;
  if (m.html && !m.html->empty()) {
    const auto* bytes = reinterpret_cast<const char*>(m.html->data());
    return QString::fromUtf8(bytes, static_cast<qsizetype>(m.html->size())) + " ";
  }
  const Text& text = (m.rtfText && !m.rtfText->empty()) ? m.rtfText : m.body;
  if (!text || text->empty()) return {};
  // One line break per line end, whether the text ends its lines with CR LF, LF or CR.
  QString lines = QString::fromStdString(*text);
  lines.replace("\r\n", "\n").replace('\r', '\n');
  return "<html><body><div style=\"white-space: pre-wrap; font-family: sans-serif;\">" +
         lines.toHtmlEscaped() + "</div></body></html>";
}

PreviewBrowser::PreviewBrowser(QWidget* parent) : QTextBrowser(parent) {
  setOpenLinks(false);
  setOpenExternalLinks(false);
  setTabChangesFocus(true);  // Tab leaves the page for the next control
}

void PreviewBrowser::showItem(const QString& html, std::vector<AttachmentNode> attachments) {
  m_attachments = std::move(attachments);
  clear();
  setHtml(html);
}

void PreviewBrowser::showPage(const QString& name) {
  m_attachments.clear();
  QFile page(QDir(QString::fromStdString(AppPaths::ApplicationFolder().string())).filePath(name));
  if (!page.open(QIODevice::ReadOnly)) return;  // a missing page leaves the browser as it is
  setHtml(QString::fromUtf8(page.readAll()));
}

QVariant PreviewBrowser::loadResource(int type, const QUrl& url) {
  if (url.scheme().compare("cid", Qt::CaseInsensitive) == 0 &&
      type == QTextDocument::ImageResource) {
    const QString id = url.path();
    const QString bare = id.section('@', 0, 0);
    for (const AttachmentNode& a : m_attachments) {
      if (!a.data) continue;
      for (const Text* name : {&a.longFileName, &a.fileName}) {
        if (!*name) continue;
        const QString n = QString::fromStdString(**name);
        if (n.compare(id, Qt::CaseInsensitive) == 0 || n.compare(bare, Qt::CaseInsensitive) == 0) {
          QImage image;
          image.loadFromData(reinterpret_cast<const uchar*>(a.data->data()),
                             static_cast<int>(a.data->size()));
          if (!image.isNull()) return image;
        }
      }
    }
  }
  ++m_refused;  // recovered pages never reach the network or the disk
  return {};
}

}  // namespace palvara::gui
