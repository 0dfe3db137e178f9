"""How fast a program's user-interface thread answers, seen from outside.

A minimal X11 client (standard library only) that sends the window manager's
_NET_WM_PING to a program's windows and times the answer. Qt answers the ping
from its user-interface thread's event loop, so the round trip is the time an
event waits there: the window's responsiveness.
"""
import os
import socket
import struct
import threading
import time


def _pad(n):
    return (4 - n % 4) % 4


class XConnection:
    def __init__(self, display):
        number = display.lstrip(":").split(".")[0]
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect("/tmp/.X11-unix/X" + number)
        self.sock.settimeout(10)
        self.seq = 0
        self.events = []
        self.buffer = b""
        # Little-endian, protocol 11.0, no authorisation (Xvfb run without -auth).
        self.sock.sendall(struct.pack("<BxHHHHxx", 0x6C, 11, 0, 0, 0))
        head = self._read(8)
        if head[0] != 1:
            raise OSError("X server refused the connection")
        extra = self._read(struct.unpack_from("<H", head, 6)[0] * 4)
        vendor_len = struct.unpack_from("<H", extra, 16)[0]
        formats = extra[21]
        screen = 32 + vendor_len + _pad(vendor_len) + 8 * formats
        self.root = struct.unpack_from("<I", extra, screen)[0]

    def close(self):
        self.sock.close()

    def _read(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise OSError("X server closed the connection")
            self.buffer += chunk
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def _request(self, data):
        self.seq = (self.seq + 1) & 0xFFFF
        self.sock.sendall(data)
        return self.seq

    def _reply(self, seq):
        """The reply to request `seq`; events that come first are kept."""
        while True:
            packet = self._read(32)
            kind = packet[0]
            if kind == 0:
                raise OSError("X error %d for request %d" % (packet[1], struct.unpack_from("<H", packet, 2)[0]))
            if kind == 1:
                extra = self._read(struct.unpack_from("<I", packet, 4)[0] * 4)
                if struct.unpack_from("<H", packet, 2)[0] == seq:
                    return packet + extra
                continue
            self.events.append(packet)

    def next_event(self, timeout):
        if self.events:
            return self.events.pop(0)
        self.sock.settimeout(timeout)
        try:
            while True:
                packet = self._read(32)
                if packet[0] == 1:
                    self._read(struct.unpack_from("<I", packet, 4)[0] * 4)
                    continue
                return packet
        finally:
            self.sock.settimeout(10)

    def intern(self, name):
        raw = name.encode()
        seq = self._request(struct.pack("<BBHHxx", 16, 0, 2 + (len(raw) + _pad(len(raw))) // 4, len(raw))
                            + raw + b"\0" * _pad(len(raw)))
        return struct.unpack_from("<I", self._reply(seq), 8)[0]

    def children(self, window):
        seq = self._request(struct.pack("<BxHI", 15, 2, window))
        reply = self._reply(seq)
        n = struct.unpack_from("<H", reply, 16)[0]
        return list(struct.unpack_from("<%dI" % n, reply, 32))

    def viewable(self, window):
        seq = self._request(struct.pack("<BxHI", 3, 2, window))
        return self._reply(seq)[26] == 2

    def property(self, window, atom):
        seq = self._request(struct.pack("<BBHIIIII", 20, 0, 6, window, atom, 0, 0, 1024))
        reply = self._reply(seq)
        fmt, n = reply[1], struct.unpack_from("<I", reply, 16)[0]
        return reply[32:32 + n * max(fmt // 8, 1)] if fmt else b""

    def selection_owner(self, atom):
        seq = self._request(struct.pack("<BxHI", 23, 2, atom))
        return struct.unpack_from("<I", self._reply(seq), 8)[0]

    def select_root(self, mask):
        self._request(struct.pack("<BxHIII", 2, 4, self.root, 0x800, mask))

    def send_client_message(self, window, type_atom, data):
        event = struct.pack("<BBHII5I", 33, 32, 0, window, type_atom, *data)
        self._request(struct.pack("<BBHII", 25, 0, 11, window, 0) + event)


class Pinger:
    """Pings the viewable windows of process `pid` every `interval` seconds
    on a thread of its own until stop(); collects round trips in seconds."""

    STRUCTURE_NOTIFY = 0x20000

    def __init__(self, display, pid, interval=0.05, bound=5.0):
        self.x = XConnection(display)
        self.interval, self.bound = interval, bound
        self.protocols = self.x.intern("WM_PROTOCOLS")
        self.ping = self.x.intern("_NET_WM_PING")
        pid_atom = self.x.intern("_NET_WM_PID")
        name_atom = self.x.intern("WM_NAME")
        self.windows = {}
        for w in self.x.children(self.x.root):
            value = self.x.property(w, pid_atom)
            if len(value) >= 4 and struct.unpack("<I", value[:4])[0] == pid and self.x.viewable(w):
                self.windows[w] = self.x.property(w, name_atom).decode("latin-1")
        self.x.select_root(self.STRUCTURE_NOTIFY)
        self.rtts, self.lost = [], 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        self._thread.start()
        return self

    def _one(self, window, token):
        sent = time.monotonic()
        self.x.send_client_message(window, self.protocols, (self.ping, token, window, 0, 0))
        deadline = sent + self.bound
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                event = self.x.next_event(left)
            except socket.timeout:
                return None
            if event[0] & 0x7F != 33:
                continue
            _, _, _, w, kind, d0, d1 = struct.unpack_from("<BBHIIII", event)
            if kind == self.protocols and d0 == self.ping and d1 == token:
                return time.monotonic() - sent

    def _run(self):
        token = 1
        while not self._stop.is_set():
            for w in self.windows:
                rtt = self._one(w, token)
                token += 1
                if rtt is None:
                    self.lost += 1
                else:
                    self.rtts.append(rtt)
            self._stop.wait(self.interval)

    def stop(self):
        self._stop.set()
        self._thread.join(self.bound + 5)
        self.x.close()
        return self.rtts, self.lost


if __name__ == "__main__":
    import sys
    p = Pinger(os.environ.get("DISPLAY", ":0"), int(sys.argv[1]))
    print("windows:", p.windows)
    p.start()
    time.sleep(float(sys.argv[2]) if len(sys.argv) > 2 else 2)
    rtts, lost = p.stop()
    print("pings %d lost %d max %.1f ms" % (len(rtts), lost, 1000 * max(rtts or [0])))
