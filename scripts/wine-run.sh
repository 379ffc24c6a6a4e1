#!/bin/sh
# wine-run.sh PROGRAM [ARG...]: runs a Windows program of the tests under Wine, in the
# prefix that scripts/test-windows.sh made for this run, headless and with Wine's
# report of a DLL it cannot load (err+module) as the only Wine output.
set -eu
if [ -z "${WINEPREFIX:-}" ] || [ ! -d "$WINEPREFIX" ]; then
  echo "wine-run: no Wine prefix for this run; run the Windows tests with scripts/test-windows.sh" >&2
  exit 1
fi
unset DISPLAY
export WINEDEBUG=-all,err+module LC_ALL=C.UTF-8
exec wine "$@"
