#!/bin/sh
# Runs a command inside a private mount namespace whose /dev holds no serial
# device: Wine maps every /dev/ttyS*, ttyUSB* and ttyACM* it sees to a COM
# name, and /dev/ttyS0 on the machines we test on is their own console.
# Pseudo-terminals come from a new devpts instance of the namespace's own,
# and the serial lock directory is an empty tmpfs of its own. The command
# also gets a network namespace of its own, with loopback alone: nothing it
# sends (an mDNS query above all) can reach the machine's own network.
#   private_dev.sh COMMAND [ARG...]
set -eu
if [ "${KOVEX_PRIVATE_DEV:-}" != 1 ]; then
    export KOVEX_PRIVATE_DEV=1
    unshare="unshare --mount --net --propagation private"
    [ "$(id -u)" = 0 ] || unshare="$unshare --map-root-user"
    if ! $unshare true 2>/dev/null; then
        echo "skipped: no private mount and network namespace can be made here, and nothing runs without them"
        exit 77
    fi
    exec $unshare "$0" "$@"
fi
ip link set lo up
# A second loopback address: getaddrinfo's AI_ADDRCONFIG (ser2net's) takes
# 127.0.0.1 alone for no IPv4 at all.
ip addr add 127.0.0.2/8 dev lo
new=$(mktemp -d)
mount -t tmpfs -o mode=0755 kovex-dev "$new"
for node in null zero random urandom tty full; do
    touch "$new/$node"
    mount --bind "/dev/$node" "$new/$node"
done
mkdir "$new/pts" "$new/shm"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$new/pts"
ln -s pts/ptmx "$new/ptmx"
mount -t tmpfs kovex-shm "$new/shm"
ln -s /proc/self/fd "$new/fd"
ln -s /proc/self/fd/0 "$new/stdin"
ln -s /proc/self/fd/1 "$new/stdout"
ln -s /proc/self/fd/2 "$new/stderr"
mount --rbind "$new" /dev
# /dev holds its own copy of the tree now; let the folder go.
umount --lazy --recursive "$new"
rmdir "$new"
for locks in /run/lock /var/lock; do
    [ -d "$locks" ] && [ ! -L "$locks" ] && mount -t tmpfs -o mode=1777 kovex-lock "$locks"
done
exec "$@"
