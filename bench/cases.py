"""The benchmark cases. Each returns plain data (lists and dicts) for the report."""
import os
import re
import statistics
import subprocess
import threading
import time

from clients import exchange, pattern
from harness import (Bridge, BenchError, Sim, Socat, Ser2net, Usage, Xvfb, free_port, status_kb,
                     thread_count)

TOOLS = ("bridge", "socat", "ser2net")
BIG_REQUEST = b"GET /big HTTP/1.0\r\n\r\n"
SMALL_REQUEST = b"GET /id HTTP/1.0\r\n\r\n"
BRIDGE_BAUDS = (300, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800)
SETTLE = 0.5  # s between clients: lets the bridge finish its end-of-connection exchange


def fnv1a(data):
    h = 2166136261
    for b in data:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h


class Rig:
    """One tool wired to a simulated device of its own."""

    def __init__(self, ctx, tool, sim_args, tag, baud=0, dont_close=False, verbose=False, display=None,
                 wrap=()):
        self.tool, self.ctx, self.tag = tool, ctx, tag
        setting = baud if baud in BRIDGE_BAUDS else 115200  # a pty ignores the rate anyway
        if tool == "bridge":
            self.server = Bridge(ctx.build, ctx.work, tag)
            self.sim = Sim(ctx.build, ctx.work, tag + "-sim", link=self.server.link, extra=sim_args)
            try:
                self.server.start(free_port(), baud=setting, dont_close=dont_close, verbose=verbose,
                                  display=display, wrap=wrap)
            except Exception:
                self.sim.stop()
                raise
        else:
            self.sim = Sim(ctx.build, ctx.work, tag + "-sim", extra=sim_args)
            self.server = Socat(ctx.work, tag) if tool.startswith("socat") else Ser2net(ctx.work, tag)
            try:
                if tool.startswith("socat"):
                    # "socat-1k": socat moving 1024 bytes at a time, as the bridge does
                    self.server.start(free_port(), self.sim.pts, baud=baud or None, wrap=wrap,
                                      bufsize=1024 if tool == "socat-1k" else None)
                else:
                    self.server.start(free_port(), self.sim.pts, baud=setting, wrap=wrap)
            except Exception:
                self.sim.stop()
                raise
        self.port = self.server.port

    @property
    def pid(self):
        return self.server.pid

    def close(self):
        if self.server.alive():
            self.ctx.note_memory(self.tool, self.tag, status_kb(self.server.pid, "VmHWM"))
        self.server.stop()
        self.sim.stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _parallel(jobs):
    """Runs the callables at once on threads of their own; returns their results."""
    results, errors = [None] * len(jobs), []

    def run(i, job):
        try:
            results[i] = job()
        except Exception as e:  # reported below, after every thread ended
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i, j)) for i, j in enumerate(jobs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


def _bound(nbytes, rate):
    return max(60.0, 3.0 * nbytes / rate)


# --- cases 1, 2 and 5: throughput and CPU -----------------------------------------

def device_to_client(rig, nbytes, baud):
    """The device sends an answer of `nbytes` (paced at `baud`, 0 = unpaced)."""
    box = {}
    u0 = Usage.of(rig.pid)
    x = exchange(rig.port, BIG_REQUEST, bound=_bound(nbytes, baud / 10 if baud else 40000),
                 on_last=lambda: box.update(u=Usage.of(rig.pid)), expect=nbytes)
    if x.received != pattern(nbytes):
        raise BenchError("%s: answer damaged" % rig.tool)
    used = box["u"] - u0
    seconds = x.t_last - x.t_sent
    return {"tool": rig.tool, "baud": baud, "bytes": nbytes, "seconds": seconds, "rate": nbytes / seconds,
            "cpu_s": used.cpu_s, "wakeups": used.wakeups}


def client_to_device(rig, body, baud):
    """The client posts `body`; the device reads it at `baud` (0 = unpaced) and
    answers with its length and checksum once it has all of it."""
    request = b"POST /sum HTTP/1.0\r\nContent-Length: %d\r\n\r\n" % len(body) + body
    box = {}
    u0 = Usage.of(rig.pid)
    x = exchange(rig.port, request, bound=_bound(len(request), baud / 10 if baud else 20000),
                 on_last=lambda: box.update(u=Usage.of(rig.pid)))
    want = b"len=%d fnv=%08x" % (len(body), fnv1a(body))
    if not x.received.endswith(want):
        raise BenchError("%s: device saw a damaged body: %r" % (rig.tool, x.received[-60:]))
    used = box["u"] - u0
    seconds = x.t_first - x.t_connected
    return {"tool": rig.tool, "baud": baud, "bytes": len(request), "seconds": seconds,
            "rate": len(request) / seconds, "cpu_s": used.cpu_s, "wakeups": used.wakeups}


def transfers(ctx, direction, baud, nbytes, reps, together, tools=TOOLS):
    """`reps` transfers per tool. Paced lines run the three tools side by side
    (each on a device of its own); unpaced ones one tool at a time, since
    there the tools compete for the processor."""
    out = []
    sim_args = (["--reply-bytes", str(nbytes)] if direction == "d2c" else [])
    if baud:
        sim_args += ["--baud", str(baud)] + (["--read-baud", str(baud)] if direction == "c2d" else [])
    body = pattern(nbytes)
    one = (lambda r: device_to_client(r, nbytes, baud)) if direction == "d2c" else \
        (lambda r: client_to_device(r, body, baud))
    tag = "%s-%s" % (direction, baud or "unpaced")
    if together:
        rigs = []
        try:
            for tool in tools:
                rigs.append(Rig(ctx, tool, sim_args, "%s-%s" % (tag, tool), baud=baud))
            for rep in range(reps):
                for r in _parallel([lambda rig=rig: one(rig) for rig in rigs]):
                    out.append(dict(r, rep=rep, together=True))
                ctx.log("  %s %s rep %d: %s" % (direction, baud or "unpaced", rep + 1, _rates(out[-len(rigs):])))
                time.sleep(SETTLE)
        finally:
            for rig in rigs:
                rig.close()
    else:
        for tool in tools:
            with Rig(ctx, tool, sim_args, "%s-%s" % (tag, tool), baud=baud) as rig:
                for rep in range(reps):
                    out.append(dict(one(rig), rep=rep, together=False))
                    time.sleep(SETTLE)
            ctx.log("  %s %s %s: %s" % (direction, baud or "unpaced", tool, _rates(out[-reps:])))
    return out


def _rates(rows):
    return ", ".join("%s %.0f B/s" % (r["tool"], r["rate"]) for r in rows)


FIONREAD_LINE = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+ioctl\(\d+, FIONREAD, \[(\d+)\]\) = 0")


def reader_passes(ctx, nbytes):
    """An unpaced answer with the bridge's queue counts traced: how long a
    pass of the serial reader takes and how much each pass found queued.
    Only ioctl calls stop under strace (seccomp filter), one per pass."""
    log = os.path.join(ctx.work, "strace-passes.log")
    wrap = ["strace", "-f", "--seccomp-bpf", "-qq", "-e", "trace=ioctl", "-e", "signal=none", "-ttt", "-o", log]
    with Rig(ctx, "bridge", ["--reply-bytes", str(nbytes)], "passes", wrap=wrap) as rig:
        r = device_to_client(rig, nbytes, 0)
        time.sleep(SETTLE)
    counts = {}
    for line in open(log):
        m = FIONREAD_LINE.match(line)
        if m:
            counts.setdefault(m.group(1), []).append((float(m.group(2)), int(m.group(3))))
    reader = max(counts.values(), key=len) if counts else []
    # The passes that carried the answer: from the first non-empty count to the last.
    busy = [i for i, (_, n) in enumerate(reader) if n > 0]
    passes = reader[busy[0]:busy[-1] + 1] if busy else []
    times = [t for t, _ in passes]
    return {"rate": r["rate"], "passes": len(passes),
            "period": [b - a for a, b in zip(times, times[1:])],
            "queued": [n for _, n in passes]}


# --- case 3: request cycle ---------------------------------------------------------

STRACE_LINE = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+(<\.\.\. )?accept4?\b.*=\s*(-?\d+).*<(\d+\.\d+)>\s*$")


def accept_times(log):
    """Wall-clock moments at which accept() handed over a client."""
    out = []
    with open(log) as f:
        for line in f:
            m = STRACE_LINE.match(line)
            if not m or int(m.group(4)) < 0:
                continue
            stamp, resumed, took = float(m.group(2)), m.group(3), float(m.group(5))
            out.append(stamp if resumed else stamp + took)
    return sorted(out)


def cycle_floor(request_bytes, reply_bytes, baud):
    """What the bridge's design allows at best, in seconds.

    request: the reader's first read comes 20 ms after it is resumed; when the
    answer has not fully crossed the line by then, it reads once per 20 ms.
    close to accept: 20 ms before the line counts as idle, 100 ms before the
    first look for the device's 0 byte, and the two 0 bytes on the line.
    """
    rate = baud / 10.0
    pause = 0.020
    line = (request_bytes + reply_bytes) / rate
    if request_bytes / rate >= pause:
        first = request_bytes / rate
        request = first + pause * max(0, -(-((reply_bytes / rate) - 1e-9) // pause))
    else:
        request = pause * max(1, -(-(line - 1e-9) // pause))
    tail = pause + 0.100 + 2 / rate
    return request, tail


def request_cycle(ctx, tool, count, baud=115200):
    log = os.path.join(ctx.work, "strace-%s.log" % tool)
    wrap = ["strace", "-f", "--seccomp-bpf", "-qq", "-e", "trace=accept,accept4", "-e", "signal=none",
            "-ttt", "-T", "-o", log]
    sim_args = ["--baud", str(baud), "--read-baud", str(baud)]
    rows = []
    with Rig(ctx, tool, sim_args, "cycle-%s" % tool, baud=baud, wrap=wrap) as rig:
        exchange(rig.port, SMALL_REQUEST)  # first client: a warm line and a warm cache
        time.sleep(SETTLE)
        for _ in range(count):
            x = exchange(rig.port, SMALL_REQUEST, bound=30)
            rows.append((x.wall_start, x.t_end - x.t_start, x.wall_closed, x.count))
        time.sleep(SETTLE)
    accepts = accept_times(log)
    # Clients come one at a time, so the accept that served client i is the
    # first one after it started connecting, and each accept serves one.
    served, k = [], 0
    for start, _, _, _ in rows:
        while k < len(accepts) and accepts[k] < start:
            k += 1
        served.append(accepts[k] if k < len(accepts) else None)
        k += 1
    cycles = [served[i + 1] - rows[i][2] for i in range(len(rows) - 1) if served[i + 1] and served[i]]
    full = [served[i + 1] - served[i] for i in range(len(rows) - 1) if served[i + 1] and served[i]]
    reply = rows[0][3] + 1  # the device's 0 byte is on the line too
    floor_request, floor_tail = cycle_floor(len(SMALL_REQUEST), reply, baud)
    return {"tool": tool, "baud": baud, "count": count, "request_bytes": len(SMALL_REQUEST),
            "reply_bytes": reply, "per_request": [r[1] for r in rows], "close_to_accept": cycles,
            "accept_to_accept": full, "accepts_seen": len(accepts),
            "floor_request": floor_request, "floor_tail": floor_tail}


# --- case 4: a page with four pictures ------------------------------------------------

NETSTAT_KEYS = ("ListenOverflows", "ListenDrops", "TCPSynRetrans", "SyncookiesSent", "SyncookiesRecv",
                "TCPReqQFullDrop", "TCPReqQFullDoCookies")


def tcp_counters():
    out = {}
    with open("/proc/net/netstat") as f:
        lines = f.read().splitlines()
    for head, values in zip(lines[::2], lines[1::2]):
        if head.startswith("TcpExt:"):
            out.update(zip(head.split()[1:], (int(v) for v in values.split()[1:])))
    return {k: out.get(k, 0) for k in NETSTAT_KEYS}


CURL_FORMAT = r"%{url_effective} %{time_connect} %{time_starttransfer} %{time_total} %{http_code}\n"


def curl(urls, parallel):
    args = ["curl", "-s", "--max-time", "60", "-w", CURL_FORMAT]
    if parallel:
        args += ["--parallel", "--parallel-immediate", "--parallel-max", "6"]
    for u in urls:
        args += ["-o", "/dev/null", u]
    t0 = time.monotonic()
    out = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    elapsed = time.monotonic() - t0
    transfers = []
    for line in out.stdout.decode().splitlines():
        url, connect, start, total, code = line.split()
        transfers.append({"url": url, "connect": float(connect), "first_byte": float(start),
                          "total": float(total), "code": int(code)})
    if any(t["code"] != 200 for t in transfers) or len(transfers) != len(urls):
        raise BenchError("curl: %r %r" % (out.stdout[-300:], out.stderr[-300:]))
    return elapsed, transfers


def browser_load(ctx, reps, baud=115200):
    rows = []
    sim_args = ["--baud", str(baud), "--read-baud", str(baud)]
    with Rig(ctx, "bridge", sim_args, "browser", baud=baud) as rig:
        base = "http://127.0.0.1:%d" % rig.port
        page = base + "/"
        pictures = [base + "/logo.svg?picture=%d" % i for i in range(1, 5)]
        curl([page], False)  # warm-up
        time.sleep(SETTLE)
        for rep in range(reps):
            # The same requests one after the other, each connecting as soon
            # as the previous answer is in: the sum of the cycles.
            t_seq, _ = curl([page] + pictures, False)
            time.sleep(SETTLE)
            before = tcp_counters()
            t_page, _ = curl([page], False)
            t_pics, transfers = curl(pictures, True)
            after = tcp_counters()
            rows.append({"rep": rep, "sequential_s": t_seq, "page_s": t_page, "pictures_s": t_pics,
                         "load_s": t_page + t_pics, "transfers": transfers,
                         "counters": {k: after[k] - before[k] for k in NETSTAT_KEYS}})
            ctx.log("  browser rep %d: load %.2f s, one at a time %.2f s, connects %s" % (
                rep + 1, t_page + t_pics, t_seq, " ".join("%.2f" % t["connect"] for t in transfers)))
            time.sleep(SETTLE * 2)
    return rows


# --- case 6: idle ----------------------------------------------------------------------

def _thread_wakeups(pid):
    out = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                name = f.read().strip()
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                n = sum(int(l.split()[1]) for l in f if "ctxt_switches" in l)
        except FileNotFoundError:
            continue
        out["%s/%s" % (name, tid)] = n
    return out


def idle(ctx, seconds):
    setups = [("bridge", {}), ("bridge", {"dont_close": True}), ("socat", {}), ("ser2net", {})]
    rigs = []
    try:
        for tool, kw in setups:
            tag = "idle-%s%s" % (tool, "-dontclose" if kw else "")
            rigs.append((tag, Rig(ctx, tool, [], tag, **kw)))
        for _, rig in rigs:  # one client each, so the measure is "between clients"
            exchange(rig.port, SMALL_REQUEST)
        time.sleep(2 * SETTLE)
        before = [(Usage.of(r.pid), _thread_wakeups(r.pid)) for _, r in rigs]
        t0 = time.monotonic()
        time.sleep(seconds)
        elapsed = time.monotonic() - t0
        after = [(Usage.of(r.pid), _thread_wakeups(r.pid)) for _, r in rigs]
        rows = []
        for (tag, rig), (u0, w0), (u1, w1) in zip(rigs, before, after):
            used = u1 - u0
            rows.append({"setup": tag, "tool": rig.tool, "seconds": elapsed,
                         "cpu_percent": 100.0 * used.cpu_s / elapsed, "wakeups_per_s": used.wakeups / elapsed,
                         "threads": {k: w1.get(k, 0) - v for k, v in w0.items() if w1.get(k, 0) - v}})
        return rows
    finally:
        for _, rig in rigs:
            rig.close()


# --- case 7: start-up and memory ---------------------------------------------------------

def rss_by_mapping(pid):
    """Resident kB per mapped file ([anon] for the rest) of one process."""
    out, name = {}, "[anon]"
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            parts = line.split()
            if parts and not parts[0].endswith(":"):
                name = parts[5] if len(parts) > 5 and parts[5].startswith("/") else "[anon]"
            elif parts and parts[0] == "Rss:":
                out[name] = out.get(name, 0) + int(parts[1])
    return out


def _needed(path):
    """Libraries that `path` loads (by file name), per ldd."""
    try:
        out = subprocess.run(["ldd", path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return set()
    names = set()
    for line in out.stdout.decode().splitlines():
        fields = line.split()
        path = fields[2] if len(fields) > 2 and fields[1] == "=>" else (fields[0] if fields else "")
        if path.startswith("/"):
            names.add(os.path.basename(os.path.realpath(path)))
    return names


def memory_breakdown(ctx):
    """Where the headless bridge's resident pages come from: the program, the
    C++ runtime and Qt Core with what it needs, or libraries of the window
    toolkit that a run without a display loads but never uses."""
    with Rig(ctx, "bridge", [], "memory") as rig:
        exchange(rig.port, SMALL_REQUEST)
        time.sleep(SETTLE)
        maps = rss_by_mapping(rig.pid)
        hwm = status_kb(rig.pid, "VmHWM")
    core_lib = next((m for m in maps if os.path.basename(m).startswith("libQt6Core.so")), None)
    core = _needed(core_lib) if core_lib else set()
    core |= {os.path.basename(core_lib or ""), "plmx-server", "[anon]"}
    maps = {os.path.realpath(p) if p.startswith("/") else p: kb for p, kb in maps.items()}
    groups = {"program, C++ runtime, Qt Core and its libraries": 0, "window toolkit libraries": 0}
    toolkit = {}
    for path, kb in maps.items():
        base = os.path.basename(path)
        if base in core or path.startswith("/usr/lib/locale") or base.startswith("ld-linux"):
            groups["program, C++ runtime, Qt Core and its libraries"] += kb
        else:
            groups["window toolkit libraries"] += kb
            toolkit[base] = kb
    return {"peak_rss_kb": hwm, "groups": groups,
            "toolkit_top": sorted(toolkit.items(), key=lambda kv: -kv[1])[:8]}


def startup(ctx, reps):
    rows = []
    for tool in TOOLS:
        sim = Sim(ctx.build, ctx.work, "startup-%s-sim" % tool,
                  link=Bridge(ctx.build, ctx.work, "startup").link if tool == "bridge" else None)
        try:
            for rep in range(reps):
                port = free_port()
                if tool == "bridge":
                    server = Bridge(ctx.build, ctx.work, "startup")
                    t0 = time.monotonic()
                    server.start(port)
                elif tool == "socat":
                    server = Socat(ctx.work, "startup-socat")
                    t0 = time.monotonic()
                    server.start(port, sim.pts)
                else:
                    server = Ser2net(ctx.work, "startup-ser2net")
                    t0 = time.monotonic()
                    server.start(port, sim.pts)
                took = time.monotonic() - t0
                rss = status_kb(server.pid, "VmRSS")
                server.stop()
                rows.append({"tool": tool, "rep": rep, "seconds": took, "rss_kb": rss})
        finally:
            sim.stop()
    return rows


def window(ctx, nbytes, reps, verbose):
    """The bridge with its window (and the debug console when `verbose`)
    under Xvfb: an unpaced answer, with the user-interface thread pinged."""
    from xping import Pinger
    rows = []
    with Xvfb(ctx.work) as xv:
        sim_args = ["--reply-bytes", str(nbytes)]
        with Rig(ctx, "bridge", sim_args, "window-%s" % ("console" if verbose else "plain"),
                 verbose=verbose, display=xv.display) as rig:
            # The windows are up once they answer a ping.
            pinger = None
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                pinger = Pinger(xv.display, rig.pid)
                if len(pinger.windows) >= (2 if verbose else 1):
                    break
                pinger.x.close()
                time.sleep(0.1)
            if not pinger.windows:
                raise BenchError("no window of the program showed within 30 s")
            windows = sorted(pinger.windows.values())
            pinger.start()
            for rep in range(reps):
                r = device_to_client(rig, nbytes, 0)
                rows.append(dict(r, rep=rep))
                time.sleep(SETTLE)
            rtts, lost = pinger.stop()
            hwm = status_kb(rig.pid, "VmHWM")
            threads = thread_count(rig.pid)
    return {"verbose": verbose, "transfers": rows, "ping_rtts": rtts, "pings_lost": lost,
            "windows": windows, "peak_rss_kb": hwm, "threads": threads}


def median(xs):
    return statistics.median(xs) if xs else float("nan")
