"""A chassis controller for end-to-end tests. Frames, checks and lists of the
management link are written here apart from the daemon's code, so that a
fault both sides share cannot hide. It talks through the simulated FPGA's
FIFOs: the control requests "rx" (towards the gateway) and "tx" (from it)."""

import time

FLAG, ESC = 0x7E, 0x7D
XOR8, CRC16, CRC32 = "xor8", "crc16", "crc32"
GET, SET, CONTROL, ALARMS, VALUES = 0, 1, 3, 2, 4
INT8, INT16, INT32, INT64, STRING = 0, 1, 2, 3, 4
REBOOT_CODE = bytes([0xDE, 0xAD, 0xBE, 0xEF])


def xor8(data):
    x = 0
    for b in data:
        x ^= b
    return x


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def crc32(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def id_bytes(dotted):
    """".10.5.3.0" -> 0A 05 03 00 (components up to 255)."""
    return bytes(int(c) for c in dotted.split(".")[1:])


def int_value(kind, value):
    width = {INT8: 1, INT16: 2, INT32: 4, INT64: 8}[kind]
    return bytes([kind]) + (value & ((1 << (8 * width)) - 1)).to_bytes(width, "little")


def string_value(text):
    raw = text.encode()
    return bytes([STRING]) + (len(raw) + 2).to_bytes(2, "little") + raw


def get_body(ids):
    return b"".join(id_bytes(i) for i in ids)


def set_body(entries):
    return b"".join(id_bytes(i) + v for i, v in entries)


def parse_list(data, status=False, status_only=False):
    """[(id, status, value)] of a list body; value is an int or a str."""
    out, i = [], 0
    while i < len(data):
        comps = []
        while True:
            comps.append(data[i])
            i += 1
            if comps[-1] == 0:
                break
        ident = "." + ".".join(str(c) for c in comps)
        st = 0
        if status or status_only:
            st = data[i]
            i += 1
        if status_only or st != 0:
            out.append((ident, st, None))
            continue
        kind = data[i]
        i += 1
        if kind == STRING:
            n = int.from_bytes(data[i:i + 2], "little")
            value = data[i + 2:i + n].decode("latin-1")
            i += n
        else:
            width = {INT8: 1, INT16: 2, INT32: 4, INT64: 8}[kind]
            value = int.from_bytes(data[i:i + width], "little")
            i += width
        out.append((ident, st, value))
    return out


class Frame:
    def __init__(self, raw):
        self.check = None
        self.packet = bytes(raw)
        if len(raw) >= 5 and crc32(raw) == 0:
            self.check, self.packet = CRC32, bytes(raw[:-4])
        elif len(raw) >= 3 and crc16(raw) == 0:
            self.check, self.packet = CRC16, bytes(raw[:-2])
        elif len(raw) >= 2 and xor8(raw) == 0:
            self.check, self.packet = XOR8, bytes(raw[:-1])
        self.type = self.packet[0] if self.packet else None

    def __repr__(self):
        return "Frame(%s, %s)" % (self.check, self.packet.hex(" "))


class ControllerPeer:
    def __init__(self, sim, check=XOR8):
        self.sim = sim
        self.check = check
        self.opened = False
        self.partial = bytearray()
        self.escape = False
        self.frames = []

    def send_raw(self, wire):
        self.opened = True
        self.sim.fpga(cmd="rx", hex=bytes(wire).hex())

    def send(self, packet):
        if self.check == XOR8:
            framed = packet + bytes([xor8(packet)])
        elif self.check == CRC16:
            framed = packet + crc16(packet).to_bytes(2, "big")
        else:
            framed = packet + crc32(packet).to_bytes(4, "big")
        wire = bytearray() if self.opened else bytearray([FLAG])
        for b in framed:
            if b in (FLAG, ESC):
                wire += bytes([ESC, b ^ 0x20])
            else:
                wire.append(b)
        wire.append(FLAG)
        self.send_raw(wire)

    def poll(self):
        for b in bytes.fromhex(self.sim.fpga(cmd="tx")["hex"]):
            if b == FLAG:
                if self.partial:
                    self.frames.append(Frame(self.partial))
                self.partial = bytearray()
                self.escape = False
            elif b == ESC:
                self.escape = True
            else:
                self.partial.append(b ^ 0x20 if self.escape else b)
                self.escape = False

    def wait(self, match, timeout=5.0):
        deadline = time.monotonic() + timeout
        while True:
            self.poll()
            for f in self.frames:
                if match(f):
                    self.frames.remove(f)
                    return f
            if time.monotonic() > deadline:
                return None
            time.sleep(0.01)

    def request(self, kind, ident, body=b"", timeout=5.0, retry=1.0):
        """Sends a request, again every retry seconds, until its answer comes."""
        packet = bytes([kind, ident]) + bytes(body)
        deadline = time.monotonic() + timeout
        while True:
            self.send(packet)
            wait = min(retry, max(0.0, deadline - time.monotonic()))
            f = self.wait(lambda f: f.packet[:2] == bytes([kind | 0x80, ident]), wait)
            if f or time.monotonic() >= deadline:
                return f

    def get(self, ident, ids):
        f = self.request(GET, ident, get_body(ids))
        return None if f is None else parse_list(f.packet[2:], status=True)

    def set(self, ident, entries):
        f = self.request(SET, ident, set_body(entries))
        return None if f is None else parse_list(f.packet[2:], status_only=True)
