#!/usr/bin/env bash
# VelmoraLogParallel and VelmoraFitParallel across machines, for real, on
# this one: a server of Octave's parallel package on the loopback address
# evaluates the blocks, and the results must equal one VelmoraLog or
# VelmoraFit call bit for bit. The server
# refuses to run as root, so as root it runs as an unprivileged user made
# for it. It listens on every interface: we connect through 127.0.0.1
# only, bound everything in time, and stop it whatever the outcome.
#   cluster_check.sh MEX_FOLDER
set -euo pipefail
mex=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
server=/usr/libexec/octave-pserver
[ -x "$server" ] || { echo "no $server: install octave-parallel"; exit 1; }

# A folder the server's user can read, with what it needs.
work=$(mktemp -d)
chmod 755 "$work"
cp "$mex"/VelmoraLog.mex "$mex"/velmora_log_block.m "$mex"/velmora_gpus.m "$mex"/velmora_fit_block.mex \
  "$mex"/velmora_fit_serve.m "$work"/
chmod 644 "$work"/*
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  user=velmora-pserver
  id "$user" >/dev/null 2>&1 ||
    useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
  as_user=(runuser -u "$user" --)
fi
pidfile=/tmp/.octave-$(hostname).pid
stop_server() {
  [ -n "${pid:-}" ] && kill "$pid" 2>/dev/null || true
  if [ -n "${watchdog:-}" ]; then
    pkill -P "$watchdog" 2>/dev/null || true
    kill "$watchdog" 2>/dev/null || true
  fi
  [ -n "${user:-}" ] && pkill -u "$user" 2>/dev/null || true
  rm -rf "$work"
}
trap stop_server EXIT
rm -f "$pidfile" 2>/dev/null || true

# A run just before leaves the port in TIME_WAIT for a minute, and the
# server cannot bind it until then: a few tries.
for _ in 1 2 3 4 5 6 7 8; do
  "${as_user[@]}" env HOME="$work" timeout 150 "$server" \
    --octave-binary="$(command -v octave-cli)" --no-auth
  for _ in $(seq 50); do
    [ -s "$pidfile" ] && break
    sleep 0.2
  done
  [ -s "$pidfile" ] && break
done
[ -s "$pidfile" ] || { echo "the server did not start"; exit 1; }
# The server leaves the process tree: should this script be killed before
# its trap runs, a watchdog still stops it.
pid=$(cat "$pidfile")
setsid sh -c "sleep 200; kill $pid 2>/dev/null" >/dev/null 2>&1 < /dev/null &
watchdog=$!

timeout 120 octave-cli --norc --no-history --quiet --eval "
  addpath ('$mex', '$here');
  cluster_velmora_log ('$work');
  cluster_velmora_fit ('$work');"
