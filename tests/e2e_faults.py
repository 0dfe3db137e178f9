"""Faults around the bridge, each followed by a client that must be served.

The real headless plmx-server against quarn-sim on a pseudo-terminal, with
plain loopback clients. Run as: python3 tests/e2e_faults.py <build_dir>
A case name on the command line after the build folder runs only that case.
"""
import os
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from serverlab import (WAIT, Client, Lab, Reply, Results, fnv1a, get,  # noqa: E402
                       pattern_reply_prefix, wait_for)


def started(res, lab, srv, name):
    return res.check(name + ": server listens", srv.wait_listening(lab.port), srv.errors())


def served(res, name, lab, n=100):
    """The check every case ends with: a fresh client gets its whole reply."""
    r = get(lab.port, "/bytes/%d" % n)
    return res.check(name + ": the next client is served", r.pattern_ok(n), r)


def case_clients(build, res):
    """Resets, a long body, six clients at once, and terminal commands in
    the bytes, on one server whose trace goes to a terminal."""
    with Lab(build) as lab:
        sim = lab.sim()
        srv = lab.server(terminal=True)
        if not started(res, lab, srv, "clients"):
            return

        # Reset in the middle of the request: the end-of-connection 0 byte
        # reaches the device, which drops the half request.
        c = Client(lab.port)
        c.send(b"GET /bytes/100 HT")
        res.check("reset mid-request: the bridge got the half request", srv.wait_trace(".H.T***"), srv.trace()[-500:])
        handshakes = srv.trace().count(b"Write: 0")
        c.reset()
        res.check("reset mid-request: the handshake runs",
                  srv.wait_trace("Write: 0", handshakes + 1), srv.trace()[-800:])
        res.check("reset mid-request: the device dropped the half request",
                  wait_for(lambda: "unfinished request cut by a 0 byte" in sim.log()), sim.log()[-800:])
        served(res, "reset mid-request", lab)

        # Reset in the middle of a reply far bigger than the socket buffers.
        # The device goes on to the end of its reply and then answers the
        # end-of-connection 0 byte: the bridge must take all of that off
        # the line before the next client's reply, or the next client gets
        # the rest of the old one.
        c = Client(lab.port, rcvbuf=4096)
        c.send(b"GET /bytes/3000000 HTTP/1.0\r\n\r\n")
        first = c.read_some(4096)
        res.check("reset mid-reply: a reply was under way", first and first.startswith(b"HTTP/1.0 200 OK"), first)
        c.reset()
        served(res, "reset mid-reply", lab, 5000)

        # A 64 KiB request body, every byte but 0, then one with all 256
        # byte values: the device sees each byte once and unchanged.
        for name, body in (("64 KiB body", bytes(1 + i % 255 for i in range(65536))),
                           ("body with every byte value", bytes(range(256)) * 4)):
            c = Client(lab.port)
            c.send(b"POST /sum HTTP/1.0\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
            r = c.read_all()
            c.close()
            want = b"len=%d fnv=%08x" % (len(body), fnv1a(body))
            res.check(name + ": the device got it whole", r.ended == "eof" and r.split()[2] == want, r)

        # Six clients at once, each with its own request: with a backlog of
        # one they wait (the kernel retries their connections), then each
        # gets its own reply.
        replies = {}

        def one(i):
            n = 700 + 131 * i
            try:
                replies[i] = (n, get(lab.port, "/bytes/%d" % n, limit=2 * WAIT))
            except OSError as e:
                replies[i] = (n, e)

        threads = [threading.Thread(target=one, args=(i,)) for i in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        bad = {i: r for i, (n, r) in replies.items() if isinstance(r, Exception) or not r.pattern_ok(n)}
        res.check("six clients at once: each gets its own reply", len(replies) == 6 and not bad, bad)
        served(res, "six clients at once", lab)

        # Terminal commands from the client and from the device reach the
        # trace escaped: the terminal shows them instead of obeying them.
        evil = b"\x1b]0;owned\x07\x1b[2J\xc2\x9b31m"
        r = get(lab.port, "/form?name=%1b]0;owned%07%1b[2J%c2%9b31m", extra=b"X-Evil: " + evil + b"\r\n")
        res.check("terminal: the client still gets the device's bytes unchanged",
                  r.ended == "eof" and b"Hello, " + evil + b"!" in r.data, r)
        res.check("terminal: the trace shows them escaped", srv.wait_trace(b"Hello, \\x1B]0;owned\\x07"),
                  srv.trace()[-1500:])
        code = srv.stop()
        shown = srv.trace()
        bad = [b for b in (b"\x1b", b"\x07", b"\xc2\x9b") if b in shown]
        res.check("terminal: no control sequence reached the terminal", not bad, bad)
        res.check("clients: orderly end", code == 0, code)


def case_slow_reader(build, res):
    """A client that reads about 1 KB a second takes a 100 KiB reply whole."""
    with Lab(build) as lab:
        lab.sim()
        srv = lab.server()
        if not started(res, lab, srv, "slow reader"):
            return
        n = 100 * 1024
        c = Client(lab.port, rcvbuf=4096)
        c.send(b"GET /bytes/%d HTTP/1.0\r\n\r\n" % n)
        data = bytearray()
        ended = "timeout"
        deadline = time.monotonic() + n / 1024 * 3 + WAIT
        while time.monotonic() < deadline:
            chunk = c.read_some(256)
            if chunk is None:
                break
            if not chunk:
                ended = "eof"
                break
            data += chunk
            time.sleep(0.25)  # 256 bytes four times a second
        c.close()
        r = Reply(bytes(data), ended)
        res.check("slow reader: the reply arrives whole", r.pattern_ok(n), r)
        res.check("slow reader: no send failed", b"Socket send error" not in srv.trace(), srv.trace()[-800:])
        served(res, "slow reader", lab)
        res.check("slow reader: orderly end", srv.stop() == 0, srv.errors())


def case_device_vanishes(build, res):
    """The device goes away in the middle of a reply and comes back later
    under the same dosdevices link."""
    with Lab(build) as lab:
        sim = lab.sim(["--vanish-after", "3000", "--return-after-ms", "2000"])
        srv = lab.server()
        if not started(res, lab, srv, "device vanishes"):
            return
        c = Client(lab.port)
        c.send(b"GET /bytes/20000 HTTP/1.0\r\n\r\n")
        r = c.read_all(limit=30)
        c.close()  # if the bridge did not end it, the client gives up here
        res.check("device vanishes: the client's connection ends", r.ended in ("eof", "reset"), r)
        res.check("device vanishes: what arrived is the reply's start, unchanged",
                  pattern_reply_prefix(r.data, 20000), r)
        res.check("device vanishes: the device comes back", sim.wait_linked(), sim.log()[-500:])
        served(res, "device vanishes", lab)
        res.check("device vanishes: orderly end", srv.stop() == 0, srv.errors())


def case_no_end_byte(build, res):
    """The device never sends the 0 byte: the client keeps its connection
    until it closes it, then the handshake runs."""
    with Lab(build) as lab:
        sim = lab.sim(["--no-eof"])
        srv = lab.server()
        if not started(res, lab, srv, "no 0 byte"):
            return
        c = Client(lab.port)
        c.send(b"GET /bytes/1000 HTTP/1.0\r\n\r\n")
        r = c.read_reply()
        res.check("no 0 byte: the whole reply arrives", r.ended == "open" and r.split()[2] == bytes(
            1 + i % 255 for i in range(1000)), r)
        res.check("no 0 byte: the connection stays open", c.still_open(3.0))
        res.check("no 0 byte: no handshake yet", b"Write: 0" not in srv.trace(), srv.trace()[-500:])
        c.close()
        res.check("no 0 byte: the handshake runs once the client closes",
                  srv.wait_trace("ServerRecLen:0") and srv.wait_trace("Write: 0"), srv.trace()[-800:])
        res.check("no 0 byte: the device got the 0 byte",
                  wait_for(lambda: "0 received" in sim.log()), sim.log()[-500:])
        # The next client is served: it gets its reply and closes.
        c = Client(lab.port)
        c.send(b"GET /bytes/100 HTTP/1.0\r\n\r\n")
        r = c.read_reply()
        c.close()
        res.check("no 0 byte: the next client is served", r.ended == "open" and len(r.split()[2]) == 100, r)
        res.check("no 0 byte: orderly end", srv.stop() == 0, srv.errors())


HOLDER = r"""
import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
fcntl.flock(fd, fcntl.LOCK_EX)
print("held", flush=True)
sys.stdin.read()
"""


def case_startup(build, res):
    """The TCP port taken at start, the COM port held by another process,
    the COM port not a tty."""
    with Lab(build) as lab:
        before = lab.read_ini()
        blocker = socket.socket()
        blocker.bind(("0.0.0.0", lab.port))
        blocker.listen(1)
        srv = lab.server()
        try:
            code = srv.proc.wait(WAIT)
        except subprocess.TimeoutExpired:
            code = None
        res.check("port taken: the server ends by itself, no crash", code is not None and code >= 0, code)
        res.check("port taken: it says which port",
                  "Can't bind socket at port: %d" % lab.port in srv.errors(), srv.errors())
        res.check("port taken: the settings keep the port", lab.read_ini() == before, lab.read_ini())
        blocker.close()
        lab.sim()
        srv = lab.server()
        if started(res, lab, srv, "port free again"):
            served(res, "port free again", lab)
        srv.stop()

    with Lab(build) as lab:
        lab.sim()
        holder = subprocess.Popen([sys.executable, "-c", HOLDER, lab.com(1)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            res.check("port held: the other process holds it", holder.stdout.readline() == b"held\n")
            srv = lab.server()
            if started(res, lab, srv, "port held"):
                res.check("port held: start-up says so",
                          wait_for(lambda: "Error code: 5. COM1 Port is busy " in srv.errors()), srv.errors())
                r = get(lab.port, "/bytes/100")
                res.check("port held: the client's connection ends without a reply",
                          r.ended in ("eof", "reset") and not r.data, r)
                res.check("port held: ten tries", b"Can't open port. Try: 10" in srv.trace(), srv.trace()[-800:])
        finally:
            holder.stdin.close()
            holder.wait(WAIT)
        served(res, "port held", lab)
        res.check("port held: orderly end", srv.stop() == 0, srv.errors())

    with Lab(build) as lab:
        plain = os.path.join(lab.dir, "plain-file")
        with open(plain, "wb") as f:
            f.write(b"not a serial line\n")
        os.symlink(plain, lab.com(1))
        srv = lab.server()
        if started(res, lab, srv, "not a tty"):
            res.check("not a tty: start-up says the port cannot be opened",
                      wait_for(lambda: "Unknown error at opening comport COM1" in srv.errors()), srv.errors())
            r = get(lab.port, "/bytes/100")
            res.check("not a tty: the client's connection ends without a reply",
                      r.ended in ("eof", "reset") and not r.data, r)
            with open(plain, "rb") as f:
                res.check("not a tty: nothing was written into the file", f.read() == b"not a serial line\n")
            os.unlink(lab.com(1))
            lab.sim()
            served(res, "not a tty", lab)
        res.check("not a tty: orderly end", srv.stop() == 0, srv.errors())


CASES = {
    "clients": case_clients,
    "vanish": case_device_vanishes,
    "no-eof": case_no_end_byte,
    "startup": case_startup,
}


def run(case, build, res):
    try:
        case(build, res)
    except Exception as e:  # a broken case must not hide the others
        res.crashed(case.__name__, e)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    only = sys.argv[2:]
    res = Results()
    # The slow reader takes about 100 s; it has a server of its own and
    # runs beside the others.
    slow = None
    if not only or "slow" in only:
        slow = threading.Thread(target=run, args=(case_slow_reader, build, res))
        slow.start()
    for name, case in CASES.items():
        if not only or name in only:
            run(case, build, res)
    if slow:
        slow.join()
    return res.finish()


if __name__ == "__main__":
    sys.exit(main())
