"""Section 5: unpaced runs. The tool against syscon_sim as fast as it can go:
throughput, CPU time, peak memory, and system calls per block under strace."""

from common import AREAS, header, num, row


def run(b):
    print("## 5. Unpaced runs (syscon_sim as fast as it can)\n")
    print("System calls from a second run under strace -c -f.\n")
    header("#", "area", "operation", "block:", "result", "wall s:", "MB/s:", "user s:", "sys s:",
           "peak RSS KiB:", "system calls per block (read, write)")
    area = "ipl" if b.mode == "smoke" else "apli"
    size = AREAS[area][2]
    n = 0
    for op in ("write", "read"):
        for block in (4096, 1024):
            n += 1
            r = b.run(f"U{n}", "quiet", area, op, block, 0)
            # strace stops the tool at every system call; on a loaded machine
            # that can stretch a wait past its time limit: up to three tries.
            for attempt in (1, 2, 3):
                s = b.run(f"U{n}-strace{attempt}", "strace", area, op, block, 0)
                if s.result == "ok":
                    break
            b.check(s.result == "ok", f"U{n} under strace: {s.result}")
            b.check(r.result == "ok", f"U{n}: {r.result}")
            total, reads, writes = (c / (size // block) for c in s.calls)
            row(f"U{n}", area, op, block, r.result, num(r.wall, "%.3f"),
                num(r.wall and size / r.wall / 1e6, "%.2f"), num(r.user, "%.2f"),
                num(r.sys, "%.2f"), num(r.rss, "%d"), f"{total:.1f} ({reads:.1f}, {writes:.1f})")
