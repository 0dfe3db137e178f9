"""Processes under test and what the kernel says about them.

The simulated device, the bridge (plmx-server in a folder of its own), socat
and ser2net as peers, Xvfb for the window case; CPU time, wake-ups and memory
read from /proc. Standard library only.
"""
import os
import shutil
import signal
import socket
import subprocess
import time

BOUND = 60.0  # seconds: no healthy step of the benchmark waits this long


class BenchError(RuntimeError):
    pass


def wait_for(predicate, bound=BOUND, what="condition", step=0.001):
    """Polls predicate until it returns something true; returns that value."""
    deadline = time.monotonic() + bound
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise BenchError("timed out waiting for " + what)
        time.sleep(step)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """True when some socket listens on TCP port `port` (IPv4 or IPv6)."""
    want = ":%04X" % port
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split(None, 4)
                    if fields[3] == "0A" and fields[1].endswith(want):
                        return True
        except FileNotFoundError:
            pass
    return False


# --- /proc readings ---------------------------------------------------------

def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except (FileNotFoundError, ProcessLookupError, PermissionError):
        return ""


def descendants(pid):
    """pid and every process below it."""
    parents = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        stat = _read("/proc/%s/stat" % entry)
        if stat:
            ppid = int(stat[stat.rindex(")") + 2:].split()[1])
            parents.setdefault(ppid, []).append(int(entry))
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        todo.extend(parents.get(p, []))
    return out


def tasks(pid):
    try:
        return os.listdir("/proc/%d/task" % pid)
    except FileNotFoundError:
        return []


class Usage:
    """CPU nanoseconds and context switches of a process tree, all threads."""

    def __init__(self, cpu_ns=0, voluntary=0, involuntary=0):
        self.cpu_ns, self.voluntary, self.involuntary = cpu_ns, voluntary, involuntary

    @staticmethod
    def of(pid):
        u = Usage()
        for p in descendants(pid):
            for t in tasks(p):
                sched = _read("/proc/%d/task/%s/schedstat" % (p, t)).split()
                if sched:
                    u.cpu_ns += int(sched[0])
                for line in _read("/proc/%d/task/%s/status" % (p, t)).splitlines():
                    if line.startswith("voluntary_ctxt_switches"):
                        u.voluntary += int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches"):
                        u.involuntary += int(line.split()[1])
        return u

    def __sub__(self, other):
        return Usage(self.cpu_ns - other.cpu_ns, self.voluntary - other.voluntary,
                     self.involuntary - other.involuntary)

    @property
    def cpu_s(self):
        return self.cpu_ns / 1e9

    @property
    def wakeups(self):
        return self.voluntary + self.involuntary


def status_kb(pid, key):
    """A kB field of /proc/<pid>/status (VmHWM, VmRSS), summed over the tree."""
    total = 0
    for p in descendants(pid):
        for line in _read("/proc/%d/status" % p).splitlines():
            if line.startswith(key + ":"):
                total += int(line.split()[1])
    return total


def thread_count(pid):
    return len(tasks(pid))


# --- managed processes --------------------------------------------------------

class Managed:
    """A child process ended by SIGTERM (then SIGKILL) when the bench is done with it."""

    proc = None
    wrapped = False  # started under a tracer: signals go to the traced child

    @property
    def pid(self):
        return self.proc.pid

    def _spawn(self, args, wrap=(), **kw):
        self.wrapped = bool(wrap)
        self.proc = subprocess.Popen(list(wrap) + list(args), stdin=subprocess.DEVNULL, **kw)

    def _target(self):
        if not self.wrapped:
            return self.proc.pid
        below = [p for p in descendants(self.proc.pid) if p != self.proc.pid]
        return min(below) if below else self.proc.pid

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self, bound=10.0):
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            try:
                os.kill(self._target(), signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(bound)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(bound)
        code = self.proc.returncode
        self.proc = None
        # The output file opened for the child goes with it.
        if getattr(self, "log", None):
            self.log.close()
            self.log = None
        return code

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class Sim(Managed):
    """quarn-sim on a fresh pseudo-terminal, linked as `link` when given."""

    def __init__(self, build, workdir, name, link=None, baud=0, read_baud=0, extra=()):
        args = [os.path.join(build, "quarn-sim"), "--log", os.path.join(workdir, name + ".log")]
        if link:
            args += ["--link", link]
        if baud:
            args += ["--baud", str(baud)]
        if read_baud:
            args += ["--read-baud", str(read_baud)]
        args += list(extra)
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("linked "):
            self.stop()
            raise BenchError("quarn-sim did not come up: %r" % line)
        self.pts = line.rsplit(" -> ", 1)[1].strip()
        self.proc.stdout.close()


class Server(Managed):
    """One serial-to-TCP tool listening on 127.0.0.1:port."""

    name = "?"
    closes_at_zero = False  # ends the client's connection at the device's 0 byte

    def wait_listening(self, bound=BOUND):
        def up():
            if self.proc.poll() is not None:
                raise BenchError("%s exited with %s before listening" % (self.name, self.proc.returncode))
            return listening(self.port)
        wait_for(up, bound, self.name + " to listen")


class Bridge(Server):
    """plmx-server in a folder of its own: Lantor.ini and dosdevices/ beside it."""

    name = "bridge"
    closes_at_zero = True

    def __init__(self, build, workdir, tag="bridge"):
        self.folder = os.path.join(workdir, tag)
        os.makedirs(os.path.join(self.folder, "dosdevices"), exist_ok=True)
        self.exe = os.path.join(self.folder, "plmx-server")
        # plmx-server runs plmx-server-gui from its own folder when there is a display.
        for name in ("plmx-server", "plmx-server-gui"):
            if os.path.exists(os.path.join(build, name)):
                shutil.copy2(os.path.join(build, name), os.path.join(self.folder, name))
        self.link = os.path.join(self.folder, "dosdevices", "com1")
        self.port = None
        self.started_at = None

    def start(self, port, baud=115200, dont_close=False, verbose=False, display=None, wait=True, wrap=()):
        self.port = port
        with open(os.path.join(self.folder, "Lantor.ini"), "w") as f:
            f.write("[CommPortParams]\nComPort=1\nComSpeed=%d\nCtsFlowEnable=0\nDontCloseCommPort=%d\n"
                    "[TcpIpParams]\nTcpIpPort=%d\n[Debug]\nVerbose=%d\n"
                    % (baud, int(dont_close), port, int(verbose)))
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("QT_QPA_PLATFORM", None)
        if display:
            env["DISPLAY"] = display
        self.log = open(os.path.join(self.folder, "server.log"), "ab")
        self.started_at = time.monotonic()
        self._spawn([self.exe], wrap, cwd=self.folder, env=env, stdout=self.log, stderr=self.log)
        if wait:
            self.wait_listening()
        return self


class Socat(Server):
    name = "socat"

    def __init__(self, workdir, tag="socat"):
        self.workdir, self.tag = workdir, tag

    def start(self, port, pts, baud=None, wait=True, wrap=(), bufsize=None):
        self.port = port
        # One client at a time, like the bridge and ser2net: two children on
        # the one line would take each other's answers. -t 0: a child whose
        # client has gone leaves the line at once.
        line = "FILE:%s,raw,echo=0" % pts + (",b%d" % baud if baud else "")
        self.log = open(os.path.join(self.workdir, self.tag + ".log"), "ab")
        size = ["-b", str(bufsize)] if bufsize else []
        self._spawn(["socat"] + size + ["-t", "0", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork,max-children=1" % port, line],
                    wrap, stdout=self.log, stderr=self.log)
        if wait:
            self.wait_listening()
        return self


class Ser2net(Server):
    name = "ser2net"

    def __init__(self, workdir, tag="ser2net"):
        self.workdir, self.tag = workdir, tag

    def start(self, port, pts, baud=115200, wait=True, wrap=()):
        self.port = port
        config = os.path.join(self.workdir, self.tag + ".yaml")
        with open(config, "w") as f:
            # Raw TCP, one client at a time, ser2net's own defaults otherwise.
            f.write("connection: &bench\n"
                    "  accepter: tcp,127.0.0.1,%d\n"
                    "  connector: serialdev,%s,%dn81,local\n" % (port, pts, baud))
        self.log = open(os.path.join(self.workdir, self.tag + ".log"), "ab")
        self._spawn(["ser2net", "-n", "-u", "-c", config, "-P", os.path.join(self.workdir, self.tag + ".pid")],
                    wrap, stdout=self.log, stderr=self.log)
        if wait:
            self.wait_listening()
        return self


class Xvfb(Managed):
    def __init__(self, workdir):
        for n in range(90, 140):
            if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
                break
        self.display = ":%d" % n
        self.socket = "/tmp/.X11-unix/X%d" % n
        self.log = open(os.path.join(workdir, "xvfb.log"), "ab")
        self.proc = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        wait_for(lambda: os.path.exists(self.socket) or self.proc.poll() is not None, 30, "Xvfb")
        if self.proc.poll() is not None:
            raise BenchError("Xvfb did not start")
        # A notification area, so the server's tray icon has a home and no
        # "Can't Add Notify Icon" notice waits for a click.
        env = dict(os.environ, DISPLAY=self.display)
        self.tray = subprocess.Popen(["trayer", "--edge", "bottom", "--widthtype", "pixel", "--width", "200"],
                                     env=env, stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        from xping import XConnection
        x = wait_for(lambda: self._connect(XConnection), 30, "the X server")
        try:
            tray = x.intern("_NET_SYSTEM_TRAY_S0")
            wait_for(lambda: x.selection_owner(tray), 30, "trayer", step=0.02)
        finally:
            x.close()

    def _connect(self, cls):
        try:
            return cls(self.display)
        except OSError:
            return None

    def stop(self, bound=10.0):
        if self.tray.poll() is None:
            self.tray.terminate()
            try:
                self.tray.wait(bound)
            except subprocess.TimeoutExpired:
                self.tray.kill()
                self.tray.wait(bound)
        return super().stop(bound)


def machine_info():
    info = {}
    for line in _read("/proc/cpuinfo").splitlines():
        if line.startswith("model name") and "cpu" not in info:
            info["cpu"] = line.split(":", 1)[1].strip()
    info["cores"] = os.cpu_count()
    mem = _read("/proc/meminfo").split("\n", 1)[0].split()
    info["memory_gib"] = round(int(mem[1]) / 1048576, 1) if len(mem) > 1 else None
    u = os.uname()
    info["kernel"] = "%s %s" % (u.sysname, u.release)
    osr = dict(l.split("=", 1) for l in _read("/etc/os-release").splitlines() if "=" in l)
    info["os"] = osr.get("PRETTY_NAME", "?").strip('"')
    return info


def load_average():
    return tuple(float(x) for x in _read("/proc/loadavg").split()[:3])


def tool_version(args):
    try:
        out = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=10).stdout.decode()
    except (OSError, subprocess.TimeoutExpired):
        return "?"
    for line in out.splitlines():
        if "version" in line.lower():
            return line.strip()
    return out.strip().splitlines()[0] if out.strip() else "?"
