#!/bin/sh
# Runs COMMAND beside a journald of its own and writes that journal, as JSON
# lines, to OUTPUT. Run it inside a private mount namespace
# (unshare --mount --propagation private): fresh tmpfs over /run and
# /var/log/journal keep the machine's own journal, if any, untouched.
#   private_journal.sh OUTPUT COMMAND [ARGUMENT...]
set -eu
output=$1
shift
mount -t tmpfs tmpfs /run
if [ -d /var/log/journal ]; then mount -t tmpfs tmpfs /var/log/journal; fi

/lib/systemd/systemd-journald &
journald=$!
trap 'kill "$journald" 2>/dev/null; wait "$journald" 2>/dev/null || true' EXIT
tries=0
until [ -S /run/systemd/journal/socket ]; do
  tries=$((tries + 1))
  [ "$tries" -le 100 ] || { echo "private_journal: journald did not start" >&2; exit 3; }
  sleep 0.05
done

"$@"
journalctl --sync
journalctl --directory=/run/log/journal --output=json --all SYSLOG_IDENTIFIER=KelmarindHelper >"$output"
