#!/usr/bin/env bash
# The operator's window after a download into the simulated bus, as docs/window-linux.png.
# Runs iapflash-gui --simulate under Xvfb with the bundled sample as its FILE, under a neutral
# path (firmware/demo_app.bin in an operator's home, not this machine's checkout), clicks the
# download button, waits for the run and its rescan, and captures the window.
# Usage: tools/screenshot-linux.sh BUILD_DIR [OUT.png]   (./dev screenshot passes the release build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/release}")  # absolute: the window runs elsewhere
gui=$build/src/app/qt/iapflash-gui
out=${2:-$root/docs/window-linux.png}
sample=$root/samples/demo_app.bin
[ -x "$gui" ] || { echo "screenshot: no iapflash-gui in $build (build it first)" >&2; exit 1; }
[ -f "$sample" ] || { echo "screenshot: no sample update file $sample" >&2; exit 1; }
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing (./dev deps)" >&2; exit 1; }
done

work=$(mktemp -d)
xvfb_pid=
gui_pid=
cleanup() {
  if [ -n "$gui_pid" ]; then kill "$gui_pid" 2>/dev/null || true; wait "$gui_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number to the pipe.
exec 3<> >(:)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
read -r -t 20 display <&3 || { echo "screenshot: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
exec 3<&-
export DISPLAY=:$display
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR=$work

home=$work/operator
mkdir -p "$home/firmware"
cp "$sample" "$home/firmware/demo_app.bin"
(cd "$home" && exec "$gui" --simulate firmware/demo_app.bin) >"$work/gui.log" 2>&1 &
gui_pid=$!
window=$(timeout 20 xdotool search --sync --onlyvisible --name '固件更新工具' | head -n 1) || {
  echo "screenshot: the window did not appear" >&2
  cat "$work/gui.log" >&2
  exit 1
}

# Positions in pixels inside the window: 2 pixels per dialog unit of the dialog's layout.
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }
sleep 1                 # the first scan
click 718 111           # 3.固件下载 (330,47 59x17)
sleep 6                 # the run, then its rescan one second later

# Without the date chunks, an unchanged window gives an unchanged file.
import -window "$window" -define png:exclude-chunks=date,time "$out"
echo "screenshot: wrote $out"
