#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

Run it after changing a seed; the files it writes are checked in. Frames
are those of a real session (client ids and object ids as the fuzz target
for the broker hands them out: clients 0x1000-0x1002, then types and
objects in order of creation).
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def pad(b):
    return b + b"\0" * (-len(b) % 4)


def attr(aid, payload, extended=False):
    word = (0x80000000 if extended else 0) | (aid << 24) | (len(payload) + 4)
    return pad(struct.pack(">I", word) + payload)


# blobmsg values
def bm(btype, name, payload):
    n = name.encode()
    return attr(btype, pad(struct.pack(">H", len(n)) + n + b"\0") + payload, True)


def bstr(name, s):
    return bm(3, name, s.encode() + b"\0")


def bi32(name, v):
    return bm(5, name, struct.pack(">i", v))


def bi8(name, v):
    return bm(7, name, bytes([v]))


def btable(name, *members):
    return bm(2, name, b"".join(members))


def barray(name, *members):
    return bm(1, name, b"".join(members))


# ubus message attributes
def u32(aid, v):
    return attr(aid, struct.pack(">I", v))


def ustr(aid, s):
    return attr(aid, s.encode() + b"\0")


STATUS, OBJPATH, OBJID, METHOD, OBJTYPE, SIGNATURE, DATA, TARGET = 1, 2, 3, 4, 5, 6, 7, 8
USER, GROUP = 12, 13
HELLO, MSG_STATUS, MSG_DATA, PING, LOOKUP, INVOKE, ADD_OBJECT, REMOVE_OBJECT = 0, 1, 2, 3, 4, 5, 6, 7
SUBSCRIBE, NOTIFY = 8, 10


def frame(mtype, seq, peer, *attrs):
    body = attr(0, b"".join(attrs))
    return struct.pack(">BBHI", 0, mtype, seq, peer) + body


MINI_SIGNATURE = attr(SIGNATURE, btable("open", bi32("at_port", 3), bi32("timeout", 5), bi32("sendonly", 7))
                      + btable("status"))


def invoke_args(obj, method, *args):
    return [u32(OBJID, obj), ustr(METHOD, method), ustr(USER, "root"), ustr(GROUP, "root"),
            attr(DATA, b"".join(args))]


def bus_message_seeds():
    obj, caller = 0x145CAE9E, 0xAC362F04
    return {
        "invoke_open": frame(INVOKE, 2, caller, *invoke_args(
            obj, "open", bstr("at_port", "/dev/ttyUSB2"), bi32("baudrate", 115200), bi32("databits", 8),
            bi32("parity", 0), bi32("stopbits", 1))),
        "invoke_sendat": frame(INVOKE, 3, caller, *invoke_args(
            obj, "sendat", bstr("at_port", "/dev/ttyUSB2"), bstr("at_cmd", "AT+CSQ"), bi32("timeout", 5),
            bstr("end_flag", "OK,ERROR"))),
        "invoke_sendat_raw": frame(INVOKE, 4, caller, *invoke_args(
            obj, "sendat", bstr("at_port", "/dev/ttyUSB2"), bstr("raw_at_content", "41540d0a"),
            bi8("sendonly", 1), bi32("at_port", 7))),
        "invoke_close": frame(INVOKE, 5, caller, *invoke_args(obj, "close", bstr("at_port", "/dev/ttyUSB2"))),
        "reply_open": frame(MSG_DATA, 2, obj, u32(OBJID, obj), attr(DATA, bstr("port", "/dev/ttyUSB2")
                                                                   + bi32("fd", 7) + bi8("ok", 1)))
        + frame(MSG_STATUS, 2, obj, u32(STATUS, 0), u32(OBJID, obj)),
        "reply_nested": frame(MSG_DATA, 6, obj, u32(OBJID, obj), attr(DATA, btable(
            "t", bm(6, "x", b"\x12\x34"), barray("arr", bm(4, "", bytes(range(1, 9))),
                                                 bm(8, "", b"\x3f\xf8" + b"\0" * 6)))
            + bm(0, "n", b"") + btable("o") + barray("a", bi32("", 1), bstr("", "x\n\"\x01")))),
        "lookup_reply": frame(MSG_DATA, 1, 0, ustr(OBJPATH, "mini"), u32(OBJID, obj), u32(OBJTYPE, 0x40E185FB),
                              MINI_SIGNATURE)
        + frame(MSG_STATUS, 1, 0, u32(STATUS, 0)),
        "hello_event": struct.pack(">BBHI", 0, HELLO, 0, 0xD3FD24AA) + attr(0, b"")
        + frame(INVOKE, 1, 0, u32(OBJID, 0x185791B1), ustr(METHOD, "foo.bar"),
                attr(DATA, bi32("x", 1) + bstr("s", "hi"))),
    }


# Broker sessions: op byte (client slot | action << 2), then for a delivery
# a 16-bit length and the bytes.
def deliver(slot, data):
    return bytes([slot]) + struct.pack(">H", len(data)) + data


def collect():
    return bytes([3 << 2])


def drop(slot):
    return bytes([(2 << 2) | slot])


def busd_seeds():
    c0, c1, c2 = 0x1000, 0x1001, 0x1002
    mini_type, mini = 0x1003, 0x1004
    listener = 0x1005
    add_mini = frame(ADD_OBJECT, 1, 0, ustr(OBJPATH, "mini"), MINI_SIGNATURE)
    call = frame(INVOKE, 2, mini, u32(OBJID, mini), ustr(METHOD, "open"),
                 attr(DATA, bstr("at_port", "/dev/ttyUSB2") + bi32("timeout", 5) + bi8("sendonly", 1)))
    reply = (frame(MSG_DATA, 2, c1, u32(OBJID, mini), attr(DATA, bi32("fd", 7)))
             + frame(MSG_STATUS, 2, c1, u32(STATUS, 0), u32(OBJID, mini)))
    register = frame(INVOKE, 2, 1, u32(OBJID, 1), ustr(METHOD, "register"),
                     attr(DATA, bi32("object", listener) + bstr("pattern", "*")))
    send = frame(INVOKE, 1, 1, u32(OBJID, 1), ustr(METHOD, "send"),
                 attr(DATA, bstr("id", "foo.bar") + btable("data", bi32("x", 1), bstr("s", "hi"))))
    assert mini_type < mini
    return {
        "call": deliver(0, add_mini) + collect()
        + deliver(1, frame(LOOKUP, 1, 0, ustr(OBJPATH, "mini"))) + deliver(1, call) + collect()
        + deliver(0, reply) + collect() + deliver(2, frame(LOOKUP, 1, 0)) + collect(),
        "events": deliver(0, add_mini) + deliver(0, frame(ADD_OBJECT, 2, 0)) + deliver(0, register)
        + deliver(1, send) + collect() + drop(0) + collect(),
        "subscribe": deliver(0, add_mini) + deliver(1, frame(ADD_OBJECT, 1, 0))
        + deliver(1, frame(SUBSCRIBE, 2, 0, u32(OBJID, listener), u32(TARGET, mini)))
        + deliver(0, frame(NOTIFY, 2, mini, u32(OBJID, mini), ustr(METHOD, "tick"), attr(DATA, b"")))
        + collect() + deliver(0, frame(REMOVE_OBJECT, 3, 0, u32(OBJID, mini))) + collect(),
        # A PING split over two deliveries, then a body length too short.
        "split_ping": deliver(2, frame(PING, 7, 0x1234, u32(STATUS, 42))[:5])
        + deliver(2, frame(PING, 7, 0x1234, u32(STATUS, 42))[5:]) + collect()
        + deliver(1, struct.pack(">BBHI", 0, PING, 1, 0) + b"\0\0\0\2") + collect(),
    }


def end_flag_seeds():
    lines = ["OK", " OK\r", "BOOK", "ok", "+CME ERROR: 10", "+CMGS: 12", "NO CARRIER", "AT+CSQ"]
    return {
        "defaults": b"\0" + b"\0".join(l.encode() for l in lines),
        "two": b" OK , ERROR \0OK\0 ERROR\r\n\0ERR",
        "many": b"A,B,C,D,E,F,G\0F\0E\0",
        "cmgs": b"+CMGS:\0+CMGS: 12\0+CMGS\0",
        "commas": b",,, , \0OK\0",
        "long": b"x" * 70 + b" \0" + b"x" * 63 + b"\0",
    }


def line_op(repeat, chunk):
    return bytes([repeat]) + struct.pack(">H", len(chunk)) + chunk


def line_assembly_seeds():
    new_command = b"\xff"
    return {
        "csq": b"\0" + line_op(0, b"AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n"),
        "split": b"\0" + line_op(0, b"AT\r\r\nO") + line_op(0, b"K") + line_op(0, b"\r\n"),
        "flags": b"\x06+CMGS:" + line_op(0, b"> ") + line_op(0, b"\r\n+CMGS: 12\r\n\r\nOK\r\n")
        + new_command + line_op(0, b"+CMS ERROR: 500\r\n"),
        "nul": b"\0" + line_op(0, b"junk\0more\r\nOK\r\n") + new_command + line_op(0, b"x\0y") + line_op(0, b"OK\r\n"),
        # 40 x 1000 bytes without a line end overflow both 32 KiB buffers.
        "overflow": b"\0" + line_op(39, b"A" * 1000) + line_op(0, b"\r\nOK\r\n"),
    }


HEX_SEEDS = {
    "crlf": b"41540d0a",
    "mixed": b"DeadBEEF00ff",
    "odd": b"123",
    "bad": b"4g",
}


# A mode byte (see fuzz_sms_pdu.cpp), then its input.
SMS_SEEDS = {
    "deliver": b"\0" + bytes.fromhex("07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37"),
    "concat_turkish": b"\0" + bytes.fromhex("00440B915155010032F40000622190010000611106250101240101072007BC396ECA41"),
    "ucs2_report": b"\0" + bytes.fromhex("00040B915155010032F40008622190010000610A004800690020D83DDE00"),
    "status_line": b"\1" + b"00062A0B915155010032F4622190010000616221900100506100\r\n",
    "cusd": b"\2\2" + b'+CUSD: 0,"041F04400438D83DDE00\nmore",72',
    "encode": b"\3\x2a\1" + "Long text with € and 😀 ".encode() * 8,
}


def main():
    targets = {
        "fuzz_bus_message": bus_message_seeds(),
        "fuzz_busd": busd_seeds(),
        "fuzz_end_flags": end_flag_seeds(),
        "fuzz_line_assembly": line_assembly_seeds(),
        "fuzz_hex_decode": HEX_SEEDS,
        "fuzz_sms_pdu": SMS_SEEDS,
    }
    for target, seeds in targets.items():
        d = os.path.join(HERE, "corpus", target)
        os.makedirs(d, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(d, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
