#!/usr/bin/env python3
"""The cost of `-o update` against write-then-verify (bench/run --update).

    bench/update.py --tool UPDATE_SYSCON --sim SYSCON_SIM --out DIR
                    [--plan AREA:RATE,...] [--erase-ms N] [--program-ms N]
                    [--baselines N] [--seed N]

For each area of the plan a random image that fills it, and for each
AREA:RATE five kinds of run, each against a paced simulator of its own with
per-block erase and program delays, loaded with the flash it starts from:

  write+verify   `-o write` then `-o verify` (one simulator, two clients),
                 from a flash that differs everywhere; run --baselines times,
                 once before the update cases and, for 2, once after them
  same           `-o update` on a flash that already holds the image
  one            ... one block differs (the middle one)
  scattered      ... a tenth of the blocks, rounded down, differ: one at a
                 random place in each of that many equal slices of the area
  all            ... every block differs (an older release)

Each update's wall time is divided by the mean wall time of the area's
write+verify runs (the two processes added), measured in the same run.
Erased blocks come from the simulator's trace (the ERS ranges it carried
out, in blocks), programmed and read blocks from its summary (WDT and RDT
requests); CPU time (user + system) and peak RSS from /usr/bin/time. The
model column is the same ratio computed from the simulator's counts alone:
bytes on the line x 11 / rate plus the erase and program delays, that is
what the wall times would be with no time lost anywhere else.

A run is "ok" when the tool exited 0 with its OK line and the simulator's
flash equals the image; an update whose own counts of erased and programmed
blocks differ from the simulator's (a request carried out twice after a
failed try) shows both. Prints Markdown on standard output, progress on
standard error; exits 0 whatever the rows say (a failed run is a row), 1
when it cannot run. Standard library only.
"""

import argparse
import os
import random
import re
import select
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

BLOCK = 4096
BITS_PER_BYTE = 11  # start, 8 data, 2 stop
AREAS = {  # name: (start, size), as the tool and the simulator define them
    "apli": (0x000000, 0x1E8000),
    "ipl": (0x1E8000, 0x018000),
}
CASES = [  # name, shown as, the target for wall time / write+verify
    ("same", "flash already holds the image", 0.55),
    ("one", "one block differs", 0.60),
    ("scattered", "10% of the blocks differ, scattered", 0.70),
    ("all", "every block differs", 1.05),
]
UPDATE_OK = re.compile(
    rb"Update OK: (\d+) bytes match; (\d+) blocks erased, (\d+) programmed, (\d+) already right"
)


def say(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


@dataclass
class Run:
    """One measured run: a tool process, or the sum of two (write+verify)."""

    result: str = "ok"
    wall: float = 0.0
    cpu: float = 0.0
    rss_kib: int = 0
    erased: int = 0  # blocks, from the ERS ranges in the trace
    programmed: int = 0  # WDT requests
    read: int = 0  # RDT requests
    bytes_on_line: int = 0  # both ways, as the simulator counted them

    def model_s(self, rate, erase_ms, program_ms):
        line = self.bytes_on_line * BITS_PER_BYTE / rate
        return line + (self.erased * erase_ms + self.programmed * program_ms) / 1000

    @property
    def ok(self):
        return self.result.startswith("ok")

    def fail(self, why):
        if self.ok:
            self.result = f"FAIL: {why}"


@dataclass
class Simulator:
    """syscon_sim on a pseudo-terminal, paced, with the flash loaded from a file."""

    path: str
    log: Path
    load: tuple  # (area, file)
    erase_ms: int
    program_ms: int
    proc: subprocess.Popen = None
    device: str = ""
    summary: str = field(default="", init=False)

    def __enter__(self):
        area, image = self.load
        cmd = [self.path, "--pace", "--erase-ms", str(self.erase_ms),
               "--program-ms", str(self.program_ms), "--load", f"{area}={image}",
               "--save", f"{area}={self.log}.flash", "--trace", f"{self.log}.trace"]
        self.stderr = open(f"{self.log}.sim.err", "wb")
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=self.stderr)
        ready, _, _ = select.select([self.proc.stdout], [], [], 5.0)
        self.device = self.proc.stdout.readline().decode().strip() if ready else ""
        if not self.device:
            self.stop()
            raise RuntimeError(f"syscon_sim did not start (see {self.log}.sim.err)")
        return self

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.stderr.close()
        text = Path(f"{self.log}.sim.err").read_text(errors="replace")
        found = re.findall(r"requests .*", text)
        self.summary = found[-1] if found else ""

    def __exit__(self, *exc):
        self.stop()

    def counts(self, run):
        """Adds the simulator's counts to `run`."""
        def request_count(code):
            m = re.search(rf"\b{code}=(\d+)", self.summary)
            return int(m.group(1)) if m else 0

        run.programmed = request_count("WDT")
        run.read = request_count("RDT")
        m = re.search(r"bytes in (\d+) out (\d+)", self.summary)
        run.bytes_on_line = int(m.group(1)) + int(m.group(2)) if m else 0
        if not self.summary:
            run.fail("no summary from the simulator")
        # Only ranges the device carried out: every ERS here is answered with
        # status 0 (no faults are set), so each "rx ERS" line is one erase.
        trace = Path(f"{self.log}.trace").read_text(errors="replace")
        for length in re.findall(r"\brx +ERS addr=0x[0-9A-F]+ len=0x([0-9A-F]+)", trace):
            run.erased += (int(length, 16) + BLOCK - 1) // BLOCK


def run_tool(tool, log, args):
    """Runs the tool under /usr/bin/time; returns (status, wall, cpu, rss, stdout)."""
    cmd = ["/usr/bin/time", "-f", "%U %S %M", "-o", f"{log}.time", tool, *args]
    with open(f"{log}.stdout", "wb") as out, open(f"{log}.stderr", "wb") as err:
        start = time.monotonic()
        status = subprocess.call(cmd, stdout=out, stderr=err)
        wall = time.monotonic() - start
    user, system, rss = Path(f"{log}.time").read_text().split()[-3:]
    return status, wall, float(user) + float(system), int(rss), Path(f"{log}.stdout").read_bytes()


def tool_args(sim, rate, op, area, image):
    return ["-d", sim.device, "-b", str(rate), "-o", op, "-t", area, "-f", str(image)]


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def last_error(log):
    lines = [l for l in Path(f"{log}.stderr").read_text(errors="replace").splitlines() if l.strip()]
    return lines[-1].strip()[:80] if lines else "nothing on standard error"


class Bench:
    def __init__(self, opts):
        self.o = opts
        self.runs_dir = opts.out / "runs"
        self.img_dir = opts.out / "img"
        for d in (self.runs_dir, self.img_dir):
            d.mkdir(parents=True, exist_ok=True)
            for old in d.iterdir():
                old.unlink()
        self.rng = random.Random(opts.seed)
        self.made = {}

    def simulator(self, log, area, flash):
        return Simulator(self.o.sim, log, (area, flash), self.o.erase_ms, self.o.program_ms)

    def images(self, area):
        """Writes the image and the flash each case starts from, once per area (every
        rate gets the same); returns their paths and the differing blocks of each case."""
        if area not in self.made:
            self.made[area] = self.make_images(area)
        return self.made[area]

    def make_images(self, area):
        size = AREAS[area][1]
        blocks = size // BLOCK
        image = bytearray(self.rng.randbytes(size))
        # A tenth of the blocks, rounded down: one at a random place in each of
        # that many equal slices, so that they never run together by chance.
        k = blocks // 10
        scattered = [self.rng.randrange(i * blocks // k, (i + 1) * blocks // k) for i in range(k)]
        differing = {"same": [], "one": [blocks // 2], "scattered": scattered,
                     "all": list(range(blocks))}
        paths = {"image": self.img_dir / f"{area}.bin"}
        paths["image"].write_bytes(image)
        for case, which in differing.items():
            flash = bytearray(image)
            for b in which:
                flash[b * BLOCK:(b + 1) * BLOCK] = self.rng.randbytes(BLOCK)
            paths[case] = self.img_dir / f"{area}-{case}.bin"
            paths[case].write_bytes(flash)
        return paths, differing

    def flash_check(self, run, log, image):
        flash = Path(f"{log}.flash")
        if not flash.exists():
            run.fail("the simulator saved no flash")
        elif flash.read_bytes() != image.read_bytes():
            run.fail("exit 0, but the flash differs from the image")

    def write_verify(self, id_, area, rate, paths):
        log = self.runs_dir / id_
        run = Run()
        with self.simulator(log, area, paths["all"]) as sim:
            for op in ("write", "verify"):
                status, wall, cpu, rss, out = run_tool(
                    self.o.tool, f"{log}.{op}", tool_args(sim, rate, op, area, paths["image"]))
                run.wall += wall
                run.cpu += cpu
                run.rss_kib = max(run.rss_kib, rss)
                if status != 0:
                    run.fail(f"{op} exit {status}, {last_error(f'{log}.{op}')}")
                    break
            if run.ok and b"Verify OK:" not in out:
                run.fail("verify exit 0 without its OK line")
        sim.counts(run)
        if run.ok:
            self.flash_check(run, log, paths["image"])
        return run

    def update(self, id_, area, rate, paths, case):
        log = self.runs_dir / id_
        run = Run()
        with self.simulator(log, area, paths[case]) as sim:
            status, run.wall, run.cpu, run.rss_kib, out = run_tool(
                self.o.tool, log, tool_args(sim, rate, "update", area, paths["image"]))
        sim.counts(run)
        m = UPDATE_OK.search(out)
        if status != 0:
            run.fail(f"exit {status}, {last_error(log)}")
        elif not m:
            run.fail("exit 0 without the Update OK line")
        else:
            # The simulator counts a request sent again after a failed try twice.
            erased, programmed, _ = (int(x) for x in m.groups()[1:])
            if (erased, programmed) != (run.erased, run.programmed):
                run.result = f"ok (the tool counts {erased} erased, {programmed} programmed)"
        if run.ok:
            self.flash_check(run, log, paths["image"])
        return run


def raise_priority():
    """Moves the run into a scheduling group of its own at nice -10, as the test
    programs do, where the system allows it: the tool busy-polls and gives the
    SYSCON 100 ms to acknowledge, and others' builds on the machine must not
    hold it or the simulator off the processor that long. Returns what it got."""
    if not sys.stdin.isatty():  # from a terminal, Ctrl-C must still reach the run
        try:
            os.setsid()
        except PermissionError:  # already a process group leader
            pass
    try:
        with open("/proc/self/autogroup", "w") as group:
            group.write("-10")
        os.setpriority(os.PRIO_PROCESS, 0, -10)
    except OSError:
        return "normal priority"
    return "a scheduling group of its own at nice -10"


def row(cells):
    return "| " + " | ".join(str(c) for c in cells) + " |"


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--tool", required=True)
    p.add_argument("--sim", required=True)
    p.add_argument("--out", required=True, type=Path)
    p.add_argument("--plan", default="ipl:115200,ipl:921600,apli:921600",
                   help="AREA:RATE,... (default %(default)s)")
    p.add_argument("--erase-ms", type=int, default=45,
                   help="ms per 4 KiB block erased (default %(default)s)")
    p.add_argument("--program-ms", type=int, default=11,
                   help="ms per 4 KiB block programmed (default %(default)s)")
    p.add_argument("--baselines", type=int, default=2, choices=(1, 2),
                   help="write+verify runs per area and rate: before the cases, and after "
                        "them (default %(default)s)")
    p.add_argument("--seed", type=int, default=16)
    o = p.parse_args()
    plan = []
    for item in o.plan.split(","):
        area, _, rate = item.partition(":")
        if area not in AREAS or not rate.isdigit():
            p.error(f"bad plan item {item!r}: AREA:RATE with AREA apli or ipl")
        plan.append((area, int(rate)))
    for exe in (o.tool, o.sim, "/usr/bin/time"):
        if not os.access(exe, os.X_OK):
            print(f"bench/update.py: {exe} is missing", file=sys.stderr)
            return 1
    o.out.mkdir(parents=True, exist_ok=True)
    priority = raise_priority()
    bench = Bench(o)
    started = time.monotonic()

    print("## Update against write-then-verify\n")
    print(f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {os.cpu_count()} cores, "
          f"load average (1/5/15 min) at start: {load()}. "
          f"syscon_sim --pace --erase-ms {o.erase_ms} --program-ms {o.program_ms}, random images "
          f"filling the area, 4096-byte blocks, seed {o.seed}; the run in {priority}.")
    print()
    print(row(["#", "area", "rate", "run", "blocks differing", "result", "wall s",
               "ratio to write+verify", "target", "model ratio", "blocks erased", "programmed",
               "read", "CPU s", "peak RSS KiB"]))
    print(row(["---", "---", "---:", "---", "---:", "---", "---:", "---:", "---:", "---:", "---:",
               "---:", "---:", "---:", "---:"]))
    n = 0
    summary = {}  # (area, rate): {case label: "ratio (erased)"}
    notes = []
    for area, rate in plan:
        paths, differing = bench.images(area)
        blocks = AREAS[area][1] // BLOCK
        baselines, rows = [], []

        def baseline():
            nonlocal n
            n += 1
            say(f"B{n}: {area} at {rate}, write then verify")
            run = bench.write_verify(f"B{n}", area, rate, paths)
            baselines.append(run)
            rows.append((f"B{n}", "write+verify", blocks, run, None))

        baseline()
        for case, label, target in CASES:
            n += 1
            say(f"U{n}: {area} at {rate}, update, {label}")
            rows.append((f"U{n}", label, len(differing[case]),
                         bench.update(f"U{n}", area, rate, paths, case), target))
        if o.baselines == 2:
            baseline()
        note = (f"{area}: the scattered blocks are numbers "
                f"{', '.join(map(str, differing['scattered']))} of 0 to {blocks - 1}.")
        if note not in notes:
            notes.append(note)
        ok = [b for b in baselines if b.ok]
        base_wall = sum(b.wall for b in ok) / len(ok) if ok else 0
        base_model = ok[0].model_s(rate, o.erase_ms, o.program_ms) if ok else 0
        for id_, label, differ, run, target in rows:
            ratio = model = "-"
            if run.ok and base_wall:
                ratio = f"{run.wall / base_wall:.3f}"
                model = f"{run.model_s(rate, o.erase_ms, o.program_ms) / base_model:.3f}"
            if target:
                summary.setdefault((area, rate), {})[label] = f"{ratio} ({run.erased})"
            print(row([id_, area, rate, label, differ, run.result, f"{run.wall:.2f}", ratio,
                       f"<= {target:.2f}" if target else "", model, run.erased, run.programmed,
                       run.read, f"{run.cpu:.2f}", run.rss_kib]), flush=True)
    if summary:
        print("\nIn short: wall time of update / write+verify (blocks erased by update).\n")
        print(row(["case", "target", *(f"{a} at {r}" for a, r in summary)]))
        print(row(["---", "---:", *("---:" for _ in summary)]))
        for _, label, target in CASES:
            cells = (by_case.get(label, "-") for by_case in summary.values())
            print(row([label, f"<= {target:.2f}", *cells]))
    print()
    for note in notes:
        print(f"- {note}")
    print()
    print(f"Load average at the end: {load()}. "
          f"Run time {time.monotonic() - started:.0f} s. Logs: {bench.runs_dir}.")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except RuntimeError as e:
        print(f"bench/update.py: {e}", file=sys.stderr)
        sys.exit(1)
