#!/bin/sh
# driver-test.sh COMMAND...: runs a test that starts a driver. The driver's endpoint
# names are fixed abstract socket names, so the test runs in a network namespace of
# its own wherever the system allows one (`unshare -n true` succeeds); CTest also
# holds the resource lock acdc_driver_endpoints around it, so that two such tests
# never meet even where it does not.
if unshare -n true 2>/dev/null; then
  exec unshare -n "$@"
fi
exec "$@"
