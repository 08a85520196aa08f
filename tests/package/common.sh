# Shared by the package checks: a skip that CTest (SKIP_RETURN_CODE 77) and scripts/run-tests
# count as skipped, with its reason, and a failure that names what is wrong.
check_name=${0##*/}
failures=0

skip() {
  echo "$check_name: Skipped"
  echo "$1"
  exit 77
}

fail() {
  echo "$check_name: FAILED: $1"
  failures=$((failures + 1))
}

# Ends the check: status 1 if anything failed.
finish() {
  if [ "$failures" != 0 ]; then
    echo "$check_name: $failures failures"
    exit 1
  fi
  echo "$check_name: all checks passed"
  exit 0
}
