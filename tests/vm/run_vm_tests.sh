#!/usr/bin/env bash
# Runs check programs on a real kernel CAN stack inside a small virtual machine.
#
#   run_vm_tests.sh --work-dir DIR [--cache-dir DIR] [--program FILE]...
#                   [--data FILE]... [--guest-script FILE]...
#                   [--time-limit SECONDS] [--script-time-limit SECONDS]
#                   [--cpus N]
#
# Builds an initramfs from Debian packages (the kernel that linux-image-amd64
# depends on, can-utils, busybox-static) and the given programs with the
# shared libraries they need (data files go to /opt/kav/share inside), boots
# it with qemu (emulation only, no KVM assumed), and reads the results from
# the serial console. Downloads are cached in the cache directory (default
# DIR/cache); the console log is kept as DIR/console.log. --time-limit
# bounds the whole machine run, --script-time-limit each guest script inside
# it. --cpus sets the machine's processor count (default 1).
#
# Exits 0 only when every guest script ran to its end with status 0, printed
# at least one PASS line and no FAIL line. Anything missing (a package that
# cannot be installed or downloaded, a program that is not built) is a
# failure with a message saying what is missing, never a skip.
set -euo pipefail

WORK_DIR=""
CACHE=""
PROGRAMS=()
DATA_FILES=()
GUEST_SCRIPTS=()
TIME_LIMIT=300                      # seconds for the whole machine run
SCRIPT_TIME_LIMIT=240               # seconds for each guest script
CPUS=1                              # processors of the machine
HERE=$(cd "$(dirname "$0")" && pwd)

# Packages installed on the host when missing, and what they provide.
HOST_PACKAGES=(qemu-system-x86 busybox-static)
# can-utils programs copied into the image.
CAN_TOOLS=(candump cansend cangen)
# Kernel modules, loaded in this order by the guest's init.
CAN_MODULES=(net/can/can.ko net/can/can-raw.ko drivers/net/can/dev/can-dev.ko drivers/net/can/vcan.ko)

fail() {
  echo "vm test FAILED: $*" >&2
  exit 1
}

while (($#)); do
  case "$1" in
    --work-dir) WORK_DIR=$2; shift 2 ;;
    --cache-dir) CACHE=$2; shift 2 ;;
    --program) PROGRAMS+=("$2"); shift 2 ;;
    --data) DATA_FILES+=("$2"); shift 2 ;;
    --guest-script) GUEST_SCRIPTS+=("$2"); shift 2 ;;
    --time-limit) TIME_LIMIT=$2; shift 2 ;;
    --script-time-limit) SCRIPT_TIME_LIMIT=$2; shift 2 ;;
    --cpus) CPUS=$2; shift 2 ;;
    *) fail "unknown argument '$1'" ;;
  esac
done
[[ -n $WORK_DIR ]] || fail "--work-dir is required"
((${#GUEST_SCRIPTS[@]})) || fail "no --guest-script given: nothing to run"
for f in "${PROGRAMS[@]}"; do
  [[ -x $f ]] || fail "program $f is missing or not executable (build the project first)"
done
for f in "${DATA_FILES[@]}"; do
  [[ -f $f ]] || fail "data file $f is missing"
done
for f in "${GUEST_SCRIPTS[@]}"; do
  [[ -f $f ]] || fail "guest script $f is missing"
done

[[ $TIME_LIMIT =~ ^[1-9][0-9]*$ && $SCRIPT_TIME_LIMIT =~ ^[1-9][0-9]*$ ]] ||
  fail "time limits must be whole numbers of seconds"
[[ $CPUS =~ ^[1-9][0-9]*$ ]] || fail "--cpus must be a whole number from 1"
CACHE=${CACHE:-$WORK_DIR/cache}
mkdir -p "$WORK_DIR" "$CACHE"
WORK_DIR=$(cd "$WORK_DIR" && pwd)
CACHE=$(cd "$CACHE" && pwd)
LOG=$WORK_DIR/console.log
run_started=$(date +%s.%N)

as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"
  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then sudo -n "$@"
  else return 1
  fi
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

apt_updated=0
apt_update_once() {
  ((apt_updated)) && return 0
  apt_updated=1
  as_root apt-get update -qq
}

# ---------------------------------------------------------------- host tools
missing=()
for p in "${HOST_PACKAGES[@]}"; do installed "$p" || missing+=("$p"); done
if ((${#missing[@]})); then
  echo "Installing ${missing[*]}"
  apt_update_once || fail "cannot run apt-get update to install ${missing[*]} (need root or sudo)"
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
    fail "cannot install ${missing[*]} with apt-get"
fi
QEMU=$(command -v qemu-system-x86_64) || fail "qemu-system-x86_64 not found although qemu-system-x86 is installed"
BUSYBOX=/bin/busybox
ldd "$BUSYBOX" >/dev/null 2>&1 && fail "$BUSYBOX is not the static busybox (busybox-static)"

# ---------------------------------------------------------------- downloads
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}

cached_deb() { find "$CACHE" -maxdepth 1 -name "${1}_*.deb" | head -n1; }

# Downloads a package into the cache unless a copy is there; prints its path.
fetch() {
  local package=$1 deb
  deb=$(cached_deb "$package")
  if [[ -z $deb ]]; then
    local apt_opts=()
    [[ $(id -u) -eq 0 ]] && apt_opts=(-o APT::Sandbox::User=root)
    if ! (cd "$CACHE" && apt-get "${apt_opts[@]}" download -qq "$package") >&2; then
      # The package lists may name a version the archive no longer has.
      apt_update_once >&2 && (cd "$CACHE" && apt-get "${apt_opts[@]}" download -qq "$package") >&2 ||
        return 1
    fi
    deb=$(cached_deb "$package")
  fi
  [[ -n $deb ]] || return 1
  echo "$deb"
}

KERNEL_PACKAGE=$(kernel_package)
if [[ -z $KERNEL_PACKAGE ]]; then
  apt_update_once || true
  KERNEL_PACKAGE=$(kernel_package)
fi
[[ -n $KERNEL_PACKAGE ]] ||
  fail "apt-cache depends linux-image-amd64 names no kernel package (are the Debian package lists there?)"
KERNEL_DEB=$(fetch "$KERNEL_PACKAGE") || fail "cannot download $KERNEL_PACKAGE with apt-get download"
CAN_UTILS_DEB=$(fetch can-utils) || fail "cannot download can-utils with apt-get download"
# Older kernel packages left in the cache are of no further use.
for old in "$CACHE"/linux-image-*.deb; do
  [[ $old == "$KERNEL_DEB" ]] || rm -f "$old"
done

# Unpacks the parts of the kernel package the machine needs, once per package.
KERNEL_DIR=$CACHE/kernel
if [[ ! -f $KERNEL_DIR/.from || $(cat "$KERNEL_DIR/.from") != "$(basename "$KERNEL_DEB")" ]]; then
  rm -rf "$KERNEL_DIR"
  mkdir -p "$KERNEL_DIR"
  patterns=('*/boot/vmlinuz-*')
  for m in "${CAN_MODULES[@]}"; do patterns+=("*/kernel/$m*"); done
  dpkg-deb --fsys-tarfile "$KERNEL_DEB" | tar -x -C "$KERNEL_DIR" --wildcards "${patterns[@]}" ||
    fail "cannot unpack the kernel and the CAN modules from $KERNEL_DEB"
  basename "$KERNEL_DEB" >"$KERNEL_DIR/.from"
fi
VMLINUZ=$(find "$KERNEL_DIR" -path '*/boot/vmlinuz-*' | head -n1)
[[ -n $VMLINUZ ]] || fail "no boot/vmlinuz-* in $KERNEL_DEB"

CAN_UTILS_DIR=$CACHE/can-utils
if [[ ! -f $CAN_UTILS_DIR/.from || $(cat "$CAN_UTILS_DIR/.from") != "$(basename "$CAN_UTILS_DEB")" ]]; then
  rm -rf "$CAN_UTILS_DIR"
  dpkg -x "$CAN_UTILS_DEB" "$CAN_UTILS_DIR" || fail "cannot unpack $CAN_UTILS_DEB"
  basename "$CAN_UTILS_DEB" >"$CAN_UTILS_DIR/.from"
fi

# ---------------------------------------------------------------- the image
ROOT=$WORK_DIR/root
rm -rf "$ROOT"
mkdir -p "$ROOT"/{bin,dev,proc,sys,tmp,tests,lib/modules/can,usr/bin,opt/kav/bin,opt/kav/lib,opt/kav/share}
cp "$BUSYBOX" "$ROOT/bin/busybox"
ln -s busybox "$ROOT/bin/sh"
install -m 755 "$HERE/guest/init" "$ROOT/init"

for m in "${CAN_MODULES[@]}"; do
  found=$(find "$KERNEL_DIR" -path "*/kernel/$m*" | head -n1)
  [[ -n $found ]] || fail "kernel module $m is not in $KERNEL_DEB"
  target=$ROOT/lib/modules/can/$(basename "$m")
  case $found in
    *.ko) cp "$found" "$target" ;;
    *.ko.xz) xz -dc "$found" >"$target" ;;
    *.ko.zst) zstd -qdc "$found" >"$target" ;;
    *) fail "kernel module $found has a form this script cannot unpack" ;;
  esac
done

# Copies an executable and every shared library it needs (as ldd resolves
# them on this host, which runs the same Debian release as the kernel's).
add_executable() {
  local file=$1 dest=$2 line lib
  cp -L "$file" "$dest/"
  ldd "$file" >/dev/null 2>&1 || return 0   # static
  while read -r line; do
    [[ $line == *"not found"* ]] && fail "$(basename "$file") needs a library that is not found: $line"
    lib=$(grep -o '/[^ ]*' <<<"$line" | head -n1 || true)
    [[ -n $lib ]] || continue
    if [[ $line == *"=>"* ]]; then
      cp -L -n "$lib" "$ROOT/opt/kav/lib/"
    else
      # The program interpreter, needed at the path written into the program.
      mkdir -p "$ROOT$(dirname "$lib")"
      cp -L -n "$lib" "$ROOT$lib"
    fi
  done < <(ldd "$file")
}

for tool in "${CAN_TOOLS[@]}"; do
  [[ -x $CAN_UTILS_DIR/usr/bin/$tool ]] || fail "$tool is not in $CAN_UTILS_DEB"
  add_executable "$CAN_UTILS_DIR/usr/bin/$tool" "$ROOT/usr/bin"
done
for program in "${PROGRAMS[@]}"; do
  add_executable "$program" "$ROOT/opt/kav/bin"
done
for file in "${DATA_FILES[@]}"; do
  cp -L "$file" "$ROOT/opt/kav/share/"
done
n=0
for script in "${GUEST_SCRIPTS[@]}"; do
  n=$((n + 1))
  install -m 755 "$script" "$ROOT/tests/$(printf '%02d' $n)-$(basename "$script")"
done

INITRD=$WORK_DIR/initramfs.cpio
(cd "$ROOT" && find . | "$BUSYBOX" cpio -o -H newc 2>/dev/null) >"$INITRD" || fail "cannot pack the initramfs"
image_ready=$(date +%s.%N)

# ---------------------------------------------------------------- the run
echo "Booting $(basename "$VMLINUZ") with $(du -h "$INITRD" | cut -f1) initramfs; console log: $LOG"
set +e
timeout --kill-after=10 "$TIME_LIMIT" "$QEMU" -accel tcg -m 512 -smp "$CPUS" -nographic -no-reboot -nic none \
  -kernel "$VMLINUZ" -initrd "$INITRD" \
  -append "console=ttyS0 quiet panic=-1 kav_script_time_limit=$SCRIPT_TIME_LIMIT" </dev/null 2>&1 |
  tr -d '\r' >"$LOG"
qemu_status=${PIPESTATUS[0]}
set -e
run_ended=$(date +%s.%N)

# ---------------------------------------------------------------- results
problems=()
if [[ $qemu_status -eq 124 || $qemu_status -eq 137 ]]; then
  problems+=("the machine did not power off within $TIME_LIMIT s")
elif [[ $qemu_status -ne 0 ]]; then
  problems+=("qemu exited with status $qemu_status")
fi
grep -q '^VM-BOOTED ' "$LOG" || problems+=("the machine never reached its init")
while read -r line; do problems+=("${line#VM-FAIL: }"); done < <(grep '^VM-FAIL: ' "$LOG" || true)
grep -q '^VM-DONE ' "$LOG" || problems+=("init did not finish (the kernel or a script hung or crashed)")
for f in "$ROOT"/tests/*.sh; do
  name=$(basename "$f")
  end=$(grep "^VM-SCRIPT-END $name " "$LOG" | tail -n1 || true)
  if [[ -z $end ]]; then
    problems+=("guest script $name did not run to its end")
  elif [[ $end != *" exit=0" ]]; then
    problems+=("guest script $name ended with ${end##* }")
  fi
done
passed=$(grep -c '^PASS: ' "$LOG" || true)
failed=$(grep -c '^FAIL: ' "$LOG" || true)
((passed > 0)) || problems+=("no check reported PASS")
((failed == 0)) || problems+=("$failed checks reported FAIL")

booted=$(awk '/^VM-BOOTED /{print $2; exit}' "$LOG")
uptime_end=$(awk '/^VM-DONE /{print $2; exit}' "$LOG")
timing=$(awk -v a="$run_started" -v b="$image_ready" -v c="$run_ended" \
  'BEGIN {printf "image %.1f s, machine %.1f s", b - a, c - b}')
echo "Kernel $(basename "$VMLINUZ"): init reached ${booted:-?} s after kernel start," \
  "all scripts done at ${uptime_end:-?} s; host times: $timing"
grep -E '^(NOTE:|CHECKS) ' "$LOG" | sed 's/^/  /' || true

if ((${#problems[@]})); then
  grep -A6 '^FAIL: ' "$LOG" | sed 's/^/  /' || true
  echo "--- last lines of the console ($LOG):"
  tail -n 40 "$LOG"
  for p in "${problems[@]}"; do echo "vm test FAILED: $p" >&2; done
  exit 1
fi
echo "vm test passed: $passed checks in ${#GUEST_SCRIPTS[@]} guest scripts; console log: $LOG"
