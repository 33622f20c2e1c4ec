#!/usr/bin/env bash
# A packager's build with tests, as Debian's runs them: configured with
# BUILD_TESTING alone, built, then ctest as an unprivileged user with no
# display, no session, no network and no tusak.exe. It must run the tests
# that need nothing (the stages, the platform tables, the naming), every
# one passing, and none of the suites.
# Usage: check_tests_alone.sh SOURCE_DIR
set -euo pipefail
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The source as a packager unpacks it, which the tests' user may read (the
# checkout may sit in a private folder): no builds, no history.
mkdir "$tmp/source"
tar -C "$1" --exclude=./build --exclude=./.git -cf - . | tar -C "$tmp/source" -xf -
source=$tmp/source
cmake -S "$source" -B "$tmp/build" -DBUILD_TESTING=ON >/dev/null
cmake --build "$tmp/build" -j "$(nproc)" >/dev/null
chmod -R a+rwX "$tmp"
names=$(ctest --test-dir "$tmp/build" -N | sed -n 's/^ *Test *#[0-9]*: //p')
# The gtests are named Suite.Case; the suites' rows are not.
suites=$(grep -Ev '^[A-Za-z0-9]+\.[A-Za-z0-9]+$' <<<"$names" || true)
[ -z "$suites" ] || fail "tests beyond the pure ones: $suites"
[ "$(wc -l <<<"$names")" -ge 14 ] || fail "too few tests: $names"
start=$SECONDS
unshare -n setpriv --reuid=nobody --regid=nogroup --clear-groups \
  env -i PATH=/usr/bin:/bin HOME=/nonexistent \
  ctest --test-dir "$tmp/build" --output-on-failure >"$tmp/ctest.log" 2>&1 ||
  fail "ctest: $(tail -n 30 "$tmp/ctest.log")"
echo "$(wc -l <<<"$names") tests passed in $((SECONDS - start)) s"
