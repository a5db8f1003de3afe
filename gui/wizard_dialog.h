// The frame every wizard window shares: the product title, the skin, the caption buttons
// (View Report, Help, Exit), the menu, and the exit confirmation.
#pragma once

#include <QDialog>
#include <QPixmap>

#include "gui/wizard.h"

class QAction;
class QBoxLayout;
class QMenuBar;
class QToolButton;

namespace palvara::gui {

class WizardDialog : public QDialog {
  Q_OBJECT
 public:
  WizardDialog(Wizard& wizard, const QString& skinFile, QWidget* parent = nullptr);

  Wizard& wizard() { return m_wizard; }
  QToolButton* viewReportButton() const { return m_viewReport; }
  QToolButton* exitButton() const { return m_exitButton; }

  // Opens `child` modally above this window, hidden while it shows; this window comes back
  // when it closes. `child` is deleted when closed.
  void openAbove(QDialog* child);
  // Closes the window without the exit question.
  void closeQuietly();

 public slots:
  // "Do you want to exit ?": Yes ends the application at once.
  void requestExit();
  // Help (caption button, F1): the help about this window.
  void showHelp();

 protected:
  // The standard menu and the caption buttons, placed at the top of `layout`; the step picture
  // (empty for none) beside the caption buttons.
  void buildFrame(QBoxLayout* layout, const QString& stepPicture);
  // The anchor of this window's part of the help pages.
  void setHelpSection(const QString& section) { m_helpSection = section; }
  // View Report is enabled only when "RPTFile" names an existing file.
  void enableViewReportByReport();

  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void reject() override;
  // Whether the window's Close command asks "Do you want to exit ?" (the wizard's steps) or
  // just closes it (the small windows).
  virtual bool closeAsksExit() const { return true; }

  Wizard& m_wizard;
  QMenuBar* m_menuBar = nullptr;
  QAction* m_selectFile = nullptr;
  QAction* m_selectDirectory = nullptr;
  QAction* m_save = nullptr;
  QAction* m_viewLog = nullptr;
  QAction* m_clearLog = nullptr;
  QAction* m_changePath = nullptr;

 private:
  bool m_quietClose = false;
  bool m_tabOrderSettled = false;
  QString m_helpSection;
  QPixmap m_skin;
  QImage m_scaledSkin;
  QToolButton* m_viewReport = nullptr;
  QToolButton* m_help = nullptr;
  QToolButton* m_exitButton = nullptr;
};

}  // namespace palvara::gui
