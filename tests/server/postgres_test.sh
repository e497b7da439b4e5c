#!/usr/bin/env bash
# The PostgreSQL tests of tovix_server_tests (the ServerPostgres suites, and
# the postgresql cases of the suites run on either database)
# against a throw-away cluster (tests/support/postgres.sh), which they find in
# TOVIX_TEST_POSTGRES. Run inside tests/support/netns-run.sh: the cluster
# takes 127.0.0.1:5432. Exits 77 where PostgreSQL is not installed.
#
#   tests/server/postgres_test.sh TOVIX_SERVER_TESTS [GTEST_ARGUMENT...]
set -euo pipefail
if (($# < 1)); then
    echo "usage: $0 TOVIX_SERVER_TESTS [GTEST_ARGUMENT...]" >&2
    exit 2
fi
tests=$(realpath "$1")
shift
. "$(dirname "$0")/../support/postgres.sh"
pg_begin "$(mktemp -d)" 5432 || exit
status=0
TOVIX_TEST_POSTGRES=$PG_URI "$tests" --gtest_filter='ServerPostgres*:*/postgresql' "$@" || status=$?
exit "$status"
