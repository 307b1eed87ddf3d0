"""Section 7: busy poll against quiet wait. The default build (poll() for the
time left between reads) against a SYSCON_BUSY_POLL build: CPU time against
wall time on paced transfers, then the contention runs of section 4 five times
each, with bench_client beside them."""

from common import header, num, row
from sections.contention import contended

PACED = [("ipl", "write", 4096, 115200), ("ipl", "read", 4096, 115200),
         ("font", "read", 1024, 921600)]


def run(b):
    print("## 7. Busy poll against quiet wait\n")
    print(f"Quiet wait: the default build, {b.tool}. Busy poll: {b.busy_tool} "
          "(SYSCON_BUSY_POLL).\nsyscon_sim --pace, acknowledging after the code.\n")
    header("#", "build", "area", "operation", "block:", "rate:", "result", "wall s:",
           "wire bound s:", "efficiency:", "CPU s:", "CPU % of wall:", "involuntary switches:")
    n, eff = 0, {}
    for area, op, block, rate in PACED:
        for kind in ("busy", "quiet"):
            n += 1
            r = b.run(f"W{n}", kind, area, op, block, rate)
            eff[kind, area, op] = r.efficiency
            row(f"W{n}", "busy poll" if kind == "busy" else "quiet wait", area, op, block, rate,
                r.result, num(r.wall, "%.3f"), num(r.bound, "%.3f"), num(r.efficiency, "%.4f"),
                num(r.cpu, "%.2f"), num(r.wall and 100 * r.cpu / r.wall, "%.1f"),
                num(r.ivcsw, "%d"))
    q, p = eff["quiet", "ipl", "write"], eff["busy", "ipl", "write"]
    gain = "none (a run failed or sent a block again)" if None in (q, p) else f"{q - p:+.4f}"
    print(f"\nEfficiency, quiet wait minus busy poll: {gain} on the paced ipl write at 115200.\n")
    print("Under contention as in section 4:\n")
    summary = contended(b, "X", [("quiet", 5), ("busy", 5), ("client", 3)])
    print('\nPer client ("-" = the run failed):\n')
    print("\n".join(f"- {line}" for line in summary))
