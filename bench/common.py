"""What the sections of bench/run share: the areas, the time limits, one
measured run of a client against syscon_sim, the report's tables and checks."""

import os
import re
import subprocess
import sys
import time
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path

AREAS = {"apli": (0, 0x000000, 0x1E8000),  # name: flash device, start, size
         "ipl": (0, 0x1E8000, 0x018000),
         "font": (1, 0x100000, 0x060000)}
BITS = 11  # a byte on the line: start, 8 data, 2 stop bits
TABLE_RATES = (38400, 115200, 460800, 921600, 3000000)

# The exchange of an operation that comes nearest its time limit, by (write?,
# when the SYSCON acknowledges): bytes beyond the block that must cross within
# the limit, the limit in ms, a short and a long name.
#   "code"  (the simulator's default) the ACK comes 5 byte times after the frame
#           starts; the 3000 ms response limit of WDT and RDT covers the rest of
#           the request and the whole response: WDT (B+14-4) + 11, RDT (13-4) + (B+15).
#   "frame" (--ack-after-frame) the 100 ms ACK limit covers the whole WDT frame
#           (B+14) and the ACK; the RDT response (B+15) alone meets 3000 ms.
TIGHTEST = {(True, "code"): (21, 3000, "WDT rest+reply", "WDT: rest of the request + reply"),
            (False, "code"): (24, 3000, "RDT rest+reply", "RDT: rest of the request + reply"),
            (True, "frame"): (15, 100, "WDT frame+ACK", "WDT: whole request + ACK"),
            (False, "frame"): (15, 3000, "RDT reply", "RDT: reply")}


def line_ms(n, rate):
    return n * BITS * 1000 / rate


def say(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


def num(x, fmt):
    return "-" if x is None else fmt % x


def row(*cells):
    print("| " + " | ".join(str(c) for c in cells) + " |", flush=True)


def header(*columns):
    """A table head; a column whose name ends in ":" is right-aligned."""
    row(*(c.rstrip(":") for c in columns))
    print("|" + "|".join("---:" if c.endswith(":") else "---" for c in columns) + "|")


def load():
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


def last_line(path):
    lines = [line for line in Path(path).read_text(errors="replace").splitlines() if line.strip()]
    return lines[-1] if lines else ""


def sim_summary(log):
    """The simulator's summary in LOG.sim.err: {request code: count} and (bytes
    in, bytes out), or None when it printed none."""
    lines = re.findall(r"requests .*", Path(f"{log}.sim.err").read_text(errors="replace"))
    if not lines:
        return {}, None
    counts = re.search(r"bytes in (\d+) out (\d+)", lines[-1])
    return ({code: int(n) for code, n in re.findall(r"\b([A-Z]{3})=(\d+)", lines[-1])},
            counts and (int(counts[1]), int(counts[2])))


@contextmanager
def hogs():
    """Three CPU-bound loops beside the runs, for as long as the block lasts."""
    procs = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(3)]
    try:
        yield
    finally:
        for p in procs:
            p.kill()
            p.wait()


class Result:
    """One run: wall, user, sys and cpu seconds, peak RSS KiB, involuntary
    context switches, bytes to and from the SYSCON as the simulator counted
    them, bound = the least time the line allows for them, "ERROR: timeout"
    lines, system calls (total, read, write) under strace."""
    wall = user = sys = cpu = rss = ivcsw = bytes = bound = efficiency = None
    timeouts, resent, calls = 0, 0, (0, 0, 0)

    def __init__(self, result=""):
        self.result = result

    @property
    def ok(self):
        return self.result.startswith("ok")


@dataclass
class Bench:
    mode: str
    out: Path
    tool: str  # the default build: the quiet wait
    busy_tool: str  # SYSCON_BUSY_POLL
    sim: str
    opts: object  # bench/run's options (section 8 takes its own)
    checks: int = 0
    unexpected: list = field(default_factory=list)
    images: dict = field(default_factory=dict)

    def check(self, passed, what):
        """Each configuration is a check: it passes when it came out as its
        time limits predict (and a transfer that should complete did, with the
        right data)."""
        self.checks += 1
        if not passed:
            self.unexpected.append(what)

    def image(self, area):
        """A random image filling the area: every block crosses the line."""
        if area not in self.images:
            self.images[area] = self.out / "img" / f"{area}.bin"
            self.images[area].write_bytes(os.urandom(AREAS[area][2]))
        return self.images[area]

    @contextmanager
    def simulator(self, log, args):
        """syscon_sim ARGS, its output in LOG.sim.out and LOG.sim.err; yields the
        device it serves ("" when it did not start). Then lets a --once simulator
        see the port closed and exit, and stops it after 2 s (after a failed run
        it may still answer frames left queued); stops any other at once (it
        saves its flash on SIGTERM)."""
        with open(f"{log}.sim.out", "wb") as out, open(f"{log}.sim.err", "wb") as err:
            proc = subprocess.Popen([self.sim, *args], stdout=out, stderr=err)
        try:
            dev = ""
            for _ in range(250):  # the simulator prints its device when ready
                dev = Path(f"{log}.sim.out").read_text()
                if dev.endswith("\n") or proc.poll() is not None:
                    break
                time.sleep(0.02)
            yield dev.split("\n")[0]
        finally:
            try:
                proc.wait(timeout=2 if "--once" in args else 0)
            except subprocess.TimeoutExpired:
                proc.terminate()
                proc.wait()

    def measure(self, log, cmd):
        """Runs CMD under bench_measure, its output in LOG.stdout and LOG.stderr;
        returns its status, wall, user and system seconds, peak RSS KiB and
        involuntary context switches."""
        with open(f"{log}.stdout", "wb") as out, open(f"{log}.stderr", "wb") as err:
            subprocess.call([self.out / "tools/bench_measure", f"{log}.measure", *cmd],
                            stdout=out, stderr=err)
        status, wall, user, system, rss, ivcsw = Path(f"{log}.measure").read_text().split()
        return int(status), float(wall), float(user), float(system), int(rss), int(ivcsw)

    def run(self, id_, runner, area, op, block, rate, ack="code", skip="", trace=False):
        """Runs one configuration.
          runner  "quiet" (the tool), "busy" (the busy-poll build), "strace"
                  (the tool under strace -c -f) or "client" (bench_client);
          rate    0 for an unpaced simulator, else the paced line rate;
          skip    "" the whole area; "last" a checksum leaving the last 4 KiB
                  out; "one" the last block alone (write or checksum with a
                  skip area over the rest)."""
        log, img = self.out / "runs" / id_, self.image(area)
        device, start, size = AREAS[area]
        got = Path(f"{log}.{dict(write='flash', read='back', checksum='sum')[op]}")
        sim = ["--once", "--erase-ms", "0", "--program-ms", "0"]
        sim += ["--pace"] * (rate != 0) + ["--max-block", "1024"] * (block == 1024)
        sim += ["--ack-after-frame"] * (ack == "frame") + ["--trace", f"{log}.trace"] * trace
        sim += ["--save" if op == "write" else "--load", f"{area}={got if op == 'write' else img}"]
        # Unpaced, any rate that the port takes will do.
        tool = ["-b", str(rate or 3000000), "-o", op, "-t", area,
                "-f", str(img if op == "write" else got)]
        blocks, checked = size // block, (0, size)  # requests expected, image bytes to match
        if skip == "last":
            tool += ["-s", f"{start + size - 4096:X},{4096:X}"]
            blocks, checked = (size - 4096) // block, (0, size - 4096)
        elif skip == "one":
            tool += ["-s", f"{start:X},{size - block:X}"]
            blocks, checked = 1, (size - block, size)

        r = Result()
        say(f"{id_}: {runner}, {area} {op}, {block}-byte blocks, "
            + (f"{rate} baud" if rate else "unpaced") + ", ACK after the frame" * (ack == "frame")
            + ", traced" * trace)
        with self.simulator(log, sim) as dev:
            if not dev:
                r.result = f"FAIL: simulator did not start ({last_line(f'{log}.sim.err')})"
                return r
            cmd = [self.busy_tool if runner == "busy" else self.tool, "-d", dev, *tool]
            if runner == "strace":
                cmd = ["strace", "-c", "-f", "-o", f"{log}.strace", *cmd]
            elif runner == "client":
                cmd = [self.out / "tools/bench_client", dev, str(rate), op,
                       *map(str, (device, start, size, block)), img]
            status, r.wall, r.user, r.sys, r.rss, r.ivcsw = self.measure(log, cmd)
        r.cpu = r.user + r.sys
        if runner == "strace":
            lines = Path(f"{log}.strace").read_text().splitlines()
            rows = [f for f in map(str.split, lines) if len(f) >= 5 and f[3].isdigit()]
            calls = {f[-1]: int(f[3]) for f in rows}
            r.calls = tuple(calls.get(name, 0) for name in ("total", "read", "write"))
        requests, counts = sim_summary(log)
        r.resent = max(requests.get("WDT" if op == "write" else "RDT", 0) - blocks, 0)
        if counts and rate:
            r.bytes = counts
            r.bound = sum(r.bytes) * BITS / rate
        stderr = Path(f"{log}.stderr").read_text(errors="replace").splitlines()
        r.timeouts = sum("ERROR: timeout" in line for line in stderr)

        image = img.read_bytes()[checked[0]:checked[1]]
        data = got.read_bytes() if got.exists() else b""
        if op == "checksum":  # as the tool prints it, against the image's
            sums = data.decode(errors="replace").strip(), f"{sum(image) % 65536:04X}"
        if status:
            why = last_line(f"{log}.stderr").replace("\r", "").replace("|", "")[:60]
            # The first time-out tells which limit ran out first: the
            # response's when the invalid-response line follows it, else the ACK's.
            after = [stderr[i + 1] for i, x in enumerate(stderr[:-1]) if "ERROR: timeout" in x]
            if after and after[0]:
                late = "Invalid Response: CMD_N" in after[0]
                limit = "response over its time limit" if late else "no ACK within 100 ms"
                why = f"{limit}, then {why}"
            r.result = f"FAIL exit {status}, {why}"
        elif op == "write" and not data:
            r.result = "FAIL: exit 0, but the simulator saved no flash"
        elif op == "write" and data[checked[0]:checked[1]] != image:
            r.result = "FAIL: exit 0, but the flash differs from the image"
        elif op == "read" and runner != "client" and data != image:
            r.result = "FAIL: exit 0, but the read-back differs from the image"
        elif op == "checksum" and skip and sums[0] != sums[1]:
            r.result = f"FAIL: exit 0, but checksum {sums[0]} instead of {sums[1]}"
        else:
            r.result = "ok"
        if r.resent:  # frames sent again overlap other traffic: their bytes make no bound
            r.result += f", {r.resent} block request(s) sent again"
        elif r.result == "ok" and r.bound:
            r.efficiency = r.bound / r.wall
        return r


def paced_header():
    header("#", "area", "operation", "block:", "rate:", "ACK after",
           "tightest exchange: needs / limit", "result", "wall s:", "bytes to / from SYSCON:",
           "wire bound s:", "efficiency:", "tool CPU s:")


def paced_row(b, id_, area, op, block, rate, ack="code", skip=""):
    """Runs a line-rate configuration of the tool, prints its row and checks it
    against what its tightest time limit predicts: fits, edge (within 5 % of
    the limit: may go either way) or outgrows."""
    extra, limit, what, _ = TIGHTEST[op == "write", ack]
    need = line_ms(block + extra, rate)
    predicted = "outgrows" if need >= limit else "edge" if need >= 0.95 * limit else "fits"
    r = b.run(id_, "quiet", area, op, block, rate, ack, skip)
    shown = {"": op, "last": f"{op} -s (last 4 KiB left out)", "one": f"{op}, last block only"}
    row(id_, area, shown[skip], block, rate, ack, f"{need:.1f} / {limit} ms ({what})", r.result,
        num(r.wall, "%.3f"), " / ".join(map(str, r.bytes or ("-", "-"))), num(r.bound, "%.3f"),
        num(r.efficiency, "%.3f"), num(r.cpu, "%.2f"))
    got = "fits" if r.ok else "outgrows"
    b.check(predicted in ("edge", got),
            f'{id_}: the time limit predicts "{predicted}", the run gave: {r.result}')
