"""Section 3: where the time goes. The same transfers by update_syscon and by
bench_client (the least a client can do), each with the simulator's trace
split into the simulator's share, the turnaround between exchanges and the
rest (process start and exit)."""

import re

from common import header, line_ms, num, row

REQUEST = {"DEV": 7, "SIZ": 10, "ERS": 18, "RDT": 13}  # bytes; WDT: data + 14; others 5


def split(trace, rate):
    """(exchanges, late ms, turnaround ms) of a paced session in which the
    SYSCON acknowledges after the command code (so the ACK takes no time of
    its own). late: responses finished later than the end of their request
    plus their own byte times; turnaround: requests complete later than the
    previous response's last byte plus their own byte times. Trace lines:
    "  1234.567 ms  tag     text"."""
    exchanges, late, turnaround, rx, last_tx = 0, 0.0, 0.0, 0.0, None
    for line in open(trace, errors="replace"):
        f = line.split()
        if len(f) >= 4 and f[2] == "rx":
            rx = float(f[0])
            data = re.search(r"data=(\d+)", line)
            n = int(data.group(1)) + 14 if f[3] == "WDT" and data else REQUEST.get(f[3], 5)
            if last_tx is not None:
                turnaround += rx - last_tx - line_ms(n, rate)
        elif len(f) >= 4 and f[2] == "tx" and f[3] != "ACK":
            block = re.search(r"block=(\d+)", line)
            n = int(block.group(1)) + 15 if f[3] == "RDT" and block else 14 if f[3] == "SIZ" else 11
            late += float(f[0]) - rx - line_ms(n, rate)
            last_tx = float(f[0])
            exchanges += 1
    return exchanges, late, turnaround


def run(b):
    print("## 3. Where the time goes\n")
    print("update_syscon and bench_client; the simulator's trace split into late, turnaround and")
    print("rest (bench/README.md).\n")
    header("#", "client", "area", "operation", "block:", "rate:", "result", "wall s:",
           "wire bound s:", "efficiency:", "exchanges:", "late ms:", "turnaround ms (per exchange)",
           "rest ms:", "CPU s:", "involuntary switches:")
    plan = [("ipl", "read", 1024, 3000000)]
    if b.mode != "smoke":
        plan = [("ipl", "write", 4096, 921600), ("ipl", "read", 4096, 921600),
                ("ipl", "write", 1024, 3000000), *plan, ("ipl", "read", 1024, 115200)]
    n = 0
    for area, op, block, rate in plan:
        for runner, name in (("quiet", "update_syscon"), ("client", "bench_client")):
            n += 1
            r = b.run(f"T{n}", runner, area, op, block, rate, trace=True)
            b.check(r.ok, f"T{n}: {r.result}")
            trace = b.out / "runs" / f"T{n}.trace"
            exchanges, late, turn = split(trace, rate) if trace.exists() else (0, 0.0, 0.0)
            rest = r.bound and (r.wall - r.bound) * 1000 - late - turn
            row(f"T{n}", name, area, op, block, rate, r.result, num(r.wall, "%.3f"),
                num(r.bound, "%.3f"), num(r.efficiency, "%.3f"), exchanges, f"{late:.1f}",
                f"{turn:.1f} ({turn / exchanges if exchanges else 0:.3f})", num(rest, "%.1f"),
                num(r.cpu, "%.2f"), num(r.ivcsw, "%d"))
