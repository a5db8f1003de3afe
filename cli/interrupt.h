// Ctrl-C, SIGTERM and SIGHUP stop the command in the foreground: the run that is going on stops
// between two units of work and nothing more is started. A second signal ends the program.
#pragma once

#include <csignal>

#include "common/run_control.h"

namespace palvara::cli {

// Installs the stop handlers for its lifetime (one command) and forgets earlier stops.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  struct sigaction previous_[3];
};

// Makes `control` the run that a stop signal stops, for its lifetime. A signal that arrived
// before stops it at once.
class InterruptStops {
 public:
  explicit InterruptStops(RunControl& control);
  ~InterruptStops();
  InterruptStops(const InterruptStops&) = delete;
  InterruptStops& operator=(const InterruptStops&) = delete;
};

// A stop signal arrived during the current command.
bool Interrupted();

}  // namespace palvara::cli
