#include "cli/interrupt.h"

#include <atomic>
#include <csignal>

namespace palvara::cli {
namespace {

// The run that Ctrl-C stops (one at a time; the flags are lock-free, so safe in a handler).
std::atomic<RunControl*> gInterruptible{nullptr};

void OnInterrupt(int) {
  if (RunControl* control = gInterruptible.load()) {
    if (control->savingActive) {
      control->stopSaving = true;
    } else {
      control->stopAnalysis = true;
    }
  }
  std::signal(SIGINT, SIG_DFL);
}

}  // namespace

InterruptStops::InterruptStops(RunControl& control) {
  gInterruptible = &control;
  previous_ = std::signal(SIGINT, OnInterrupt);
}

InterruptStops::~InterruptStops() {
  std::signal(SIGINT, previous_);
  gInterruptible = nullptr;
}

}  // namespace palvara::cli
