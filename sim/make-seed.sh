#!/bin/bash
# Lays out the seed appliance root in one tree: the seed files and every
# stand-in program, so that a sandbox starts with a single copy. The third
# argument is the daemon stand-in program (sim/daemon.c), when built.
set -euo pipefail
src="$1"; out="$2"; daemon="${3:-}"
rm -rf "$out.new"
mkdir -p "$out.new"
cp -R "$src/sim/seed/root/." "$out.new/"
mkdir -p "$out.new/tmp/lock" "$out.new/var/log" "$out.new/var/run" "$out.new/var/services" \
         "$out.new/sim/standin" "$out.new/sim/proc" "$out.new/etc/skel"
chmod 600 "$out.new/etc/shadow"
while read -r path daemons; do
    case "$path" in ''|'#'*) continue ;; esac
    case "$path" in /usr/qavo/*|/usr/*) ;; esac
    mkdir -p "$out.new$(dirname "$path")"
    if [ -n "$daemons" ]; then
        cp "$src/sim/rcstandin" "$out.new$path"
        tr ' ' '\n' <<< "$daemons" > "$out.new/sim/standin/${path##*/}.daemons"
    else
        cp "$src/sim/standin" "$out.new$path"
    fi
    chmod 755 "$out.new$path"
done < "$src/sim/seed/standins.list"
# The DHCP client: a stand-in of its own (sim/dhcpcd-standin), laid over
# /usr/sbin by sandbox-init.
mkdir -p "$out.new/usr/sbin" "$out.new/etc/dhcpc" "$out.new/etc/sysconfig/network-scripts"
install -m 755 "$src/sim/dhcpcd-standin" "$out.new/usr/sbin/dhcpcd"
# The SMB status tool: lists a scenario's connections (sim/smbstatus-standin).
mkdir -p "$out.new/usr/qavo/bin"
install -m 755 "$src/sim/smbstatus-standin" "$out.new/usr/qavo/bin/smbstatus"
# The domain controller as the Samba and Kerberos tools see it
# (sim/domain-standin).
mkdir -p "$out.new/usr/qavo/sbin"
for p in usr/qavo/bin/net usr/qavo/bin/wbinfo usr/qavo/bin/nmblookup usr/qavo/sbin/kinit; do
    install -m 755 "$src/sim/domain-standin" "$out.new/$p"
done
if [ -n "$daemon" ]; then
    while read -r path; do
        case "$path" in ''|'#'*) continue ;; esac
        mkdir -p "$out.new$(dirname "$path")"
        cp "$daemon" "$out.new$path"
        chmod 755 "$out.new$path"
    done < "$src/sim/seed/daemons.list"
fi
# Storage programs (sim/qavo-storage), laid over /usr/sbin and /usr/bin with
# the DHCP client; sandbox-init keeps the real tools under /sim/real.
mkdir -p "$out.new/usr/sbin" "$out.new/usr/bin" "$out.new/sim/bin" "$out.new/usr/qavo/bin"
for p in usr/sbin/mdadm usr/sbin/sfdisk usr/sbin/mke2fs usr/sbin/mkfs.ext3 usr/sbin/resize2fs \
         usr/sbin/mkfs.reiserfs \
         usr/bin/get_key_value usr/bin/mount usr/bin/umount usr/qavo/bin/mdadm sim/bin/qavo-disk; do
    install -m 755 "$src/sim/qavo-storage" "$out.new/$p"
done
# Quota tools (sim/quota-standin): quotaon turns the shim's quota model on.
for p in usr/sbin/quotacheck usr/sbin/quotaon; do
    install -m 755 "$src/sim/quota-standin" "$out.new/$p"
done
# rsync: the real one but for runs over a remote shell (sim/rsync-standin);
# the network-backup server of a test (sim/netbkp-server).
install -m 755 "$src/sim/rsync-standin" "$out.new/usr/bin/rsync"
install -m 755 "$src/sim/netbkp-server" "$out.new/sim/bin/netbkp-server"
echo "appliance" > "$out.new/sim/appliance-root"
rm -rf "$out"
mv "$out.new" "$out"
