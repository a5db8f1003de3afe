#include "gui/wizard_dialog.h"

#include <QBoxLayout>
#include <QCloseEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QShortcut>
#include <QStyle>
#include <QToolButton>

#include "gui/help_about.h"
#include "gui/log_windows.h"
#include "gui/skin.h"
#include "shell/app_settings.h"

namespace palvara::gui {

WizardDialog::WizardDialog(Wizard& wizard, const QString& skinFile, QWidget* parent)
    : QDialog(parent), m_wizard(wizard), m_skin(loadSkin(skinFile)) {
  setWindowTitle(kTitle);
  if (!m_skin.isNull()) {
    // The skins are light: the window and what it opens (its menus, its message boxes) draw
    // with the skins' palette, never with half of a dark desktop's. A missing skin leaves the
    // plain window in the desktop's palette.
    setPalette(skinPalette());
  }
  const QPixmap appIcon = loadPicture("icons/palvara.png");
  if (!appIcon.isNull()) setWindowIcon(QIcon(appIcon));
}

void WizardDialog::buildFrame(QBoxLayout* layout, const QString& stepPicture) {
  m_menuBar = new QMenuBar(this);
  QMenu* file = m_menuBar->addMenu("&File");
  m_selectFile = file->addAction("Select File");
  m_selectDirectory = file->addAction("Select Directory");
  m_save = file->addAction("Save");
  QAction* exit = file->addAction("Exit");
  connect(exit, &QAction::triggered, this, &WizardDialog::requestExit);
  QMenu* log = m_menuBar->addMenu("&Log");
  m_viewLog = log->addAction("View Log");
  m_clearLog = log->addAction("Clear Log");
  m_changePath = log->addAction("Change Path");
  connect(m_viewLog, &QAction::triggered, this, [this] { viewLog(m_wizard, this); });
  connect(m_clearLog, &QAction::triggered, this, [this] { clearLog(m_wizard, this); });
  connect(m_changePath, &QAction::triggered, this, [this] { changeLogPath(m_wizard, this); });
  QMenu* help = m_menuBar->addMenu("&Help");
  connect(help->addAction("Contents"), &QAction::triggered, this,
          [this] { palvara::gui::showHelp(m_wizard); });
  connect(help->addAction("About Palvara for Microsoft Outlook"), &QAction::triggered, this,
          [this] { showAbout(m_wizard, this); });
  for (QMenu* menu : {file, log, help}) menu->setAttribute(Qt::WA_WindowPropagation);
  layout->setMenuBar(m_menuBar);
  // F1 wherever the focus is; F10 opens the menu, as Alt+F, Alt+L and Alt+H do.
  connect(new QShortcut(QKeySequence(Qt::Key_F1), this), &QShortcut::activated, this,
          &WizardDialog::showHelp);
  connect(new QShortcut(QKeySequence(Qt::Key_F10), this), &QShortcut::activated, this,
          [this] { m_menuBar->setActiveAction(m_menuBar->actions().value(0)); });

  auto* top = new QHBoxLayout;
  auto* step = new QLabel(this);
  step->setObjectName("stepPicture");
  if (const QPixmap picture = loadKeyedPicture(stepPicture); !picture.isNull()) step->setPixmap(picture);
  top->addWidget(step);
  top->addStretch(1);
  auto captionButton = [this, top](const QString& name, const QString& picture,
                                   QStyle::StandardPixmap fallback) {
    auto* b = new QToolButton(this);
    b->setToolTip(name);
    b->setAccessibleName(name);
    const QPixmap drawn = loadPicture("icons/" + picture);
    b->setIcon(drawn.isNull() ? style()->standardIcon(fallback) : QIcon(drawn));
    b->setIconSize(QSize(20, 20));
    b->setAutoRaise(true);
    top->addWidget(b, 0, Qt::AlignTop);
    return b;
  };
  m_viewReport = captionButton("View Report", "caption-report.png", QStyle::SP_FileDialogDetailedView);
  m_help = captionButton("Help", "caption-help.png", QStyle::SP_DialogHelpButton);
  m_exitButton = captionButton("Exit", "caption-exit.png", QStyle::SP_DialogCloseButton);
  connect(m_viewReport, &QToolButton::clicked, this, [this] { viewReport(m_wizard, this); });
  connect(m_help, &QToolButton::clicked, this, &WizardDialog::showHelp);
  connect(m_exitButton, &QToolButton::clicked, this, &WizardDialog::requestExit);
  layout->insertLayout(0, top);
}

void WizardDialog::enableViewReportByReport() {
  const QString report = QString::fromStdString(AppSettings::Read("RPTFile"));
  m_viewReport->setEnabled(!report.isEmpty() && QFileInfo(report).isFile());
}

void WizardDialog::openAbove(QDialog* child) {
  child->setAttribute(Qt::WA_DeleteOnClose);
  child->setWindowModality(Qt::ApplicationModal);
  connect(child, &QDialog::finished, this, [this] { show(); });
  hide();
  child->show();
}

void WizardDialog::requestExit() {
  if (m_wizard.messageGuard) return;
  m_wizard.messageGuard = true;
  if (m_exitButton != nullptr) m_exitButton->setEnabled(false);
  const bool yes = m_wizard.host.ask(this, "Do you want to exit ?");
  if (yes) m_wizard.host.terminate();
  if (m_exitButton != nullptr) m_exitButton->setEnabled(true);
  m_wizard.messageGuard = false;
}

void WizardDialog::showHelp() { palvara::gui::showHelp(m_wizard, m_helpSection); }

void WizardDialog::paintEvent(QPaintEvent* event) {
  if (!m_scaledSkin.isNull()) {
    QPainter painter(this);
    painter.drawImage(0, 0, m_scaledSkin);
  }
  QDialog::paintEvent(event);
}

void WizardDialog::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (m_skin.isNull()) return;  // a missing bitmap leaves the plain window
  const QImage scaled = m_skin.toImage().scaled(size(), Qt::IgnoreAspectRatio, Qt::FastTransformation);
  // The key colour's outline shapes a window only when the window draws its own frame: below a
  // window manager's title bar its rounded corners would be cut into steps.
  if (windowFlags() & Qt::FramelessWindowHint) {
    setMask(outlineOf(scaled));
  } else {
    clearMask();
  }
  // Nothing of the key colour is painted: the window's own background shows there.
  m_scaledSkin = withoutKeyColour(scaled);
}

void WizardDialog::closeQuietly() {
  m_quietClose = true;
  done(QDialog::Rejected);
}

void WizardDialog::closeEvent(QCloseEvent* event) {
  if (m_quietClose) {
    event->accept();
    return;
  }
  if (!closeAsksExit()) {
    QDialog::closeEvent(event);
    return;
  }
  event->ignore();
  requestExit();
}

void WizardDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Tab && m_wizard.messageGuard) return;
  QDialog::keyPressEvent(event);
}

void WizardDialog::showEvent(QShowEvent* event) {
  if (!m_tabOrderSettled && m_exitButton != nullptr) {
    // The caption buttons are made first but come last: Tab goes through the window's own
    // controls, then View Report, Help and Exit.
    m_tabOrderSettled = true;
    const QList<QWidget*> captions = {m_viewReport, m_help, m_exitButton};
    QWidget* first = nullptr;
    QWidget* last = nullptr;
    for (QWidget* w = nextInFocusChain(); w != this; w = w->nextInFocusChain()) {
      if ((w->focusPolicy() & Qt::TabFocus) && !captions.contains(w) && isAncestorOf(w)) {
        if (first == nullptr && w->isEnabled()) first = w;
        last = w;
      }
    }
    for (QWidget* caption : captions) {
      if (last != nullptr) setTabOrder(last, caption);
      last = caption;
    }
    // The first control, not a caption button, has the focus when the window opens.
    if (first != nullptr && (focusWidget() == nullptr || captions.contains(focusWidget()))) {
      first->setFocus(Qt::TabFocusReason);
    }
  }
  QDialog::showEvent(event);
}

void WizardDialog::reject() { requestExit(); }

}  // namespace palvara::gui
