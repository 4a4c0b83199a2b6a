#!/usr/bin/env bash
# scripts/run.sh on a machine without a display, as a newcomer's first command
# runs it, with the client already built, in a fresh HOME: it must start a
# virtual desktop with a VNC server on 127.0.0.1, show the filing notice there
# within the time limit, and leave nothing of what it started running, both
# when the client ends and when the script itself is stopped.
#
#   tests/sh/run_without_display.sh BUILD_DIR
#
# KG_RUN_DISPLAY (first display number to try) and KG_NOTICE_SECONDS (the
# time limit, default 60) pass through, and so do the sanitizers' settings of
# a sanitizer build (scripts/proof.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
limit=${KG_NOTICE_SECONDS:-60}
notice_title='填报注意事项'
for tool in Xvfb openbox x11vnc xdotool; do
  command -v "$tool" >/dev/null || {
    echo "SKIP: $tool is not installed"
    exit 77
  }
done
tmp=$(mktemp -d /tmp/kg-run-test.XXXXXX)
runner=""
cleanup() {
  # Only what this test started, should a check have failed midway.
  [ -n "$runner" ] && pkill -KILL -s "$runner" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  [ -f "$tmp/run.log" ] && sed 's/^/  run.sh: /' "$tmp/run.log" >&2
  exit 1
}

# One start of run.sh in its own session, so that everything it starts can be
# found by the session id (the script's process id), and with the interrupt
# signal as a terminal's foreground command has it (a background command of
# this script starts with it ignored). Sets runner, display, port.
start() {
  rm -rf "$tmp/home"
  mkdir -p "$tmp/home"
  # The log exists before the loop below reads it: the started shell opens it
  # only when it gets to run, which under load may be well after this one
  # reads.
  : >"$tmp/run.log"
  perl -MPOSIX -e '$SIG{INT} = "DEFAULT"; POSIX::setsid() or die "setsid: $!"; exec @ARGV or die "exec: $!"' -- \
    env -i PATH="$PATH" HOME="$tmp/home" LANG="${LANG:-C.UTF-8}" KG_BUILD="$build" KG_RUN_NO_BUILD=1 \
    KG_STORE="sqlite:$tmp/store.db" KG_RUN_DISPLAY="${KG_RUN_DISPLAY:-99}" \
    ${ASAN_OPTIONS:+"ASAN_OPTIONS=$ASAN_OPTIONS"} ${LSAN_OPTIONS:+"LSAN_OPTIONS=$LSAN_OPTIONS"} \
    ${UBSAN_OPTIONS:+"UBSAN_OPTIONS=$UBSAN_OPTIONS"} \
    bash "$root/scripts/run.sh" >"$tmp/run.log" 2>&1 </dev/null &
  runner=$!
  local waited=0
  display="" port=""
  while [ $waited -lt $((limit * 10)) ]; do
    if [ -z "$display" ]; then
      display=$(sed -n 's/.*virtual display \(:[0-9][0-9]*\);.*/\1/p' "$tmp/run.log")
      port=$(sed -n 's/.* at 127\.0\.0\.1::\([0-9][0-9]*\) .*/\1/p' "$tmp/run.log")
    fi
    if [ -n "$display" ] && DISPLAY=$display xdotool search --onlyvisible --name "^$notice_title\$" >/dev/null 2>&1; then
      echo "notice shown on $display after $((waited / 10)).$((waited % 10)) s (VNC port $port)"
      return 0
    fi
    if ! kill -0 "$runner" 2>/dev/null; then
      local status=0
      wait "$runner" || status=$?
      fail "run.sh ended (status $status) before the notice was shown"
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  fail "no notice window on ${display:-the display} within $limit s"
}

# The VNC server answers with its protocol version, on loopback only.
check_vnc() {
  [ -n "$port" ] || fail "run.sh printed no VNC port"
  local greeting
  greeting=$(timeout 5 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port && head -c 12 <&3") || true
  [[ $greeting == RFB\ * ]] || fail "no VNC server answers on 127.0.0.1:$port (got '$greeting')"
  if command -v ss >/dev/null; then
    local listening
    listening=$(ss -Hltn "sport = :$port" | awk '{print $4}')
    [ -n "$listening" ] || fail "ss shows no listening socket on port $port"
    ! grep -qv '^127\.0\.0\.1:\|^\[::1\]:' <<<"$listening" || fail "the VNC server listens beyond loopback: $listening"
  fi
  echo "VNC server on 127.0.0.1:$port answers: $greeting"
}

# After the script has ended: no process of its session, no display, no VNC port.
check_all_stopped() {
  local waited=0
  while kill -0 "$runner" 2>/dev/null; do
    [ $waited -lt 150 ] || fail "run.sh is still running 15 s later"
    sleep 0.1
    waited=$((waited + 1))
  done
  waited=0
  while pgrep -s "$runner" >/dev/null; do
    [ $waited -lt 50 ] || fail "left running: $(ps -o pid=,comm= -s "$runner" | tr '\n' ' ')"
    sleep 0.1
    waited=$((waited + 1))
  done
  local n=${display#:}
  [ ! -e "/tmp/.X$n-lock" ] || fail "the display $display is still locked"
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    fail "something still listens on the VNC port $port"
  fi
  runner=""
}

echo "-- the client ends"
start
check_vnc
client=$(pgrep -s "$runner" -x kgfiling) || fail "no kgfiling process in run.sh's session"
kill "$client"
check_all_stopped
echo "ok: the client ended, everything run.sh started has stopped"

echo "-- run.sh is stopped"
start
kill -TERM "$runner"
check_all_stopped
echo "ok: run.sh stopped, everything it started has stopped"

echo "-- run.sh is interrupted (Ctrl+C to its process group)"
start
kill -INT -- "-$runner"
check_all_stopped
echo "ok: run.sh interrupted, everything it started has stopped"
