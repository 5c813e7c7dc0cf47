#!/usr/bin/env bash
# Checks the boot fallback of run_qemu_can_test.sh without booting anything: a fake qemu
# on BELVANTO_QEMU_BINARY plays each boot as a case asks (abort like a KVM that refuses
# the CPU model, a guest verdict, silence), and cached dummy packages stand in for the
# kernel and busybox (BELVANTO_QEMU_OFFLINE). Each case checks the exit status, the boots
# started, in order, and which boot the result came from.
#
# Usage: qemu_fallback_test.sh RUN_QEMU_CAN_TEST_SH
# Exit status: 0 passed, 1 failed, 77 skipped (a tool the script needs is missing).
set -uo pipefail

[ $# -eq 1 ] || { echo "usage: $0 RUN_QEMU_CAN_TEST_SH"; exit 1; }
script=$1
for tool in cpio gzip dpkg-deb flock; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIPPED: $tool is not installed (scripts/deps.sh installs it)"
        exit 77
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/belvanto-qemu-fallback.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

# Dummy packages in the cache, found without apt.
mkdir -p "$work/cache/linux-image-0-test/modules" "$work/cache/busybox-static_0-test"
: >"$work/cache/linux-image-0-test/vmlinuz"
: >"$work/cache/linux-image-0-test/modules/order"
printf '#!/bin/sh\n' >"$work/cache/busybox-static_0-test/busybox"
chmod 755 "$work/cache/busybox-static_0-test/busybox"

# The fake qemu: notes "kvm" or "tcg" per start in FAKE_QEMU_STARTS and acts as
# FAKE_QEMU_KVM / FAKE_QEMU_TCG say: abort (exit 134 with qemu's MSR message), pass or
# fail (the guest's result line on the serial console), silent (exit 0, no result), hang.
cat >"$work/fake-qemu" <<'EOF'
#!/usr/bin/env bash
accel="" serial=""
while [ $# -gt 0 ]; do
    case "$1" in
        -accel) accel=$2; shift ;;
        -serial) serial=${2#file:}; shift ;;
    esac
    shift
done
echo "$accel" >>"$FAKE_QEMU_STARTS"
if [ "$accel" = kvm ]; then action=$FAKE_QEMU_KVM; else action=$FAKE_QEMU_TCG; fi
case "$action" in
    abort)
        echo "qemu-system-x86_64: error: failed to set MSR 0x10a to 0x69" >&2
        exit 134
        ;;
    pass) echo "BELVANTO-QEMU-RESULT: PASS" >"$serial" ;;
    fail) echo "BELVANTO-QEMU-RESULT: FAIL" >"$serial" ;;
    silent) echo "[    0.1] Kernel panic - not syncing" >"$serial" ;;
    hang) exec sleep 60 ;;
esac
exit 0
EOF
chmod 755 "$work/fake-qemu"

failures=0
# name | BELVANTO_QEMU_KVM | KVM boot | TCG boot | exit status | boots | text in the output
cases=(
    "KVM refuses the CPU: the software boot passes|force|abort|pass|0|kvm tcg|PASS (software emulation"
    "KVM refuses the CPU: the software boot's guest fails|force|abort|fail|1|kvm tcg|failed in the guest (software emulation)"
    "KVM boot without a result line falls back|force|silent|pass|0|kvm tcg|PASS (software emulation"
    "a hanging KVM boot falls back after its time-out|force|hang|pass|0|kvm tcg|did not finish within 2 s"
    "KVM passes: no second boot|force|pass|abort|0|kvm|PASS (KVM"
    "the KVM guest's failure is final|force|fail|pass|1|kvm|failed in the guest (KVM)"
    "no KVM: software emulation at once|off|pass|pass|0|tcg|PASS (software emulation"
    "neither boot reports: failure|force|abort|silent|1|kvm tcg|ended without a result (qemu exit status 0)"
)
for row in "${cases[@]}"; do
    IFS='|' read -r name kvm_mode kvm_action tcg_action want_status want_boots want_text <<<"$row"
    : >"$work/starts"
    output=$(BELVANTO_QEMU_BINARY="$work/fake-qemu" BELVANTO_QEMU_CACHE="$work/cache" \
        BELVANTO_QEMU_OFFLINE=1 BELVANTO_QEMU_KVM="$kvm_mode" \
        BELVANTO_QEMU_TIMEOUT=60 BELVANTO_QEMU_KVM_TIMEOUT=2 \
        FAKE_QEMU_STARTS="$work/starts" FAKE_QEMU_KVM="$kvm_action" FAKE_QEMU_TCG="$tcg_action" \
        bash "$script" /bin/true /bin/true 2>&1)
    status=$?
    boots=$(tr '\n' ' ' <"$work/starts" | sed 's/ $//')
    problem=""
    [ "$status" -eq "$want_status" ] || problem="exit status $status, wanted $want_status"
    [ "$boots" = "$want_boots" ] || problem="$problem; boots '$boots', wanted '$want_boots'"
    case "$output" in *"$want_text"*) ;; *) problem="$problem; no '$want_text' in the output" ;; esac
    if [ -n "$problem" ]; then
        echo "FAILED: $name: ${problem#; }"
        echo "$output" | sed 's/^/    /'
        failures=$((failures + 1))
    else
        echo "ok: $name"
    fi
done
[ "$failures" -eq 0 ]
