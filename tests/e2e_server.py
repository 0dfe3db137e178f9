"""The program itself without a display: it serves a request through the
simulated device and ends in order on SIGTERM with its settings written; a
taken TCP port makes it report on stderr and fail.

Run as: python3 e2e_server.py <build dir>
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

BUILD = os.path.abspath(sys.argv[1])
LIMIT = 60  # seconds; generous for a loaded machine


def listening(port):
    """Whether something listens on port, found without connecting (a
    connection would be a client of the bridge)."""
    with open("/proc/net/tcp") as table:
        rows = [row.split() for row in table.readlines()[1:]]
    return any(r[3] == "0A" and int(r[1].split(":")[1], 16) == port for r in rows)


def start(folder, port, extra=""):
    """The program as installed: a copy of its own (the settings file lies
    beside the executable), the catalogues, a dosdevices folder."""
    shutil.copy2(os.path.join(BUILD, "plmx-server"), folder)
    if os.path.isdir(os.path.join(BUILD, "locale")):
        shutil.copytree(os.path.join(BUILD, "locale"), os.path.join(folder, "locale"))
    os.makedirs(os.path.join(folder, "dosdevices"), exist_ok=True)
    with open(os.path.join(folder, "Lantor.ini"), "w") as f:
        f.write("[CommPortParams]\nComPort=1\n[TcpIpParams]\nTcpIpPort=%d\n%s" % (port, extra))
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    return subprocess.Popen([os.path.join(folder, "plmx-server")], cwd=folder, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def settings(folder):
    with open(os.path.join(folder, "Lantor.ini")) as f:
        return f.read()


def serves_and_ends_in_order(folder):
    os.makedirs(os.path.join(folder, "dosdevices"))
    sim = subprocess.Popen([os.path.join(BUILD, "quarn-sim"), "--link",
                            os.path.join(folder, "dosdevices", "com1")],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        assert sim.stdout.readline().startswith(b"linked"), "the simulator did not start"
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        proc = start(folder, port, "[Debug]\nVerbose=1\n")
        try:
            end = time.monotonic() + LIMIT
            while not listening(port) and proc.poll() is None and time.monotonic() < end:
                time.sleep(0.05)
            assert listening(port), proc.stderr.read().decode() if proc.poll() is not None else ""
            page = subprocess.run(["curl", "-s", "-i", "-m", str(LIMIT), "http://127.0.0.1:%d/" % port],
                                  capture_output=True, timeout=LIMIT + 10)
            assert page.stdout.startswith(b"HTTP/1.0 200"), page.stdout[:200]
            assert b"\0" not in page.stdout, "the end-of-reply byte reached the browser"
            proc.send_signal(signal.SIGTERM)
            out, err = proc.communicate(timeout=LIMIT)
        finally:
            if proc.poll() is None:
                proc.kill()
        assert proc.returncode == 0, "exit %d: %s" % (proc.returncode, err.decode())
        assert b"Port opened." in out, "Verbose: the trace belongs on standard output"
        text = settings(folder)
        for key in ("ComSpeed=115200", "TcpIpPort=%d" % port, "Verbose=1", "SentDelay=1",
                    "CtsFlowEnable=1", "DontCloseCommPort=0"):
            assert key in text, "%s missing from:\n%s" % (key, text)
    finally:
        sim.send_signal(signal.SIGTERM)
        sim.wait(timeout=LIMIT)


def refuses_a_taken_port(folder):
    with socket.socket() as holder:
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        port = holder.getsockname()[1]
        proc = start(folder, port)
        out, err = proc.communicate(timeout=LIMIT)
    assert proc.returncode != 0, "a start that cannot serve must fail"
    text = err.decode()
    assert "Fatal Error: Can't bind socket at port: %d" % port in text, text
    assert "Do you want set other port number?" in text, text
    assert "TcpIpPort=%d" % port in settings(folder)


for check in (serves_and_ends_in_order, refuses_a_taken_port):
    folder = tempfile.mkdtemp(prefix="plmx-e2e-")
    try:
        check(folder)
        print("ok", check.__name__)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
