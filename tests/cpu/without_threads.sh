#!/usr/bin/env bash
# Runs a command allowed no thread beyond its own: a process limit of one
# (for root, as an unprivileged user made for it, since root ignores the
# limit).
set -euo pipefail
export OPENBLAS_NUM_THREADS=1  # the test binary links OpenBLAS, which starts its own
# LeakSanitizer needs a thread of its own at exit.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
if [ "$(id -u)" -eq 0 ]; then
  user=velmora-pserver
  id "$user" >/dev/null 2>&1 ||
    useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
  exec runuser -u "$user" -- prlimit --nproc=1 "$@"
fi
exec prlimit --nproc=1 "$@"
