#!/usr/bin/env bash
# Times commands against each other: runs each once a round, ROUNDS rounds,
# each writing its standard output to a fresh file under /var/tmp, and prints the
# median wall and processor (user + system) time of each and, for every
# command after the first, the medians of its per-round ratios to the first.
# Used to measure one change: the build before it as A, the build with it as
# B; more commands (C, D, ...) measure several steps in one run, every one
# against A under the same drift in load. --pause waits that many seconds
# before every run, as other work does between walks in bench/compare.sh and
# in use: memory a run frees is then handed back to the host of a virtual
# machine before the next run asks for some.
#
#   bench/alternate.sh [--pause SECONDS] ROUNDS CMD_A... -- CMD_B... [-- CMD_C...]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
measure=${KELMARIND_BIN:-$here/../build/bin}/kelmarind-measure
usage="usage: $0 [--pause SECONDS] ROUNDS CMD_A... -- CMD_B... [-- CMD_C...]"
pause=0
if [ "${1-}" = --pause ]; then
  pause=$2
  shift 2
fi
[ $# -ge 4 ] || { echo "$usage" >&2; exit 2; }
rounds=$1
shift
# The commands, one after another in `words`; command i is the
# lengths[i] words from starts[i].
words=("$@" --)
starts=(0)
lengths=()
for ((i = 0; i < ${#words[@]}; i++)); do
  if [ "${words[i]}" = "--" ]; then
    lengths+=($((i - starts[-1])))
    starts+=($((i + 1)))
  fi
done
unset 'starts[-1]'
count=${#starts[@]}
[ "$count" -ge 2 ] || { echo "$usage" >&2; exit 2; }
for length in "${lengths[@]}"; do
  [ "$length" -gt 0 ] || { echo "$usage" >&2; exit 2; }
done

out=$(mktemp -u /var/tmp/kelmarind-alternate.XXXXXX)
trap 'rm -f "$out" "$out.rounds"' EXIT

# times I: command I's wall and processor seconds, its output discarded
# afterwards
times() {
  sleep "$pause"
  local wall cpu
  read -r wall _ _ cpu < <("$measure" --stdout "$out" -- "${words[@]:${starts[$1]}:${lengths[$1]}}")
  rm -f "$out"
  echo "$wall $cpu"
}

# Each round runs the commands in a fresh order, so that none always
# follows the same other: a run leaves memory freed and caches warm for the
# next one.
RANDOM=1
for ((round = 0; round < rounds; round++)); do
  order=()
  for ((i = 0; i < count; i++)); do
    j=$((RANDOM % (i + 1)))
    order[i]=${order[j]-}
    order[j]=$i
  done
  results=()
  for i in "${order[@]}"; do results[i]=$(times "$i"); done
  echo "${results[*]}"
done >"$out.rounds"
# sorted EXPR: EXPR's value in every round, in ascending order
sorted() { awk "{ print $1 }" "$out.rounds" | sort -g; }
column() {
  sorted "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# The median's 95 % interval from the ranks alone, as the binomial law gives
# it (ranks n/2 - 0.98 sqrt(n) and 1 + n/2 + 0.98 sqrt(n)): it assumes
# nothing of how the times spread, only that rounds are independent. Too few
# rounds give none.
interval() {
  sorted "$1" | awk '{ v[NR] = $1 } END {
    h = 0.98 * sqrt(NR); lo = int(NR / 2 - h + 0.5); hi = int(NR / 2 + 1 + h + 0.5)
    if (lo >= 1 && hi <= NR) printf " (95%% %.3f-%.3f)", v[lo], v[hi] }'
}
names=(A B C D E F G H I J K L)
for ((i = 0; i < count; i++)); do
  wall="\$$((2 * i + 1))"
  cpu="\$$((2 * i + 2))"
  printf '%s  wall %.3f s  CPU %.3f s' "${names[i]}" "$(column "$wall")" "$(column "$cpu")"
  if [ "$i" -gt 0 ]; then
    printf '  %s/A wall %.3f%s  CPU %.3f' "${names[i]}" "$(column "$wall / \$1")" \
      "$(interval "$wall / \$1")" "$(column "$cpu / \$2")"
  fi
  printf '  %s\n' "${words[*]:${starts[i]}:${lengths[i]}}"
done
echo "(medians of $rounds rounds; X/A is the median of the per-round ratios, with its 95 % interval)"
