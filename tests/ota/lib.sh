# Shared by the ota tests, sourced with TOOL, SIM and the programs the test
# needs as arguments: a work directory, syscon_sim runs and verdict lines.
# TOOL's directory goes first in PATH, where the integrations find it.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
tool=$(realpath "$1") sim=$(realpath "$2")
shift 2
command -v "$@" >/dev/null || { echo "FAILED: one of $* is not installed (scripts/install-deps)"; exit 1; }
PATH=$(dirname "$tool"):$PATH
# The tool gives the SYSCON 100 ms to acknowledge: like the other suites, run
# at nice -10 where the system allows it (the programs started inherit it).
renice -n -10 -p $$ >/dev/null 2>&1 || true
work=$(mktemp -d)
sim_pid=
trap '[ -z "$sim_pid" ] || kill $sim_pid; rm -rf "$work"' EXIT
failed=0
check() { # check WHAT COMMAND...
    if "${@:2}"; then echo "  ok: $1"; else echo "  FAILED: $1"; failed=1; fi
}
# start_sim [OPTIONS...]: syscon_sim on $work/tty, flash saved to $work/flash.bin
start_sim() {
    "$sim" --link "$work/tty" --save ipl="$work/flash.bin" "$@" >/dev/null 2>"$work/sim.err" &
    sim_pid=$!
    for _ in $(seq 100); do [ -e "$work/tty" ] && return; sleep 0.05; done
    echo "FAILED: syscon_sim did not start: $(cat "$work/sim.err")" && exit 1
}
# stop_sim: ends the simulator, which writes its flash and its summary line
stop_sim() {
    kill $sim_pid && wait $sim_pid || true
    sim_pid=
}
# padded IMAGE: the boot loader area holding IMAGE (the rest erased)
padded() { cat "$1" && head -c $((0x18000 - $(stat -c %s "$1"))) /dev/zero | tr '\0' '\377'; }
