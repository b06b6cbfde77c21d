#!/usr/bin/env bash
# Runs mdcheck on one library and compares with what is expected of it.
#   mdcheck_expect.sh MDCHECK LIBRARY [FAILING_CHECK DETAIL_WORDS [MDCHECK_ARGS...]]
# Without FAILING_CHECK every check must pass (exit 0, "N passed, 0 failed"). With it, mdcheck
# must exit 1 and report that check failed with a detail containing DETAIL_WORDS, in the text
# output and in --json.
set -uo pipefail
mdcheck=$1 lib=$2 check=${3:-} words=${4:-}
shift $(( $# < 4 ? $# : 4 ))
text=$("$mdcheck" "$@" "$lib" 2>/dev/null); rc=$?
json=$("$mdcheck" --json "$@" "$lib" 2>/dev/null)
echo "$text"
summary=$(tail -n 1 <<<"$text")
[[ $summary =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]] || { echo "bad summary line: $summary"; exit 1; }
failed=${BASH_REMATCH[2]}
if [ -z "$check" ]; then
  [ "$rc" = 0 ] && [ "$failed" = 0 ] || { echo "expected every check to pass (exit $rc)"; exit 1; }
  grep -q '"failed": 0}' <<<"$json" || { echo "--json does not say 0 failed"; exit 1; }
  exit 0
fi
[ "$rc" = 1 ] || { echo "expected exit status 1, got $rc"; exit 1; }
line=$(grep -E "^FAIL  $(sed 's/[][]/\\&/g' <<<"$check") " <<<"$text") || { echo "expected $check to fail"; exit 1; }
grep -qF -- "$words" <<<"$line" || { echo "expected '$words' in: $line"; exit 1; }
grep -qF -- "{\"name\": \"$check\", \"passed\": false, \"detail\": " <<<"$json" ||
  { echo "--json does not report $check as failed"; exit 1; }
