#include "cli/interrupt.h"

#include <atomic>

namespace palvara::cli {
namespace {

constexpr int kStopSignals[3] = {SIGINT, SIGTERM, SIGHUP};

// The run that a signal stops (one at a time; the flags are lock-free, so safe in a handler).
std::atomic<RunControl*> gInterruptible{nullptr};
volatile std::sig_atomic_t gInterrupted = 0;

void OnStopSignal(int) {
  gInterrupted = 1;
  if (RunControl* control = gInterruptible.load()) control->StopEverythingFromSignal();
  // The next one ends the program.
  for (int s : kStopSignals) std::signal(s, SIG_DFL);
}

}  // namespace

StopSignals::StopSignals() {
  gInterrupted = 0;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 3; ++i) ::sigaction(kStopSignals[i], &action, &previous_[i]);
}

StopSignals::~StopSignals() {
  for (int i = 0; i < 3; ++i) ::sigaction(kStopSignals[i], &previous_[i], nullptr);
}

InterruptStops::InterruptStops(RunControl& control) {
  gInterruptible = &control;
  if (gInterrupted != 0) control.StopEverythingFromSignal();
}

InterruptStops::~InterruptStops() { gInterruptible = nullptr; }

bool Interrupted() { return gInterrupted != 0; }

}  // namespace palvara::cli
