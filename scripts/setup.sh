#!/usr/bin/env bash
# Installs what the build needs (Debian packages), then configures and builds.
# Usage: [VANTREL_BUILD_DIR=folder] scripts/setup.sh [--cli | --package] [extra cmake arguments]
#   (no flag)  everything: the window, the command line, the simulator, tests and benchmarks
#   --cli      only vantrel-cli, with only the packages that needs (the quick start's sample run)
#   --package  the three programs and their man pages, plus the tools that make the Debian
#              package (scripts/package.sh)
# The build folder is build unless VANTREL_BUILD_DIR names another.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=all
case ${1-} in
  --cli | --package)
    mode=${1#--}
    shift
    ;;
esac

cli_packages=(cmake g++ make libpng-dev libfftw3-dev)
program_packages=("${cli_packages[@]}" libfec-dev qt6-base-dev help2man)
case $mode in
  cli) packages=("${cli_packages[@]}") ;;
  package) packages=("${program_packages[@]}" dpkg-dev file) ;;
  all) packages=("${program_packages[@]}" libgtest-dev libgmock-dev libbenchmark-dev libliquid-dev xvfb xauth
                 parallel) ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

build=${VANTREL_BUILD_DIR:-build}
everything=(-DVANTREL_BUILD_APP=ON -DVANTREL_BUILD_SIM=ON -DVANTREL_BUILD_TESTS=ON
            -DVANTREL_BUILD_BENCH=ON)
case $mode in
  all)
    cmake -S . -B "$build" "${everything[@]}" "$@" >/dev/null
    cmake --build "$build" -j"$(nproc)"
    ;;
  cli)
    # A build folder made earlier keeps its settings; a new one gets only what vantrel-cli needs.
    if [ -f "$build/CMakeCache.txt" ]; then
      cmake -S . -B "$build" "$@" >/dev/null
    else
      cmake -S . -B "$build" -DVANTREL_BUILD_APP=OFF -DVANTREL_BUILD_SIM=OFF \
        -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_BENCH=OFF "$@" >/dev/null
    fi
    cmake --build "$build" -j"$(nproc)" --target vantrel-cli
    ;;
  package)
    # The package installs under /usr whatever the build folder's prefix. Tests and benchmarks
    # are left as the build folder has them.
    options=(-DVANTREL_BUILD_APP=ON -DVANTREL_BUILD_SIM=ON)
    [ -f "$build/CMakeCache.txt" ] ||
      options+=(-DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Release)
    cmake -S . -B "$build" "${options[@]}" "$@" >/dev/null
    cmake --build "$build" -j"$(nproc)"
    ;;
esac
