# Splits a syscon_sim trace of one paced session (SYSCON acknowledging after
# the command code) into where the time went:
#
#   awk -v rate=BAUD -f bench/split-trace.awk TRACE
#
# prints "exchanges session_ms late_ms turnaround_ms", where
#   session    from the simulator seeing the port opened to seeing it closed;
#   late       responses finished later than the request's end plus the
#              response's own byte times (the simulator's share);
#   turnaround from one response's last byte to the next ACK, less the five
#              byte times that the ACK itself needs (STX, code, ACK): the
#              client's share plus the pseudo-terminal's and the simulator's
#              wake-ups.
# Trace lines: "  1234.567 ms  tag     text".
function bytes_ms(n) { return n * 11000.0 / rate }

/ session  *client opened/ { opened = $1 }
/ session  *client closed/ { closed = $1 }
$3 == "rx" { rx = $1 }
$3 == "tx" && $4 == "ACK" {
    if (last_tx != "")
        turnaround += $1 - last_tx - bytes_ms(5)
    next
}
$3 == "tx" {
    n = 11
    if ($4 == "SIZ") n = 14
    if ($4 == "RDT" && match($0, /block=[0-9]+/)) n = substr($0, RSTART + 6, RLENGTH - 6) + 15
    late += $1 - rx - bytes_ms(n)
    last_tx = $1
    exchanges++
}
END { printf "%d %.3f %.3f %.3f\n", exchanges, closed - opened, late, turnaround }
