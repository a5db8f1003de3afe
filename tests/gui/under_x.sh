#!/bin/sh
# under_x.sh COMMAND...: runs COMMAND on a virtual X server (xvfb) with a window manager
# (openbox) managing its windows, as on a desktop; exits with COMMAND's status. Exits 77 (a
# skipped test) when xvfb-run or openbox is missing.
set -u
command -v xvfb-run >/dev/null 2>&1 && command -v openbox >/dev/null 2>&1 || exit 77
exec xvfb-run -a -s '-screen 0 1280x1024x24' sh -c '
  openbox --sm-disable >/dev/null 2>&1 &
  wm=$!
  sleep 1
  QT_QPA_PLATFORM=xcb "$@"
  status=$?
  kill "$wm" 2>/dev/null
  exit "$status"
' under_x "$@"
