#!/bin/sh
# Saves a PNG of every page and sub-page of the window, and of the two update
# windows, into docs/screenshots/. Renders offscreen, so no display is needed;
# set SCREENSHOT_PLATFORM=xvfb to render under Xvfb with the X11 style instead.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-"$root/build"}
out="$root/docs/screenshots"

cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 gui_tst_screenshots
program="$build/tests/gui_tst_screenshots"

rm -f "$out"/*.png
mkdir -p "$out"
if [ "${SCREENSHOT_PLATFORM:-offscreen}" = xvfb ]; then
    VELORA_SCREENSHOT_DIR="$out" QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" "$program"
else
    VELORA_SCREENSHOT_DIR="$out" QT_QPA_PLATFORM=offscreen "$program"
fi
ls -1 "$out"
