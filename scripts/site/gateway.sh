#!/bin/sh
# Site script of the gateway's network state probe: writes the IPv4 default
# gateway to ./gateway_1 as
#
#   default A.B.C.D
#
# The first default route with a gateway counts. "(null)" stands for the
# address when there is no such route or the routes cannot be queried.
# Needs only iproute2; the file is written whatever happens.
set -u

OUT=./gateway_1

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

gw=
set -f
# shellcheck disable=SC2046 # word splitting of the output is wanted
set -- $(ip -4 route show default 2>/dev/null)
set +f
while [ $# -gt 1 ]; do
    if [ "$1" = via ] && is_ipv4 "$2"; then
        gw=$2
        break
    fi
    shift
done

printf 'default %s\n' "${gw:-(null)}" > "$OUT"
