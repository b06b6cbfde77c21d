#!/usr/bin/env bash
# Installs the current build into a fresh prefix, then builds the example plug-ins against that
# prefix alone, from a copy of examples/ outside the source tree, once with the CMake package and
# once (the input library) with plain g++ and pkg-config. The installed mdcheck must pass every
# example and the installed vidcore.so, and the host (HOSTRUN, a headless start and shut-down)
# must find the examples' module, page, action and input source next to the installed vidcore.so.
#
#   sdk_examples_test.sh BUILD_DIR SOURCE_DIR "CXX_FLAGS" HOSTRUN
set -euo pipefail
build=$1 source=$2 cxxflags=$3 hostrun=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

step() { echo "== $*"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

step "install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/Midavo bin/mdcheck lib/midavo/Modules/vidcore.so include/midavo/UMDTypes.h include/midavo/UMDBase.h \
         lib/libmdsdk.a lib/cmake/MidavoSDK/MidavoSDKConfig.cmake lib/pkgconfig/midavo-sdk.pc; do
  [ -f "$prefix/$f" ] || fail "$f was not installed"
done

# A moved prefix must work as well: every path in the package is relative to it.
mv "$prefix" "$work/moved"
prefix=$work/moved

step "build the examples with find_package(MidavoSDK)"
cp -r "$source/examples" "$work/examples"
cmake -S "$work/examples" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build "$work/build" >/dev/null
# Nothing of the source tree took part: not a header, not a library.
if grep -q "$source" "$work/build/compile_commands.json" "$work/build/build.ninja"; then
  fail "the example build refers to $source"
fi

step "the plug-ins export exactly their protocol"
exports() { nm -D --defined-only "$1" | awk '{print $3}' | grep -v '^_' | sort | tr '\n' ' '; }
declare -A want=(
  [hello_module]="DLLGetModuleCount DLLGetModuleInfo "
  [hello_page]="DLLGetPropertyCount DLLGetPropertyPage "
  [hello_input]="DLLGetInputCount DLLGetInputInfo "
)
for name in "${!want[@]}"; do
  lib=$work/build/Modules/$name.so
  [ -f "$lib" ] || fail "$name.so was not built"
  got=$(exports "$lib")
  [ "$got" = "${want[$name]}" ] || fail "$name.so exports '$got', expected '${want[$name]}'"
done

step "build the input example with g++ and pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
[ "$(pkg-config --modversion midavo-sdk)" = "$(sed -n 's/^set(MIDAVO_SDK_VERSION \(.*\))$/\1/p' \
    "$prefix/lib/cmake/MidavoSDK/MidavoSDKConfig.cmake")" ] || fail "pkg-config and CMake disagree on the version"
# shellcheck disable=SC2046
g++ -std=c++20 -shared -fPIC $cxxflags $(pkg-config --cflags midavo-sdk) \
  $(pkg-config --variable=plugin_flags midavo-sdk) -o "$work/pc_input.so" \
  "$work/examples/hello_input.cpp" $(pkg-config --libs midavo-sdk)
[ "$(exports "$work/pc_input.so")" = "${want[hello_input]}" ] || fail "pc_input.so exports the wrong set"

step "mdcheck passes on every example and on the installed vidcore.so"
for lib in "$work"/build/Modules/*.so "$work/pc_input.so" "$prefix/lib/midavo/Modules/vidcore.so"; do
  "$prefix/bin/mdcheck" "$lib" || fail "mdcheck failed on $lib"
done
step "the host loads the examples beside the installed vidcore.so"
mkdir -p "$work/run/Modules"
cp "$work"/build/Modules/*.so "$prefix/lib/midavo/Modules/vidcore.so" "$work/run/Modules/"
# 0x7E01 is hello_module's action: the module looks for the player and asks it to play.
(cd "$work/run" && timeout 120 "$hostrun" "Hello Input" --action 0x7E01) >"$work/host.txt" ||
  { cat "$work/host.txt"; fail "the host failed with the examples loaded"; }
cat "$work/host.txt"
for line in "module Hello Module" "module Simple Playback" "page Hello Page" "running Hello Module" \
            "running Simple Playback" "action Hello: Play" "action Play" "input Hello Input" "stopped"; do
  grep -qxF "$line" "$work/host.txt" || fail "the host did not report '$line'"
done
echo "OK"
