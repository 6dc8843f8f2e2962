#!/usr/bin/env bash
# Boots the unit's armhf packages on a real ARM kernel and checks the kiosk
# with its web engine's sandbox there: a Debian 13 (trixie) armhf system
# under qemu-system-arm (the virt board, a Cortex-A15, Debian's
# linux-image-armmp-lpae kernel and its initrd), the packages installed in
# it by apt. qemu-user cannot run the sandbox's seccomp filter; a system
# emulator runs the real kernel, which does.
#
#   sudo tools/boot-armhf.sh [--debs DIR] [--as-packaged] [--keep]
#
#   --debs DIR      the armhf .deb files to install (every *.deb in DIR but
#                   the -dbgsym ones); without it the tree's packages are
#                   built first (tools/package.sh --suite trixie armhf)
#   --as-packaged   run the kiosk's unit as it is packaged; without it, a unit
#                   that runs the kiosk as root gets a drop-in that runs it as
#                   the system user tessalview (made here), so that the
#                   sandbox is on (as root the kiosk turns it off)
#   --keep          keep the guest's disk image, kernel and initrd
#
# In the guest, tessal-boot-check.service (tools/boot-armhf-guest.sh) runs
# once after boot and powers the guest off: an HTTP server on 127.0.0.1:80
# plays the device's web server and tupsend the device; it checks that the
# kiosk (tessalview.service, user tessalview) attaches and loads
# /index.html, that its render process runs under seccomp (Seccomp 2) in
# user and pid namespaces of its own, takes a picture of the frame buffer
# (the unit's linuxfb platform on a virtio-gpu frame buffer; offscreen,
# without a picture, when the guest has none) and looks for a render
# process crash loop and for seccomp failures in the journal and the kernel
# log. The guest writes its results as a tar archive onto a second small
# disk; this script prints them, and the guest's progress from its serial
# console while it runs.
#
# Results in $BUILD_DIR/boot-armhf/results (default build/boot-armhf):
# summary.txt, the journals, dmesg.txt, renderer-status.txt, http.log,
# screenshot.png; the guest's console in console.log beside them.
#
# Run by hand, not in CI: with its caches made, a run takes 3 to 4 minutes
# of both cores; the first run makes them, about 5 minutes more
# (docs/packaging.md has the measurements). Needs root (mmdebstrap,
# chroot), the package registry, and on this machine qemu-system-arm,
# e2fsprogs, mmdebstrap and qemu-user-static with binfmt-support (the root
# file system is made and the packages installed under qemu-user); it says
# which are missing, with the apt-get line that installs them.
# Cached in /var/cache/tessal-buildroots/boot-armhf (TESSAL_BUILDROOT_CACHE):
# the root file system with the kernel, and the same with the packages'
# dependencies, each remade when its list changes.
#
# Environment:
#   BUILD_DIR            build tree for the work files (default build)
#   BOOT_ARMHF_TIMEOUT   seconds the guest may run before it is killed
#                        (default 1800)
#   BOOT_ARMHF_MEMORY    the guest's memory in MB (default 2048)
#   TESSAL_MIRROR        the Debian mirror (default: this machine's)
#
# Exit status: 0 when every check passed, 1 when one failed or the guest
# did not finish, 2 on a usage error.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
TOP=$(cd "$HERE/.." && pwd)
SUITE=trixie
DEBS=
AS_PACKAGED=0
KEEP=0
usage() {
  echo "usage: tools/boot-armhf.sh [--debs DIR] [--as-packaged] [--keep]" >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case $1 in
  --debs)
    [ $# -ge 2 ] || usage
    DEBS=$(cd "$2" && pwd)
    shift 2
    ;;
  --as-packaged) AS_PACKAGED=1; shift ;;
  --keep) KEEP=1; shift ;;
  *) usage ;;
  esac
done
TIMEOUT=${BOOT_ARMHF_TIMEOUT:-1800}
MEMORY=${BOOT_ARMHF_MEMORY:-2048}
BUILD=${BUILD_DIR:-build}
case $BUILD in /*) ;; *) BUILD=$TOP/$BUILD ;; esac
WORK=$BUILD/boot-armhf
case $TIMEOUT in '' | *[!0-9]*) usage ;; esac
[ "$TIMEOUT" -ge 900 ] || { echo "BOOT_ARMHF_TIMEOUT: at least 900 s" >&2; exit 2; }

die() {
  echo "boot-armhf: $*" >&2
  exit 1
}
[ "$(id -u)" -eq 0 ] || die "needs root (mmdebstrap, chroot): sudo $0"
missing=()
for tool in qemu-system-arm:qemu-system-arm mkfs.ext4:e2fsprogs mmdebstrap:mmdebstrap \
  qemu-arm-static:qemu-user-static update-binfmts:binfmt-support python3:python3-minimal; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || missing+=("${tool#*:}")
done
[ ${#missing[@]} -eq 0 ] ||
  die "missing on this machine: ${missing[*]}; install with: apt-get install --no-install-recommends ${missing[*]}"

# shellcheck source=buildroot.sh
source "$TOP/tools/buildroot.sh"
br_binfmt armhf
MIRROR=$(br_mirror)
CACHE=$BR_CACHE/boot-armhf

T0=$(date +%s)
TS=$T0
TIMES=()
step() {
  printf '\n== %s\n' "$*"
  TS=$(date +%s)
}
# took NAME: the time since the last step, shown and kept for the last line.
took() {
  local s=$(($(date +%s) - TS))
  printf '   (%d s)\n' "$s"
  TIMES+=("$1 $s s")
}

QEMU_PID=
ROOT=$WORK/root
cleanup() {
  set +e
  if [ -n "$QEMU_PID" ] && kill -0 "$QEMU_PID" 2>/dev/null; then
    kill "$QEMU_PID"
    sleep 2
    kill -0 "$QEMU_PID" 2>/dev/null && kill -KILL "$QEMU_PID"
  fi
  if [ "$KEEP" != 1 ]; then
    rm -rf --one-file-system "$ROOT"
    rm -f "$WORK/disk.img" "$WORK/results.img" "$WORK/vmlinuz" "$WORK/initrd.img"
  fi
}
trap cleanup EXIT
mkdir -p "$WORK" "$CACHE"

# in_root CMD...: CMD in the armhf root under qemu-user.
# shellcheck source=tools/in-root.sh
. "$TOP/tools/in-root.sh"

printf '== Debian 13 armhf boot check on qemu-system-arm (work files in %s)\n' "$WORK"

# --- packages ---------------------------------------------------------------------
step "packages"
if [ -z "$DEBS" ]; then
  "$TOP/tools/package.sh" --suite "$SUITE" armhf | sed 's/^/   /'
  DEBS=${PACKAGE_OUT:-build-deb/$SUITE-armhf}
  case $DEBS in /*) ;; *) DEBS=$TOP/$DEBS ;; esac
fi
mapfile -t DEB_FILES < <(find "$DEBS" -maxdepth 1 -name '*.deb' ! -name '*-dbgsym_*' | sort)
[ ${#DEB_FILES[@]} -gt 0 ] || die "no .deb files in $DEBS"
for deb in "${DEB_FILES[@]}"; do
  arch=$(dpkg-deb -f "$deb" Architecture)
  case $arch in armhf | all) ;; *) die "$(basename "$deb") is for $arch, not armhf" ;; esac
  echo "   $(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version) ($arch)"
done
took packages

# --- the root file system with the kernel (cached) ---------------------------------
step "Debian $SUITE armhf root file system with the armmp-lpae kernel"
# The virt board's disks are virtio devices on memory-mapped I/O: the
# initrd must hold their drivers (MODULES=most leaves virtio_blk out).
# What the guest needs besides: systemd, udev (the frame buffer's driver is
# loaded through it), dbus, python3 (the device's web server), procps, and
# fonts for the page.
INCLUDE=systemd-sysv,udev,dbus,procps,python3,fonts-dejavu-core,linux-image-armmp-lpae
INITRD_HOOK='#!/bin/sh
# The virt board disks: virtio over memory-mapped I/O.
case $1 in prereqs) exit 0 ;; esac
. /usr/share/initramfs-tools/hook-functions
manual_add_modules virtio_mmio virtio_blk'
KEY=$(printf '%s\n' "$SUITE" "$INCLUDE" "$INITRD_HOOK" "$MIRROR" 1 | md5sum | cut -c1-10)
BASE=$CACHE/$SUITE-base-$KEY.tar
exec 9>"$CACHE/.lock"
flock 9
if [ -s "$BASE" ]; then
  echo "   cached: $BASE ($(du -m "$BASE" | cut -f1) MB)"
else
  rm -f "$CACHE/$SUITE"-base-*.tar "$CACHE/$SUITE"-deps-*.tar
  printf '%s\n' "$INITRD_HOOK" >"$WORK/tessal-virtio"
  chmod 755 "$WORK/tessal-virtio"
  echo "   mmdebstrap --architectures=armhf --include=$INCLUDE (under qemu-user, some minutes)"
  nice -n 10 mmdebstrap --variant=apt --architectures=armhf --components=main \
    --aptopt='APT::Install-Recommends "false"' --aptopt='Acquire::Retries "3"' \
    --include="$INCLUDE" \
    --essential-hook='mkdir -p "$1/etc/initramfs-tools/hooks"' \
    --essential-hook="copy-in $WORK/tessal-virtio /etc/initramfs-tools/hooks" \
    --format=tar "$SUITE" "$BASE.part" "deb $MIRROR $SUITE main" >"$WORK/mmdebstrap.log" 2>&1 || {
    tail -n 20 "$WORK/mmdebstrap.log"
    rm -f "$BASE.part"
    die "mmdebstrap failed (log: $WORK/mmdebstrap.log)"
  }
  mv "$BASE.part" "$BASE"
  echo "   made $BASE ($(du -m "$BASE" | cut -f1) MB)"
fi
took "root file system"

# --- the packages' dependencies (cached) ---------------------------------------------
step "the packages' dependencies"
DEPENDS=$(for deb in "${DEB_FILES[@]}"; do dpkg-deb -f "$deb" Depends; done | sort -u)
DEPKEY=$(printf '%s\n' "$KEY" "$DEPENDS" | md5sum | cut -c1-10)
DEPS_TAR=$CACHE/$SUITE-deps-$KEY-$DEPKEY.tar
rm -rf --one-file-system "$ROOT"
mkdir -p "$ROOT"
if [ -s "$DEPS_TAR" ]; then
  tar -C "$ROOT" -xf "$DEPS_TAR"
  echo "   cached: $DEPS_TAR ($(du -m "$DEPS_TAR" | cut -f1) MB)"
else
  tar -C "$ROOT" -xf "$BASE"
  deps=$(printf '%s\n' "$DEPENDS" | paste -sd, - | sed 's/,/, /g')
  echo "   apt-get satisfy under qemu-user (some minutes)"
  in_root nice -n 10 sh -c 'apt-get update -qq && apt-get satisfy -y -qq "$1" && apt-get clean' satisfy "$deps" \
    >"$WORK/deps.log" 2>&1 || {
    tail -n 30 "$WORK/deps.log"
    die "apt-get satisfy of the packages' dependencies failed (log: $WORK/deps.log)"
  }
  rm -f "$CACHE/$SUITE-deps-$KEY"-*.tar
  tar -C "$ROOT" -cf "$DEPS_TAR.part" . && mv "$DEPS_TAR.part" "$DEPS_TAR"
  echo "   made $DEPS_TAR ($(du -m "$DEPS_TAR" | cut -f1) MB)"
fi
flock -u 9
took dependencies

# --- the packages and the check ---------------------------------------------------------
step "apt install of the packages in the root (qemu-user), the check service"
mkdir -p "$ROOT/var/tmp/debs"
cp "${DEB_FILES[@]}" "$ROOT/var/tmp/debs/"
in_root sh -c 'apt-get update -qq && apt-get install -y -q /var/tmp/debs/*.deb && apt-get clean' \
  >"$WORK/install.log" 2>&1 || {
  tail -n 30 "$WORK/install.log"
  die "apt-get install of the packages failed (log: $WORK/install.log)"
}
grep -E '^(Setting up|Created symlink)' "$WORK/install.log" | sed 's/^/   | /'
rm -rf "$ROOT/var/tmp/debs" "$ROOT/etc/resolv.conf"

# The device is on this very machine and the guest has no other network:
# the kiosk listens on the loopback address instead of eth1's broadcast
# address. Nobody touches the guest's screen: the screen saver (15 s) would
# darken it before the picture is taken.
ini=$ROOT/etc/tessal/tessal-view.ini
for setting in UdpBindAddress=127.0.0.1 ScreenSaverInterval=3600000; do
  grep -q "^${setting%%=*}=" "$ini" || die "no ${setting%%=*} key in /etc/tessal/tessal-view.ini"
  sed -i "s/^${setting%%=*}=.*/$setting/" "$ini"
  echo "   tessal-view.ini: $setting"
done

unit=$ROOT/usr/lib/systemd/system/tessalview.service
[ -f "$unit" ] || die "the packages install no /usr/lib/systemd/system/tessalview.service"
if grep -q '^User=' "$unit"; then
  echo "   tessalview.service runs the kiosk as $(sed -n 's/^User=//p' "$unit") (packaged)"
elif [ "$AS_PACKAGED" = 1 ]; then
  echo "   tessalview.service runs the kiosk as root (packaged, --as-packaged: kept)"
else
  # As root the kiosk turns the sandbox off: a user of its own turns it on.
  mkdir -p "$ROOT/etc/sysusers.d"
  printf 'u tessalview - "Tessal front-panel kiosk" /nonexistent /usr/sbin/nologin\n' \
    >"$ROOT/etc/sysusers.d/tessal-boot-check.conf"
  in_root systemd-sysusers >/dev/null
  mkdir -p "$ROOT/etc/systemd/system/tessalview.service.d"
  printf '%s\n' '[Service]' 'User=tessalview' 'Group=tessalview' \
    'SupplementaryGroups=video input plinthd' 'CacheDirectory=tessalview' \
    >"$ROOT/etc/systemd/system/tessalview.service.d/boot-check-user.conf"
  echo "   tessalview.service runs the kiosk as root (packaged): drop-in boot-check-user.conf runs it as"
  echo "   user tessalview (groups video, input, plinthd; its cache /var/cache/tessalview)"
fi

install -m 755 "$HERE/boot-armhf-guest.sh" "$ROOT/usr/local/sbin/tessal-boot-check"
# The unit's time-out leaves the guest 5 minutes of the bound to boot and 90 s
# to save its results and power off.
printf 'STEP_LIMIT=600\nOBSERVE=60\n' >"$ROOT/etc/tessal-boot-check.conf"
cat >"$ROOT/etc/systemd/system/tessal-boot-check.service" <<EOF
[Unit]
Description=Tessal armhf boot check (tools/boot-armhf.sh)
After=multi-user.target
SuccessAction=poweroff-force
FailureAction=poweroff-force

[Service]
Type=oneshot
ExecStart=/usr/local/sbin/tessal-boot-check
ExecStopPost=/usr/local/sbin/tessal-boot-check --save
TimeoutStartSec=$((TIMEOUT - 390))
TimeoutStopSec=90
StandardOutput=journal+console
StandardError=journal+console

[Install]
WantedBy=multi-user.target
EOF
ln -sf /etc/systemd/system/tessal-boot-check.service \
  "$ROOT/etc/systemd/system/multi-user.target.wants/tessal-boot-check.service"
# The frame buffer's driver, loaded early and for certain.
echo virtio-gpu >"$ROOT/etc/modules-load.d/tessal-boot-check.conf"
# Nothing else competes for the emulated CPUs: no logins, no apt timers.
for u in getty@tty1.service serial-getty@ttyAMA0.service apt-daily.timer apt-daily-upgrade.timer \
  dpkg-db-backup.timer fstrim.timer; do
  ln -sf /dev/null "$ROOT/etc/systemd/system/$u"
done
echo tessal-armhf >"$ROOT/etc/hostname"
took install

# --- the disk image ----------------------------------------------------------------------
step "disk image (mkfs.ext4 -d, no mount)"
KERNEL=$(readlink -f "$ROOT/vmlinuz")
INITRD=$(readlink -f "$ROOT/initrd.img")
if [ ! -f "$KERNEL" ] || [ ! -f "$INITRD" ]; then
  die "no kernel or initrd in the root file system"
fi
cp "$KERNEL" "$WORK/vmlinuz"
cp "$INITRD" "$WORK/initrd.img"
UUID=$(cat /proc/sys/kernel/random/uuid)
size=$(($(du -sm "$ROOT" | cut -f1) * 13 / 10 + 512))
rm -f "$WORK/disk.img" "$WORK/results.img"
mkfs.ext4 -q -F -L tessal-armhf -U "$UUID" -d "$ROOT" "$WORK/disk.img" "${size}M" >/dev/null
truncate -s 64M "$WORK/results.img"
[ "$KEEP" = 1 ] || rm -rf --one-file-system "$ROOT"
echo "   $WORK/disk.img: ${size} MB, kernel $(basename "$KERNEL")"
took "disk image"

# --- boot and check ----------------------------------------------------------------------
step "boot on qemu-system-arm (virt, cortex-a15, 2 CPUs, $MEMORY MB; bound $TIMEOUT s)"
CONSOLE=$WORK/console.log
: >"$CONSOLE"
# virtio-gpu works only over the modern virtio-mmio transport.
nice -n 10 qemu-system-arm -M virt -cpu cortex-a15 -smp 2 -m "$MEMORY" \
  -kernel "$WORK/vmlinuz" -initrd "$WORK/initrd.img" \
  -append "root=UUID=$UUID rw console=ttyAMA0 panic=10 loglevel=4 fbcon=map:1" \
  -global virtio-mmio.force-legacy=false \
  -drive if=none,file="$WORK/disk.img",format=raw,id=root -device virtio-blk-device,drive=root \
  -drive if=none,file="$WORK/results.img",format=raw,id=results \
  -device virtio-blk-device,drive=results,serial=tessal-results \
  -device virtio-gpu-device,xres=800,yres=480 \
  -nic none -display none -monitor none -serial "file:$CONSOLE" -no-reboot &
QEMU_PID=$!
shown=0
boot_s=
timed_out=0
# The guest's own lines, as they come.
show_progress() {
  local lines
  lines=$(grep -a 'boot-check: ' "$CONSOLE" | sed 's/.*boot-check: //' | tr -d '\r' || true)
  [ -n "$lines" ] || return 0
  printf '%s\n' "$lines" | tail -n +$((shown + 1)) | sed 's/^/   /'
  shown=$(printf '%s\n' "$lines" | wc -l)
}
while kill -0 "$QEMU_PID" 2>/dev/null; do
  show_progress
  if [ -z "$boot_s" ] && [ "$shown" -gt 0 ]; then
    boot_s=$(($(date +%s) - TS))
  fi
  if [ $(($(date +%s) - TS)) -ge "$TIMEOUT" ]; then
    timed_out=1
    echo "   the guest still runs after $TIMEOUT s: stopped"
    kill "$QEMU_PID"
    break
  fi
  sleep 3
done
wait "$QEMU_PID" 2>/dev/null || true
QEMU_PID=
show_progress
took "qemu (boot and check)"
TIMES+=("boot to the check ${boot_s:-?} s")

# --- results ---------------------------------------------------------------------------
step "results"
RESULTS=$WORK/results
rm -rf "$RESULTS"
mkdir -p "$RESULTS"
cp "$CONSOLE" "$RESULTS/console.log"
if ! tar -C "$RESULTS" -xf "$WORK/results.img" 2>/dev/null || [ ! -s "$RESULTS/summary.txt" ]; then
  echo "   the guest wrote no results; the end of its console:"
  tail -n 40 "$CONSOLE" | tr -d '\r' | sed 's/^/   | /'
  die "no results from the guest ($([ $timed_out = 1 ] && echo "killed after $TIMEOUT s" || echo "it powered off"))"
fi
if [ -s "$RESULTS/fb0.raw" ] && [ -s "$RESULTS/fb0.geometry" ]; then
  # XRGB8888 (32 bits per pixel, little-endian) as the virtio-gpu frame
  # buffer has it, to an RGB PNG.
  colours=$(python3 - "$RESULTS/fb0.raw" "$RESULTS/fb0.geometry" "$RESULTS/screenshot.png" <<'EOF'
import struct, sys, zlib
raw, geometry, png = sys.argv[1:4]
w, h, bpp, stride = map(int, open(geometry).read().split())
if bpp != 32:
    sys.exit(f"frame buffer of {bpp} bits per pixel: not converted")
data = open(raw, "rb").read()
rows = []
for y in range(h):
    line = data[y * stride : y * stride + w * 4]
    rgb = bytearray(w * 3)
    rgb[0::3], rgb[1::3], rgb[2::3] = line[2::4], line[1::4], line[0::4]
    rows.append(b"\0" + bytes(rgb))
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
with open(png, "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
# A dark or blank screen is one colour; the page has many.
colours = {data[y * stride + x * 4 : y * stride + x * 4 + 3] for y in range(0, h, 4) for x in range(0, w, 4)}
print(len(colours))
EOF
  ) || die "the frame buffer could not be converted"
  rm -f "$RESULTS/fb0.raw"
  if [ "$colours" -gt 1 ]; then
    line="ok: screenshot: $colours colours (every 4th pixel): $RESULTS/screenshot.png"
  else
    line="FAIL: screenshot: the screen is one colour: $RESULTS/screenshot.png"
  fi
  echo "$line" >>"$RESULTS/summary.txt"
  echo "   $line"
fi
echo "   $(ls "$RESULTS" | tr '\n' ' ')"
check_s=$(sed -n 's/^note: check took \([0-9]*\) s$/\1/p' "$RESULTS/summary.txt")
TIMES+=("check ${check_s:-?} s")
took results

failed=$(grep -c '^FAIL:' "$RESULTS/summary.txt" || true)
passed=$(grep -c '^ok:' "$RESULTS/summary.txt" || true)
printf '\n== times: %s; in all %d s\n' "$(printf '%s; ' "${TIMES[@]}" | sed 's/; $//')" "$(($(date +%s) - T0))"
if [ "$timed_out" = 1 ] || ! grep -q '^checks finished$' "$RESULTS/summary.txt"; then
  echo "== boot-armhf: the check did not finish ($passed ok, $failed failed so far; results in $RESULTS)"
  exit 1
fi
if [ "$failed" -gt 0 ]; then
  echo "== boot-armhf: $failed check(s) FAILED, $passed ok (results in $RESULTS)"
  grep '^FAIL:' "$RESULTS/summary.txt" | sed 's/^/   /'
  exit 1
fi
echo "== boot-armhf: all $passed checks passed (results in $RESULTS)"
