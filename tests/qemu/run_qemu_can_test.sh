#!/usr/bin/env bash
# Runs the CAN interface tests on a real Linux CAN stack: boots Debian's own kernel under
# qemu-system-x86_64 with a busybox initramfs built here on every run, loads the kernel's
# can, can-raw and vcan modules, creates "can0" as a vcan interface and runs the static
# test binary in the guest. The guest reports on its serial console; this script reads
# the result marker from there.
#
# Usage: run_qemu_can_test.sh TEST_BINARY VCAN_HELPER
# Exit status: 0 passed, 1 failed, 77 skipped (tools or Debian packages not to be had).
#
# The guest boots under KVM (-cpu host) when /dev/kvm is usable. A KVM boot that ends
# without a result (qemu refused the CPU model or aborted, the guest hung) is repeated in
# software emulation (TCG); without /dev/kvm TCG is used directly. Only a failure the
# guest itself reports fails the test.
#
# The kernel and busybox packages come from apt (`apt-get download`) and are kept,
# reduced to what the guest needs, in BELVANTO_QEMU_CACHE (default
# ~/.cache/belvanto-qemu). Without apt access a kernel kept there by an earlier run is used.
#
# Further environment:
#   BELVANTO_QEMU_TIMEOUT      seconds for a software-emulated boot (default 300)
#   BELVANTO_QEMU_KVM_TIMEOUT  seconds for a KVM boot before falling back (default 120)
#   BELVANTO_QEMU_BINARY       the qemu program (default qemu-system-x86_64)
#   BELVANTO_QEMU_KVM          auto (default): KVM when /dev/kvm is usable; off: TCG only;
#                              force: try KVM even without a usable /dev/kvm
#   BELVANTO_QEMU_KVM_CPU      CPU model of the KVM boot (default host)
#   BELVANTO_QEMU_OFFLINE      1: ask apt nothing, use the cached packages only
set -uo pipefail

readonly SKIP=77
readonly BOOT_TIMEOUT_S=${BELVANTO_QEMU_TIMEOUT:-300}
readonly KVM_TIMEOUT_S=${BELVANTO_QEMU_KVM_TIMEOUT:-120}
readonly QEMU=${BELVANTO_QEMU_BINARY:-qemu-system-x86_64}
readonly KVM_MODE=${BELVANTO_QEMU_KVM:-auto}
readonly KVM_CPU=${BELVANTO_QEMU_KVM_CPU:-host}
readonly OFFLINE=${BELVANTO_QEMU_OFFLINE:-0}
readonly KERNEL_META=linux-image-amd64
readonly BUSYBOX_PACKAGE=busybox-static
# The modules the guest loads; their dependencies are added from the modules' own info.
readonly WANTED_MODULES=(can can-raw vcan)

say() { echo "qemu-can: $*"; }
skip() {
    say "SKIPPED: $*"
    exit "$SKIP"
}
fail() {
    say "FAILED: $*"
    exit 1
}

[ $# -eq 2 ] || fail "usage: $0 TEST_BINARY VCAN_HELPER"
test_binary=$1
vcan_helper=$2
for f in "$test_binary" "$vcan_helper"; do
    [ -x "$f" ] || fail "not an executable: $f"
done

case "$KVM_MODE" in auto | off | force) ;; *) fail "BELVANTO_QEMU_KVM must be auto, off or force" ;; esac

for tool in "$QEMU" cpio gzip dpkg-deb flock; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (scripts/deps.sh installs it)"
done

if [ -n "${BELVANTO_QEMU_CACHE:-}" ]; then
    cache=$BELVANTO_QEMU_CACHE
elif [ -n "${HOME:-}" ] && [ -d "$HOME" ]; then
    cache=${XDG_CACHE_HOME:-$HOME/.cache}/belvanto-qemu
else
    cache=/var/cache/belvanto-qemu
fi
mkdir -p "$cache" || skip "cannot create the package cache $cache"

work=$(mktemp -d "${TMPDIR:-/tmp}/belvanto-qemu.XXXXXX") || fail "no temporary folder"
trap 'rm -rf "$work"' EXIT

# --- Packages -------------------------------------------------------------------------

# Candidate version of a package, empty when apt does not know it.
candidate() {
    apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ { if ($2 != "(none)") print $2 }'
}

# The versioned kernel image package that the kernel meta package points at.
kernel_package() {
    apt-cache depends "$KERNEL_META" 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}

# apt answers from its package lists; a machine that never ran `apt-get update` has none.
refresh_lists_once() {
    [ -n "${lists_refreshed:-}" ] && return
    lists_refreshed=1
    if [ "$(id -u)" -eq 0 ]; then
        say "refreshing apt's package lists"
        timeout 240 apt-get update -qq >"$work/apt-update.log" 2>&1 || true
    fi
}

# Downloads one package into $work/debs and unpacks it to $2. Returns non-zero on failure.
fetch_package() {
    local spec=$1 dest=$2
    mkdir -p "$work/debs" "$dest"
    if ! (cd "$work/debs" && timeout 240 apt-get download -q "$spec" >"$work/apt-download.log" 2>&1); then
        sed 's/^/    /' "$work/apt-download.log"
        return 1
    fi
    local deb
    deb=$(find "$work/debs" -name '*.deb' -print -quit)
    [ -n "$deb" ] && dpkg-deb -x "$deb" "$dest" && rm -f "$work/debs"/*.deb
}

# Module file of a module name in an unpacked kernel tree ('-' and '_' are one in names).
module_file() {
    local tree=$1 name=$2
    find "$tree" \( -name "$name.ko*" -o -name "${name//-/_}.ko*" -o -name "${name//_/-}.ko*" \) \
        -print -quit
}

# Copies a module, uncompressed, as $out/NAME.ko; fills module_order deps first.
add_module() {
    local tree=$1 out=$2 name=$3
    name=${name//_/-}
    case " ${module_order[*]:-} " in *" $name "*) return 0 ;; esac
    local file
    file=$(module_file "$tree" "$name")
    [ -n "$file" ] || { say "module $name not found in the kernel package"; return 1; }
    case "$file" in
        *.ko) cp "$file" "$out/$name.ko" ;;
        *.ko.xz) xz -dc "$file" >"$out/$name.ko" ;;
        *.ko.zst) zstd -qdc "$file" >"$out/$name.ko" ;;
        *.ko.gz) gzip -dc "$file" >"$out/$name.ko" ;;
        *) say "unknown module format: $file"; return 1 ;;
    esac || return 1
    local deps dep
    deps=$(tr '\0' '\n' <"$out/$name.ko" | sed -n 's/^depends=//p' | head -n 1)
    for dep in ${deps//,/ }; do
        add_module "$tree" "$out" "$dep" || return 1
    done
    module_order+=("$name")
}

# Fills $cache/<package>_<version>/ with vmlinuz, modules/*.ko and modules/order.
prepare_kernel() {
    local package=$1 version=$2 dir=$3
    local tree="$work/kernel"
    say "fetching $package $version"
    fetch_package "$package=$version" "$tree" || return 1
    local staging="$dir.tmp.$$"
    rm -rf "$staging"
    mkdir -p "$staging/modules"
    local image
    image=$(find "$tree/boot" -name 'vmlinuz-*' -print -quit 2>/dev/null)
    [ -n "$image" ] || { say "no kernel image in $package"; return 1; }
    cp "$image" "$staging/vmlinuz"
    module_order=()
    local m
    for m in "${WANTED_MODULES[@]}"; do
        add_module "$tree/lib/modules" "$staging/modules" "$m" || return 1
    done
    printf '%s\n' "${module_order[@]}" >"$staging/modules/order"
    rm -rf "$tree" "$dir"
    mv "$staging" "$dir"
}

prepare_busybox() {
    local version=$1 dir=$2
    say "fetching $BUSYBOX_PACKAGE $version"
    fetch_package "$BUSYBOX_PACKAGE=$version" "$work/busybox" || return 1
    [ -x "$work/busybox/bin/busybox" ] || { say "no busybox in $BUSYBOX_PACKAGE"; return 1; }
    mkdir -p "$dir.tmp.$$"
    cp "$work/busybox/bin/busybox" "$dir.tmp.$$/busybox"
    rm -rf "$dir"
    mv "$dir.tmp.$$" "$dir"
}

# Newest complete cached folder matching a glob, for runs without apt access.
newest_cached() {
    local pattern=$1 required=$2 dir best=""
    # shellcheck disable=SC2086 # the pattern is a glob
    for dir in "$cache"/$pattern; do
        case "$dir" in *.tmp.*) continue ;; esac
        [ -e "$dir/$required" ] || continue
        if [ -z "$best" ] || [ "$dir" -nt "$best" ]; then
            best=$dir
        fi
    done
    echo "$best"
}

# One run at a time fills the cache.
exec 9>"$cache/.lock"
flock -w 600 9 || skip "the package cache $cache stays locked"

kernel_pkg=""
kernel_version=""
busybox_version=""
if [ "$OFFLINE" != 1 ]; then
    kernel_pkg=$(kernel_package)
    [ -n "$kernel_pkg" ] || { refresh_lists_once; kernel_pkg=$(kernel_package); }
    [ -n "$kernel_pkg" ] && kernel_version=$(candidate "$kernel_pkg")
    busybox_version=$(candidate "$BUSYBOX_PACKAGE")
    [ -n "$busybox_version" ] || { refresh_lists_once; busybox_version=$(candidate "$BUSYBOX_PACKAGE"); }
fi

kernel_dir=""
if [ -n "$kernel_version" ]; then
    kernel_dir="$cache/${kernel_pkg}_${kernel_version}"
    if [ ! -f "$kernel_dir/vmlinuz" ] && ! prepare_kernel "$kernel_pkg" "$kernel_version" "$kernel_dir"; then
        kernel_dir=""
    fi
fi
if [ -z "$kernel_dir" ]; then
    kernel_dir=$(newest_cached 'linux-image-*' vmlinuz)
    [ -n "$kernel_dir" ] ||
        skip "could not fetch Debian's kernel package ($KERNEL_META) with apt-get download, and none is cached in $cache"
    say "using the cached kernel $(basename "$kernel_dir")"
fi

busybox_dir=""
if [ -n "$busybox_version" ]; then
    busybox_dir="$cache/${BUSYBOX_PACKAGE}_${busybox_version}"
    if [ ! -x "$busybox_dir/busybox" ] && ! prepare_busybox "$busybox_version" "$busybox_dir"; then
        busybox_dir=""
    fi
fi
if [ -z "$busybox_dir" ]; then
    busybox_dir=$(newest_cached "${BUSYBOX_PACKAGE}_*" busybox)
    [ -n "$busybox_dir" ] ||
        skip "could not fetch Debian's $BUSYBOX_PACKAGE package with apt-get download, and none is cached in $cache"
    say "using the cached $(basename "$busybox_dir")"
fi
exec 9>&-

say "kernel $(basename "$kernel_dir"), $(basename "$busybox_dir")"

# --- Initramfs ------------------------------------------------------------------------

root="$work/root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules}
cp "$busybox_dir/busybox" "$root/bin/busybox"
cp "$kernel_dir"/modules/*.ko "$kernel_dir/modules/order" "$root/modules/"
cp "$test_binary" "$root/bin/can_tests"
cp "$vcan_helper" "$root/bin/vcan_up"

cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
result=FAIL
setup_ok=1
for m in $(cat /modules/order); do
    insmod "/modules/$m.ko" || { echo "guest: insmod $m failed"; setup_ok=0; }
done
if [ $setup_ok = 1 ] && vcan_up can0; then
    ip link show can0
    echo "guest: running the CAN tests"
    cd /tmp
    if can_tests --gtest_color=no; then
        result=PASS
    fi
else
    echo "guest: could not create can0"
fi
echo "BELVANTO-QEMU-RESULT: $result"
sync
poweroff -f
EOF
chmod 755 "$root/init"

(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz" ||
    fail "could not build the initramfs"

# --- Boot -----------------------------------------------------------------------------

# One boot. Arguments: a name for the messages, the time-out in seconds, then the
# accelerator and CPU arguments for qemu. Sets boot_result to PASS or FAIL when the guest
# reported one, else to the empty string; boot_status to qemu's exit status.
boot() {
    local name=$1 limit=$2
    shift 2
    local console="$work/console-$name.log" qemu_log="$work/qemu-$name.log"
    : >"$console"
    say "booting ($name)"
    local start
    start=$(date +%s)
    timeout --kill-after=10 "$limit" "$QEMU" \
        "$@" -smp 2 -m 512M \
        -display none -monitor none -nic none -no-reboot \
        -serial "file:$console" \
        -kernel "$kernel_dir/vmlinuz" -initrd "$work/initramfs.gz" \
        -append "console=ttyS0 panic=-1 quiet rdinit=/init" \
        </dev/null >"$qemu_log" 2>&1
    boot_status=$?
    boot_elapsed=$(($(date +%s) - start))

    # The guest's console, without the terminal control sequences of the firmware.
    sed 's/\x1b\[[0-9;?]*[A-Za-z]//g; s/\x1bc//g; s/\r$//' "$console" 2>/dev/null
    if [ -s "$qemu_log" ]; then
        say "qemu said:"
        sed 's/^/    /' "$qemu_log"
    fi
    boot_result=""
    if grep -q '^BELVANTO-QEMU-RESULT: PASS' "$console" 2>/dev/null; then
        boot_result=PASS
    elif grep -q '^BELVANTO-QEMU-RESULT: FAIL' "$console" 2>/dev/null; then
        boot_result=FAIL
    fi
}

# The guest's verdict ends the run; a boot without one does not.
finish_if_reported() {
    case "$boot_result" in
        PASS)
            say "PASS ($1, guest ran ${boot_elapsed} s)"
            exit 0
            ;;
        FAIL) fail "the CAN tests failed in the guest ($1)" ;;
    esac
}

# Why a boot ended without a result, for the messages.
no_result_reason() {
    if [ "$boot_status" -eq 124 ] || [ "$boot_status" -eq 137 ]; then
        echo "did not finish within $1 s"
    else
        echo "ended without a result (qemu exit status $boot_status)"
    fi
}

use_kvm=0
case "$KVM_MODE" in
    force) use_kvm=1 ;;
    auto) [ -r /dev/kvm ] && [ -w /dev/kvm ] && use_kvm=1 ;;
esac

if [ "$use_kvm" -eq 1 ]; then
    boot kvm "$KVM_TIMEOUT_S" -accel kvm -cpu "$KVM_CPU"
    finish_if_reported "KVM"
    say "the KVM boot $(no_result_reason "$KVM_TIMEOUT_S"); booting again in software emulation"
else
    say "no usable /dev/kvm (BELVANTO_QEMU_KVM=$KVM_MODE): software emulation"
fi

boot tcg "$BOOT_TIMEOUT_S" -accel tcg -cpu max
finish_if_reported "software emulation"
fail "the software-emulated guest $(no_result_reason "$BOOT_TIMEOUT_S")"
