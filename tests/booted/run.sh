#!/usr/bin/env bash
# The helper deployed as it really runs: builds the Debian package, boots a
# minimal Debian 12 with systemd as PID 1 in a container, installs the
# package there and runs tests/booted/checks.sh inside. Needs root; skips with
# the reason when not root or when the container tools cannot be had.
#
# The container's root is built once with mmdebstrap and cached under
# /var/tmp/kelmarind-booted/, keyed on everything that goes into it (the apt
# sources, the package list, the package's dependencies, whose files wait in
# apt's cache so the install pulls them without a network) and rebuilt when a
# week old. Each run boots an overlay of it, thrown away afterwards, so runs
# do not see each other.
#   tests/booted/run.sh        after a default build
set -euo pipefail
cd "$(dirname "$0")/../.."

skip() {
  echo "booted: skipped: $*"
  exit 0
}
[ -z "${KELMARIND_SKIP_BOOTED:-}" ] || skip "KELMARIND_SKIP_BOOTED is set"
[ "$(id -u)" -eq 0 ] || skip "needs root (mmdebstrap, systemd-nspawn, mounts)"
script/bootstrap mmdebstrap systemd-container >/dev/null 2>&1 ||
  skip "mmdebstrap or systemd-container cannot be installed"

echo "booted: building the package"
deb=$(script/package | tail -1)

cache=/var/tmp/kelmarind-booted
include=systemd,systemd-sysv,dbus,ca-certificates
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed -E 's/^ *([^ |(]+).*/\1/' | sort)

# The host's Debian sources, as one deb822 or one-line list on stdin.
sources() {
  local files
  files=$(grep -l -s 'debian' /etc/apt/sources.list.d/*.sources || true)
  if [ -n "$files" ]; then
    for f in $files; do cat "$f"; echo; done
  else
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | grep '^deb .*debian'
  fi
}

# Everything that goes into the root; a change of any part builds a new one.
recipe=(--variant=important --include="$include" --skip=cleanup/apt
  --customize-hook='rm -f "$1"/var/cache/apt/archives/*.deb'
  --customize-hook="chroot \"\$1\" apt-get install --download-only -y --no-install-recommends $(echo $depends)")
key=$( (sources; printf '%s\n' "${recipe[@]}") | sha256sum | cut -c1-16)
root=$cache/root-$key
# Other checkouts may run this at the same time: a root is built or removed
# only under the exclusive lock, and used under the shared one.
mkdir -p "$cache"
exec 9>"$cache/lock"
flock -x 9
# A week-old root is rebuilt too, so it follows the distribution's updates.
if [ -n "$(find "$root" -maxdepth 0 -mtime +7 2>/dev/null)" ]; then rm -rf "$root"; fi
if [ ! -d "$root" ]; then
  echo "booted: building the container's root (once; a few minutes)"
  find "$cache" -mindepth 1 -maxdepth 1 -name 'root-*' -exec rm -rf {} +
  building=$cache/building-$$
  # The dependencies are downloaded, not installed: the test installs them
  # from apt's cache through the package, so apt's lists stay too.
  if ! sources | mmdebstrap "${recipe[@]}" bookworm "$building" - \
    >"$cache/mmdebstrap.log" 2>&1; then
    tail -20 "$cache/mmdebstrap.log"
    rm -rf "$building"
    skip "mmdebstrap could not build a Debian 12 root (see $cache/mmdebstrap.log)"
  fi
  mv "$building" "$root"
fi
flock -s 9

run=$(mktemp -d "$cache/run-XXXXXX")
merged=$run/merged
mkdir -p "$run/upper" "$run/work" "$merged"
# Where /var/tmp cannot hold an overlay (it is one itself), a copy will do.
mount -t overlay overlay -o "lowerdir=$root,upperdir=$run/upper,workdir=$run/work" "$merged" ||
  cp -a "$root/." "$merged/"

# The host runs no service manager; the container's systemd wants a cgroup of
# its own in every hierarchy there is.
cgroups=()
if [ -f /sys/fs/cgroup/cgroup.controllers ]; then
  cgroups=(/sys/fs/cgroup/kelmarind-booted-$$)
else
  for h in systemd unified; do
    [ -d "/sys/fs/cgroup/$h" ] && cgroups+=("/sys/fs/cgroup/$h/kelmarind-booted-$$")
  done
fi

nspawn="" init=""
enter() { nsenter -t "$init" -m -u -i -n -p -C -r -w "$@"; }
cleanup() {
  if [ -n "$init" ] && kill -0 "$init" 2>/dev/null; then
    enter systemctl poweroff >/dev/null 2>&1 || true
  fi
  if [ -n "$nspawn" ]; then
    for _ in $(seq 300); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
    # A container that did not power off (its service manager was not up
    # yet, or hung) is ended through its PID 1, which takes every process of
    # its namespace along; killing nspawn alone would leave them running.
    if [ -n "$init" ] && kill -0 "$init" 2>/dev/null; then
      kill -KILL "$init" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
    fi
    kill -KILL "$nspawn" 2>/dev/null || true
    wait "$nspawn" 2>/dev/null || true
  fi
  umount "$merged" 2>/dev/null || umount -l "$merged" 2>/dev/null || true
  rm -rf "$run"
  # The kernel lets go of a cgroup a moment after its last process.
  for c in "${cgroups[@]}"; do
    for _ in $(seq 50); do
      [ -d "$c" ] || break
      find "$c" -depth -type d -exec rmdir {} \; 2>/dev/null || sleep 0.1
    done
  done
  true
}
trap cleanup EXIT

test_dir=$merged/opt/kelmarind-test
mkdir -p "$test_dir"
cp "$deb" "$test_dir/kelmarind-helper.deb"
cp build/bin/kelmarind-walk build/bin/kelmarind-sandbox-probe build/bin/journal_log_writer \
  tests/booted/checks.sh "$test_dir/"

echo "booted: booting"
(
  for c in "${cgroups[@]}"; do
    mkdir -p "$c"
    echo "$BASHPID" >"$c/cgroup.procs"
  done
  exec systemd-nspawn --register=no --keep-unit --private-network -b -D "$merged" \
    --console=read-only
) >"$run/boot.log" 2>&1 &
nspawn=$!

for _ in $(seq 200); do
  for child in $(pgrep -P "$nspawn" || true); do
    [ "$(cat "/proc/$child/comm" 2>/dev/null)" = systemd ] && init=$child
  done
  [ -n "$init" ] && break
  kill -0 "$nspawn" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$init" ]; then
  tail -20 "$run/boot.log"
  echo "booted: the container did not boot"
  exit 1
fi
# systemctl answers once the service manager's private socket is there.
for _ in $(seq 600); do
  enter test -S /run/systemd/private 2>/dev/null && break
  sleep 0.05
done
state=$(timeout 120 nsenter -t "$init" -m -u -i -n -p -C -r -w \
  systemctl is-system-running --wait 2>/dev/null || true)
if [ "$state" != running ]; then
  echo "booted: the container is $state:"
  enter systemctl --failed --no-legend || true
  [ "$state" = degraded ] || exit 1
fi

status=0
timeout 900 nsenter -t "$init" -m -u -i -n -p -C -r -w /opt/kelmarind-test/checks.sh ||
  status=$?
exit "$status"
