# in-root.sh - sourced (never run) by the scripts that work in an armhf root
# file system under qemu-user: tests/install/armhf_install_test.sh and
# tools/boot-armhf.sh.
#
# in_root CMD...: CMD in the root file system $ROOT, in mount and PID
# namespaces of its own (nothing it starts outlives it or sees this
# machine's processes), with the network for apt.
in_root() {
  unshare --mount --pid --fork --kill-child --propagation private -- bash -euc '
    root=$1
    shift
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/tmp"
    mount -t tmpfs tmpfs "$root/run"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
      DEBIAN_FRONTEND=noninteractive "$@"
  ' in-root "$ROOT" "$@"
}
