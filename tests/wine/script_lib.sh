# What the Wine test scripts share; sourced after $wine_run, $prefix, $exe and $work are set
# (and $linux_build for serve). The servers started are kept in `servers`.
servers=()

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

# serve_command COMN NAME COMMAND...: starts COMMAND, a server that prints its pseudo-terminal's
# path first (its output in $work/NAME.server and NAME.server.err), and links COMN of the prefix
# to that terminal; its process id in server_pid and added to servers.
serve_command() {
  local com=$1 name=$2 pty
  shift 2
  # Emptied first: the background server's own redirection may come after the wait below looks,
  # which would then read the path of an earlier server of the same name.
  : >"$work/$name.server"
  "$@" >"$work/$name.server" 2>"$work/$name.server.err" &
  server_pid=$!
  servers+=("$server_pid")
  for _ in $(seq 100); do
    [ -s "$work/$name.server" ] && break
    sleep 0.1
  done
  pty=$(head -n 1 "$work/$name.server")
  [ -c "$pty" ] || fail "$1 gave no pseudo-terminal for $com (\"$pty\"): $(cat "$work/$name.server.err")"
  ln -sfn "$pty" "$prefix/dosdevices/${com,,}"
}

# serve COMN NAME [sim options]: a simulated device (the Linux build's `iapflash sim`) behind COMN
# of the prefix, its memory written to $work/NAME.bin as it ends.
serve() {
  local com=$1 name=$2
  shift 2
  serve_command "$com" "$name" "$linux_build/src/cli/iapflash" sim --baud 115200 \
    --memory "$work/$name.bin" "$@"
}

# Ends every server started so far; each writes its device's memory out as it ends.
stop_servers() {
  local pid
  for pid in "${servers[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${servers[@]}"; do wait "$pid" 2>/dev/null || true; done
  servers=()
}
