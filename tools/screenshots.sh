#!/usr/bin/env bash
# Saves a PNG of every control panel tab into docs/screenshots/.
#
# Runs the real Midavo program under Xvfb in a scratch folder whose Modules folder holds the
# playback library (when it is built), a sample page library and the test plug-in shellbot.so,
# which performs "Show Control Panel" once the host runs, grabs the window once per tab and then
# performs "Shutdown Application".
#
# Usage: tools/screenshots.sh [build dir]     (default: build, as ./dev.sh uses)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" 2>/dev/null && pwd) || {
  echo "no build folder ${1:-$ROOT/build}: run ./dev.sh build first" >&2
  exit 2
}
OUT="$ROOT/docs/screenshots"

cmake --build "$BUILD" --target Midavo shellbot samplepage
if ! cmake --build "$BUILD" --target vidcore >/dev/null 2>&1; then
  echo "note: vidcore.so did not build; the screenshots show the host without it" >&2
fi

RUN=$(mktemp -d)
trap 'rm -rf "$RUN"' EXIT
mkdir -p "$RUN/Modules" "$OUT"
cp "$BUILD/testplugins/shellbot.so" "$BUILD/testplugins/samplepage.so" "$RUN/Modules/"
if [ -f "$BUILD/out/Modules/vidcore.so" ]; then cp "$BUILD/out/Modules/vidcore.so" "$RUN/Modules/"; fi
rm -f "$OUT"/control-panel-*.png

cd "$RUN"
MIDAVO_SCREENSHOT_DIR="$OUT" QT_QPA_PLATFORM=xcb \
  timeout 120 xvfb-run -a -s "-screen 0 1024x768x24" "$BUILD/out/Midavo"

ls "$OUT"/control-panel-*.png
