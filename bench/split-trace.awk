# Splits a syscon_sim trace of one paced session (SYSCON acknowledging after
# the command code) into where the time went:
#
#   awk -v rate=BAUD -f bench/split-trace.awk TRACE
#
# prints "exchanges session_ms late_ms turnaround_ms", where
#   session    from the simulator seeing the port opened to seeing it closed;
#   late       responses finished later than the end of their request plus
#              their own byte times (the simulator's share);
#   turnaround requests complete later than the previous response's last
#              byte plus the request's own byte times: the client's share,
#              and the pseudo-terminal's and the simulator's wake-ups.
# The ACK crosses while the request is still arriving, so it takes no time
# of its own here. Trace lines: "  1234.567 ms  tag     text".
function bytes_ms(n) { return n * 11000.0 / rate }

function request_length(line, code) {
    if (code == "DEV") return 7
    if (code == "SIZ") return 10
    if (code == "ERS") return 18
    if (code == "RDT") return 13
    if (code == "WDT" && match(line, /data=[0-9]+/)) return substr(line, RSTART + 5, RLENGTH - 5) + 14
    return 5
}

/ session  *client opened/ { opened = $1 }
/ session  *client closed/ { closed = $1 }
$3 == "rx" {
    rx = $1
    if (last_tx != "")
        turnaround += rx - last_tx - bytes_ms(request_length($0, $4))
    next
}
$3 == "tx" && $4 != "ACK" {
    n = 11
    if ($4 == "SIZ") n = 14
    if ($4 == "RDT" && match($0, /block=[0-9]+/)) n = substr($0, RSTART + 6, RLENGTH - 6) + 15
    late += $1 - rx - bytes_ms(n)
    last_tx = $1
    exchanges++
}
END { printf "%d %.3f %.3f %.3f\n", exchanges, closed - opened, late, turnaround }
