"""TCP clients that time what a browser would see. Standard library only."""
import socket
import time

from harness import BenchError

RECV = 65536


def pattern(n):
    """What quarn-sim --reply-bytes N sends before its 0 byte: 1..255 repeating."""
    block = bytes(range(1, 256))
    return (block * (n // 255 + 1))[:n]


def _connect(port, bound):
    s = socket.create_connection(("127.0.0.1", port), timeout=bound)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


class Exchange:
    """One request and its answer, with the moments that matter (time.monotonic)."""
    t_start = t_connected = t_sent = t_first = t_last = t_end = t_closed = None
    wall_start = wall_closed = None  # the same two moments on the wall clock (what strace prints)
    received = b""
    count = 0
    eof = False


def exchange(port, request, bound=120.0, keep=True, stop_at_zero=True, on_last=None, expect=None):
    """Sends `request`, reads the answer up to the device's 0 byte or the
    server's close, whichever comes first, then closes.

    The bridge closes at the 0 byte and never forwards it; the peers pass the
    0 byte through and keep the connection, so the client ends there. t_last
    is when the last byte before the 0 arrived. `on_last` runs right then,
    before the close (to sample the server's CPU while its connection lives).
    """
    x = Exchange()
    x.wall_start = time.time()
    x.t_start = time.monotonic()
    s = _connect(port, bound)
    try:
        x.t_connected = time.monotonic()
        s.sendall(request)
        x.t_sent = time.monotonic()
        deadline = x.t_sent + bound
        parts = []
        count = 0
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BenchError("no complete answer within %.0f s (%d bytes in)" % (bound, count))
            s.settimeout(left)
            try:
                chunk = s.recv(RECV)
            except ConnectionResetError:
                chunk = b""
            now = time.monotonic()
            if not chunk:
                x.eof = True
                x.t_end = now
                break
            if x.t_first is None:
                x.t_first = now
            zero = chunk.find(b"\0") if stop_at_zero else -1
            if zero >= 0:
                chunk = chunk[:zero]
            if chunk:
                x.t_last = now
                count += len(chunk)
                if keep:
                    parts.append(chunk)
            if zero >= 0:
                x.t_end = now
                break
        if x.t_last is None:
            x.t_last = x.t_end
        if on_last:
            on_last()
        x.received = b"".join(parts) if keep else b""
        x.count = count
    finally:
        s.close()
        x.t_closed = time.monotonic()
        x.wall_closed = time.time()
    if expect is not None and x.count != expect:
        raise BenchError("expected %d bytes, got %d" % (expect, x.count))
    return x
