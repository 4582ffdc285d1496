#!/usr/bin/env bash
# The uinput pen tablet on a real kernel. These machines' own kernel has no uinput, so Debian's kernel
# package is fetched (never installed: unpacked into a cache) and booted under QEMU with a busybox
# initramfs holding evdev.ko, uinput.ko and UinputGuestTest, built here without sanitizers from the
# tablet's own sources. The guest test opens the pen with libinput's path backend, plays a stroke and
# checks what libinput reports.
#   run-uinput-guest.sh [WORK_DIR]
# Exit 0 when every check passed, 77 (skipped) without QEMU, 1 otherwise: a kernel that cannot be
# fetched is a failure, not a skip.
# Environment: ZUB_GUEST_CACHE (kernel cache; default $XDG_CACHE_HOME/zubpad/guest-kernel),
# ZUB_GUEST_TIMEOUT (seconds the guest may run, default 90: a run takes 15 to 25 s here, more on a
# busy machine).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mkdir -p "${1:-$root/build-asan/guest}" && cd "${1:-$root/build-asan/guest}" && pwd)
cd "$root"
cache=${ZUB_GUEST_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/zubpad/guest-kernel}
timeout_s=${ZUB_GUEST_TIMEOUT:-90}

say() { echo "guest: $*"; }
fail() { echo "guest: FAIL: $*" >&2; exit 1; }

if ! command -v qemu-system-x86_64 >/dev/null; then
  say "skipped: qemu-system-x86_64 is not installed (scripts/setup installs qemu-system-x86)"
  exit 77
fi
command -v busybox >/dev/null || fail "busybox is missing (scripts/setup installs busybox-static)"
for pc in Qt6Core libevdev libinput; do
  pkg-config --exists "$pc" || fail "pkg-config does not know $pc (scripts/setup installs its -dev package)"
done

# --- The kernel: Debian's current one for amd64, fetched once into the cache.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fetch_kernel() {
  local dep
  # Sandbox user root: the download directory is ours, not apt's.
  get() { (cd "$tmp" && apt-get download -q -o APT::Sandbox::User=root "$@" >/dev/null); }
  if ! get linux-image-amd64; then
    # A machine whose package lists were never read: read them once and try again.
    if [ "$(id -u)" -eq 0 ]; then apt-get update -qq || true; fi
    get linux-image-amd64 || fail "apt-get download linux-image-amd64 failed: the kernel cannot be fetched"
  fi
  dep=$(dpkg-deb -f "$tmp"/linux-image-amd64_*.deb Depends | grep -o 'linux-image-[0-9][^ ,]*' | head -n 1)
  [ -n "$dep" ] || fail "linux-image-amd64 names no kernel package"
  get "$dep" || fail "apt-get download $dep failed: the kernel cannot be fetched"
  dpkg-deb -x "$tmp/${dep}"_*.deb "$tmp/unpacked"
  mkdir -p "$tmp/kernel"
  cp "$tmp"/unpacked/boot/vmlinuz-* "$tmp/kernel/vmlinuz"
  for m in evdev uinput; do
    local ko
    ko=$(find "$tmp/unpacked/lib/modules" -name "$m.ko*" | head -n 1)
    [ -n "$ko" ] || fail "$dep has no $m module"
    case "$ko" in
      *.xz) xz -dc "$ko" >"$tmp/kernel/$m.ko" ;;
      *.zst) zstd -qdc "$ko" >"$tmp/kernel/$m.ko" ;;
      *) cp "$ko" "$tmp/kernel/$m.ko" ;;
    esac
  done
  echo "$dep" >"$tmp/kernel/package"
  mkdir -p "$(dirname "$cache")"
  rm -rf "$cache.new" && mv "$tmp/kernel" "$cache.new" && rm -rf "$cache" && mv "$cache.new" "$cache"
}
if [ -f "$cache/vmlinuz" ] && [ -f "$cache/evdev.ko" ] && [ -f "$cache/uinput.ko" ]; then
  say "kernel $(cat "$cache/package" 2>/dev/null) from $cache"
else
  say "fetching Debian's kernel package into $cache"
  fetch_kernel
  say "kernel $(cat "$cache/package")"
fi

# --- The test binary: plain flags, no sanitizer runtime in the guest.
sources=(tests/guest/UinputGuestTest.cpp src/platform/linux/UinputTablet.cpp src/platform/linux/PenEventWriter.cpp
         src/base/Error.cpp src/platform/Logging.cpp)
bin=$work/UinputGuestTest
stale=0
[ -x "$bin" ] || stale=1
for s in "${sources[@]}" src/platform/linux/*.h src/base/*.h; do [ "$s" -nt "$bin" ] && stale=1; done
if [ $stale -eq 1 ]; then
  cc=(c++)
  command -v ccache >/dev/null && cc=(ccache c++)
  # shellcheck disable=SC2046
  "${cc[@]}" -std=c++20 -O1 -fPIC -Wall -Wextra -Werror -Wno-missing-field-initializers -Isrc \
    "${sources[@]}" $(pkg-config --cflags --libs Qt6Core libevdev libinput) -o "$bin" ||
    fail "the guest test does not build"
fi

# --- The initramfs: busybox, the modules, the test and every shared library it loads.
stage=$work/initramfs
rm -rf "$stage"
mkdir -p "$stage"/{bin,dev,proc,sys,run,tmp,lib/modules,usr/share}
cp "$(command -v busybox)" "$stage/bin/busybox"
cp "$cache/evdev.ko" "$cache/uinput.ko" "$stage/lib/modules/"
cp "$bin" "$stage/bin/UinputGuestTest"
for lib in $({ ldd "$bin"; ldd "$stage/bin/busybox" 2>/dev/null || true; } | grep -o '/[^ ]*' | sort -u); do
  mkdir -p "$stage$(dirname "$lib")"
  cp -L "$lib" "$stage$lib"
done
# libinput's device quirks and libwacom's tablet database, as a desktop has them.
for data in /usr/share/libinput /usr/share/libwacom; do
  if [ -d "$data" ]; then cp -r "$data" "$stage/usr/share/"; fi
done
cat >"$stage/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
insmod /lib/modules/evdev.ko && insmod /lib/modules/uinput.ko || echo "pen: FAIL modules do not load"
ZUB_GUEST=1 /bin/UinputGuestTest
echo "zubpad-guest-exit: $?"
poweroff -f
EOF
chmod +x "$stage/init"
(cd "$stage" && find . | busybox cpio -o -H newc -R 0:0 2>/dev/null | gzip -1 >"$work/initramfs.gz") ||
  fail "the initramfs cannot be packed"

# --- The run. KVM here belongs to a nested hypervisor that runs only its own kernels: TCG.
log=$work/console.log
say "booting ($(du -h "$work/initramfs.gz" | cut -f1) initramfs, at most ${timeout_s} s)"
start=$(date +%s%N)
status=0
timeout "$timeout_s" qemu-system-x86_64 -accel tcg -m 256 -smp 1 -nographic -nic none -no-reboot \
  -kernel "$cache/vmlinuz" -initrd "$work/initramfs.gz" -append "console=ttyS0 quiet panic=-1" \
  </dev/null >"$log" 2>&1 || status=$?
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
tr -d '\r' <"$log" | grep -E '^(pen:|libinput|[0-9]+ passed, [0-9]+ failed)' | sed 's/^/  /' || true
say "guest ran $((elapsed / 1000)).$(printf '%03d' $((elapsed % 1000))) s (boot to power-off)"
[ $status -eq 124 ] && fail "the guest did not finish within ${timeout_s} s (console: $log)"
exit_line=$(tr -d '\r' <"$log" | grep -o 'zubpad-guest-exit: [0-9]*' | tail -n 1 || true)
[ -n "$exit_line" ] || fail "the guest test never ended (qemu status $status; console: $log)"
[ "${exit_line##* }" = 0 ] || fail "the guest test failed (console: $log)"
say "passed"
