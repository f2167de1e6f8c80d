#!/usr/bin/env bash
# Sets up, builds, and runs every test.
# Usage: [VANTREL_BUILD_DIR=folder] scripts/test.sh [extra cmake arguments]  (folder: build)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh "$@"
# shellcheck disable=SC2086
ctest --test-dir "${VANTREL_BUILD_DIR:-build}" --output-on-failure -j"$(nproc)" ${VANTREL_CTEST_ARGS:-}
