#include "gui/scripted_host.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <memory>

namespace palvara::gui {

QString ScriptedHost::chooseFile(QWidget*, const QString& title, const QString&) {
  chooserTitles << title;
  return fileAnswer;
}

QString ScriptedHost::chooseFolder(QWidget*, const QString& title, const QString&) {
  chooserTitles << title;
  return folderAnswer;
}

int ScriptedHost::chooseItem(QWidget*, const QString& title, const QString&,
                             const QStringList& items) {
  chooserTitles << title;
  return itemAnswer < items.size() ? itemAnswer : -1;
}

bool ScriptedHost::ask(QWidget* parent, const QString& question) {
  questions << question;
  show(parent, question, QMessageBox::Question, true);
  return answers.isEmpty() ? true : answers.takeFirst();
}

void ScriptedHost::tell(QWidget* parent, const QString& text, QMessageBox::Icon icon) {
  told << text;
  icons << icon;
  show(parent, text, icon, false);
}

void ScriptedHost::show(QWidget* parent, const QString& text, QMessageBox::Icon icon,
                        bool question) {
  if (!onBox) return;
  std::unique_ptr<QMessageBox> box(makeMessageBox(parent, text, icon, question));
  onBox(box.get());
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < timeoutMs) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QThread::msleep(2);
  }
  return done();
}

}  // namespace palvara::gui
