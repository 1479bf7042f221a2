#!/usr/bin/env bash
# Times the client's human views against --json on one tree, through one
# private helper started as script/run starts it (socket activation on a
# scratch socket). Each round runs, in turn: --json, the printed tree, and the
# terminal browser until its first screen is drawn (on a pseudo-terminal of
# 120 x 40), so drift in the machine's load hits all three alike.
# Prints the medians and the median per-round ratios to --json.
#
#   bench/client_views.sh [--rounds N] [--client PATH] (PATH | --generated)
#
# --client times another build of kelmarind-scan (the helper stays this one).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=${KELMARIND_BIN:-$here/../build/bin}
client=$bin/kelmarind-scan
rounds=5
target=""
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --client) client=$2; shift 2 ;;
    --generated) target=${KELMARIND_BENCH_TREE:-/var/tmp/kelmarind-bench-tree}; shift ;;
    *) target=$1; shift ;;
  esac
done
[ -n "$target" ] || { echo "usage: $0 [--rounds N] [--client PATH] (PATH | --generated)" >&2; exit 2; }
[ -d "$target" ] || { echo "$target is not a directory (bench/compare.sh --generated makes the tree)" >&2; exit 1; }

work=$(mktemp -d)
socket=$work/helper.sock
cleanup() {
  if [ -n "${activator:-}" ]; then kill "$activator" 2>/dev/null || true; wait "$activator" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
systemd-socket-activate --listen "$socket" "$bin/KelmarindHelper" 2>"$work/helper.log" &
activator=$!
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.05; done

now() { date +%s.%N; }
elapsed() { awk -v s="$1" -v e="$2" 'BEGIN { printf "%.4f", e - s }'; }

timed() {
  local start
  start=$(now)
  "$@" >/dev/null
  elapsed "$start" "$(now)"
}

# The browser's first screen: from starting the program to the sort order
# appearing in the header line, which is drawn with the first rows. The
# browser runs on a pseudo-terminal of 120 x 40 made by script(1); its output
# is read as it comes, so nothing polls.
mkfifo "$work/screen"
first_screen() {
  local start pid line
  start=$(now)
  COLUMNS=120 LINES=40 TERM=xterm LANG=C.UTF-8 script -q -e \
    -c "$client --socket $socket --browse $target" /dev/null </dev/null >"$work/screen" 2>/dev/null &
  pid=$!
  # The screen's lines end in carriage returns and cursor moves, not line
  # feeds: read up to each carriage return.
  while IFS= read -r -d $'\r' line; do [[ $line == *"by size"* ]] && break; done <"$work/screen"
  elapsed "$start" "$(now)"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

timed "$client" --socket "$socket" --json "$target" >/dev/null  # warm the cache
for ((round = 0; round < rounds; round++)); do
  echo "$(timed "$client" --socket "$socket" --json "$target")" \
    "$(timed "$client" --socket "$socket" "$target")" "$(first_screen)"
done >"$work/rounds"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column() { awk -v c="$1" '{ print $c }' "$work/rounds" | median; }
ratio() { awk -v c="$1" '{ print $c / $1 }' "$work/rounds" | median; }
echo "# $(date -u '+%F %T UTC')  $(nproc) cores  load:$(uptime | sed 's/.*load average://')"
echo "# $target, $rounds rounds after one warm-up, client $client"
printf '%-14s %9s %9s\n' view median_s x_json
printf '%-14s %9.3f %9.3f\n' json "$(column 1)" 1
printf '%-14s %9.3f %9.3f\n' printed "$(column 2)" "$(ratio 2)"
printf '%-14s %9.3f %9.3f\n' first_screen "$(column 3)" "$(ratio 3)"
