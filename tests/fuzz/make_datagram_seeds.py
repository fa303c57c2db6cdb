#!/usr/bin/env python3
"""Writes the seed corpus of the datagram harness into corpus/datagram/.

The seeds are committed; run this again only to change them. The MAC
address is the one the harness gives the agent (datagram_fuzz.cpp).
"""
import os

MAC = bytes([0x02, 0x00, 0x00, 0xC0, 0xFF, 0xEE])
OTHER_MAC = bytes([0x02, 0x00, 0x00, 0xC0, 0xFF, 0xEF])
MAGIC = b"Vorna Inc. QLM "


def discovery(magic=MAGIC):
    return magic + bytes(24 - len(magic))


def command(name, arg=b"", mac=MAC):
    d = bytearray(80)
    d[34:40] = mac
    d[40:40 + len(name[:12])] = name[:12]
    d[52:52 + len(arg[:20])] = arg[:20]
    # The service address fields the handler logs.
    d[72:80] = bytes([127, 0, 0, 1, 0xBC, 0xF1, 0x00, 0x01])
    return bytes(d)


def update(mac=MAC):
    d = bytearray(1048)
    d[16:22] = mac
    d[24:1048] = bytes((i * 31 + 7) & 0xFF for i in range(1024))
    return bytes(d)


SEEDS = {
    "discovery": discovery(),
    "discovery-bad-magic": discovery(b"Vorna Inc. QLm "),
    "cmd-reboot": command(b"Reboot"),
    "cmd-timesync": command(b"TimeSync", b"20240102 03:04:05"),
    "cmd-timesync-iso": command(b"TimeSync", b"2024-01-02T03:04:05"),
    "cmd-timesync-full-field": command(b"TimeSync", b"@1700000000 +0000 ab"),
    "cmd-timesync-injection": command(b"TimeSync", b'1"; touch /tmp/x; "'),
    "cmd-timesync-subshell": command(b"TimeSync", b"$(id)"),
    "cmd-timesync-empty": command(b"TimeSync"),
    # Dates after any build: these reach the date command.
    "cmd-timesync-future": command(b"TimeSync", b"20991207 09:05:03"),
    "cmd-timesync-future-seconds": command(b"TimeSync", b"@4102444800"),
    "cmd-timesync-future-month-name": command(b"TimeSync", b"Dec 7, 2099 9:05pm"),
    "cmd-timesync-future-offset": command(b"TimeSync", b"2099-12-07T9:05+0100"),
    "cmd-timesync-epoch": command(b"TimeSync", b"@0"),
    "cmd-timesync-relative": command(b"TimeSync", b"2099-12-07 -1 year"),
    "cmd-clrcfgbuf": command(b"ClrCfgBuf"),
    "cmd-clrcfgbuf-other-mac": command(b"ClrCfgBuf", mac=OTHER_MAC),
    "cmd-unknown": command(b"Blink"),
    "cmd-name-fills-field": command(b"ClrCfgBufXYZ"),
    "update": update(),
    "update-other-mac": update(OTHER_MAC),
    "len-0": b"",
    "len-1": b"V",
    "len-23": discovery()[:23],
    "len-25": discovery() + b"\x00",
    "len-79": command(b"ClrCfgBuf")[:79],
    "len-81": command(b"ClrCfgBuf") + b"\x00",
    "len-1047": update()[:1047],
    "len-1049": update() + b"\x00",
    "len-1200": bytes(range(256)) * 4 + bytes(176),
    "len-1201": update() + bytes(153),
}

if __name__ == "__main__":
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "datagram")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print(f"{len(SEEDS)} seeds in {out}")
