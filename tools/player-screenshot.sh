#!/usr/bin/env bash
# Saves PNGs of the player playing the demo clip into docs/screenshots/: the window alone
# (player.png) and with the control panel beside it on its Controls tab (player-control-panel.png).
#
# Runs the real Midavo program under Xvfb in a scratch folder holding playerwin.so, vidcore.so,
# the demo clip and the default key bindings; the player's screenshot hook
# (MIDAVO_PLAYERWIN_SHOT) takes the pictures and performs "Shutdown Application".
#
# Usage: tools/player-screenshot.sh [build dir]     (default: build, as ./dev.sh uses)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" 2>/dev/null && pwd) || {
  echo "no build folder ${1:-$ROOT/build}: run ./dev.sh build first" >&2
  exit 2
}
OUT="$ROOT/docs/screenshots"

cmake --build "$BUILD" --target Midavo vidcore playerwin midavo_demo

RUN=$(mktemp -d)
trap 'rm -rf "$RUN"' EXIT
mkdir -p "$RUN/Modules" "$OUT"
cp "$BUILD/out/Modules/vidcore.so" "$BUILD/out/Modules/playerwin.so" "$RUN/Modules/"
cat > "$RUN/settings.ini" <<INI
[Input.Keyboard]
2561=Enter
2563=SpaceBar
2562=S
2565=Right
2566=Left
65026=Ctrl + P
65535=Ctrl + Q

[PlayerWindow]
OpenAtStart=$BUILD/out/demo/midavo-demo.avi
INI
rm -f "$OUT"/player.png "$OUT"/player-control-panel.png

cd "$RUN"
MIDAVO_PLAYERWIN_SHOT="$OUT" QT_QPA_PLATFORM=xcb \
  timeout 120 xvfb-run -a -s "-screen 0 1480x660x24" "$BUILD/out/Midavo"

ls "$OUT"/player.png "$OUT"/player-control-panel.png
