#include "gui/wizard.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QInputDialog>

#include "shell/app_settings.h"

namespace palvara::gui {

QMessageBox* makeMessageBox(QWidget* parent, const QString& text, QMessageBox::Icon icon,
                            bool question) {
  auto* box = new QMessageBox(icon, kTitle, text,
                              question ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok,
                              parent);
  box->setWindowModality(Qt::ApplicationModal);
  box->setAttribute(Qt::WA_WindowPropagation);  // drawn in its window's palette
  if (question) box->setDefaultButton(QMessageBox::Yes);
  return box;
}

QString DesktopHost::chooseFile(QWidget* parent, const QString& title, const QString& filters) {
  return QFileDialog::getOpenFileName(parent, title, QString(), filters);
}

QString DesktopHost::chooseFolder(QWidget* parent, const QString& title, const QString& start) {
  return QFileDialog::getExistingDirectory(parent, title, start, QFileDialog::ShowDirsOnly);
}

int DesktopHost::chooseItem(QWidget* parent, const QString& title, const QString& label,
                            const QStringList& items) {
  bool ok = false;
  const QString chosen = QInputDialog::getItem(parent, title, label, items, 0, false, &ok);
  return ok ? static_cast<int>(items.indexOf(chosen)) : -1;
}

bool DesktopHost::ask(QWidget* parent, const QString& question) {
  std::unique_ptr<QMessageBox> box(makeMessageBox(parent, question, QMessageBox::Question, true));
  return box->exec() == QMessageBox::Yes;
}

void DesktopHost::tell(QWidget* parent, const QString& text, QMessageBox::Icon icon) {
  std::unique_ptr<QMessageBox> box(makeMessageBox(parent, text, icon, false));
  box->exec();
}

void DesktopHost::openUrl(const QUrl& url) { QDesktopServices::openUrl(url); }

void DesktopHost::terminate() { TerminateSelf(); }

}  // namespace palvara::gui
