#include "gui/preview.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QLocale>

#include "export/message_body.h"
#include "gui/page_bounds.h"
#include "shell/app_paths.h"

namespace palvara::gui {
namespace {

QString fromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString note(const QString& text) {
  return "<p style=\"color: gray;\"><i>" + text.toHtmlEscaped() + "</i></p>";
}

QString cutNote(qint64 shown, qint64 whole) {
  const QLocale locale;
  return note(QString("The preview shows the first %1 of %2; saving keeps all of it.")
                  .arg(locale.formattedDataSize(shown), locale.formattedDataSize(whole)));
}

}  // namespace

QString textPage(const QString& text) {
  QString lines = text;
  const auto limit = static_cast<qsizetype>(PageLimits{}.maxBytes);
  const bool cut = lines.size() > limit;
  if (cut) lines.truncate(lines[limit - 1].isHighSurrogate() ? limit - 1 : limit);
  lines.replace("\r\n", "\n").replace('\r', '\n');
  return "<html><body><div style=\"white-space: pre-wrap; font-family: sans-serif;\">" +
         lines.toHtmlEscaped() + "</div>" +
         (cut ? cutNote(lines.toUtf8().size(), text.toUtf8().size()) : QString()) +
         "</body></html>";
}

PreviewContent previewOf(const SourceMessage& message) {
  PreviewContent content;
  const MessageBodies bodies(message);
  if (!bodies.Html()) {
    if (!bodies.ShownText().empty()) content.html = textPage(fromUtf8(bodies.ShownText()));
    return content;
  }
  const std::string_view html = *bodies.Html();
  const BoundedPage page = BoundPage(html);
  content.html = fromUtf8(page.html);
  if (page.droppedTags > 0) {
    content.html += note(
        "Parts of this page nested too deeply to lay out quickly are shown "
        "without their tables and frames.");
  }
  if (page.cut) {
    content.html +=
        cutNote(static_cast<qint64>(page.html.size()), static_cast<qint64>(html.size()));
  }
  content.html += " ";
  // Only the attachments the page can name are copied: the others may be large.
  for (const SourceAttachment& a : message.attachments) {
    if (a.message || a.data.empty()) continue;
    PreviewImage image{fromUtf8(a.contentId), fromUtf8(a.fileName), {}};
    if (image.contentId.startsWith('<') && image.contentId.endsWith('>')) {
      image.contentId = image.contentId.mid(1, image.contentId.size() - 2);
    }
    const bool named =
        (!image.contentId.isEmpty() && content.html.contains(image.contentId)) ||
        (!image.fileName.isEmpty() && content.html.contains(image.fileName, Qt::CaseInsensitive));
    if (!named) continue;
    image.data = QByteArray(reinterpret_cast<const char*>(a.data.data()),
                            static_cast<qsizetype>(a.data.size()));
    content.images.push_back(std::move(image));
  }
  return content;
}

PreviewBrowser::PreviewBrowser(QWidget* parent) : QTextBrowser(parent) {
  setOpenLinks(false);
  setOpenExternalLinks(false);
  setTabChangesFocus(true);  // Tab leaves the page for the next control
}

void PreviewBrowser::showItem(PreviewContent content) {
  m_images = std::move(content.images);
  clear();
  // A QString is already decoded: the page's own charset labels change nothing here.
  setHtml(content.html);
}

void PreviewBrowser::showPage(const QString& name) {
  m_images.clear();
  QFile page(QDir(QString::fromStdString(AppPaths::ApplicationFolder().string())).filePath(name));
  if (!page.open(QIODevice::ReadOnly)) return;  // a missing page leaves the browser as it is
  setHtml(QString::fromUtf8(page.readAll()));
}

const PreviewImage* PreviewBrowser::imageFor(const QUrl& url) const {
  if (url.scheme().compare("cid", Qt::CaseInsensitive) == 0) {
    QString id = url.path();
    if (id.startsWith('<') && id.endsWith('>')) id = id.mid(1, id.size() - 2);
    for (const PreviewImage& image : m_images) {
      if (!image.contentId.isEmpty() && image.contentId.compare(id, Qt::CaseInsensitive) == 0) {
        return &image;
      }
    }
    // Older writers name the image by its file name, often with "@..." after it.
    const QString bare = id.section('@', 0, 0);
    for (const PreviewImage& image : m_images) {
      if (!image.fileName.isEmpty() && (image.fileName.compare(id, Qt::CaseInsensitive) == 0 ||
                                        image.fileName.compare(bare, Qt::CaseInsensitive) == 0)) {
        return &image;
      }
    }
    return nullptr;
  }
  // A page saved with its images names them relative to itself ("image001.png").
  if (url.scheme().isEmpty() && url.isRelative() && !url.path().isEmpty() &&
      !url.path().startsWith('/')) {
    for (const PreviewImage& image : m_images) {
      if (!image.fileName.isEmpty() &&
          image.fileName.compare(url.path(), Qt::CaseInsensitive) == 0) {
        return &image;
      }
    }
  }
  return nullptr;
}

QVariant PreviewBrowser::loadResource(int type, const QUrl& url) {
  if (type == QTextDocument::ImageResource) {
    if (const PreviewImage* image = imageFor(url)) {
      QImage decoded;
      decoded.loadFromData(image->data);
      if (!decoded.isNull()) return decoded;
    }
  }
  ++m_refused;  // recovered pages never reach the network or the disk
  return {};
}

}  // namespace palvara::gui
