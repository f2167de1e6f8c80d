#!/usr/bin/env bash
# Builds the Debian package (<build>/package/vantrel_<version>_amd64.deb) and checks it.
# Usage: [VANTREL_BUILD_DIR=folder] scripts/package.sh [extra cmake arguments]  (folder: build)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --package "$@"
build=${VANTREL_BUILD_DIR:-build}
rm -f "$build"/package/vantrel_*.deb
(cd "$build" && cpack --config CPackConfig.cmake)
scripts/check-package.sh "$build"/package/vantrel_*_amd64.deb
