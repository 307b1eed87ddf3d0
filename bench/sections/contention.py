"""Section 4: under CPU contention. A transfer far inside its limits (font
area read back, 1024-byte blocks, 921600 baud) with three CPU-bound loops
beside it, by the tool and by bench_client. Section 7 runs it too."""

import os

from common import header, hogs, num, row

NAMES = {"quiet": "update_syscon, quiet wait", "busy": "update_syscon, busy poll",
         "client": "bench_client"}


def contended(b, prefix, plan):
    """Runs each (kind, count) of the plan, count times, and prints a row per
    run; returns "kind: efficiency ...; time-outs N" per kind."""
    header("#", "client", "result", "time-outs:", "wall s:", "wire bound s:", "efficiency:",
           "CPU s:", "involuntary switches:")
    n, summary = 0, []
    with hogs():
        for kind, count in plan:
            effs, timeouts = [], 0
            for _ in range(count):
                n += 1
                r = b.run(f"{prefix}{n}", kind, "font", "read", 1024, 921600)
                effs.append(num(r.efficiency, "%.3f"))
                timeouts += r.timeouts
                row(f"{prefix}{n}", NAMES[kind], r.result, r.timeouts, num(r.wall, "%.3f"),
                    num(r.bound, "%.3f"), effs[-1], num(r.cpu, "%.2f"), num(r.ivcsw, "%d"))
            summary.append(f"{kind}: efficiency {' '.join(effs)}; time-outs {timeouts}")
    return summary


def run(b):
    print("## 4. Under CPU contention\n")
    print("Font area read back, 1024-byte blocks, 921600 baud (fits its limits 240 times over),")
    print(f"three CPU-bound loops beside it on the {os.cpu_count()} cores.\n")
    contended(b, "C", [("quiet", 2), ("client", 1)])
