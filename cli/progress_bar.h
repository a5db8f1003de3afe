// A progress bar on a terminal: "[#####     ] 50%", redrawn when the percentage changes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>

namespace palvara::cli {

class ProgressBar {
 public:
  ProgressBar(std::ostream& out, bool enabled) : out_(out), enabled_(enabled) {}
  ~ProgressBar() { End(); }

  void Range(std::int64_t maximum) { maximum_ = std::max<std::int64_t>(maximum, 1); }
  void Position(std::int64_t position, const std::string& label = "") {
    if (!enabled_) return;
    const int percent = static_cast<int>(std::clamp<std::int64_t>(position * 100 / maximum_, 0, 100));
    if (percent == lastPercent_ && label == lastLabel_) return;
    lastPercent_ = percent;
    lastLabel_ = label;
    const int filled = percent * 40 / 100;
    out_ << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
         << std::string(static_cast<std::size_t>(40 - filled), ' ') << "] " << percent << "% "
         << label.substr(0, 60) << "\x1b[K" << std::flush;
  }
  // Ends the bar's line (before other output).
  void End() {
    if (enabled_ && lastPercent_ >= 0) out_ << "\n";
    lastPercent_ = -1;
    lastLabel_.clear();
  }

 private:
  std::ostream& out_;
  bool enabled_;
  std::int64_t maximum_ = 1;
  int lastPercent_ = -1;
  std::string lastLabel_;
};

}  // namespace palvara::cli
