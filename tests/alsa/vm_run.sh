#!/bin/bash
# Runs a command inside a QEMU virtual machine that has a real ALSA sequencer: the kernel's
# snd-seq-dummy ("Midi Through", client 14) and snd-virmidi with two virtual raw MIDI ports
# (clients "Virtual Raw MIDI 0-0" and "0-1"), for machines (containers, CI) that have no /dev/snd.
#   Usage: vm_run.sh [--] command [args...]
# The guest boots this machine's own kernel and its root file system, read-only over 9p under a
# tmpfs (so the build tree is there, writable in memory), and runs the command as root in the same
# working directory, with HOME=/tmp, a plain PATH and the caller's KVN_*, GTEST_*, LANG and LC_*
# variables. What the command prints comes back as it goes (one stream, stdout and stderr merged,
# on stdout); its exit status is this script's. No network, and the machine powers off after the
# command. The virtual machine is stopped (by its pid) after KVN_VM_TIMEOUT seconds (400), or after
# 150 if it has not come up by then; status 124 then. Exits 77, after one line that says why, where
# QEMU, a kernel with snd-virmidi among its modules, or a static busybox is missing.
# The machine: 2 processors, KVN_VM_MEMORY megabytes (1024: an X server, openbox, kvn and a test
# use a quarter of it; less memory to set up boots sooner). KVN_VM_BOOT_TIME=1 says on stderr how
# long the machine took to come up; KVN_VM_KEEP=1 keeps the temporary folder (initrd, console log,
# results) and says where it is.
set -u

[ "${1:-}" = "--" ] && shift
if [ $# -eq 0 ]; then
    echo "usage: $0 [--] command [args...]" >&2
    exit 2
fi

skip() {
    echo "ALSA tier skipped: $*"
    exit 77
}

# Everything the test needs from this machine; the tier is skipped, not failed, without it.
qemu=$(command -v qemu-system-x86_64) || skip "qemu-system-x86_64 not found (Debian: qemu-system-x86)"
busybox=""
for b in "$(command -v busybox)" /bin/busybox /usr/bin/busybox; do
    [ -n "$b" ] || continue
    [ -x "$b" ] || continue
    # ldd says so of a static program (the busybox-static package); a dynamic one cannot be /init.
    if LC_ALL=C ldd "$b" 2>&1 | grep -Eq 'not a dynamic|statically linked'; then
        busybox=$b
        break
    fi
done
[ -n "$busybox" ] || skip "no static busybox (Debian: busybox-static)"
# The newest kernel of which both the image and the modules (with snd-virmidi) are here.
kver=""
found_unreadable=""
while IFS= read -r image; do
    v=${image#/boot/vmlinuz-}
    grep -Eq '(^|/)snd-virmidi\.ko(\.[a-z]+)?:' "/lib/modules/$v/modules.dep" 2>/dev/null || continue
    if [ ! -r "$image" ]; then
        found_unreadable=$image
        continue
    fi
    kver=$v
done < <(printf '%s\n' /boot/vmlinuz-* | sort -V)
if [ -z "$kver" ]; then
    [ -n "$found_unreadable" ] && skip "$found_unreadable is not readable by $(id -un)"
    skip "no /boot/vmlinuz-<version> with snd-virmidi in /lib/modules/<version> (Debian: linux-image-amd64)"
fi
moddir=/lib/modules/$kver

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kvn-alsa-vm.XXXXXX") || exit 1
qpid="" tpid=""
# shellcheck disable=SC2317  # called by the trap
stop() {
    [ -n "$qpid" ] && kill -KILL "$qpid" 2>/dev/null && wait "$qpid" 2>/dev/null
    [ -n "$tpid" ] && kill "$tpid" 2>/dev/null && wait "$tpid" 2>/dev/null
    [ -n "${KVN_VM_KEEP:-}" ] && { echo "kept $tmp" >&2; return; }
    rm -rf "$tmp"
}
trap stop EXIT
trap 'exit 130' INT TERM
mkdir -p "$tmp/initrd/bin" "$tmp/initrd/mods" "$tmp/results"

# What the initrd loads to mount the root (virtio's PCI transport, 9p over it, overlayfs), each
# after what it depends on (modules.dep); uncompressed, as busybox's insmod takes them.
declare -A loaded=()
nmods=0
add_module() {
    local name=$1 line dep
    [ -n "${loaded[$name]:-}" ] && return 0
    loaded[$name]=1
    line=$(grep -E "(^|/)$name\.ko(\.[a-z]+)?:" "$moddir/modules.dep" | head -n 1)
    if [ -z "$line" ]; then
        grep -Eq "(^|/)$name\.ko\$" "$moddir/modules.builtin" 2>/dev/null && return 0
        skip "module $name not in $moddir"
    fi
    for dep in ${line#*:}; do
        dep=${dep##*/}
        add_module "${dep%%.ko*}"
    done
    local src=$moddir/${line%%:*} dst
    dst=$tmp/initrd/mods/$(printf '%02d' $nmods)-$name.ko
    nmods=$((nmods + 1))
    case "$src" in
    *.ko) cp "$src" "$dst" ;;
    *.ko.xz) xz -dc "$src" >"$dst" ;;
    *.ko.zst) zstd -qdc "$src" >"$dst" ;;
    *.ko.gz) gzip -dc "$src" >"$dst" ;;
    *) false ;;
    esac || skip "cannot unpack $src"
}
# And the sequencer's modules, loaded here too, sooner than modprobe would over 9p.
for m in virtio_pci 9pnet_virtio 9p overlay snd-seq-dummy snd-virmidi; do
    add_module $m
done
cp "$busybox" "$tmp/initrd/bin/busybox"

# The initrd: this machine's root (tag "root") read-only under a tmpfs, the results folder (tag
# "results") read-write on /results, then the stage script from there in the new root.
cat >"$tmp/initrd/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mkdir -p /proc /sys /dev /lower /upper /newroot
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in /mods/*.ko; do
    case "$m" in
    *-snd-virmidi.ko) insmod "$m" midi_devs=2 ;;
    *) insmod "$m" ;;
    esac || echo "insmod $m failed"
done
opts=trans=virtio,version=9p2000.L,msize=262144
mount -t 9p -o $opts,ro,cache=loose root /lower || echo "9p root not mounted"
mount -t tmpfs -o mode=755 tmpfs /upper
mkdir -p /upper/u /upper/w
mount -t overlay overlay -o lowerdir=/lower,upperdir=/upper/u,workdir=/upper/w /newroot || echo "no overlay"
mkdir -p /newroot/results
mount -t 9p -o $opts results /newroot/results
ip link set lo up
mount --move /proc /newroot/proc
mount --move /sys /newroot/sys
mount --move /dev /newroot/dev
exec switch_root /newroot /bin/bash /results/stage.sh
EOF
chmod +x "$tmp/initrd/init"
# (busybox's own cpio: no other archiver needed.)
(cd "$tmp/initrd" && find . | "$busybox" cpio -o -H newc >"$tmp/initrd.img" 2>"$tmp/cpio.log") || {
    cat "$tmp/cpio.log" >&2
    exit 1
}

# Inside, after the switch: a machine of its own (fresh /run, /dev/shm, /dev/pts), the sequencer's
# devices, then the command; its status in /results/status, and power off.
cat >"$tmp/results/stage.sh" <<'EOF'
exec >>/results/log 2>&1 </dev/null
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp
mount -t tmpfs -o mode=755 tmpfs /run
mkdir -p /dev/shm /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
mount -t devpts devpts /dev/pts
: >/results/started
for i in $(seq 100); do
    [ -e /dev/snd/seq ] && [ -e /dev/snd/midiC0D1 ] && break
    sleep 0.1
done
[ -e /dev/snd/seq ] && [ -e /dev/snd/midiC0D1 ] || echo "vm_run.sh: no /dev/snd/seq or no virmidi devices"
bash /results/command.sh
echo $? >/results/status.new
mv /results/status.new /results/status
echo o >/proc/sysrq-trigger
# (The first process ending would be a kernel panic; that too ends the machine, but noisily.)
sleep 30
EOF

# The command, where and with what it runs.
{
    printf 'cd -- %q || exit 1\n' "$PWD"
    while IFS= read -r name; do
        printf 'export %s=%q\n' "$name" "${!name}"
    done < <(compgen -e | grep -E '^(KVN_|GTEST_|LANG$|LC_)')
    printf 'exec'
    printf ' %q' "$@"
    printf '\n'
} >"$tmp/results/command.sh"
: >"$tmp/results/log"

# qboot, where it is installed, starts the kernel sooner than the default firmware.
bios=()
[ -r /usr/share/qemu/qboot.rom ] && bios=(-bios /usr/share/qemu/qboot.rom)

start=$SECONDS
# No network, no display, no default devices; the console goes to a file, shown if the guest
# never came up. The guest ends when the host's script does (killed by a test runner).
setpriv --pdeathsig KILL "$qemu" -nodefaults -no-user-config -accel tcg,thread=multi -cpu max "${bios[@]}" \
    -m "${KVN_VM_MEMORY:-1024}" -smp 2 -display none -vga none -nic none -no-reboot \
    -serial "file:$tmp/console.log" -monitor none \
    -kernel "/boot/vmlinuz-$kver" -initrd "$tmp/initrd.img" \
    -virtfs local,path=/,mount_tag=root,security_model=none,readonly=on,multidevs=remap \
    -virtfs "local,path=$tmp/results,mount_tag=results,security_model=none" \
    -append "console=ttyS0 panic=-1 loglevel=3 quiet" >"$tmp/qemu.log" 2>&1 </dev/null &
qpid=$!
tail -n +1 -s 0.2 -f --pid="$qpid" "$tmp/results/log" &
tpid=$!

gone() { [ ! -e "/proc/$1" ] || grep -q '^[0-9]* (.*) Z' "/proc/$1/stat" 2>/dev/null; }
limit=${KVN_VM_TIMEOUT:-400}
timedout=""
until gone "$qpid"; do
    if [ ! -e "$tmp/results/started" ] && [ $((SECONDS - start)) -ge 150 ]; then
        timedout="the virtual machine did not come up in 150 s"
    elif [ $((SECONDS - start)) -ge "$limit" ]; then
        timedout="the command did not end in $limit s"
    fi
    if [ -n "$timedout" ]; then
        kill "$qpid" 2>/dev/null
        for _ in $(seq 50); do gone "$qpid" && break; sleep 0.1; done
        kill -KILL "$qpid" 2>/dev/null
        break
    fi
    [ -n "${KVN_VM_BOOT_TIME:-}" ] && [ -e "$tmp/results/started" ] && {
        echo "vm_run.sh: up after $((SECONDS - start)) s" >&2
        KVN_VM_BOOT_TIME=""
    }
    sleep 0.2
done
wait "$qpid" 2>/dev/null
qpid=""
wait "$tpid" 2>/dev/null
tpid=""

if [ -n "$timedout" ] || [ ! -s "$tmp/results/status" ]; then
    echo "vm_run.sh: ${timedout:-no exit status came back}; the end of the guest's console:" >&2
    tail -n 30 "$tmp/console.log" >&2
    cat "$tmp/qemu.log" >&2
    [ -n "$timedout" ] && exit 124
    exit 1
fi
exit "$(cat "$tmp/results/status")"
