#!/usr/bin/env bash
# The checks that tools/boot-armhf.sh runs inside its armhf guest, where it
# is installed as /usr/local/sbin/tessal-boot-check and started once by
# tessal-boot-check.service after the guest has booted; the unit powers the
# guest off when it ends, whichever way.
#
#   tessal-boot-check          the checks; results in /run/tessal-boot-check
#   tessal-boot-check --save   the journals, the kernel log and the process
#                              list added to the results, and all of them
#                              written as a tar archive onto the results
#                              disk (the unit's ExecStopPost, so that a
#                              check cut short by the unit's time-out is
#                              saved too)
#
# The checks, in order:
#   1. an HTTP server on 127.0.0.1:80 serves the "device" page; tupsend plays
#      the device (the first run is the documented command, further runs keep
#      the unit attached until the checks are over); the kiosk, restarted
#      for the run, attaches and the server logs "GET /index.html";
#   2. the kiosk's render process (QtWebEngineProcess --type=renderer, in the
#      kiosk's cgroup) has Seccomp 2 and lives in other user and pid
#      namespaces than the kiosk;
#   3. a picture of the frame buffer once the page says it has painted
#      (linuxfb), or a note that there is none (offscreen, no frame buffer);
#   4. the kiosk's journal: its sandbox line ("... sandbox is on"; one
#      saying it is turned off fails), render processes that ended,
#      restarts of the unit; the kernel's seccomp (audit type 1326) lines.
# Every line of the summary starts with "ok:", "FAIL:" or "note:"; the last
# one is "checks finished" when the script got to the end.
#
# Settings (written by tools/boot-armhf.sh to /etc/tessal-boot-check.conf):
#   STEP_LIMIT  seconds to wait for each awaited event (default 600)
#   OBSERVE     seconds to watch the render process for a crash loop once
#               the page is shown (default 60)
set -uo pipefail
STEP_LIMIT=600
OBSERVE=60
# shellcheck disable=SC1091
[ -f /etc/tessal-boot-check.conf ] && . /etc/tessal-boot-check.conf
OUT=/run/tessal-boot-check
SUMMARY=$OUT/summary.txt
RESULTS_DISK=/dev/disk/by-id/virtio-tessal-results
UNIT=tessalview.service
DEVICE_ROOT=/srv/tessal-device
mkdir -p "$OUT"

say() { echo "boot-check: $*"; }
record() {
  echo "$*" >>"$SUMMARY"
  say "$*"
}
ok() { record "ok: $*"; }
fail() { record "FAIL: $*"; }
note() { record "note: $*"; }

# --- saving -----------------------------------------------------------------
if [ "${1:-}" = --save ]; then
  journalctl -b --no-pager -o short-monotonic -u "$UNIT" >"$OUT/journal-tessalview.txt" 2>&1
  journalctl -b --no-pager -o short-monotonic >"$OUT/journal-boot.txt" 2>&1
  dmesg >"$OUT/dmesg.txt" 2>&1
  # Seccomp's kernel log lines are audit records of type 1326 (SECCOMP).
  grep -E 'type=1326|seccomp' "$OUT/dmesg.txt" >"$OUT/dmesg-seccomp.txt" || true
  ps -eo pid,ppid,user,stat,etimes,rss,args --forest >"$OUT/ps.txt" 2>&1
  systemctl status --no-pager "$UNIT" >"$OUT/systemctl-status.txt" 2>&1
  if [ -b "$RESULTS_DISK" ]; then
    tar -C "$OUT" -cf "$RESULTS_DISK" . && sync
    say "results written to $RESULTS_DISK ($(du -sk "$OUT" | cut -f1) KB)"
  else
    say "no results disk ($RESULTS_DISK): results are lost"
  fi
  exit 0
fi

T0=$SECONDS
: >"$SUMMARY"
read -r uptime_at_start _ </proc/uptime
note "check started ${uptime_at_start%.*} s after the kernel started"
note "$(uname -srm), Debian $(cat /etc/debian_version), $(nproc) CPUs, $(awk '/^MemTotal/ {print int($2/1024)}' /proc/meminfo) MB"
note "packages: $(dpkg-query -W -f='${Package} ${Version}; ' plinthd tessalview tup-tools libqt5webenginecore5 libc6 2>/dev/null)"
note "unprivileged user namespaces: kernel.unprivileged_userns_clone=$(cat /proc/sys/kernel/unprivileged_userns_clone 2>/dev/null || echo absent), user.max_user_namespaces=$(cat /proc/sys/user/max_user_namespaces)"

# wait_for SECONDS COMMAND...: runs COMMAND every second until it succeeds
# (status 0) or SECONDS have passed (status 1).
wait_for() {
  local limit=$1 t=$SECONDS
  shift
  while [ $((SECONDS - t)) -lt "$limit" ]; do
    "$@" && return 0
    sleep 1
  done
  return 1
}
since() { echo $((SECONDS - $1)); }

# --- 1. the device, the kiosk, the attach ---------------------------------------
systemctl stop "$UNIT"
mkdir -p "$DEVICE_ROOT"
cat >"$DEVICE_ROOT/index.html" <<EOF
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Device page</title>
<style>
body { margin: 0; font-family: "DejaVu Sans", sans-serif; background: #16324f; color: #f4f1de; }
h1 { margin: 0; padding: 24px 32px; background: #e07a5f; font-size: 40px; }
p { margin: 16px 32px; font-size: 22px; }
.bar { margin: 24px 32px; height: 48px; background: linear-gradient(90deg, #81b29a, #f2cc8f, #e07a5f); }
</style></head>
<body>
<h1>Tessal device page</h1>
<p>Served by python3 -m http.server inside the armhf guest<br>($(uname -srm)).</p>
<p id="js">JavaScript has not run.</p>
<div class="bar"></div>
<script>
document.getElementById("js").textContent = "JavaScript ran in the render process: " + navigator.userAgent;
// Two frames after the load the page has been painted at least once: the
// check takes its picture after this request.
window.addEventListener("load", function () {
  requestAnimationFrame(function () {
    requestAnimationFrame(function () { fetch("/painted.txt?" + Date.now()); });
  });
});
</script>
</body></html>
EOF
echo painted >"$DEVICE_ROOT/painted.txt"
: >"$OUT/http.log"
setsid python3 -u -m http.server 80 --bind 127.0.0.1 --directory "$DEVICE_ROOT" \
  </dev/null >>"$OUT/http.log" 2>&1 &
HTTP_PID=$!
if wait_for 60 bash -c 'exec 3<>/dev/tcp/127.0.0.1/80' 2>/dev/null; then
  ok "device: python3 -m http.server on 127.0.0.1:80 (pid $HTTP_PID)"
else
  fail "device: the HTTP server does not answer on 127.0.0.1:80: $(tail -n 3 "$OUT/http.log")"
fi

# The platform: the unit's own linuxfb when the guest has a frame buffer,
# else offscreen through a drop-in.
if [ -c /dev/fb0 ]; then
  PLATFORM=linuxfb
  read -r FB_W FB_H < <(tr ',' ' ' </sys/class/graphics/fb0/virtual_size)
  FB_BPP=$(cat /sys/class/graphics/fb0/bits_per_pixel)
  FB_STRIDE=$(cat /sys/class/graphics/fb0/stride)
  note "platform: linuxfb (the unit's own) on /dev/fb0 $(cat /sys/class/graphics/fb0/name) ${FB_W}x${FB_H}, $FB_BPP bits per pixel"
else
  PLATFORM=offscreen
  mkdir -p /etc/systemd/system/$UNIT.d
  printf '[Service]\nEnvironment=QT_QPA_PLATFORM=offscreen\n' >/etc/systemd/system/$UNIT.d/offscreen.conf
  systemctl daemon-reload
  note "platform: offscreen (drop-in): the guest has no /dev/fb0"
fi
for d in "/etc/systemd/system/$UNIT.d"/*.conf; do
  [ -f "$d" ] && note "drop-in $d: $(grep -v '^\[' "$d" | tr '\n' ' ')"
done

KIOSK_SINCE=$(date +%s)
t=$SECONDS
systemctl start --no-block "$UNIT"
kiosk_log() { journalctl -q --no-pager -u "$UNIT" --since "@$KIOSK_SINCE" -o cat; }
kiosk_says() { kiosk_log | grep -q -- "$1"; }
if wait_for "$STEP_LIMIT" kiosk_says "UDP bound"; then
  ok "kiosk started: 'UDP bound' after $(since $t) s"
else
  fail "kiosk: no 'UDP bound' within $STEP_LIMIT s (state $(systemctl is-active "$UNIT"))"
fi
KIOSK_PID=$(systemctl show -p MainPID --value "$UNIT")
KIOSK_USER=$(ps -o user= -p "$KIOSK_PID" 2>/dev/null || true)
if [ "$KIOSK_USER" = tessalview ]; then
  ok "kiosk (pid $KIOSK_PID) runs as user tessalview"
else
  fail "kiosk (pid $KIOSK_PID) runs as '${KIOSK_USER:-nothing}', not tessalview"
fi
note "kiosk: $(grep -E '^(Uid|Seccomp|Seccomp_filters|NoNewPrivs|CapEff):' "/proc/$KIOSK_PID/status" 2>/dev/null | tr -s '\t\n' '  ')"

# The device: the documented command first, then the same again for as long
# as the checks run, so that the unit stays attached (it lets go after 10 s
# without a frame). tupsend numbers its frames from the clock, so a new run
# is never taken for a repeat.
setsid bash -c 'while :; do
    tupsend -H 127.0.0.1 -p 9876 -c 20 -i 0.5 --devinfo 1,1,0,2,0,1,12345,en --gpio 1,0,0,0 || sleep 1
  done' </dev/null >"$OUT/tupsend.log" 2>&1 &
TUPSEND_PID=$!
note "device: tupsend -H 127.0.0.1 -p 9876 -c 20 -i 0.5 --devinfo 1,1,0,2,0,1,12345,en --gpio 1,0,0,0 (repeated)"
t=$SECONDS
http_saw() { grep -q "\"GET $1" "$OUT/http.log"; }
if wait_for "$STEP_LIMIT" http_saw /index.html; then
  ok "attach: the HTTP server logged \"GET /index.html\" $(since $t) s after the first frame"
  grep -m1 '"GET /index.html' "$OUT/http.log" | sed 's/^/boot-check:    | /'
else
  fail "attach: no \"GET /index.html\" within $STEP_LIMIT s"
fi
kiosk_log | grep -E "First frame|k3p|index.html" | head -n 5 | sed 's/^/boot-check:    | /'

# --- 2. the render process ---------------------------------------------------------
# The web engine's processes of the kiosk: QtWebEngineProcess in its cgroup.
# The zygotes start every render process by fork, so a render process keeps
# the zygote's command line (--type=zygote) unless the engine rewrites it
# (--type=renderer): what tells it apart is its parent, a zygote, and its
# threads (a zygote has one, as it must to fork safely).
KIOSK_CGROUP=$(cut -d: -f3- "/proc/$KIOSK_PID/cgroup" 2>/dev/null)
# field PID NAME: a field of /proc/PID/status.
field() { awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status" 2>/dev/null; }
cmdline() { tr '\0' ' ' 2>/dev/null <"/proc/$1/cmdline"; }
engine_processes() {
  local p
  for p in /proc/[0-9]*; do
    case $(readlink "$p/exe" 2>/dev/null) in */QtWebEngineProcess) ;; *) continue ;; esac
    [ "$(cut -d: -f3- "$p/cgroup" 2>/dev/null)" = "$KIOSK_CGROUP" ] && echo "${p#/proc/}"
  done
}
renderers() {
  local p parent
  for p in $(engine_processes); do
    case $(cmdline "$p") in
    *--type=renderer*) echo "$p" ;;
    *--type=zygote*)
      parent=$(field "$p" PPid)
      case $(cmdline "$parent") in
      *QtWebEngineProcess*--type=zygote*) [ "$(field "$p" Threads)" -gt 1 ] 2>/dev/null && echo "$p" ;;
      esac
      ;;
    esac
  done
}
have_renderer() { [ -n "$(renderers)" ]; }
t=$SECONDS
RENDERER=
if wait_for "$STEP_LIMIT" have_renderer; then
  RENDERER=$(renderers | head -n 1)
  ok "render process: pid $RENDERER, child of zygote $(field "$RENDERER" PPid), $(field "$RENDERER" Threads) threads ($(since $t) s after the first frame)"
  case $(cmdline "$RENDERER") in
  *--type=renderer*) note "render process: its command line says --type=renderer" ;;
  *) note "render process: its command line is its zygote's (--type=zygote), not --type=renderer" ;;
  esac
else
  fail "render process: none in $KIOSK_CGROUP within $STEP_LIMIT s"
fi
if [ -n "$RENDERER" ]; then
  {
    echo "# renderer $RENDERER: $(cmdline "$RENDERER")"
    cat "/proc/$RENDERER/status"
    echo "# kiosk $KIOSK_PID: $(cmdline "$KIOSK_PID")"
    cat "/proc/$KIOSK_PID/status"
  } >"$OUT/renderer-status.txt" 2>&1
  seccomp=$(field "$RENDERER" Seccomp)
  filters=$(field "$RENDERER" Seccomp_filters)
  if [ "$seccomp" = 2 ]; then
    ok "render process: Seccomp 2 (filter mode), $filters filter(s); kiosk: Seccomp $(field "$KIOSK_PID" Seccomp)"
  else
    fail "render process: Seccomp '${seccomp:-gone}', not 2 (kiosk: $(field "$KIOSK_PID" Seccomp))"
  fi
  for ns in user pid; do
    mine=$(readlink "/proc/$RENDERER/ns/$ns")
    kiosk=$(readlink "/proc/$KIOSK_PID/ns/$ns")
    if [ -n "$mine" ] && [ -n "$kiosk" ] && [ "$mine" != "$kiosk" ]; then
      ok "render process: $ns namespace $mine, the kiosk's $kiosk"
    else
      fail "render process: $ns namespace '${mine:-gone}', the kiosk's '$kiosk'"
    fi
  done
  note "render process: user $(ps -o user= -p "$RENDERER"), NoNewPrivs $(field "$RENDERER" NoNewPrivs), NSpid$(awk '/^NSpid:/ {$1=""; print}' "/proc/$RENDERER/status")"
fi
# Every engine process, for the record.
say "   | pid ppid threads seccomp user-ns pid-ns command"
for p in "$KIOSK_PID" $(engine_processes); do
  say "   | $p $(field "$p" PPid) $(field "$p" Threads) $(field "$p" Seccomp) $(readlink "/proc/$p/ns/user") $(readlink "/proc/$p/ns/pid") $(cmdline "$p" | cut -c1-70)"
done

# --- 3. the picture ----------------------------------------------------------------
t=$SECONDS
if wait_for "$STEP_LIMIT" http_saw /painted.txt; then
  ok "page: its script ran and reported the page painted ($(since $t) s after the last step)"
else
  fail "page: no report of the page painted within $STEP_LIMIT s"
fi
if [ "$PLATFORM" = linuxfb ]; then
  # Qt draws on its own schedule: a moment after the page's report.
  sleep 5
  dd if=/dev/fb0 of="$OUT/fb0.raw" bs="$FB_STRIDE" count="$FB_H" 2>/dev/null
  echo "$FB_W $FB_H $FB_BPP $FB_STRIDE" >"$OUT/fb0.geometry"
  note "screenshot: /dev/fb0 saved (fb0.raw, ${FB_W}x${FB_H}, $FB_BPP bits per pixel)"
else
  note "screenshot: none (offscreen platform, no frame buffer to read)"
fi

# --- 4. a crash loop? ----------------------------------------------------------------
# The render processes that ended before (the kiosk's page watchdog ends one
# that does not answer for 5 s, which a first load under emulation can take)
# are told; what counts is what ends while the page is shown.
ends() { kiosk_log | grep -E "Render process|Page not answering" || true; }
ended_before=$(ends | grep -c . || true)
restarts_before=$(systemctl show -p NRestarts --value "$UNIT")
[ "$ended_before" -eq 0 ] || note "render processes ended before the page was shown: $ended_before"
ends | head -n 10 | sed 's/^/boot-check:    | /'
t=$SECONDS
seen=$(renderers)
while [ $((SECONDS - t)) -lt "$OBSERVE" ]; do
  # shellcheck disable=SC2046 # one PID a word
  seen=$(printf '%s\n' "$seen" $(renderers) | sort -u)
  sleep 2
done
seen=$(printf '%s\n' "$seen" | grep -c . || true)
ended=$(($(ends | grep -c . || true) - ended_before))
restarts=$(($(systemctl show -p NRestarts --value "$UNIT") - restarts_before))
if [ "$ended" -eq 0 ] && [ "$restarts" -eq 0 ] && [ "$seen" -eq 1 ]; then
  ok "no crash loop: over $OBSERVE s one render process, none ended, the unit not restarted"
else
  fail "crash loop? over $OBSERVE s: $seen render process(es), $ended ended (kiosk's journal), $restarts restart(s) of the unit"
  ends | tail -n 10 | sed 's/^/boot-check:    | /'
fi
# The kiosk says what became of the sandbox in one line (a kiosk that
# predates that line says so only when it turns it off, as root).
sandbox=$(kiosk_log | grep -i "sandbox" || true)
if printf '%s' "$sandbox" | grep -q "sandbox is turned off"; then
  fail "the kiosk's journal says: $(printf '%s' "$sandbox" | grep -m1 'sandbox is turned off')"
elif printf '%s' "$sandbox" | grep -q "sandbox is on"; then
  ok "the kiosk's journal says: $(printf '%s' "$sandbox" | grep -m1 'sandbox is on')"
elif [ -n "$sandbox" ]; then
  note "the kiosk's line about the sandbox: $(printf '%s' "$sandbox" | head -n 1)"
else
  note "the kiosk's journal has no line about the sandbox"
fi
sigsys=$(journalctl -b -q --no-pager -o cat | grep -c -E "seccomp-bpf failure|SIGSYS" || true)
audit=$(dmesg | grep -c 'type=1326' || true)
if [ "$sigsys" -eq 0 ] && [ "$audit" -eq 0 ]; then
  ok "no seccomp failure: no 'seccomp-bpf failure'/SIGSYS line in the journal, no audit type 1326 line from the kernel"
else
  fail "seccomp: $sigsys journal line(s) with 'seccomp-bpf failure' or SIGSYS, $audit kernel audit type 1326 line(s)"
  journalctl -b -q --no-pager -o cat | grep -E "seccomp-bpf failure|SIGSYS" | sort | uniq -c | head -n 5 | sed 's/^/boot-check:    | /'
  dmesg | grep 'type=1326' | head -n 5 | sed 's/^/boot-check:    | /'
fi

# Each was started in a session of its own: its process group goes whole.
kill -- "-$TUPSEND_PID" "-$HTTP_PID" 2>/dev/null
note "check took $(since "$T0") s"
record "checks finished"
