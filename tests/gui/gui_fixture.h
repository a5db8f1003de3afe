// What the wizard tests share: a private settings file and log folder, the wizard's data folder,
// the command-line program as an independent measure, and a few walks over the windows.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QPointer>
#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "gui/folder_tree.h"
#include "gui/recovery_window.h"
#include "gui/scripted_host.h"
#include "gui/step1_window.h"
#include "tests/support/test_data.h"

namespace palvara::gui::testing {

class WizardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.isValid());
    settings_ = path("PV_PST.ini");
    writeSettings(PALVARA_GUI_DATA_DIR, m_dir.path().toStdString());
    ::setenv("PALVARA_SETTINGS", settings_.c_str(), 1);
    // Pages the wizard writes for the desktop opener go to the test's folder.
    if (const char* cache = std::getenv("XDG_CACHE_HOME")) cacheHome_ = cache;
    ::setenv("XDG_CACHE_HOME", path("cache").c_str(), 1);
  }
  void TearDown() override {
    // Windows opened above step 1 belong to the test: stopped, joined and released here.
    for (const QPointer<QDialog>& w : opened_) delete w.data();
    ::unsetenv("PALVARA_SETTINGS");
    if (cacheHome_) {
      ::setenv("XDG_CACHE_HOME", cacheHome_->c_str(), 1);
    } else {
      ::unsetenv("XDG_CACHE_HOME");
    }
  }

  void writeSettings(const std::string& filePath, const std::string& logPath,
                     const std::string& extra = {}) {
    std::ofstream out(settings_);
    out << "[PV_PST]\nFilePath=" << filePath << "\nLogPath=" << logPath << "\n" << extra;
  }

  std::string path(const std::string& name) const {
    return QDir(m_dir.path()).filePath(QString::fromStdString(name)).toStdString();
  }

  std::string log() const {
    std::ifstream in(path("Activity Log.txt"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // `palvara-cli` with `args`; its standard output, the exit status in `status`.
  static std::string cli(const std::string& args, int* status) {
    return palvara::testing::CaptureCommand(std::string(PALVARA_CLI_PATH) + " " + args +
                                                " 2>/dev/null", status);
  }

  // The twelve counters `palvara-cli analyze --json` finds in `file`, in their fixed order.
  static std::vector<int> cliCounters(const std::string& file) {
    int status = 0;
    const std::string out = cli("analyze --json '" + file + "'", &status);
    std::vector<int> values;
    if (status != 0) return values;
    const nlohmann::json json = nlohmann::json::parse(out, nullptr, false);
    for (int i = 0; i < AnalysisCounters::kCount; ++i) {
      values.push_back(json["counters"][AnalysisCounters::Name(i)].get<int>());
    }
    return values;
  }

  // Opens the recovery window on `file` through step 1 and waits for the analysis to end.
  Repair_Recover* repair(DiskSelection& step1, const QString& file, bool waitForEnd = true) {
    host.fileAnswer = file;
    step1.browse();
    Repair_Recover* window = nullptr;
    auto c = QObject::connect(&step1, &DiskSelection::opened, [&window](QDialog* w) {
      window = qobject_cast<Repair_Recover*>(w);
    });
    step1.repair();
    QObject::disconnect(c);
    opened_.push_back(window);
    if (window != nullptr && waitForEnd) waitUntil([window] { return !window->analysing(); }, 120000);
    return window;
  }

  static QModelIndex findFolder(const QAbstractItemModel* model, const QString& name,
                                const QModelIndex& parent = {}) {
    for (int r = 0; r < model->rowCount(parent); ++r) {
      const QModelIndex i = model->index(r, 0, parent);
      if (i.data().toString() == name) return i;
      if (QModelIndex below = findFolder(model, name, i); below.isValid()) return below;
    }
    return {};
  }

  // The tree's folder whose store path ("Personal Folders\\Inbox\\") is `path`.
  static QModelIndex folderByPath(const CFolderTreeCtrl1* tree, const QString& path,
                                  const QModelIndex& parent = {}) {
    for (int r = 0; r < tree->rowCount(parent); ++r) {
      const QModelIndex i = tree->index(r, 0, parent);
      if (tree->folderPathOf(i) == path) return i;
      if (QModelIndex below = folderByPath(tree, path, i); below.isValid()) return below;
    }
    return {};
  }

  std::vector<QPointer<QDialog>> opened_;
  QTemporaryDir m_dir;
  std::string settings_;
  std::optional<std::string> cacheHome_;
  ScriptedHost host;
  Wizard wizard{host};
};

}  // namespace palvara::gui::testing
