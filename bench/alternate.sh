#!/usr/bin/env bash
# Times two commands against each other: runs them alternately ROUNDS times,
# each writing its standard output to a fresh file under /var/tmp, and prints
# the median wall and processor (user + system) time of each and the medians
# of the per-pair ratios B / A. Used to measure one change: the build before
# it as A, the build with it as B. --pause waits that many seconds before
# every run, as other work does between walks in bench/compare.sh and in
# use: memory a run frees is then handed back to the host of a virtual
# machine before the next run asks for some.
#
#   bench/alternate.sh [--pause SECONDS] ROUNDS CMD_A... -- CMD_B...
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
measure=${KELMARIND_BIN:-$here/../build/bin}/kelmarind-measure
usage="usage: $0 [--pause SECONDS] ROUNDS CMD_A... -- CMD_B..."
pause=0
if [ "${1-}" = --pause ]; then
  pause=$2
  shift 2
fi
[ $# -ge 4 ] || { echo "$usage" >&2; exit 2; }
[ -x "$measure" ] || { echo "$measure missing: build the default preset first" >&2; exit 1; }
rounds=$1
shift
a=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do a+=("$1"); shift; done
[ $# -gt 1 ] || { echo "$usage" >&2; exit 2; }
shift
b=("$@")

out=$(mktemp -u /var/tmp/kelmarind-alternate.XXXXXX)
trap 'rm -f "$out" "$out.pairs"' EXIT

# times CMD...: the command's wall and processor seconds, its output
# discarded afterwards
times() {
  sleep "$pause"
  set -- $("$measure" --stdout "$out" -- "$@")
  rm -f "$out"
  echo "$1 $4"
}

for ((round = 0; round < rounds; round++)); do
  echo "$(times "${a[@]}") $(times "${b[@]}")"
done >"$out.pairs"
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column() { awk "{ print $1 }" "$out.pairs" | median; }
printf 'wall: A %.3f s  B %.3f s  B/A %.3f\n' "$(column '$1')" "$(column '$3')" "$(column '$3 / $1')"
printf 'CPU:  A %.3f s  B %.3f s  B/A %.3f\n' "$(column '$2')" "$(column '$4')" "$(column '$4 / $2')"
echo "(medians of $rounds rounds; B/A is the median of the per-pair ratios)"
