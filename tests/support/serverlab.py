"""The headless server and the simulated device in a folder of their own.

A Lab copies plmx-server (a copy, not a link: the server looks for its
settings and its dosdevices folder beside the real executable) and the
message catalogues into a temporary folder, writes Lantor.ini, puts
quarn-sim on COMn through dosdevices/comn, and talks to the server as a
plain TCP client would. Every wait is on a condition with a generous bound.
"""
import os
import pty
import pwd
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import tty

WAIT = 60.0  # seconds; only a broken bridge takes this long

# What a sanitizer build says when it finds something. A server that ends
# with _Exit skips the sanitizers' exit codes, so its stderr is read instead.
SANITIZER_MARKS = ("WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                   "runtime error:", "ERROR: UndefinedBehaviorSanitizer")
sanitizer_reports = []  # (server's stderr file, excerpt), gathered as labs close


def fnv1a(data):
    h = 2166136261
    for b in data:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h


def pattern(n):
    """The body of the simulator's /bytes/N: bytes 1, 2, ... 255, 1, 2, ..."""
    return bytes(1 + i % 255 for i in range(n))


def pattern_reply_prefix(data, n):
    """Whether data is the start of a /bytes/N reply, cut anywhere."""
    head, sep, body = data.partition(b"\r\n\r\n")
    status = b"HTTP/1.0 200 OK\r\n"
    if not sep:
        return data[:len(status)] == status[:len(data)]
    return head.startswith(b"HTTP/1.0 200 OK\r\n") and pattern(n).startswith(body)


def free_port():
    with socket.socket() as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def wait_for(condition, limit=WAIT, step=0.02):
    """Polls condition until it is true or limit seconds have passed."""
    deadline = time.monotonic() + limit
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def listening(port):
    """Whether a socket listens on the TCP port (read from /proc, no connection)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        return True
        except OSError:
            pass
    return False


def default_ini(port, com=1, verbose=1, dont_close=0):
    return ("[CommPortParams]\nComPort=%d\nComSpeed=115200\nSentDelay=1\nCtsFlowEnable=0\n"
            "DontCloseCommPort=%d\n[TcpIpParams]\nTcpIpPort=%d\n[Debug]\nVerbose=%d\n"
            % (com, dont_close, port, verbose)).encode()


class Reply:
    """What a client got: the bytes, and how the connection ended."""

    def __init__(self, data, ended, error=None):
        self.data = data
        self.ended = ended  # "eof", "reset", "timeout" or "open"
        self.error = error

    def split(self):
        head, _, body = self.data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        headers = {k.strip().lower(): v.strip() for k, _, v in (l.partition(":") for l in lines[1:])}
        return lines[0], headers, body

    def pattern_ok(self, n):
        """A /bytes/N reply: status 200, N body bytes matching their checksum."""
        status, headers, body = self.split()
        return (self.ended == "eof" and status.endswith(" 200 OK") and len(body) == n
                and headers.get("content-length") == str(n)
                and headers.get("x-checksum") == "%08x" % fnv1a(body))

    def __repr__(self):
        return "Reply(%d bytes, %s%s, %r)" % (len(self.data), self.ended,
                                               ", " + str(self.error) if self.error else "", self.data[:120])


class Client:
    """A loopback TCP client."""

    def __init__(self, port, rcvbuf=None, limit=WAIT):
        self.sock = socket.socket()
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(limit)
        self.sock.connect(("127.0.0.1", port))
        self.sock.settimeout(None)

    def send(self, data):
        self.sock.sendall(data)

    def read_some(self, n, limit=WAIT):
        ready, _, _ = select.select([self.sock], [], [], limit)
        return self.sock.recv(n) if ready else None

    def read_all(self, limit=WAIT, until_open=None):
        """Reads until the server ends the connection or limit passes.

        With until_open=N, stops (as "open") once N bytes are in and the
        connection is still up."""
        data = bytearray()
        deadline = time.monotonic() + limit
        while True:
            if until_open is not None and len(data) >= until_open:
                return Reply(bytes(data), "open")
            left = deadline - time.monotonic()
            if left <= 0:
                return Reply(bytes(data), "timeout")
            ready, _, _ = select.select([self.sock], [], [], min(left, 1.0))
            if not ready:
                continue
            try:
                chunk = self.sock.recv(65536)
            except ConnectionResetError as e:
                return Reply(bytes(data), "reset", e)
            if not chunk:
                return Reply(bytes(data), "eof")
            data += chunk

    def read_reply(self, limit=WAIT):
        """Reads one HTTP reply by its Content-Length; ended is "open" when
        it is complete and the server has not closed the connection."""
        data = bytearray()
        deadline = time.monotonic() + limit
        while True:
            head, sep, body = bytes(data).partition(b"\r\n\r\n")
            if sep:
                m = re.search(rb"(?im)^content-length:\s*(\d+)", head)
                if m and len(body) >= int(m.group(1)):
                    return Reply(bytes(data), "open")
            left = deadline - time.monotonic()
            if left <= 0:
                return Reply(bytes(data), "timeout")
            ready, _, _ = select.select([self.sock], [], [], min(left, 1.0))
            if not ready:
                continue
            try:
                chunk = self.sock.recv(65536)
            except ConnectionResetError as e:
                return Reply(bytes(data), "reset", e)
            if not chunk:
                return Reply(bytes(data), "eof")
            data += chunk

    def still_open(self, seconds):
        """True when the server neither sent nor closed anything for seconds."""
        ready, _, _ = select.select([self.sock], [], [], seconds)
        return not ready

    def reset(self):
        """Ends the connection with a reset instead of an orderly close."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()

    def close(self):
        self.sock.close()


def get(port, path, limit=WAIT, extra=b""):
    c = Client(port, limit=limit)
    try:
        c.send(b"GET " + path.encode() + b" HTTP/1.0\r\nHost: test\r\n" + extra + b"\r\n")
        return c.read_all(limit)
    finally:
        c.close()


class Sim:
    """quarn-sim on a link; stopped with SIGTERM."""

    def __init__(self, build, link, log, options=()):
        self.link = link
        self.proc = subprocess.Popen([os.path.join(build, "quarn-sim"), "--link", link, "--log", log]
                                     + list(options), stdout=subprocess.PIPE)
        self.log_path = log
        self.announced = 0
        if not self.wait_linked():
            self.stop()
            raise RuntimeError("quarn-sim did not come up: " + self.log())

    def wait_linked(self, limit=WAIT):
        """Waits for the next 'linked' line (the first start or a return)."""
        ready, _, _ = select.select([self.proc.stdout], [], [], limit)
        line = self.proc.stdout.readline().decode() if ready else ""
        if line.startswith("linked "):
            self.announced += 1
            return True
        return False

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(WAIT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()


class TerminalReader(threading.Thread):
    """Keeps reading the terminal side of a pty into a file, so the
    program writing to it never blocks."""

    def __init__(self, master, path):
        super().__init__(daemon=True)
        self.master = master
        self.path = path
        open(path, "wb").close()

    def run(self):
        with open(self.path, "ab") as out:
            while True:
                try:
                    data = os.read(self.master, 65536)
                except OSError:  # EIO: the program's side is closed
                    break
                if not data:
                    break
                out.write(data)
                out.flush()
        os.close(self.master)


class Server:
    """The headless plmx-server of a lab."""

    def __init__(self, lab, terminal=False, user=None):
        """terminal: standard output is a pseudo-terminal, as in a console
        window; user: run as that user (setpriv) instead of root."""
        self.lab = lab
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.pop("QT_QPA_PLATFORM", None)
        self.out_path = os.path.join(lab.logs, "server%d.out" % len(lab.servers))
        self.err_path = os.path.join(lab.logs, "server%d.err" % len(lab.servers))
        self.terminal = None
        if terminal:
            master, slave = pty.openpty()
            tty.setraw(master)
            out = slave
            self.terminal = TerminalReader(master, self.out_path)
        else:
            out = open(self.out_path, "wb")
        err = open(self.err_path, "wb")
        command = [lab.exe]
        if user:
            command = ["setpriv", "--reuid=" + user, "--regid=" + str(pwd.getpwnam(user).pw_gid),
                       "--clear-groups", "--"] + command
        self.proc = subprocess.Popen(command, stdout=out, stderr=err, env=env, cwd=lab.dir)
        if terminal:
            os.close(slave)
            self.terminal.start()
        else:
            out.close()
        err.close()
        self.code = None

    @property
    def pid(self):
        return self.proc.pid

    def wait_listening(self, port, limit=WAIT):
        return wait_for(lambda: listening(port) or self.proc.poll() is not None, limit) and listening(port)

    def trace(self):
        with open(self.out_path, "rb") as f:
            return f.read()

    def errors(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_trace(self, needle, count=1, limit=WAIT):
        needle = needle.encode() if isinstance(needle, str) else needle
        return wait_for(lambda: self.trace().count(needle) >= count, limit)

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def rss_kib(self):
        with open("/proc/%d/status" % self.pid) as f:
            return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))

    def threads(self):
        return len(os.listdir("/proc/%d/task" % self.pid))

    def stop(self, limit=WAIT):
        """Asks for an orderly end (SIGTERM); the exit code, or None if it hung."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.code = self.proc.wait(limit)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                self.code = None
        else:
            self.code = self.proc.returncode
        if self.terminal:
            self.terminal.join(WAIT)
        return self.code


class Lab:
    """A folder with the server, its settings and its COM ports."""

    def __init__(self, build, ini=None, port=None):
        self.build = os.path.abspath(build)
        self.tmp = tempfile.TemporaryDirectory(prefix="serialtcp-")
        # The server's own folder, and beside it what the test writes (logs,
        # captured output), so the server's folder can be made read-only.
        self.logs = self.tmp.name
        self.dir = os.path.join(self.logs, "app")
        os.mkdir(self.dir)
        os.chmod(self.logs, 0o755)
        os.chmod(self.dir, 0o755)
        self.exe = os.path.join(self.dir, "plmx-server")
        shutil.copy2(os.path.join(self.build, "plmx-server"), self.exe)
        if os.path.isdir(os.path.join(self.build, "locale")):
            shutil.copytree(os.path.join(self.build, "locale"), os.path.join(self.dir, "locale"))
        self.devices = os.path.join(self.dir, "dosdevices")
        os.mkdir(self.devices)
        self.ini = os.path.join(self.dir, "Lantor.ini")
        self.port = port or free_port()
        self.write_ini(ini if ini is not None else default_ini(self.port))
        self.sims = []
        self.servers = []

    def write_ini(self, data):
        with open(self.ini, "wb") as f:
            f.write(data)

    def read_ini(self):
        with open(self.ini, "rb") as f:
            return f.read()

    def com(self, n=1):
        return os.path.join(self.devices, "com%d" % n)

    def sim(self, options=(), com=1):
        s = Sim(self.build, self.com(com), os.path.join(self.logs, "sim%d-%d.log" % (com, len(self.sims))), options)
        self.sims.append(s)
        return s

    def server(self, **kw):
        s = Server(self, **kw)
        self.servers.append(s)
        return s

    def close(self):
        for s in self.servers:
            s.stop()
            text = s.errors()
            for mark in SANITIZER_MARKS:
                at = text.find(mark)
                if at >= 0:
                    sanitizer_reports.append((s.err_path, text[max(0, at - 200):at + 3000]))
                    break
        for s in self.sims:
            s.stop()
        self.tmp.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Results:
    """PASS/FAIL lines and the exit status of an end-to-end script."""

    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.skipped = 0
        self.lock = threading.Lock()

    def check(self, name, ok, detail=""):
        with self.lock:
            if ok:
                self.passed += 1
            else:
                self.failed += 1
            print(("PASS " if ok else "FAIL ") + name + ("" if ok else ": " + str(detail)[:2000]), flush=True)
        return ok

    def skip(self, name, why):
        with self.lock:
            self.skipped += 1
            print("SKIP %s: %s" % (name, why), flush=True)

    def crashed(self, name, error):
        """A case that raised: one failure, with the error."""
        self.check(name + " (ran to its end)", False, repr(error))

    def finish(self):
        for path, excerpt in sanitizer_reports:
            self.check("no sanitizer report from the server (%s)" % os.path.basename(path), False, excerpt)
        print("%d passed, %d failed, %d skipped" % (self.passed, self.failed, self.skipped), flush=True)
        return 1 if self.failed or not self.passed else 0
