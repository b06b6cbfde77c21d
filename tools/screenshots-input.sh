#!/usr/bin/env bash
# Saves PNGs of the Controls tab and of its "Assign Input" pop-up into docs/screenshots/.
#
# Runs the real Midavo program under Xvfb in a scratch folder whose Modules folder holds the
# playback library and the test plug-in ctrlsbot.so, with "Ctrl + P" bound to "Show Control
# Panel". The plug-in opens the Controls tab (controls-tab.png), clicks "Assign" on "Play",
# saves the pop-up (assign-input-popup.png), presses the space bar, saves the tab again
# (controls-tab-assigned.png) and performs "Shutdown Application".
#
# Usage: tools/screenshots-input.sh [build dir]     (default: build, as ./dev.sh uses)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" 2>/dev/null && pwd) || {
  echo "no build folder ${1:-$ROOT/build}: run ./dev.sh build first" >&2
  exit 2
}
OUT="$ROOT/docs/screenshots"

cmake --build "$BUILD" --target Midavo vidcore ctrlsbot

RUN=$(mktemp -d)
trap 'rm -rf "$RUN"' EXIT
mkdir -p "$RUN/Modules" "$OUT"
cp "$BUILD/testplugins/ctrlsbot.so" "$BUILD/out/Modules/vidcore.so" "$RUN/Modules/"
printf '[Input.Keyboard]\n65026=Ctrl + P\n' > "$RUN/settings.ini"
rm -f "$OUT"/controls-tab*.png "$OUT"/assign-input-popup.png

cd "$RUN"
MIDAVO_SCREENSHOT_DIR="$OUT" QT_QPA_PLATFORM=xcb \
  timeout 120 xvfb-run -a -s "-screen 0 1024x768x24" "$BUILD/out/Midavo"

ls "$OUT"/controls-tab*.png "$OUT"/assign-input-popup.png
