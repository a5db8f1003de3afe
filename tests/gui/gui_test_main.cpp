// The wizard tests run with a QApplication on the offscreen platform unless a display is asked
// for (QT_QPA_PLATFORM set). Qt's own warning that an object was used from a thread it does
// not belong to (a worker touching a widget, a timer or a child made across threads) fails the
// test that caused it.
#include <gtest/gtest.h>

#include <QApplication>

namespace {

QtMessageHandler g_previous = nullptr;

void failOnCrossThreadUse(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.contains("different thread") || message.contains("another thread") ||
      message.contains("GUI thread")) {
    ADD_FAILURE() << message.toStdString();
  }
  if (g_previous != nullptr) g_previous(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  g_previous = qInstallMessageHandler(failOnCrossThreadUse);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
