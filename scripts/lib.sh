# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Shared set-up for the project's scripts: Debian packages and the CMake build.
# Sourced, not run.

MIXLINK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Packages the build, the tests, the analyzer and the fuzzers need.
MIXLINK_PACKAGES=(
  build-essential cmake g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev fonts-liberation fonts-dejavu-core
  clang libclang-rt-14-dev
  iproute2 util-linux procps xvfb
  scdoc doxygen
  pybind11-dev python3-dev python3-pytest python3-venv python3-setuptools python3-wheel
  libcivetweb-dev chromium python3-websockets
)

# The Python module is built for, and its tests run with, the system's python3 (the one the
# python3-* packages serve), not whichever python3 comes first on PATH.
MIXLINK_PYTHON_OPTIONS=(-DPython_EXECUTABLE=/usr/bin/python3)

# Packages CI's checks of the scripts and of the demo need (.ci/run, scripts/check-demo): the
# shell linter, a virtual display and a screenshot of it.
MIXLINK_CHECK_PACKAGES=(
  shellcheck xvfb imagemagick
)

# Packages the Windows build and its test run under Wine need (scripts/test --windows).
MIXLINK_WINDOWS_PACKAGES=(
  g++-mingw-w64-x86-64-posix wine wine64 googletest
)

# Packages the Debian package and its checks need besides those (scripts/package,
# scripts/check-package).
MIXLINK_PACKAGE_TOOLS=(
  dpkg-dev file lintian desktop-file-utils appstream man-db groff-base zsh
)

# Installs whatever of the given packages is missing (as root), or names them and fails.
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null || missing+=("$p")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  if [[ $(id -u) -eq 0 ]]; then
    echo "== installing: ${missing[*]}"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
  else
    echo "missing Debian packages: ${missing[*]}" >&2
    echo "install them with: sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
    return 1
  fi
}

# The sanitizer build (scripts/test --sanitize, scripts/soak --sanitize): its folder and options.
# The Python module stays out of it: the interpreter does not load the sanitizers' runtime; the
# tests written in Python still run with the system's python3.
MIXLINK_SANITIZE_BUILD="$MIXLINK_ROOT/build-sanitize"
MIXLINK_SANITIZE_OPTIONS=(-DCMAKE_BUILD_TYPE=Debug -DMIXLINK_WERROR=ON -DMIXLINK_SANITIZE=ON -DMIXLINK_BUILD_BENCH=OFF
  "${MIXLINK_PYTHON_OPTIONS[@]}")

# export_sanitizer_options [ASAN_OPTION...]: the sanitizers' settings for a run of that build,
# with the caller's own AddressSanitizer options added.
export_sanitizer_options() {
  local asan="detect_leaks=1:abort_on_error=1" option
  for option in "$@"; do asan+=":$option"; done
  export ASAN_OPTIONS="$asan"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export LSAN_OPTIONS="suppressions=$MIXLINK_ROOT/tests/lsan.supp:print_suppressions=0"
}

# wait_for_port HOST PORT [PID]: waits up to 5 s for something to accept TCP connections at
# HOST:PORT; fails when nothing does by then, or as soon as process PID has ended.
wait_for_port() {
  local host="$1" port="$2" pid="${3:-}"
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null && return 0
    if [[ -n $pid ]] && ! kill -0 "$pid" 2>/dev/null; then return 1; fi
    sleep 0.05
  done
  return 1
}

# run_in_private_network COMMAND...: runs COMMAND in a network namespace of its own with only
# loopback up (as root), so that the tests' fixed console ports meet nothing on the host (a mixsim
# someone started) and nothing they send leaves the machine; without root it says so and runs
# COMMAND on the host's loopback.
run_in_private_network() {
  if [[ $(id -u) -eq 0 ]] && unshare --net true 2>/dev/null; then
    unshare --net bash -c 'ip link set lo up && exec "$@"' bash "$@"
  else
    echo "cannot create a network namespace (needs root); the tests share the host's loopback" >&2
    "$@"
  fi
}

# configure_and_build BUILD_DIR [cmake options...]
configure_and_build() {
  local dir="$1"; shift
  cmake -S "$MIXLINK_ROOT" -B "$dir" "$@"
  cmake --build "$dir" -j"$(nproc)"
}
