"""Bad settings files: after a start and an orderly end of the real headless
plmx-server, every line the program does not own is still there byte for
byte, and the seven keys hold what the readings say. A settings file or
folder that may not be written gives "Unable to write to <path>", no crash,
and the old file stays as it was.

Run as: python3 tests/e2e_bad_settings.py <build_dir>
"""
import os
import random
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from serverlab import Lab, Results  # noqa: E402


def start_and_end(res, name, lab, **kw):
    """Starts the server, waits until it listens, ends it in order."""
    srv = lab.server(**kw)
    res.check(name + ": the server starts and listens", srv.wait_listening(lab.port), srv.errors())
    code = srv.stop()
    res.check(name + ": orderly end", code == 0, (code, srv.errors()))
    return srv


def first_difference(a, b):
    n = next((i for i in range(min(len(a), len(b))) if a[i] != b[i]), min(len(a), len(b)))
    return "sizes %d/%d, first difference at %d: %r / %r" % (len(a), len(b), n, a[max(0, n - 40):n + 40],
                                                               b[max(0, n - 40):n + 40])


def case_everything_odd(build, res):
    """CRLF and LF endings, a line without "=", binary junk, a key twice, a
    section twice, very long lines, odd values, no final newline."""
    with Lab(build) as lab:
        junk = bytes(b for b in range(256) if b not in b"\r\n")
        long_comment = b"; " + b"c" * (1 << 20)
        long_value = b"LongKey=" + b"v" * (1 << 20)
        head = (b"; written by hand\r\n"
                b"[CommPortParams]\r\n")
        tail_of_comm = (b"comport=9\r\n"
                        b"line without equals\r\n" + junk + b"\r\n")
        rest = (b"\r\n"
                b"[TcpIpParams]\r\n"
                b"TcpIpPort=%d\r\n" % lab.port + long_comment + b"\n" + long_value + b"\r\n"
                b"[commportparams]\r\n"
                b"SentDelay=7\r\n"
                b"[Debug]\r\n")
        before = (head + b"ComPort=0x0A\r\n" + tail_of_comm + b"ComSpeed=abc\n" + b"SentDelay=11\r\n"
                  + b"  CtsFlowEnable = 2 \r\n" + b"DontCloseCommPort=$1\r\n" + rest + b"Verbose=yes")
        # Read as ComPort 10, ComSpeed 115200 (not a number), TcpIpPort as
        # given, Verbose 0 (not a number), SentDelay 10 (capped),
        # CtsFlowEnable 1, DontCloseCommPort 1; each written back where it
        # stands, the first of a key and of a section counting.
        after = (head + b"ComPort=10\r\n" + tail_of_comm + b"ComSpeed=115200\n" + b"SentDelay=10\r\n"
                 + b"CtsFlowEnable=1\r\n" + b"DontCloseCommPort=1\r\n" + rest + b"Verbose=0")
        lab.write_ini(before)
        start_and_end(res, "odd file", lab)
        got = lab.read_ini()
        res.check("odd file: foreign lines kept, the seven keys as read", got == after, first_difference(got, after))


def case_ten_megabytes(build, res):
    """10 MB of binary junk ahead of the program's keys."""
    with Lab(build) as lab:
        rng = random.Random(7)
        junk = (b"junk\n" + rng.randbytes(10 * 1000 * 1000)).replace(b"[", b"(")  # no header of its own by chance
        keys = b"\n[CommPortParams]\nComPort=2\n[TcpIpParams]\nTcpIpPort=%d\n" % lab.port
        lab.write_ini(junk + keys)
        start_and_end(res, "10 MB file", lab)
        got = lab.read_ini()
        want = junk + (b"\n[CommPortParams]\nComPort=2\nComSpeed=115200\nSentDelay=1\nCtsFlowEnable=1\n"
                       b"DontCloseCommPort=0\n[TcpIpParams]\nTcpIpPort=%d\n[Debug]\nVerbose=0\n" % lab.port)
        res.check("10 MB file: the junk is kept byte for byte, the keys completed", got == want,
                  first_difference(got, want))


def read_only_ways(lab):
    """How this machine can keep the server from writing: a read-only bind
    mount (root with CAP_SYS_ADMIN), else running as nobody."""
    probe = os.path.join(lab.dir, "mount-probe")
    os.mkdir(probe)
    try:
        ok = subprocess.run(["mount", "--bind", probe, probe], capture_output=True).returncode == 0
        if ok:
            subprocess.run(["umount", probe], capture_output=True)
            return "mount"
    except OSError:
        pass
    finally:
        os.rmdir(probe)
    if os.geteuid() == 0 and subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                             "--", "true"], capture_output=True).returncode == 0:
        return "nobody"
    return None


def make_read_only(path):
    subprocess.run(["mount", "--bind", path, path], check=True)
    subprocess.run(["mount", "-o", "remount,ro,bind", path], check=True)


def case_read_only(build, res):
    for what in ("folder", "file"):
        name = "read-only " + what
        with Lab(build) as lab:
            way = read_only_ways(lab)
            if way is None:
                res.skip(name, "neither a bind mount nor another user is possible here")
                return
            # A value the save would change, so an intact file means something.
            before = (b"[CommPortParams]\nComPort=1\nComSpeed=1200\n[TcpIpParams]\nTcpIpPort=%d\n"
                      b"[Debug]\nVerbose=1\n" % lab.port)
            lab.write_ini(before)
            mounted = None
            user = None
            if way == "mount":
                mounted = lab.dir if what == "folder" else lab.ini
                make_read_only(mounted)
            else:
                user = "nobody"
                os.chmod(lab.ini, 0o644 if what == "folder" else 0o444)
                if what == "file":
                    os.chmod(lab.dir, 0o777)  # the folder may be written, the file not
            try:
                srv = start_and_end(res, name + " (" + way + ")", lab, user=user)
                message = "Unable to write to " + os.path.realpath(lab.ini)
                res.check(name + ": the error names the file", message in srv.errors(), srv.errors())
                res.check(name + ": the old file is intact", lab.read_ini() == before, lab.read_ini())
                leftovers = [f for f in os.listdir(lab.dir) if f.startswith(".Lantor")]
                res.check(name + ": no temporary file left", not leftovers, leftovers)
            finally:
                if mounted:
                    subprocess.run(["umount", mounted], check=True)
                os.chmod(lab.dir, 0o755)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    res = Results()
    for case in (case_everything_odd, case_ten_megabytes, case_read_only):
        try:
            case(build, res)
        except Exception as e:  # a broken case must not hide the others
            res.crashed(case.__name__, e)
    return res.finish()


if __name__ == "__main__":
    sys.exit(main())
