#!/usr/bin/env bash
# Whole-process HEX to BIN conversion of a full 102400-byte image: hex_to_bin against
# objcopy -I ihex -O binary --gap-fill 0xff, same text, same output, mean over repeated runs.
# Usage: bench/hex_vs_objcopy.sh BUILD_DIR [RUNS]
set -euo pipefail
build=${1:?usage: hex_vs_objcopy.sh BUILD_DIR [RUNS]}
runs=${2:-200}
tool=$build/bench/hex_to_bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$tool" generate "$work/in.hex"
"$tool" "$work/in.hex" "$work/ours.bin"
objcopy -I ihex -O binary --gap-fill 0xff "$work/in.hex" "$work/objcopy.bin"
cmp "$work/ours.bin" "$work/objcopy.bin"

# Mean wall time of one run in microseconds.
time_runs() {
  local start end
  start=$(date +%s%N)
  for ((i = 0; i < runs; i++)); do "$@"; done
  end=$(date +%s%N)
  echo $(((end - start) / runs / 1000))
}

spawn=$(time_runs /bin/true)
ours=$(time_runs "$tool" "$work/in.hex" "$work/ours.bin")
theirs=$(time_runs objcopy -I ihex -O binary --gap-fill 0xff "$work/in.hex" "$work/objcopy.bin")
echo "text: $(stat -c %s "$work/in.hex") bytes, image: $(stat -c %s "$work/ours.bin") bytes, $runs runs each"
echo "hex_to_bin: ${ours} us per run"
echo "objcopy:    ${theirs} us per run"
echo "/bin/true:  ${spawn} us per run (the cost of starting a process here)"
awk -v a="$ours" -v b="$theirs" -v s="$spawn" 'BEGIN {
  printf "objcopy / hex_to_bin: %.1fx whole process", b / a
  if (a > s) printf ", %.1fx beyond process start", (b - s) / (a - s)
  printf "\n" }'
