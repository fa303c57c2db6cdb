#!/bin/sh
# Site script of the gateway's network state probe: writes the IPv4 address,
# broadcast address and netmask of $IFACE (default eth0) to ./ipaddr_1 as
#
#   addr:A.B.C.D Bcast:A.B.C.D Mask:A.B.C.D
#
# The first IPv4 address of the interface counts. "(null)" stands for every
# value when the interface has no IPv4 address, does not exist or cannot be
# queried. Needs only iproute2; the file is written whatever happens.
set -u

IFACE=${IFACE:-eth0}
OUT=./ipaddr_1

# is_octet TEXT: a decimal number 0..255 without leading zeros.
is_octet() {
    case $1 in
        '' | *[!0-9]* | 0?*) return 1 ;;
    esac
    [ ${#1} -le 3 ] && [ "$1" -le 255 ]
}

# is_ipv4 TEXT: exactly four octets separated by dots.
is_ipv4() {
    case $1 in
        *[!0-9.]* | .* | *. | *..*) return 1 ;;
    esac
    saved_ifs=$IFS
    IFS=.
    # shellcheck disable=SC2086 # split at the dots on purpose
    set -- $1
    IFS=$saved_ifs
    [ $# -eq 4 ] && is_octet "$1" && is_octet "$2" && is_octet "$3" && is_octet "$4"
}

addr=
plen=
brd=
seen=0
set -f
# shellcheck disable=SC2046 # word splitting of the one-line output is wanted
set -- $(ip -4 -o addr show dev "$IFACE" 2>/dev/null)
set +f
while [ $# -gt 0 ]; do
    word=$1
    shift
    case $word in
        inet)
            # A second "inet" starts the next address: the first one is done.
            [ "$seen" -eq 1 ] && break
            seen=1
            [ $# -gt 0 ] || break
            case $1 in
                */*) addr=${1%%/*}; plen=${1#*/} ;;
                *) addr=$1; plen=32 ;;
            esac
            shift
            ;;
        brd)
            if [ "$seen" -eq 1 ] && [ $# -gt 0 ]; then
                brd=$1
                shift
            fi
            ;;
    esac
done

case $plen in
    '' | *[!0-9]*) plen=x ;;
esac
if [ "$plen" = x ] || [ "$plen" -gt 32 ] || ! is_ipv4 "$addr"; then
    printf 'addr:(null) Bcast:(null) Mask:(null)\n' > "$OUT"
    exit 0
fi

# Netmask and, when iproute2 shows none, broadcast address, octet by octet
# (keeps the arithmetic within 32-bit shells).
saved_ifs=$IFS
IFS=.
# shellcheck disable=SC2086 # split at the dots on purpose
set -- $addr
IFS=$saved_ifs
mask=
bcast=
left=$plen
for octet in "$1" "$2" "$3" "$4"; do
    if [ "$left" -ge 8 ]; then bits=8; left=$((left - 8)); else bits=$left; left=0; fi
    m=$(( (255 << (8 - bits)) & 255 ))
    mask=${mask:+$mask.}$m
    bcast=${bcast:+$bcast.}$(( octet | (255 - m) ))
done
is_ipv4 "$brd" || brd=$bcast

printf 'addr:%s Bcast:%s Mask:%s\n' "$addr" "$brd" "$mask" > "$OUT"
