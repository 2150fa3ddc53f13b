#!/usr/bin/env bash
# The packages as a user gets them (./dev test runs this after ./dev package):
#   package-test.sh DIR    (DIR holds iapflash_<version>_amd64.deb, iapflash-<version>-windows-x64.zip)
# The .deb: lintian, its dependencies against this machine's archive, then unpacked into a scratch
# root: the programs run from there, and the udev rule, desktop entry, icons, manual pages and
# bash completion are where the system looks for them; the maintainer scripts run with udevadm
# missing, failing and working. The zip: unpacked, its programs run under Wine in a fresh prefix.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
packages=$(cd "${1:?usage: package-test.sh DIR}" && pwd)
deb=$(echo "$packages"/iapflash_*_amd64.deb)
zip=$(echo "$packages"/iapflash-*-windows-x64.zip)
[ -f "$deb" ] || { echo "no .deb in $packages" >&2; exit 1; }
[ -f "$zip" ] || { echo "no Windows zip in $packages" >&2; exit 1; }
# The zip's build (windows-release) builds the Windows tests too.
cmake --build "$root/build/windows-release" --target first_steps_driver >/dev/null
version=$(dpkg-deb -f "$deb" Version)
sample=$root/samples/demo_app.hex
# Clicks through FIRST-STEPS.txt in the zip's window: a test program of that build.
driver=$root/build/windows-release/tests/wine/first_steps_driver.exe

mkdir -p "$root/build"
work=$(mktemp -d "$root/build/package-test.XXXXXX")
prefix=$work/wineprefix
cleanup() {
  WINEPREFIX=$prefix /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok    $what"
  else
    echo "FAIL  $what"
    failures=$((failures + 1))
  fi
}
# A time limit for every program run, so that a hang fails the test instead of stopping it.
limited() { timeout 120 "$@"; }

# What the command line says of itself: its subcommands, and the options that
# "PROGRAM [SUBCOMMAND] --help" lists (long names, without their values).
help_commands() {
  limited "$1" --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p'
}
help_options() {
  limited "$@" --help | sed -n 's/^  \(-[^ ]*\).*/\1/p' | tr ',' '\n' | sed -n 's/[{[].*//; /^--/p'
}
# Fails naming each line of the wanted list (file $1) missing from the list on stdin.
covers() {
  local missing
  missing=$(sort -u | comm -13 - <(sort -u "$1"))
  [ -z "$missing" ] || { echo "  missing: $missing" | tr '\n' ' '; echo; return 1; }
}

scratch=$work/root
bin=$scratch/usr/bin
share=$scratch/usr/share
out=$work/out

# ---- the .deb --------------------------------------------------------------------------------

# Each takes the command that runs the program (a path, or "wine iapflash.exe").
says_version() { # NAME COMMAND...
  local name=$1 line
  shift
  line=$( (unset DISPLAY WAYLAND_DISPLAY && limited "$@" --version) | tr -d '\r')
  [[ $line =~ ^$name\ ${version//./\\.}(\ \([0-9a-f]+\))?$ ]] || { echo "  said: $line"; return 1; }
}
lists_simulated() { limited "$@" list --simulate | tr -d '\r' >"$out" && grep -q '^已查找到5个设备$' "$out"; }
flashes_sample() { # SAMPLE COMMAND...
  local sample=$1
  shift
  limited "$@" flash "$sample" --simulate | tr -d '\r' >"$out" &&
    [ "$(tail -n 1 "$out")" = "****固件下载成功." ]
}
dependencies_resolve() { apt-get install --simulate "$deb" 2>&1 | grep -q "^Inst iapflash "; }

# The maintainer scripts, with PATH=$1 (plus the basic tools); udevadm calls go to $calls.
calls=$work/udevadm-calls
run_scripts() {
  local status=0
  : >"$calls"
  PATH=$1:/usr/bin:/bin "$scratch/DEBIAN/postinst" configure || status=1
  PATH=$1:/usr/bin:/bin "$scratch/DEBIAN/postrm" remove || status=1
  PATH=$1:/usr/bin:/bin "$scratch/DEBIAN/postrm" purge || status=1
  return $status
}
scripts_call_udevadm_where_udev_runs() {
  run_scripts "$work/stub" && udevadm_called_where_udev_runs
}
udevadm_called_where_udev_runs() {
  local expected=""
  if [ -d /run/udev ]; then
    expected=$(printf '%s\n' "control --reload-rules" \
      "trigger --action=change --subsystem-match=tty --subsystem-match=usb" \
      "control --reload-rules" "control --reload-rules")
  fi
  [ "$(cat "$calls")" = "$expected" ] || { echo "  udevadm calls: $(cat "$calls")"; return 1; }
}

desktop_entry_resolves() {
  local entry=$share/applications/iapflash.desktop exec icon
  desktop-file-validate "$entry" || return 1
  exec=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
  icon=$(sed -n 's/^Icon=//p' "$entry")
  [ -x "$bin/$exec" ] || { echo "  Exec=$exec is not installed"; return 1; }
  [ -f "$share/icons/hicolor/scalable/apps/$icon.svg" ] || { echo "  no scalable icon $icon"; return 1; }
}
# Each PNG is as large as the folder it is in says.
png_sizes_match() {
  local png size found=0
  for png in "$share"/icons/hicolor/*x*/apps/iapflash.png; do
    size=$(basename "$(dirname "$(dirname "$png")")")
    # The width and height in the PNG's IHDR chunk, bytes 16 to 23, big-endian.
    [ "$(od -An -tu1 -j16 -N8 "$png" | awk '{ printf "%dx%d", $3 * 256 + $4, $7 * 256 + $8 }')" = "$size" ] ||
      { echo "  $png is not $size"; return 1; }
    found=$((found + 1))
  done
  [ "$found" -ge 4 ]
}

# man finds the page through MANPATH; it renders without a warning; it names every subcommand
# and every option that --help lists.
manual_page() { # PROGRAM
  local page text
  page=$(MANPATH=$share/man man -w "$1") || return 1
  [ "$page" = "$share/man/man1/$1.1.gz" ] || { echo "  found $page"; return 1; }
  text=$(LC_ALL=C.UTF-8 MANWIDTH=1000 man --warnings -l "$page" 2>"$work/man-warnings") || return 1
  [ ! -s "$work/man-warnings" ] || { cat "$work/man-warnings"; return 1; }
  grep -q "^NAME" <<<"$text" || return 1
  local wanted=$work/wanted command
  { help_commands "$bin/$1"; help_options "$bin/$1"; } >"$wanted"
  for command in $(help_commands "$bin/$1"); do help_options "$bin/$1" "$command" >>"$wanted"; done
  grep -oE -- '(--)?[a-z][a-z-]*' <<<"$text" | covers "$wanted"
}

# bash-completion's own loader finds the script (XDG_DATA_DIRS points at the scratch root), and
# the completion offers the subcommands and each subcommand's options as --help lists them.
completes() { # PROGRAM [SUBCOMMAND]
  local wanted=$work/wanted
  if [ $# -eq 1 ] && [ -n "$(help_commands "$bin/$1")" ]; then
    help_commands "$bin/$1" >"$wanted"
    complete_words "$1" "" | covers "$wanted" || return 1
  fi
  help_options "$bin/$1" ${2:+"$2"} >"$wanted"
  complete_words "$@" "--" | covers "$wanted"
}
# The words bash completion offers after "WORDS..." (the last one being completed), one a line.
complete_words() {
  PATH=$bin:$PATH XDG_DATA_DIRS=$share bash -c '
    source /usr/share/bash-completion/bash_completion
    __load_completion "$1" || exit 1
    complete -p "$1" | grep -q -- "-F _iapflash" || exit 1
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    _iapflash "$1" "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
    printf "%s\n" "${COMPREPLY[@]}"' - "$@"
}

echo "== $(basename "$deb")"
check "lintian shows no error" lintian --fail-on error "$deb"
check "its dependencies resolve on this machine" dependencies_resolve
dpkg-deb -x "$deb" "$scratch"
dpkg-deb -e "$deb" "$scratch/DEBIAN"

check "iapflash --version says $version" says_version iapflash "$bin/iapflash"
check "iapflash-gui --version says $version, without a display" \
  says_version iapflash-gui "$bin/iapflash-gui"
check "iapflash list --simulate" lists_simulated "$bin/iapflash"
check "iapflash flash $(basename "$sample") --simulate" flashes_sample "$sample" "$bin/iapflash"

check "the udev rule is in /usr/lib/udev/rules.d" \
  cmp "$scratch/usr/lib/udev/rules.d/60-iapflash.rules" "$root/packaging/60-iapflash.rules"
mkdir -p "$work/stub" "$work/failing" "$work/none"
printf '#!/bin/sh\necho "$*" >>"%s"\n' "$calls" >"$work/stub/udevadm"
printf '#!/bin/sh\necho "$*" >>"%s"\nexit 1\n' "$calls" >"$work/failing/udevadm"
chmod +x "$work/stub/udevadm" "$work/failing/udevadm"
check "postinst and postrm end well without udevadm" run_scripts "$work/none"
check "postinst and postrm end well when udevadm fails" run_scripts "$work/failing"
check "postinst and postrm call udevadm only where udev runs" scripts_call_udevadm_where_udev_runs

check "the desktop entry is valid, its program and icon installed" desktop_entry_resolves
check "the PNG icons have their folders' sizes" png_sizes_match
check "man iapflash: renders, documents every subcommand and option" manual_page iapflash
check "man iapflash-gui: renders, documents every option" manual_page iapflash-gui
check "bash completion of iapflash: subcommands and options" completes iapflash
for command in $(help_commands "$bin/iapflash"); do
  check "bash completion of iapflash $command: its options" completes iapflash "$command"
done
check "bash completion of iapflash-gui: its options" completes iapflash-gui

# ---- the Windows zip -------------------------------------------------------------------------

echo "== $(basename "$zip")"
unpacked=$work/zip
unzip -q "$zip" -d "$unpacked"
folder=$unpacked/$(basename "$zip" .zip)
zip_has_files() {
  local file
  for file in iapflash.exe iapflash-gui.exe README.txt FIRST-STEPS.txt demo_app.bin \
    docs/json-events.md docs/json-events.schema.json docs/window-windows.png; do
    [ -f "$folder/$file" ] || { echo "  no $file"; return 1; }
  done
  # Text files with Windows line ends: every line ends with CR LF.
  ! grep -q $'[^\r]$' "$folder/README.txt" "$folder/FIRST-STEPS.txt"
}
# README.txt is for Windows users: every file it names is in the folder, every line of the
# troubleshooting table is in it, and nothing of the Linux developer's README is.
readme_is_for_windows() {
  local text named line
  text=$(tr -d '\r' <"$folder/README.txt")
  for named in $(grep -oE '^  [A-Za-z\\.-]+\.(exe|txt|bin|md|json|png) ' <<<"$text"); do
    [ -f "$folder/${named//\\//}" ] || { echo "  README.txt names $named, not in the folder"; return 1; }
  done
  while IFS= read -r line; do
    grep -qF -- "$line" <<<"$text" || { echo "  not in README.txt: $line"; return 1; }
  done < <(sed -n '/^## Troubleshooting/,/^## /s/^| `\([^`]*\)`.*/\1/p' "$root/README.md")
  ! grep -qE '\./dev|apt install|udevadm|cmake --' <<<"$text" || { echo "  Linux build text in README.txt"; return 1; }
}
# FIRST-STEPS.txt followed literally, in the unzipped folder: its command lines for the simulated
# devices, then its step 2 in the window (tests/wine/first_steps_driver.cpp clicks through it).
first_steps_commands_work() {
  local command ran=0
  while IFS= read -r command; do
    read -ra words <<<"${command#   iapflash.exe }"
    limited "$wine" iapflash.exe "${words[@]}" </dev/null | tr -d '\r' >"$out" || { echo "  failed: $command"; return 1; }
    ran=$((ran + 1))
  done < <(tr -d '\r' <"$folder/FIRST-STEPS.txt" | grep -E '^   iapflash\.exe .*--simulate$')
  [ "$ran" -eq 2 ] && [ "$(tail -n 1 "$out")" = "****固件下载成功." ]
}
first_steps_window_works() {
  local text gui status=0
  text=$(tr -d '\r' <"$folder/FIRST-STEPS.txt")
  grep -qx '      iapflash-gui.exe --simulate' <<<"$text" &&
    grep -q 'go to this folder and choose demo_app.bin' <<<"$text" || { echo "  FIRST-STEPS.txt says otherwise"; return 1; }
  timeout 600 "$wine" iapflash-gui.exe --simulate >/dev/null 2>&1 &
  gui=$!
  # The driver waits for each step's outcome a minute at most and says which step failed; the
  # window it leaves open is shown where it stands, then ended.
  if ! timeout 600 "$wine" "$driver" demo_app.bin; then
    status=1
    "$root/tests/wine/backtraces.sh" "$prefix" iapflash-gui.exe
    kill "$gui" 2>/dev/null || true
  fi
  wait "$gui" || status=1
  return $status
}
# Runs a program of the folder under Wine, from the folder (a script: limited cannot run a function).
wine=$work/wine-in-folder
printf '#!/bin/sh\ncd "%s" && exec "%s" "%s" "$@"\n' "$folder" "$root/tools/wine-run.sh" "$prefix" >"$wine"
chmod +x "$wine"
check "the folder holds both programs, README.txt, FIRST-STEPS.txt, the sample and the docs" \
  zip_has_files
check "README.txt is for Windows users and names only what the folder holds" readme_is_for_windows
check "FIRST-STEPS.txt: its command lines, followed literally in a fresh Wine prefix" \
  first_steps_commands_work
check "FIRST-STEPS.txt: its step 2 in the window, followed literally" first_steps_window_works
cp "$sample" "$folder/"
check "iapflash.exe --version says $version, in a fresh Wine prefix" \
  says_version iapflash "$wine" iapflash.exe
check "iapflash-gui.exe --version says $version" says_version iapflash-gui "$wine" iapflash-gui.exe
check "iapflash.exe list --simulate" lists_simulated "$wine" iapflash.exe
check "iapflash.exe flash $(basename "$sample") --simulate" \
  flashes_sample "$(basename "$sample")" "$wine" iapflash.exe

if [ "$failures" -ne 0 ]; then
  echo "== $failures package checks failed"
  exit 1
fi
echo "== the packages passed"
