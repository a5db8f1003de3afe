#include "gui/help_about.h"

#include <QApplication>
#include <QBoxLayout>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QFormLayout>
#include <QLabel>

#include "common/version.h"
#include "gui/skin.h"
#include "shell/app_paths.h"

namespace palvara::gui {

QUrl helpPage(const QString& page) {
  const QDir folder(QString::fromStdString(AppPaths::ApplicationFolder().string()));
  return QUrl::fromLocalFile(folder.filePath("help/" + page));
}

QUrl helpSectionPage(const QString& section) {
  QUrl target = helpPage("windows.html");
  target.setFragment(section);
  // The desktop opener hands a browser the file of a file URL and drops its "#section": a small
  // page of the user's own leads the browser there instead.
  const QString folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + "/help";
  QFile page(QDir(folder).filePath("help-" + section + ".html"));
  if (!QDir().mkpath(folder) || !page.open(QIODevice::WriteOnly | QIODevice::Truncate)) return target;
  const QString href = target.toString(QUrl::FullyEncoded).toHtmlEscaped();
  page.write(QString("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                     "<meta http-equiv=\"refresh\" content=\"0; url=%1\"><title>%2</title></head>"
                     "<body><p><a href=\"%1\">%2</a></p></body></html>\n")
                 .arg(href, QString(kTitle).toHtmlEscaped())
                 .toUtf8());
  return QUrl::fromLocalFile(page.fileName());
}

void showHelp(Wizard& wizard, const QString& section) {
  wizard.host.openUrl(section.isEmpty() ? helpPage() : helpSectionPage(section));
}

void showAbout(Wizard& wizard, QWidget* parent) {
  auto* about = new CAboutDlg(wizard, parent);
  about->setAttribute(Qt::WA_DeleteOnClose);
  about->open();
}

LinkButton::LinkButton(Wizard& wizard, const QString& text, const QUrl& target, QWidget* parent)
    : QPushButton(text, parent), m_wizard(wizard), m_target(target) {
  setFlat(true);
  setCursor(Qt::PointingHandCursor);
  setStyleSheet("QPushButton { color: #1d5fbf; text-decoration: underline; border: none; "
                "text-align: left; padding: 0; }");
  connect(this, &QPushButton::clicked, this, &LinkButton::follow);
}

void LinkButton::follow() {
  if (!isEnabled()) return;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  if (text() == "Contact Us") {
    showAbout(m_wizard, window());
  } else {
    m_wizard.host.openUrl(m_target);
  }
  m_visited = true;
  setStyleSheet("QPushButton { color: #6a3d9a; text-decoration: underline; border: none; "
                "text-align: left; padding: 0; }");
  QApplication::restoreOverrideCursor();
}

CAboutDlg::CAboutDlg(Wizard& wizard, QWidget* parent) : WizardDialog(wizard, "msgskin.bmp", parent) {
  setObjectName("CAboutDlg");
  setWindowTitle("About Palvara for Microsoft Outlook");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 20, 24, 16);
  auto* head = new QHBoxLayout;
  auto* icon = new QLabel(this);
  if (const QPixmap p = loadPicture("icons/palvara.png"); !p.isNull()) {
    icon->setPixmap(p.scaled(48, 48, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
  head->addWidget(icon);
  auto* name = new QLabel(QString("Palvara for Microsoft Outlook  v.%1").arg(palvara::kVersion), this);
  QFont bold = name->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() * 1.2);
  name->setFont(bold);
  head->addWidget(name, 1);
  layout->addLayout(head);
  auto* links = new QFormLayout;
  links->addRow("Website :", new LinkButton(wizard, "Palvara help", helpPage(), this));
  links->addRow("Sales     :",
                new LinkButton(wizard, "How to recover a store", helpPage("recover.html"), this));
  links->addRow("Support :",
                new LinkButton(wizard, "When something goes wrong", helpPage("problems.html"), this));
  layout->addLayout(links);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons);
  resize(440, 230);
}

}  // namespace palvara::gui
