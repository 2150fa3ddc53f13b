#!/usr/bin/env bash
# The Windows dialog after a download into the simulated bus, as docs/window-windows.png.
# Builds the dialog's self-test (windows preset), runs it under Wine on a virtual desktop in
# Xvfb, lets it choose the sample update file and download it, and captures the desktop. The
# sample lies under a neutral path (C:\firmware\demo_app.bin), not this machine's checkout.
# Usage: tools/screenshot-windows.sh [OUT.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/windows
out=${1:-$root/docs/window-windows.png}
sample=$root/samples/demo_app.bin
prefix=$build/wineprefix-screenshot
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
for tool in Xvfb import; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing (./dev deps)" >&2; exit 1; }
done

cmake --preset windows >/dev/null
cmake --build --preset windows --target dialog_self_test

export WINEPREFIX=$prefix WINEDEBUG=-all
work=$(mktemp -d)
xvfb_pid=
gui_pid=
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  if [ -n "$gui_pid" ]; then kill "$gui_pid" 2>/dev/null || true; wait "$gui_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A prefix of its own, with a display: Chinese needs a font that has it in place of the dialog
# fonts, and the caption buttons need Wine's own fonts.
if [ ! -f "$prefix/.iapflash-screenshot-ready" ]; then
  rm -rf "$prefix"
  # No .NET or HTML engine: Wine would offer to download them.
  WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot -i </dev/null >/dev/null 2>&1
  cat >"$work/fonts.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"MS Shell Dlg"="WenQuanYi Micro Hei"
"MS Shell Dlg 2"="WenQuanYi Micro Hei"
"Fixedsys"="WenQuanYi Micro Hei Mono"
REG
  "$wine" regedit /S "$(printf 'Z:%s' "${work//\//\\}")\\fonts.reg" </dev/null >/dev/null 2>&1
  cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
  "$wineserver" -w
  touch "$prefix/.iapflash-screenshot-ready"
fi

mkdir -p "$prefix/drive_c/firmware"
cp "$sample" "$prefix/drive_c/firmware/demo_app.bin"

# Xvfb picks a free display and writes its number to the pipe.
exec 3<> >(:)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
read -r -t 20 display <&3 || { echo "screenshot: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
exec 3<&-
export DISPLAY=:$display

# Without a window manager, a Wine desktop gives the dialog its caption.
ready=$work/ready
windows() { printf 'Z:%s' "${1//\//\\}"; }
"$wine" explorer /desktop=iapflash,1024x768 "$build/tests/wine/dialog_self_test.exe" \
  'C:\firmware\demo_app.bin' --ready-file "$(windows "$ready")" \
  </dev/null >"$work/gui.log" 2>&1 &
gui_pid=$!
for _ in $(seq 600); do
  [ -f "$ready" ] && break
  sleep 0.1
done
[ -f "$ready" ] || { echo "screenshot: the dialog did not get ready" >&2; cat "$work/gui.log" >&2; exit 1; }
sleep 0.5
mkdir -p "$(dirname "$out")"
# Without the date chunks, an unchanged window gives an unchanged file.
import -window root -define png:exclude-chunks=date,time "$out"
echo "screenshot: $out"
