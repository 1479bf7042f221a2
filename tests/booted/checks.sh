#!/bin/bash
# Runs inside a freshly booted Debian 12 container (tests/booted/run.sh enters
# it): installs the package as an administrator would and checks the helper as
# the service manager runs it. Everything it uses is in the directory it sits
# in: the package, kelmarind-walk (the walk run directly, for comparison), the
# sandbox probe and the journal writer.
# Prints "ok" or "FAIL" per check, with the reason below a failure, and ends
# with "booted: N passed, M failed"; exits 1 when any check failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
socket=/run/com.kelmarind.helper.sock
service=kelmarind-helper.service
passed=0 failed=0

# check NAME FUNCTION [ARG...]: runs FUNCTION, which fails with a reason on
# its output.
check() {
  local name=$1 output
  shift
  if output=$("$@" 2>&1); then
    echo "ok   $name"
    passed=$((passed + 1))
  else
    echo "FAIL $name"
    printf '%s\n' "$output" | head -30 | sed 's/^/       /'
    failed=$((failed + 1))
  fi
}

# until_true SECONDS COMMAND...: polls COMMAND every 50 ms.
until_true() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

expect_state() {  # UNIT STATE
  local state
  state=$(systemctl is-active "$1")
  [ "$state" = "$2" ] || { echo "$1 is $state, expected $2"; return 1; }
}

helper_pid() { systemctl show -P MainPID "$service"; }

# ---- install

# The runtime libraries are in apt's cache but not installed: apt must pull
# them from the package's dependencies (the container has no network).
install_package() {
  local deps missing=()
  deps=$(dpkg-deb -f "$here/kelmarind-helper.deb" Depends | tr ',' '\n' |
    sed -E 's/^ *([^ |(]+).*/\1/')
  for p in $deps; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  [ ${#missing[@]} -gt 0 ] || { echo "every dependency was installed beforehand: $deps"; return 1; }
  apt-get install -y "$here/kelmarind-helper.deb" || return 1
  for p in "${missing[@]}"; do
    dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed' ||
      { echo "$p was not installed"; return 1; }
  done
  echo "pulled: ${missing[*]}"
}

installed_units() {
  [ "$(systemctl is-enabled kelmarind-helper.socket)" = enabled ] || return 1
  [ "$(systemctl is-enabled kelmarind-helper-users.path)" = enabled ] || return 1
  expect_state kelmarind-helper.socket active &&
    expect_state kelmarind-helper-users.path active &&
    expect_state "$service" inactive || return 1
  getent group kelmarind || { echo "no group kelmarind"; return 1; }
  local mode
  mode=$(stat -c '%U:%G %a' "$socket")
  [ "$mode" = "root:kelmarind 660" ] || { echo "endpoint is $mode"; return 1; }
}

exposure() { systemd-analyze security --threshold=20 "$service" | tail -1; }

activation() {
  expect_state "$service" inactive || return 1
  [ "$(kelmarind-scan --ping)" = ok ] || return 1
  expect_state "$service" active
}

# ---- who may connect

add_users() {
  useradd --create-home --groups kelmarind kelm-member &&
    useradd --create-home kelm-outsider
}

member_served() { same_document /usr kelm-member; }

outsider_refused_at_connect() {
  local status=0 err
  err=$(runuser -u kelm-outsider -- kelmarind-scan --ping 2>&1 >/dev/null) || status=$?
  [ "$status" -eq 2 ] && [[ $err == *"Permission denied"* ]] ||
    { echo "exit $status: $err"; return 1; }
}

# ---- a user added while the helper runs

late_user_protected() {
  mkdir -p /Users/kelm-late/Documents && echo note >/Users/kelm-late/Documents/note || return 1
  kelmarind-scan --json /Users/kelm-late/Documents >/dev/null ||
    { echo "not served before the user existed"; return 1; }
  expect_state "$service" active || return 1
  useradd --no-create-home --home-dir /Users/kelm-late kelm-late || return 1
  until_true 10 expect_state "$service" inactive >/dev/null 2>&1 ||
    { echo "the path unit did not stop the helper"; return 1; }
  local status=0 err
  err=$(kelmarind-scan /Users/kelm-late/Documents 2>&1 >/dev/null) || status=$?
  [ "$status" -eq 1 ] && [[ $err == *"does not read this location"* ]] ||
    { echo "exit $status: $err"; return 1; }
}

# A provisioning script that adds users one after another while clients keep
# asking: every addition stops the helper, every request starts it again. The
# endpoint must stay, however many starts that makes in a few seconds.
users_added_in_a_batch() {
  local n
  for n in 1 2 3 4 5 6 7 8 9 10 11 12; do
    useradd --no-create-home "kelm-batch$n" || return 1
    until_true 10 expect_state "$service" inactive >/dev/null 2>&1 ||
      { echo "the path unit did not stop the helper after user $n"; return 1; }
    [ "$(kelmarind-scan --ping 2>&1)" = ok ] ||
      { echo "not served after user $n: $(systemctl show -P Result kelmarind-helper.socket)"; return 1; }
  done
}

# ---- the journal

# journal_has PRIORITY TEXT: an entry of the helper's identifier with that
# priority, its two fields and TEXT in its message. The last grep reads to the
# end: with -q it would stop early, and under pipefail journalctl's SIGPIPE
# would fail the check once the journal outgrows a pipe's buffer.
journal_has() {
  journalctl --sync
  journalctl -b -o json -t KelmarindHelper |
    grep -F "\"PRIORITY\":\"$1\"" |
    grep -F '"KELMARIND_SUBSYSTEM":"com.kelmarind.helper"' |
    grep -F '"KELMARIND_CATEGORY":"xpc"' |
    grep -F "$2" >/dev/null || { echo "no entry of priority $1 with: $2"; return 1; }
}

journal_lines() {
  # The helper's fault line needs a requirement that does not compile, which
  # the built-in one always does; the same logger writes it from the writer.
  "$here/journal_log_writer" com.kelmarind.helper xpc fault "booted fault line" || return 1
  journal_has 5 "Kelmarind helper listening on com.kelmarind.helper" &&
    journal_has 3 "Helper is not team-signed" &&
    journal_has 5 "Refused ineligible path: /Users/kelm-late/Documents" &&
    journal_has 2 "Journal test: booted fault line"
}

# ---- the same documents as the walk run directly

setup_trees() {
  mkdir -p /usr/lib/modules/6.1.0-kelmarind/kernel/drivers &&
    head -c 300000 /dev/urandom >/usr/lib/modules/6.1.0-kelmarind/kernel/drivers/fake.ko &&
    echo "kernel/drivers/fake.ko:" >/usr/lib/modules/6.1.0-kelmarind/modules.dep || return 1
  mkdir -p /srv/bound/a /srv/bound/b &&
    head -c 1048576 /dev/urandom >/srv/bound/a/one-mib &&
    mount --bind /srv/bound/a /srv/bound/b || return 1
  # A helper started after the mount, so it cannot be a propagation question.
  systemctl stop "$service"
}

# same_document PATH [USER]: the service's document for PATH, asked for by
# root or USER, equals kelmarind-walk's run as root. The tree may change
# between the two walks (the journal, timers), so each pair is tried a few
# times; a difference that stays is a failure.
same_document() {
  local path=$1 as=() try
  [ $# -lt 2 ] || as=(runuser -u "$2" --)
  for try in 1 2 3; do
    "$here/kelmarind-walk" "$path" >/tmp/walk.json || return 1
    "${as[@]}" kelmarind-scan --json "$path" >/tmp/scan.json || return 1
    cmp -s /tmp/walk.json /tmp/scan.json && return 0
    sleep 1
  done
  echo "kelmarind-walk: $(wc -c </tmp/walk.json) bytes, service: $(wc -c </tmp/scan.json) bytes"
  cmp /tmp/walk.json /tmp/scan.json
  local at
  at=$(cmp /tmp/walk.json /tmp/scan.json | sed -n 's/.*byte \([0-9]*\).*/\1/p')
  [ -n "$at" ] && echo "walk:    $(tail -c +$((at > 200 ? at - 200 : 1)) /tmp/walk.json | head -c 400)" &&
    echo "service: $(tail -c +$((at > 200 ? at - 200 : 1)) /tmp/scan.json | head -c 400)"
  return 1
}

# ---- a client waiting when the service or its socket goes away

make_wide_tree() {
  mkdir -p /srv/wide && (cd /srv/wide && seq -f 'f%06.0f' 1 200000 | xargs touch)
}

fd_count() {  # PID, without a subprocess so it can be polled tightly
  local fds=("/proc/$1/fd/"*)
  echo "${#fds[@]}"
}

settled_fd_count() {
  local last="" now
  for _ in $(seq 40); do
    now=$(fd_count "$1")
    [ "$now" = "$last" ] && break
    last=$now
    sleep 0.05
  done
  echo "$last"
}

# cut_while_waiting SYSTEMCTL-ARGS...: a client's walk of the wide tree is in
# the helper when systemctl runs; the client must get a clear error, the
# next client an answer. The helper is frozen the moment it holds the
# client's connection (one descriptor more), so the walk cannot end first;
# systemd follows its SIGTERM with SIGCONT, so a frozen helper still ends.
cut_while_waiting() {
  local pid before client status=0 attempt
  for attempt in 1 2 3; do
    [ "$(kelmarind-scan --ping)" = ok ] || return 1
    pid=$(helper_pid)
    before=$(settled_fd_count "$pid")
    kelmarind-scan --json /srv/wide >/dev/null 2>/tmp/cut.err &
    client=$!
    local deadline=$((SECONDS + 10))
    until [ "$(fd_count "$pid")" -gt "$before" ] || [ "$SECONDS" -ge "$deadline" ]; do :; done
    kill -STOP "$pid"
    [ "$(fd_count "$pid")" -gt "$before" ] && kill -0 "$client" 2>/dev/null && break
    echo "attempt $attempt: the walk ended before the helper was frozen"
    kill -CONT "$pid"
    wait "$client"
    [ "$attempt" -lt 3 ] || return 1
  done
  systemctl "$@" || return 1
  wait "$client" || status=$?
  [ "$status" -eq 2 ] && grep -q "connection to the helper at $socket" /tmp/cut.err ||
    { echo "client exit $status: $(cat /tmp/cut.err)"; return 1; }
  echo "client: $(cat /tmp/cut.err)"
  [ "$(kelmarind-scan --ping)" = ok ] || { echo "the next client was not served"; return 1; }
}

# ---- the sandbox, with exactly the unit's settings

# probe_unit NAME [SED-EXPRESSION...]: the installed service unit with the
# probe as its program, run once; its output on stdout.
probe_unit() {
  local name=$1 peer
  shift
  setpriv --reuid=kelm-member --regid=kelm-member --init-groups sleep 60 &
  peer=$!
  sed -e "s|^ExecStart=.*|ExecStart=$here/kelmarind-sandbox-probe --peer $peer /run \
/run/systemd/system /run/lock /dev /dev/shm /tmp /var/tmp /etc /home /root /usr /var /srv|" \
    -e 's/^Type=.*/Type=oneshot/' -e '/^Requires=/d' -e '/^After=/d' "$@" \
    /lib/systemd/system/$service >/run/systemd/system/$name.service
  systemctl daemon-reload
  local status=0
  systemctl start "$name.service" || status=$?
  kill "$peer"
  journalctl --sync
  journalctl -b -u "$name.service" -o cat | grep -v -e '^Starting' -e '^Finished' \
    -e "^$name.service:" -e '^Failed to start' -e '^Deactivated'
  return "$status"
}

sandbox_refuses() {
  local out
  out=$(probe_unit kelmarind-probe) || { echo "$out"; return 1; }
  echo "$out" | grep -q '^refused ptrace' || { echo "$out"; return 1; }
}

# The same probe with the read-only lines and the filter taken out must
# report the writes as allowed: the probe can see what it looks for.
sandbox_probe_sees_a_gap() {
  local out
  if out=$(probe_unit kelmarind-probe-loose -e '/^ReadOnlyPaths=/d' \
    -e '/^SystemCallFilter=~ptrace/d'); then
    echo "the loosened unit passed the probe:"
    echo "$out"
    return 1
  fi
  echo "$out" | grep -q '^ALLOWED create a file in /run$' &&
    echo "$out" | grep -q '^ALLOWED open /proc/1/mem for writing' &&
    echo "$out" | grep -q '^ALLOWED process_vm_writev' || { echo "$out"; return 1; }
}

# ---- removal

removed() {
  apt-get remove -y kelmarind-helper >/dev/null || return 1
  local unit
  for unit in kelmarind-helper.socket kelmarind-helper-users.path "$service"; do
    ! systemctl is-active --quiet "$unit" || { echo "$unit still active"; return 1; }
  done
  [ ! -e "$socket" ] || { echo "$socket is still there"; return 1; }
  if ls /etc/systemd/system/*.wants/kelmarind-* 2>/dev/null; then
    echo "enablement links left"
    return 1
  fi
}

# Removal forgets the enablement, so a later install enables again.
reinstalled() {
  apt-get install -y "$here/kelmarind-helper.deb" >/dev/null || return 1
  [ "$(systemctl is-enabled kelmarind-helper.socket)" = enabled ] || return 1
  expect_state kelmarind-helper.socket active &&
    [ "$(kelmarind-scan --ping)" = ok ]
}

cd "$here" || exit 1
check "package installs with its runtime libraries, offline" install_package
check "socket and path unit enabled and active, service not; endpoint root:kelmarind 0660" \
  installed_units
check "service exposure 2.0 or below" exposure
check "service inactive until the first connection, which starts it" activation
check "users made: a member of kelmarind and an outsider" add_users
check "member of kelmarind served: /usr as kelmarind-walk has it" member_served
check "outsider refused by the kernel at connect" outsider_refused_at_connect
check "user added afterwards: their protected folder refused on the next request" \
  late_user_protected
check "users added in a batch while clients ask: the endpoint stays" \
  users_added_in_a_batch
check "journal: start, error, refused-path and fault lines with priority and fields" \
  journal_lines
check "fake modules, a bind mount and a fresh helper" setup_trees
for path in / /usr /home /root /dev /srv/bound; do
  check "document of $path equals kelmarind-walk's" same_document "$path"
done
check "wide tree made" make_wide_tree
check "systemctl stop of the service while a client waits" cut_while_waiting stop "$service"
check "systemctl restart of the socket while a client waits" \
  cut_while_waiting restart kelmarind-helper.socket
check "sandbox probe with the unit's settings: no file created, no memory written" \
  sandbox_refuses
check "the probe finds the gaps of a unit without the read-only paths and the filter" \
  sandbox_probe_sees_a_gap
check "removal stops and disables the socket, the path unit and the service" removed
check "installed again after removal: socket enabled, started and serving" reinstalled

echo "booted: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
