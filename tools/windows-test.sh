#!/usr/bin/env bash
# The Windows build under Wine: configures and builds a Windows preset (MinGW-w64): windows,
# the debug build, unless another is named (./dev test names windows-release, the optimised
# build that also makes the zip), makes a fresh Wine prefix for this run, and runs every test
# of that build under Wine (label wine):
# the portable unit tests as Windows programs, the Win32 backends, the dialog's self-test and
# the command line over a COM port that leads to a simulated device on a pseudo-terminal, and
# over RFC 2217 to ser2net in front of one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
preset=${1:-windows}
build=$root/build/$preset
prefix=$build/wineprefix
wineserver=/usr/lib/wine/wineserver
# A Linux build serves the simulated devices (`iapflash sim`): the debug build, or the one
# IAPFLASH_LINUX_BUILD names (./dev test names its asan-ubsan build).
linux_build=${IAPFLASH_LINUX_BUILD:-$root/build/debug}
jobs=$(nproc)
started=$SECONDS

stop_wine() { WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT

echo "== the Linux side: the simulated devices behind COM7"
[ -f "$linux_build/CMakeCache.txt" ] || cmake --preset debug -B "$linux_build" >/dev/null
cmake --build "$linux_build" --target iapflash ser2net_device -j "$jobs"

echo "== a fresh Wine prefix"
stop_wine
rm -rf "$prefix" "$prefix.lock"
mkdir -p "$build"
# wine-run.sh makes the prefix on first use; do it now, once, before anything runs in it.
"$root/tools/wine-run.sh" "$prefix" cmd /c exit >/dev/null 2>&1 || true
[ -f "$prefix/.iapflash-ready" ] || { echo "the Wine prefix could not be made" >&2; exit 1; }

echo "== building the $preset preset"
cmake --preset "$preset" -DIAPFLASH_LINUX_BUILD="$linux_build" >/dev/null
cmake --build --preset "$preset" -j "$jobs"

echo "== tests under Wine"
(cd "$build" && ctest -L wine --output-on-failure -j "$jobs" --timeout 300)
echo "== Windows build and tests under Wine in $((SECONDS - started)) s"
