# Shared by the shell-level test stages: a syscon_sim program in the
# background, its slave path, and verdict counting. Source it; it needs
# SIM (the syscon_sim binary) and WORK (a scratch directory).

passed=0
failed=0
sim_pid=
sim_port=

pass() { passed=$((passed + 1)); echo "  ok: $*"; }
fail() { failed=$((failed + 1)); echo "  FAILED: $*"; }

# start_sim ARGS...: starts the simulator and waits for its first line.
start_sim() {
    rm -f "$WORK/sim.out" "$WORK/sim.err"
    "$SIM" "$@" >"$WORK/sim.out" 2>"$WORK/sim.err" &
    sim_pid=$!
    for _ in $(seq 100); do
        sim_port=$(head -n 1 "$WORK/sim.out" 2>/dev/null || true)
        [ -n "$sim_port" ] && return 0
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "syscon_sim did not start:" >&2
    cat "$WORK/sim.err" >&2
    return 1
}

# stop_sim: SIGTERM, then wait, so that its --save files are written.
stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" || true
        sim_pid=
    fi
}

# An image of the boot loader area (0x18000 bytes): pseudo-random bytes with
# the sixth 4 KiB block all 0xFF, so that the write also skips a block.
make_ipl_image() {
    head -c $((0x18000)) /dev/urandom >"$1"
    head -c 4096 /dev/zero | tr '\0' '\377' | dd of="$1" bs=4096 seek=5 conv=notrunc status=none
}

# verdict NAME: prints the closing line and fails when anything failed.
verdict() {
    echo "$1: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
