"""The simulated device, seen from the serial line the way the bridge sees it.

Run as: python3 tests/e2e_sim.py <build_dir>
"""
import os
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time
import tty

TIMEOUT = 30.0  # generous: only a broken device takes this long


def fnv1a(data):
    h = 2166136261
    for b in data:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h


def read_until_zero(fd):
    """Bytes up to (without) the first 0 byte; None when it never comes."""
    out = bytearray()
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.5)
        if not ready:
            continue
        chunk = os.read(fd, 4096)
        if b"\0" in chunk:
            out += chunk[:chunk.index(b"\0")]
            return bytes(out)
        out += chunk
    return None


def request(fd, text):
    os.write(fd, text.encode() if isinstance(text, str) else text)
    return read_until_zero(fd)


def split(reply):
    head, _, body = reply.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {k.strip().lower(): v.strip() for k, _, v in (l.partition(":") for l in lines[1:])}
    return lines[0], headers, body


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    sim_path = os.path.join(build, "quarn-sim")
    results = []

    def check(name, ok, detail=""):
        results.append(ok)
        print(("PASS " if ok else "FAIL ") + name + ("" if ok else ": " + detail))

    with tempfile.TemporaryDirectory() as tmp:
        link = os.path.join(tmp, "dosdevices", "com1")
        proc = subprocess.Popen([sim_path, "--link", link, "--log", os.path.join(tmp, "sim.log")],
                                stdout=subprocess.PIPE)
        try:
            ready, _, _ = select.select([proc.stdout], [], [], TIMEOUT)
            line = proc.stdout.readline().decode() if ready else ""
            check("announces its line", line.startswith("linked " + link + " -> /dev/pts/"), repr(line))
            if not os.path.islink(link):
                check("link exists", False, link)
                return results

            fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
            tty.setraw(fd)
            termios.tcflush(fd, termios.TCIOFLUSH)

            reply = request(fd, "GET / HTTP/1.0\r\n\r\n")
            ok = reply is not None
            status, headers, body = split(reply or b"")
            check("index page", ok and status == "HTTP/1.0 200 OK" and b"<form" in body
                  and headers.get("content-length") == str(len(body)), repr((reply or b"")[:200]))

            check("lone 0 answered with 0", request(fd, b"\0") == b"")

            # A half-sent request cut off by the end-of-connection byte is dropped,
            # and the line is clean for the next request.
            check("unfinished request dropped at 0", request(fd, b"GET /nothing HT\0") == b"")

            reply = request(fd, "GET /bytes/1000 HTTP/1.1\r\nHost: x\r\n\r\n") or b""
            status, headers, body = split(reply)
            check("pattern bytes with checksum",
                  status.endswith("200 OK") and len(body) == 1000 and b"\0" not in body
                  and headers.get("x-checksum") == "%08x" % fnv1a(body), repr(reply[:200]))

            reply = request(fd, "GET /id HTTP/1.0\r\n\r\n") or b""
            check("identification marker within 60 bytes", b"ID:QUARN7" in reply[:60], repr(reply))

            data = bytes(range(256)) * 4
            reply = request(fd, b"POST /sum HTTP/1.0\r\nContent-Length: %d\r\n\r\n" % len(data) + data) or b""
            check("body with 0 bytes summed",
                  split(reply)[2] == b"len=1024 fnv=%08x" % fnv1a(data), repr(reply[-80:]))
            os.close(fd)
        finally:
            proc.send_signal(signal.SIGTERM)
            try:
                code = proc.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                proc.kill()
                code = None
        check("SIGTERM: exit 0 and link removed", code == 0 and not os.path.lexists(link), str(code))
    return results


if __name__ == "__main__":
    results = main()
    passed = sum(results)
    failed = len(results) - passed
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed or not results else 0)
