#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Writes the seed inputs of every fuzz target into fuzz/corpus/<target>/.

The seeds are small valid and near-valid inputs in each target's framing; findings
of the fuzzers are added next to them by hand (named finding-*). Run again after
changing a framing: it rewrites only the files it names."""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def put(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


def record(payload, flags=0):
    """One record of the fuzz framing: flags, length byte (+256 with bit 7), bytes."""
    payload = bytes(payload)
    if len(payload) > 255:
        flags |= 0x80
    return bytes([flags, len(payload) & 0xFF]) + payload


def be24(v):
    return bytes([(v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF])


# ---- partner: TLV datagrams --------------------------------------------------
def tlv(tag, value):
    value = bytes(value)
    return bytes([tag, len(value)]) + value


def begin(src, dst, metadata=b"", tag=0):
    return tlv(tag, be24(src) + b"\x00\x00\x00\x00" + be24(dst) + b"\x01\x01" + metadata)


def voice(i):
    return tlv(7, b"\x01" + bytes((i + k) & 0xFF for k in range(27)))


call = [begin(2345678, 91, b'{"call":"AB1CDE","name":"Ann"}')] + [voice(i) for i in range(34)] + [tlv(2, b"\x01")]
put("partner", "call-json-metadata", b"".join(record(d) for d in call))
put("partner", "call-plain-metadata",
    b"".join(record(d) for d in [begin(1, 9, b"N0CALL\x00junk")] + [voice(i) for i in range(3)] + [tlv(2, b"\x01")]))
put("partner", "remote-commands", b"".join(record(tlv(5, c)) for c in [
    b"txTg=3100#\x00", b"txTg=disconnect", b"setTA=HELLO", b"txTg=pw@127.0.0.1:54006!91\x00",
    b"txTg=odd@127.0.0.1:54006", b"txTg=a@b", b"txTg=@:!", b"setTA=", b"txTg=99999999999999999999"]))
put("partner", "other-tags", b"".join(record(d) for d in [
    begin(3, 4, b"{bad json", tag=8), tlv(3, b"\x00"), tlv(6, b"\x00" * 9), tlv(9, b"\x00"), tlv(10, b"\x00"),
    tlv(11, b""), tlv(12, b""), tlv(13, b'{"topic":"t","message":"m"}\x00'), tlv(200, b"\xff" * 5),
    tlv(0, b"\x00" * 11), tlv(7, b"\x01" * 27), tlv(8, b"\x00" * 3)]))
put("partner", "length-mismatch", record(b"\x07\x1c" + b"\x00" * 20) + record(b"\x05") + record(b"") +
    record(b"\x05\xff" + b"A" * 300))
put("partner", "json-types", b"".join(record(begin(5, 6, m)) for m in [
    b'{"call":5,"name":null}', b'["AB1CDE"]', b'{"call":"%callsign%name","name":"%callsign"}', b"{}",
    b'{"call":"' + b"X" * 200 + b'"}']))

# ---- rewind_message: datagrams from the server (flags bit 0: write the magic) ----
def rewind(kind, payload=b"", flags=0, seq=0):
    payload = bytes(payload)
    return b"REWIND01" + struct.pack("<HHIH", kind, flags, seq, len(payload)) + payload


def header_payload(src, dst, call_type=0):
    return bytes([call_type, 0, 0]) + be24(dst) + be24(src) + b"\x00\x00\x00"


def alias_blocks(text):
    text = text.encode()[:27]
    n = len(text)
    blocks = [bytes([4, 0, (n << 1) | 0x40]) + text[:6].ljust(6, b"\x00")]
    rest = text[6:]
    for i in range(1, n // 7 + 1):
        blocks.append(bytes([4 + i, 0]) + rest[(i - 1) * 7:i * 7].ljust(7, b"\x00"))
    return blocks


net = [rewind(0x0911, header_payload(4660, 91), 1)] * 3 + [rewind(0x0920, bytes(range(i, i + 27)), 1) for i in range(20)]
net += [rewind(0x0927, b, 1) for b in alias_blocks("AB1CDE Ann from far away")] + [rewind(0x0912, b"", 1)]
put("rewind_message", "group-call-with-alias", b"".join(record(d) for d in net))
put("rewind_message", "private-call-headless", b"".join(record(d) for d in
    [rewind(0x0920, b"\x11" * 27, 1)] * 4 + [rewind(0x0911, header_payload(2345678, 3106001, 3), 1),
                                             rewind(0x0912), rewind(0x0912)]))
put("rewind_message", "logged-types", b"".join(record(rewind(t, b"x" * 4)) for t in [
    0, 1, 2, 3, 0x100, 0x200, 0x901, 0x902, 0xA00, 0xA02, 0xA03, 0xA04, 0xA05, 0xA10, 0xA11, 0xA20, 0xA21, 0x910,
    0xFFFF]))
put("rewind_message", "short-packets", b"".join(record(d) for d in [
    rewind(0x0911, b"\x00" * 3), rewind(0x0920, b"\x01" * 10), rewind(0x0927, b"\x04"), b"REWIND0", b"XEWIND01" + b"\x00" * 10,
    rewind(0x0927, bytes([4, 0, 0x7E]) + b"ABCDEF"), rewind(0x0927, bytes([8] + [0] * 8)),
    rewind(0x0920, b"\x22" * 60)]))
put("rewind_message", "magic-forced", b"".join(record(b"\x00" * 8 + struct.pack("<H", t) + b"\x00" * 8 + b"\x05" * 30, 1)
                                               for t in [0x911, 0x920, 0x927, 0x912]))

# ---- rewind_login: replies during a login (flags bit 0 stranger, bit 1 magic) ----
put("rewind_login", "challenge-then-confirm", bytes([0]) + record(rewind(2, b"0123456789abcdef")) + record(rewind(0x901)))
put("rewind_login", "keep-alive-answer", bytes([91]) + record(rewind(0)) + record(rewind(0x901)))
put("rewind_login", "four-challenges", bytes([0]) + b"".join(record(rewind(2, bytes([i]) * 16)) for i in range(4)))
put("rewind_login", "stranger-and-garbage", bytes([5]) + record(rewind(0x901), 1) + record(rewind(2, b"z"), 1) +
    record(b"hello") + record(b""))
put("rewind_login", "long-challenge", bytes([1]) + record(rewind(2, b"C" * 280)) + record(rewind(2, b"")))
put("rewind_login", "other-types", bytes([7]) + b"".join(record(rewind(t, b"abc")) for t in [1, 3, 0x100, 0x200, 0x902, 0x920]))

# ---- talker_alias: 9-byte blocks, then text ------------------------------------
put("talker_alias", "ten-characters", b"".join(alias_blocks("AB1CDE Ann")) + b"%callsign")
put("talker_alias", "full-length", b"".join(alias_blocks("ABCDEFGHIJKLMNOPQRSTUVWXYZ0")) + b"x" * 40)
put("talker_alias", "out-of-order", b"".join(reversed(alias_blocks("N0CALL Bob Smith"))) + bytes([5, 0] + [0x41] * 7))
put("talker_alias", "odd-headers", bytes([4, 0, 0xFE] + [0x42] * 6) + bytes([4, 0, 0x00] + [0] * 6) +
    bytes([3] + [0] * 8) + bytes([7, 0] + [0x43] * 7) + b"\xc3\xa9\xc3\xa9")

# ---- ini ---------------------------------------------------------------------
put("ini", "full", b"""; ZELK settings
[ZELK]
BMAddress = 127.0.0.1
BMPort = 54006
BMPassword = s3cret
Address = 127.0.0.1
TXPort = 36000
RXPort = 36003
UserID = 3106001
TalkerAlias = %callsign %name
StartTG = 91
LogLevel = 2
BrokerAddress = 127.0.0.1
BrokerPort = 1883
BrokerTopic = trelvane/ZELK
BrokerClient = trelvane
subscriberFile = subscriber_ids.csv
""")
put("ini", "odd-lines", b"[zelk]\nbmport: 1234\n  continued\n# comment\nUserID = -5 ; inline\nStartTG = 99999999999\n"
    b"[Other]\nUserID = 1\n[ZELK\nnot a pair\n" + b"TalkerAlias = " + b"A" * 250 + b"\n=\n[]\n")
put("ini", "no-newline", b"[ZELK]\nLogLevel=1")

# ---- subscriber --------------------------------------------------------------
put("subscriber", "table", b"4660,AB1CDE,Ann\n2345678,N0CALL,Bob Smith\n3106001,ZZ9ZZZ,Zed\r\n")
put("subscriber", "odd-lines", b"1,,A,B\n,2,X\n99999999999999,BIG,Overflow\n-1,NEG,Negative\nabc,ABC,Letters\n"
    b"7,ONLYTWO\n4660,AB1CDE,Again\n8,LONGCALLSIGN123,Long\n8,LONGCALLSIGN124,Other\n" + b"9,C," + b"N" * 2100 + b"\n")
put("subscriber", "no-newline", b"1,A,B")
put("subscriber", "titled", b"\xef\xbb\xbfRADIO_ID,CALLSIGN,FIRST_NAME,LAST_NAME,CITY\r\n1023001,VE3THW,Wayne,Edward,Toronto\r\n"
    b'1023002,VA3ABC,"Mary, Ann","O""Neil"\r\n1023003,VE3SHRT\r\nabc,BAD,X\r\n,,\r\n"unclosed\r\n')
put("subscriber", "dmrids", b"# ID, callsign, name\n\n1023001\tVE3THW\tWayne\n1023002  VA3ABC \tMary\tAnn  \r\n"
    b"1023004\tVE3ONLY\n1023006\nN0CALL\tX\tY\n1023007,VE3CSV,Comma\n4294967296\tBIG\tToo big\n")

# ---- mqtt: first byte (expected type << 4 | last id), then the broker's bytes ----
def mqtt_packet(first, body):
    body = bytes(body)
    n = len(body)
    length = b""
    while True:
        d = n & 0x7F
        n >>= 7
        length += bytes([d | (0x80 if n else 0)])
        if not n:
            break
    return bytes([first]) + length + body


def publish(topic, payload, qos=0, mid=1):
    body = struct.pack(">H", len(topic)) + topic
    if qos:
        body += struct.pack(">H", mid)
    return mqtt_packet(0x30 | (qos << 1), body + payload)


put("mqtt", "suback", bytes([0x90]) + mqtt_packet(0x90, b"\x00\x01\x00"))
put("mqtt", "puback-after-publications", bytes([0x43]) + publish(b"trelvane/debug", b"hello") +
    publish(b"trelvane/debug", b"q1", 1, 7) + mqtt_packet(0x40, b"\x00\x03"))
put("mqtt", "pingresp", bytes([0xD0]) + mqtt_packet(0x20, b"\x00\x00") + mqtt_packet(0xD0, b""))
put("mqtt", "long-publish", bytes([0xD0]) + publish(b"t", b"P" * 400) + mqtt_packet(0xD0, b""))
put("mqtt", "malformed", bytes([0x90]) + bytes([0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01]))
put("mqtt", "bad-topic-length", bytes([0xD0]) + mqtt_packet(0x32, b"\xff\xff\x00") + mqtt_packet(0x90, b"\x00"))

# ---- findings ----------------------------------------------------------------
# A one-byte datagram passed the receiver's length check (1 - 2 == -1, the length
# reported for a missing length byte) and became a message of 255 stale bytes.
put("partner", "finding-one-byte-datagram",
    record(voice(5)) + record(b"\x07") + record(begin(1, 2, b"meta")) + record(b"\x00") + record(b"\x02"))
