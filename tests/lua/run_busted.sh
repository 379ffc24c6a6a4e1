#!/bin/sh
# run_busted.sh LUA BUSTED FILE: runs one busted file under lua5.2 and fails when it
# fails, when it ran no test at all, or when every test it has is pending: a file
# that checks nothing must not pass.
lua=$1 busted=$2 file=$3
out=$("$lua" "$busted" -o TAP "$file" 2>&1)
rc=$?
printf '%s\n' "$out"
[ $rc -eq 0 ] || exit $rc
plan=$(printf '%s\n' "$out" | sed -n 's/^1\.\.\([0-9][0-9]*\)$/\1/p' | tail -n 1)
if [ -z "$plan" ] || [ "$plan" -eq 0 ]; then
  echo "no test ran in $file" >&2
  exit 1
fi
skipped=$(printf '%s\n' "$out" | grep -c '^ok [0-9]* - # SKIP')
if [ "$skipped" -eq "$plan" ]; then
  echo "all $plan tests of $file are pending" >&2
  exit 1
fi
