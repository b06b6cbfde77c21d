#!/usr/bin/env bash
# Midavo's one entry point for people and CI.
#   ./dev.sh run     install missing Debian packages, build, start Midavo in build/run
#   ./dev.sh test    install missing Debian packages, build, run every test (plain, then the
#                    sanitizer builds: ASan+UBSan for everything, TSan for the concurrency tests)
#   ./dev.sh build | deps | asan | tsan | bench
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

deps() {
  local wanted missing=()
  wanted=$(grep -v '^\s*#' packages.txt | awk 'NF{print $1}')
  for p in $wanted; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing missing Debian packages: ${missing[*]}"
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}

# configure_build DIR [cmake args...]
configure_build() {
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

run_ctest() {
  local dir=$1; shift
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS" "$@"
}

cmd=${1:-test}
case "$cmd" in
  deps) deps ;;
  build) deps; configure_build build ;;
  run)
    deps
    configure_build build
    mkdir -p build/run/Modules build/run/demo
    cmake -E copy_directory build/out/Modules build/run/Modules
    if [ -f build/out/demo/midavo-demo.avi ]; then cp -u build/out/demo/midavo-demo.avi build/run/demo/; fi
    # First start: default key bindings, and the player opens the demo clip once.
    if [ ! -e build/run/settings.ini ]; then
      cat > build/run/settings.ini <<EOF
[Input.Keyboard]
2561=Enter
2563=SpaceBar
2562=S
2565=Right
2566=Left
65026=Ctrl + P
65535=Ctrl + Q

[PlayerWindow]
OpenAtStart=$ROOT/build/run/demo/midavo-demo.avi
EOF
    fi
    cd build/run && exec ../out/Midavo
    ;;
  test)
    deps
    configure_build build
    run_ctest build
    configure_build build-asan -DMIDAVO_SANITIZE=address -DMIDAVO_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan
    configure_build build-tsan -DMIDAVO_SANITIZE=thread -DMIDAVO_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest build-tsan -L concurrency
    ;;
  asan)
    deps
    configure_build build-asan -DMIDAVO_SANITIZE=address -DMIDAVO_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
    run_ctest build-asan "${@:2}"
    ;;
  tsan)
    deps
    configure_build build-tsan -DMIDAVO_SANITIZE=thread -DMIDAVO_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
    run_ctest build-tsan -L concurrency "${@:2}"
    ;;
  bench)
    deps
    configure_build build-bench -DCMAKE_BUILD_TYPE=Release -DMIDAVO_BUILD_TESTS=OFF
    for b in build-bench/out/bench_*; do "$b"; done
    ;;
  *) echo "usage: $0 run|test|build|deps|asan|tsan|bench" >&2; exit 2 ;;
esac
