#!/bin/sh
# Sets up a fresh Debian 12 machine (as root) and runs the project's jobs.
#
#   sh tools/project.sh demo    one payment against the local test gateway
#   sh tools/project.sh test    every test, on every preset, then each fuzz
#                               target for 60 s
#   sh tools/project.sh fuzz [SECONDS]
#                               each fuzz target for SECONDS (600) from its
#                               seed corpus
#   sh tools/project.sh bench   the benchmarks; writes bench/results.md
#   sh tools/project.sh install only install the packages
set -eu

cd "$(dirname "$0")/.."
repo=$(pwd)

packages="build-essential cmake ninja-build pkg-config ca-certificates
  libgtest-dev libgmock-dev libbenchmark-dev libcurl4-openssl-dev libssl-dev
  nlohmann-json3-dev python3 openssl curl iproute2 util-linux mount
  g++-mingw-w64-i686 wine wine32:i386 binutils-mingw-w64-i686
  clang libclang-rt-14-dev llvm valgrind"

install_packages() {
  if [ "$(id -u)" != 0 ]; then
    echo "project.sh: run as root: it installs packages with apt-get" >&2
    exit 2
  fi
  missing=
  for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      missing="$missing $package"
  done
  if [ -z "$missing" ]; then
    return 0
  fi
  echo "project.sh: installing$missing"
  dpkg --add-architecture i386
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $packages
}

build_preset() {
  cmake --preset "$1"
  cmake --build --preset "$1"
}

case "${1:-}" in
  install)
    install_packages
    ;;
  demo)
    install_packages
    build_preset native
    url=https://localhost/reply/accepted
    echo "Posting a payment to $url (the local test gateway):"
    echo "  build/native/tarvane-post $url amount=12.50 ccnum=4111111111111111 ccexp=12/29 orderid=DEMO-1"
    tests/gateway/hermetic.sh build/native/tarvane-post "$url" \
      amount=12.50 ccnum=4111111111111111 ccexp=12/29 orderid=DEMO-1
    ;;
  test)
    install_packages
    for preset in native windows-x86 asan tsan; do
      if [ -f "$repo/CMakePresets.json" ] && grep -q "\"$preset\"" CMakePresets.json; then
        echo "=== preset $preset"
        build_preset "$preset"
        ctest --preset "$preset"
      fi
    done
    echo "=== fuzzing, 60 s per target"
    build_preset fuzz
    ctest --preset fuzz
    ;;
  fuzz)
    install_packages
    seconds=${2:-600}
    build_preset fuzz
    TARVANE_FUZZ_SECONDS=$seconds ctest --preset fuzz --timeout $((seconds + 300))
    ;;
  bench)
    install_packages
    # Only what the benchmarks run, so a test in the making cannot stop them.
    cmake --preset native
    cmake --build --preset native --target tarvane_bench
    tests/gateway/hermetic.sh sh bench/run.sh build/native
    ;;
  *)
    sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
