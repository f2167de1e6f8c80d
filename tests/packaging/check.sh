# shellcheck shell=bash
# Small checks for the shell tests: each failure is printed and counted, check_done ends the test
# with status 1 when any check failed.
check_failures=0

check_fail() {
  echo "FAILED: $*" >&2
  check_failures=$((check_failures + 1))
}

# check_equal ACTUAL EXPECTED WHAT [OUTPUT shown on failure]
check_equal() {
  [ "$1" = "$2" ] || check_fail "$3: '$1', expected '$2'${4:+
--- output:
$4}"
}

check_contains() {
  case $1 in
    *"$2"*) ;;
    *) check_fail "expected '$2' in:
$1" ;;
  esac
}

check_exists() { [ -e "$1" ] || check_fail "missing: $1"; }
check_missing() { [ ! -e "$1" ] || check_fail "should not exist: $1"; }

check_file_size() {
  if [ ! -f "$1" ]; then
    check_fail "missing: $1"
  else
    check_equal "$(stat -c %s "$1")" "$2" "size of $1"
  fi
}

check_done() {
  if [ "$check_failures" -gt 0 ]; then
    echo "$check_failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}
