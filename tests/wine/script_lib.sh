# What the Wine test scripts share; sourced after $wine_run, $prefix, $exe and $work are set.

fail() { echo "FAILED: $*" >&2; exit 1; }

# Wine reaches Linux paths through drive Z:.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# win ARGS...: iapflash.exe with its stdout in $work/out and $work/out.lf (line ends as Linux
# writes them), its stderr in $work/err and $work/err.lf, its exit status in $status; both shown.
win() {
  status=0
  "$wine_run" "$prefix" "$exe" "$@" >"$work/out" 2>"$work/err" || status=$?
  tr -d '\r' <"$work/out" >"$work/out.lf"
  tr -d '\r' <"$work/err" >"$work/err.lf"
  echo "== iapflash.exe $* (exit $status)"
  cat "$work/out.lf" "$work/err.lf"
}
