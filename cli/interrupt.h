// Ctrl-C stops the run in the foreground between two items: the saving when one runs, else the
// analysis. A second Ctrl-C ends the program.
#pragma once

#include "common/run_control.h"

namespace palvara::cli {

class InterruptStops {
 public:
  explicit InterruptStops(RunControl& control);
  ~InterruptStops();
  InterruptStops(const InterruptStops&) = delete;
  InterruptStops& operator=(const InterruptStops&) = delete;

 private:
  void (*previous_)(int);
};

}  // namespace palvara::cli
