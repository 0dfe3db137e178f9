"""Runs every benchmark case and writes bench/RESULTS.md, bench/throughput.png
and bench/results.json. Normally started by bench/run.sh, which builds first.

usage: bench.py [--build DIR] [--quick] [--keep] [--only CASE,...]
"""
import argparse
import json
import os
import shutil
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import cases  # noqa: E402
from harness import load_average, machine_info, tool_version  # noqa: E402

KIB, MIB = 1024, 1024 * 1024

# (baud, bytes, repetitions, tools side by side); baud 0 is an unpaced device.
FULL = {
    # 1 MiB takes 91 s at 115200 baud: two runs there keep the whole under 15 minutes.
    "d2c": [(0, MIB, 3, False), (115200, MIB, 2, True), (230400, 256 * KIB, 3, True),
            (460800, MIB, 3, True), (921600, 256 * KIB, 3, True)],
    # A byte-per-write client side is the one most sensitive to sharing the
    # processor, so these run one tool at a time.
    "c2d": [(0, 64 * KIB, 3, False), (115200, 64 * KIB, 3, False), (230400, 64 * KIB, 3, False),
            (460800, 64 * KIB, 3, False), (921600, 64 * KIB, 3, False)],
    "cycle": 200, "browser": 5, "idle": 10.0, "startup": 5, "passes": 256 * KIB,
    "window": [(True, MIB, 2), (False, 256 * KIB, 1)],
}
QUICK = {
    "d2c": [(0, 64 * KIB, 2, False), (115200, 16 * KIB, 1, True), (460800, 64 * KIB, 1, True)],
    "c2d": [(0, 16 * KIB, 2, False), (115200, 16 * KIB, 1, True), (460800, 16 * KIB, 1, True)],
    "cycle": 20, "browser": 1, "idle": 3.0, "startup": 2, "passes": 64 * KIB,
    "window": [(True, 64 * KIB, 1), (False, 64 * KIB, 1)],
}
CASES = ("startup", "rss", "idle", "d2c", "passes", "d2c_ref", "c2d", "cycle", "browser", "window")
NEEDED = ("socat", "ser2net", "strace", "curl", "Xvfb", "trayer")


class Context:
    def __init__(self, build, work):
        self.build, self.work = build, work
        self.t0 = time.monotonic()
        self.memory = []

    def log(self, text):
        print("[%6.1f s] %s" % (time.monotonic() - self.t0, text), flush=True)

    def note_memory(self, tool, tag, peak_kb):
        self.memory.append({"tool": tool, "tag": tag, "peak_rss_kb": peak_kb})


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build-bench"))
    ap.add_argument("--quick", action="store_true", help="small sizes, for trying the harness")
    ap.add_argument("--keep", action="store_true", help="keep the work folder (logs of every process)")
    ap.add_argument("--only", default=",".join(CASES), help="comma-separated subset of " + ",".join(CASES))
    ap.add_argument("--out", help="where RESULTS.md, throughput.png and results.json go "
                    "(bench/, or bench/out/ with --quick, so a trial never replaces the real results)")
    args = ap.parse_args()
    if not args.out:
        args.out = os.path.join(HERE, "out") if args.quick else HERE

    missing = [t for t in NEEDED if not shutil.which(t)]
    for exe in ("plmx-server", "quarn-sim"):
        if not os.access(os.path.join(args.build, exe), os.X_OK):
            missing.append(os.path.join(args.build, exe))
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        missing.append("python3-matplotlib (for %s)" % sys.executable)
    if missing:
        sys.exit("bench: missing " + ", ".join(missing) + " (scripts/install-deps.sh installs the packages)")

    plan = QUICK if args.quick else FULL
    only = set(args.only.split(","))
    work = tempfile.mkdtemp(prefix="serial-bench-")
    ctx = Context(os.path.abspath(args.build), work)
    results = {"quick": args.quick, "machine": machine_info(), "load_before": load_average(),
               "started": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
               "versions": {"socat": tool_version(["socat", "-V"]), "ser2net": tool_version(["ser2net", "-v"]),
                            "curl": tool_version(["curl", "--version"]).split(" (")[0]},
               "errors": {}}
    ctx.log("work folder %s, load average %s" % (work, results["load_before"]))

    def run(name, fn):
        if name not in only:
            return
        ctx.log("case %s" % name)
        t = time.monotonic()
        try:
            results[name] = fn()
        except Exception as e:  # the other cases still run; the report names the failure
            traceback.print_exc()
            results["errors"][name] = "%s: %s" % (type(e).__name__, e)
        results.setdefault("case_seconds", {})[name] = time.monotonic() - t

    try:
        run("startup", lambda: cases.startup(ctx, plan["startup"]))
        run("rss", lambda: cases.memory_breakdown(ctx))
        run("idle", lambda: cases.idle(ctx, plan["idle"]))
        run("d2c", lambda: [row for baud, n, reps, together in plan["d2c"]
                            for row in cases.transfers(ctx, "d2c", baud, n, reps, together)])
        run("passes", lambda: cases.reader_passes(ctx, plan["passes"]))
        run("d2c_ref", lambda: cases.transfers(ctx, "d2c", 0, plan["d2c"][0][1], plan["d2c"][0][2], False,
                                                tools=("socat-1k",)))
        run("c2d", lambda: [row for baud, n, reps, together in plan["c2d"]
                            for row in cases.transfers(ctx, "c2d", baud, n, reps, together)])
        run("cycle", lambda: [cases.request_cycle(ctx, tool, plan["cycle"]) for tool in cases.TOOLS])
        run("browser", lambda: cases.browser_load(ctx, plan["browser"]))
        run("window", lambda: [cases.window(ctx, n, reps, verbose) for verbose, n, reps in plan["window"]])
    finally:
        results["memory"] = ctx.memory
        results["load_after"] = load_average()
        results["duration_s"] = time.monotonic() - ctx.t0
        os.makedirs(args.out, exist_ok=True)
        with open(os.path.join(args.out, "results.json"), "w") as f:
            json.dump(results, f, indent=1)
        if args.keep:
            ctx.log("logs kept in %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)

    import report
    report.write(results, args.out)
    ctx.log("wrote %s" % os.path.join(args.out, "RESULTS.md"))
    return 1 if results["errors"] else 0


if __name__ == "__main__":
    sys.exit(main())
