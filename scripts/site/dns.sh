#!/bin/sh
# Site script of the gateway's network state probe: writes the first two
# IPv4 name servers of the resolver configuration to ./dns_1 as one line
#
#   nameserver A.B.C.D E.F.G.H
#
# With one server the line ends after the first address (no secondary
# server); with none it is "nameserver (null)". IPv6 servers, comments and
# other keywords are skipped. Reads /etc/resolv.conf, or the file named by
# RESOLV_CONF. The file is written whatever happens.
set -u

CONF=${RESOLV_CONF:-/etc/resolv.conf}
OUT=./dns_1

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

pri=
sec=
if [ -r "$CONF" ]; then
    while read -r key value rest || [ -n "${key:-}" ]; do
        if [ "${key:-}" = nameserver ] && is_ipv4 "${value:-}"; then
            if [ -z "$pri" ]; then
                pri=$value
            else
                sec=$value
                break
            fi
        fi
        key=
    done < "$CONF"
fi

if [ -z "$pri" ]; then
    printf 'nameserver (null)\n' > "$OUT"
elif [ -z "$sec" ]; then
    printf 'nameserver %s\n' "$pri" > "$OUT"
else
    printf 'nameserver %s %s\n' "$pri" "$sec" > "$OUT"
fi
