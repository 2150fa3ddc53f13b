# What the Wine test scripts share; sourced after $wine_run, $prefix, $exe and $work are set
# (and $linux_build and a `servers` array for serve).

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

# serve COMN NAME [sim options]: a simulated device (the Linux build's `iapflash sim`) behind COMN
# of the prefix, its memory written to $work/NAME.bin as it ends; its server's process id in
# server_pid and added to servers.
serve() {
  local com=$1 name=$2
  shift 2
  "$linux_build/src/cli/iapflash" sim --baud 115200 --memory "$work/$name.bin" "$@" \
    >"$work/$name.server" 2>"$work/$name.server.err" &
  server_pid=$!
  servers+=("$server_pid")
  for _ in $(seq 100); do
    [ -s "$work/$name.server" ] && break
    sleep 0.1
  done
  local pty
  pty=$(head -n 1 "$work/$name.server")
  [ -c "$pty" ] || fail "no pseudo-terminal for $com: $(cat "$work/$name.server.err")"
  ln -sfn "$pty" "$prefix/dosdevices/${com,,}"
}
