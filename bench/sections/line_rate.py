"""Section 1: line-rate runs. The tool against syscon_sim --pace, write, read
back and local checksum, for areas, block sizes and rates; efficiency = the
least time the line allows / wall time."""

from common import TABLE_RATES, paced_header, paced_row


def plan(mode):
    """(area, operation, block, rate) of each run."""
    if mode == "smoke":
        return [("ipl", "write", 4096, 921600), ("ipl", "read", 1024, 3000000),
                ("ipl", "checksum", 4096, 3000000)]
    if mode == "full":
        return [(area, op, block, rate) for rate in TABLE_RATES
                for block in (4096, 1024)
                for area, op in [(a, op) for a in ("ipl", "font")
                                 for op in ("write", "read", "checksum")] + [("apli", "write")]]
    # The whole matrix takes 50 minutes, mostly at the low rates: the default
    # run keeps its shape where it is cheap and samples it where it is not.
    runs = [("ipl", op, block, 38400) for block in (4096, 1024) for op in ("write", "read")]
    for areas, rates in [(("ipl",), (115200, 460800, 921600, 3000000)),
                         (("font",), (460800, 921600, 3000000))]:
        runs += [(area, op, block, rate) for area in areas for rate in rates
                 for block in (4096, 1024) for op in ("write", "read", "checksum")]
    return runs + [("apli", "write", block, rate) for rate in (921600, 3000000)
                   for block in (4096, 1024)]


def run(b):
    print("## 1. Line-rate runs\n")
    print("syscon_sim --pace, erase and program times 0, acknowledging after the command code.\n")
    paced_header()
    for n, (area, op, block, rate) in enumerate(plan(b.mode), 1):
        # The checksum leaves the last 4 KiB out, so that the tool sums locally.
        paced_row(b, f"L{n}", area, op, block, rate, skip="last" if op == "checksum" else "")
