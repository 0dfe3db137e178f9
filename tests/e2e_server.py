"""The program itself on a machine without a display: it serves a browser
request through the simulated device, ends in order on SIGTERM writing its
settings, and refuses to start with a non-zero status when its TCP port is
taken.

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


def wait_for(condition, what, limit=LIMIT):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """Whether something listens on port, without connecting to it (a
    connection would be a client of the bridge)."""
    with open("/proc/net/tcp") as table:
        for row in table.readlines()[1:]:
            local, state = row.split()[1], row.split()[3]
            if state == "0A" and int(local.split(":")[1], 16) == port:
                return True
    return False


def install(folder):
    """The program as installed: its own copy (the settings file lands
    beside the executable, found through /proc/self/exe), the catalogues and
    a dosdevices folder."""
    server = os.path.join(folder, "plmx-server")
    try:
        os.link(os.path.join(BUILD, "plmx-server"), server)
    except OSError:
        shutil.copy2(os.path.join(BUILD, "plmx-server"), server)
    if os.path.isdir(os.path.join(BUILD, "locale")):
        shutil.copytree(os.path.join(BUILD, "locale"), os.path.join(folder, "locale"))
    os.mkdir(os.path.join(folder, "dosdevices"))
    return server


def start_server(server, folder):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    return subprocess.Popen([server], cwd=folder, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


def serves_and_ends_in_order(folder):
    server = install(folder)
    sim = subprocess.Popen([os.path.join(BUILD, "quarn-sim"), "--link",
                            os.path.join(folder, "dosdevices", "com1")],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        assert sim.stdout.readline().startswith(b"linked"), "the simulator did not start"
        port = free_port()
        settings = os.path.join(folder, "Lantor.ini")
        with open(settings, "w") as f:
            f.write("[CommPortParams]\nComPort=1\n[TcpIpParams]\nTcpIpPort=%d\n"
                    "[Debug]\nVerbose=1\n" % port)

        proc = start_server(server, folder)
        try:
            wait_for(lambda: listening(port) or proc.poll() is not None, "the listening port")
            assert proc.poll() is None, proc.stderr.read().decode()
            page = subprocess.run(["curl", "-s", "-i", "-m", str(LIMIT),
                                   "http://127.0.0.1:%d/" % port],
                                  capture_output=True, timeout=LIMIT + 10)
            assert page.returncode == 0, "curl failed: %d" % page.returncode
            assert page.stdout.startswith(b"HTTP/1.0 200"), page.stdout[:200]
            assert b"\0" not in page.stdout, "the end-of-reply byte reached the browser"

            proc.send_signal(signal.SIGTERM)
            out, err = proc.communicate(timeout=LIMIT)
        finally:
            if proc.poll() is None:
                proc.kill()
        assert proc.returncode == 0, "exit %d: %s" % (proc.returncode, err.decode())
        # Verbose: the trace is on standard output.
        assert b"Port opened." in out, out[:500]
        # The orderly end wrote all seven keys.
        with open(settings) as f:
            text = f.read()
        for key in ("ComPort=1", "ComSpeed=115200", "TcpIpPort=%d" % port, "Verbose=1",
                    "SentDelay=1", "CtsFlowEnable=1", "DontCloseCommPort=0"):
            assert key in text, "%s missing from:\n%s" % (key, text)
    finally:
        sim.send_signal(signal.SIGTERM)
        sim.wait(timeout=LIMIT)


def refuses_a_taken_port(folder):
    server = install(folder)
    with socket.socket() as holder:
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        port = holder.getsockname()[1]
        settings = os.path.join(folder, "Lantor.ini")
        original = "[CommPortParams]\nComPort=1\n[TcpIpParams]\nTcpIpPort=%d\n" % port
        with open(settings, "w") as f:
            f.write(original)
        proc = start_server(server, folder)
        try:
            out, err = proc.communicate(timeout=LIMIT)
        finally:
            if proc.poll() is None:
                proc.kill()
    text = err.decode()
    assert proc.returncode != 0, "a start that cannot serve must fail"
    assert "Fatal Error: Can't bind socket at port: %d" % port in text, text
    assert "Do you want set other port number?" in text, text
    with open(settings) as f:
        assert "TcpIpPort=%d" % port in f.read()


def main():
    for check in (serves_and_ends_in_order, refuses_a_taken_port):
        folder = tempfile.mkdtemp(prefix="plmx-e2e-")
        try:
            check(folder)
            print("ok", check.__name__)
        finally:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
