"""Soak: many sequential request and reply pairs through the headless
plmx-server and the simulated device, each reply checked by its length and
checksum; the server's open descriptors, threads and resident memory are
sampled near the start and at the end and must not grow.

Run as: python3 tests/e2e_soak.py <build_dir> [--pairs N]
(500 pairs by default; the long run is --pairs 10000.)
"""
import argparse
import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from serverlab import Client, Lab, Results, default_ini, fnv1a, get, wait_for  # noqa: E402

WARM_UP = 20  # pairs before the first sample: buffers and stacks get touched once
RSS_SLACK_KIB = 1024  # allocator noise, far below a leak of a few bytes a pair over 10,000


def one_pair(port, i, rng):
    """Runs pair i; None when the reply is right, else what was wrong."""
    kind = i % 4
    if kind == 3:
        body = bytes(rng.randrange(1, 256) for _ in range(rng.randrange(0, 4097)))
        c = Client(port)
        try:
            c.send(b"POST /sum HTTP/1.0\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
            r = c.read_all()
        finally:
            c.close()
        want = b"len=%d fnv=%08x" % (len(body), fnv1a(body))
        return None if r.ended == "eof" and r.split()[2] == want else ("POST %d" % len(body), r)
    # The bridge reads the line in 1 KiB steps 20 ms apart, about 50 KB/s:
    # replies stay at a few KiB so the run is about the number of pairs.
    n = rng.randrange(4097, 16385) if kind == 2 else rng.randrange(1, 4097)
    r = get(port, "/bytes/%d" % n)
    return None if r.pattern_ok(n) else ("GET %d" % n, r)


def idle(srv):
    """Between two clients: the COM port closed and only the listening
    socket open, so samples taken at such moments compare like with like."""
    d = "/proc/%d/fd" % srv.pid
    links = []
    for f in os.listdir(d):
        try:
            links.append(os.readlink(os.path.join(d, f)))
        except OSError:
            pass
    return not any(l.startswith("/dev/pts/") for l in links) and sum(l.startswith("socket:") for l in links) == 1


def sample(srv):
    wait_for(lambda: idle(srv))
    return {"fds": srv.fds(), "rss_kib": srv.rss_kib(), "threads": srv.threads()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", nargs="?", default="build")
    ap.add_argument("--pairs", type=int, default=500)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    res = Results()
    rng = random.Random(args.seed)

    with Lab(os.path.abspath(args.build)) as lab:
        lab.write_ini(default_ini(lab.port, verbose=0))  # no trace: it would only cost time here
        lab.sim()
        srv = lab.server()
        if not res.check("soak: server listens", srv.wait_listening(lab.port), srv.errors()):
            return res.finish()
        at_listen = sample(srv)
        with open("/proc/%d/maps" % srv.pid) as f:
            sanitized = any(lib in f.read() for lib in ("libasan", "libtsan"))
        failures = []
        start = None
        first = None
        t0 = time.monotonic()
        for i in range(args.pairs):
            if i == min(WARM_UP, args.pairs - 1):
                first = sample(srv)
                start = time.monotonic()
            wrong = one_pair(lab.port, i, rng)
            if wrong:
                failures.append((i, wrong))
                if len(failures) <= 5:
                    print("pair %d wrong: %s %r" % (i, wrong[0], wrong[1]), flush=True)
            if (i + 1) % 1000 == 0:
                print("... %d pairs, %.0f s, %s" % (i + 1, time.monotonic() - t0, sample(srv)), flush=True)
        last = sample(srv)
        elapsed = time.monotonic() - t0
        measured = time.monotonic() - start
        code = srv.stop()

    pairs_after = args.pairs - min(WARM_UP, args.pairs - 1)
    print("figures: %d pairs in %.1f s (%.1f pairs/s, %.0f ms a pair); at listen %s; after %d pairs %s; "
          "at the end %s" % (args.pairs, elapsed, pairs_after / measured, 1000 * measured / pairs_after,
                             at_listen, WARM_UP, first, last), flush=True)
    res.check("soak: every reply whole and right (%d pairs)" % args.pairs, not failures,
              "%d wrong, first at pair %d" % (len(failures), failures[0][0]) if failures else "")
    res.check("soak: open descriptors do not grow", last["fds"] <= first["fds"], (first, last))
    res.check("soak: threads do not grow", last["threads"] <= first["threads"], (first, last))
    if sanitized:
        # AddressSanitizer holds freed memory back in its quarantine, so
        # resident memory grows there by design.
        res.skip("soak: resident memory does not grow", "sanitizer build")
    else:
        res.check("soak: resident memory does not grow", last["rss_kib"] <= first["rss_kib"] + RSS_SLACK_KIB,
                  (first, last))
    res.check("soak: orderly end", code == 0, code)
    return res.finish()


if __name__ == "__main__":
    sys.exit(main())
