#!/usr/bin/env bash
# Times two commands against each other: runs them alternately ROUNDS times,
# each writing its standard output to a fresh file under /var/tmp, and prints
# the median wall time of each and the median of the per-pair ratios B / A.
# Used to measure one change: the build before it as A, the build with it as B.
#
#   bench/alternate.sh ROUNDS CMD_A... -- CMD_B...
set -euo pipefail

[ $# -ge 4 ] || { echo "usage: $0 ROUNDS CMD_A... -- CMD_B..." >&2; exit 2; }
rounds=$1
shift
a=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do a+=("$1"); shift; done
[ $# -gt 1 ] || { echo "usage: $0 ROUNDS CMD_A... -- CMD_B..." >&2; exit 2; }
shift
b=("$@")

out=$(mktemp -u /var/tmp/kelmarind-alternate.XXXXXX)
trap 'rm -f "$out" "$out.pairs"' EXIT

# seconds CMD...: the command's wall time, its output discarded afterwards
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >"$out"
  end=$(date +%s.%N)
  rm -f "$out"
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
}

for ((round = 0; round < rounds; round++)); do
  echo "$(seconds "${a[@]}") $(seconds "${b[@]}")"
done >"$out.pairs"
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf 'A %.3f s  B %.3f s  B/A %.3f (median of per-pair ratios)\n' \
  "$(awk '{ print $1 }' "$out.pairs" | median)" "$(awk '{ print $2 }' "$out.pairs" | median)" \
  "$(awk '{ print $2 / $1 }' "$out.pairs" | median)"
