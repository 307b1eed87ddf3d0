"""Section 2: the operating envelope. The lowest rate at which each block
exchange meets its time limit, derived from the frame lengths, then confirmed
by runs on each side of each limit."""

from common import TABLE_RATES, TIGHTEST, header, line_ms, paced_header, paced_row, row


def derived():
    header("block:", "SYSCON acknowledges", "exchange that runs out", "bytes against the limit:",
           "limit:", "lowest rate:", "lowest table rate (needs / limit)",
           "next lower table rate (needs)")
    for block in (4096, 1024):
        for (write, ack), (extra, limit, _, label) in TIGHTEST.items():
            n = block + extra
            fits = [i for i, rate in enumerate(TABLE_RATES) if line_ms(n, rate) < limit]
            low, below = "none", "-"
            if fits:
                rate, need = TABLE_RATES[fits[0]], line_ms(n, TABLE_RATES[fits[0]])
                low = f"{rate} ({need:.1f} / {limit} ms{', edge' if need >= 0.95 * limit else ''})"
                below = "none in the table"
                if fits[0]:
                    lower = TABLE_RATES[fits[0] - 1]
                    below = f"{lower} ({line_ms(n, lower):.1f} ms)"
            row(block, "after the code" if ack == "code" else "after the whole frame", label, n,
                f"{limit} ms", int(n * 11000 / limit) + 1, low, below)


def plan(mode):
    """(operation, block, rate, ack, skip) on each side of each limit. ACK after
    the code: one block exchange (a whole area takes minutes at these rates);
    after the whole frame: the whole area."""
    if mode == "smoke":
        return [("write", 4096, 115200, "frame", ""), ("write", 4096, 921600, "frame", "")]
    code = [(4096, 9600), (4096, 19200), (1024, 2400), (1024, 4800)]
    frame = [(4096, 115200), (4096, 460800), (4096, 921600),
             (1024, 38400), (1024, 115200), (1024, 460800)]
    return ([(op, block, rate, "code", "one") for pair in (code[:2], code[2:])
             for op in ("write", "checksum") for block, rate in pair]
            + [("write", block, rate, "frame", "") for block, rate in frame])


def run(b):
    print("## 2. Operating envelope\n")
    print("Lowest rate at which each block exchange meets its time limit:\n")
    derived()
    print("\nConfirmed on each side of each limit:\n")
    paced_header()
    for n, (op, block, rate, ack, skip) in enumerate(plan(b.mode), 1):
        paced_row(b, f"E{n}", "ipl", op, block, rate, ack, skip)
