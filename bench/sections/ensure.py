"""Section 9: ensure against update, the three areas one after the other on a
paced line, as a boot service runs them. When nothing changed since the last
proven update, ensure costs the preamble and two queries per area where
update reads every block; after one block of each area changed behind the
record's back, ensure updates as update does, plus its queries and record."""

import os
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from common import AREAS, header, row, say

RATES = (115200, 921600)
LIMITS = {"unchanged": 0.01, "one block changed": 1.05}  # at 115200


class Board:
    """The three areas' images and a simulated SYSCON whose flash persists
    across sessions in two device files, with ensure's state directory."""

    def __init__(self, b, work):
        self.b, self.work = b, work
        self.devices = [work / "dev0.bin", work / "dev1.bin"]
        flash = [bytearray(b"\xff" * 0x200000) for _ in range(2)]
        self.images = {}
        for area, (dev, start, size) in AREAS.items():
            self.images[area] = work / f"{area}.bin"
            data = os.urandom(size)
            self.images[area].write_bytes(data)
            flash[dev][start:start + size] = data
        for path, data in zip(self.devices, flash):
            path.write_bytes(bytes(data))
        self.env = dict(os.environ, UPDATE_SYSCON_STATE=str(work / "state"))

    def records(self):
        return sorted((self.work / "state").glob("*"))

    def change_one_block(self):
        """Changes the last block of every area in the flash, not in the images."""
        flash = [bytearray(p.read_bytes()) for p in self.devices]
        for dev, start, size in AREAS.values():
            flash[dev][start + size - 1] ^= 0xFF
        for path, data in zip(self.devices, flash):
            path.write_bytes(bytes(data))

    def boot(self, op, rate):
        """One session: op on apli, font and ipl in turn. Returns the wall
        seconds of the three runs, or None when one failed."""
        tty = self.work / "tty"
        sim = [self.b.sim, "--link", str(tty)] + ["--pace"] * (rate != 0)
        for i, path in enumerate(self.devices):
            sim += ["--load", f"dev{i}={path}", "--save", f"dev{i}={path}"]
        proc = subprocess.Popen(sim, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            for _ in range(250):
                if tty.exists():
                    break
                time.sleep(0.02)
            began = time.monotonic()
            for area in AREAS:
                cmd = [self.b.tool, "-d", str(tty), "-b", str(rate or 921600), "-o", op, "-t",
                       area, "-f", str(self.images[area])]
                if subprocess.call(cmd, env=self.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL) != 0:
                    return None
            return time.monotonic() - began
        finally:
            proc.send_signal(signal.SIGTERM)  # saves the flash
            proc.wait()


def run(b):
    print("## 9. Ensure against update at boot\n")
    print("The three areas (apli, font, ipl) one after the other, syscon_sim --pace, random "
          "images that fill the areas. Ratio: ensure's wall time over update's in the same "
          "state, measured in the same run.\n")
    header("rate:", "state", "ensure s:", "update s:", "ratio:", "limit:")
    for rate in RATES:
        with tempfile.TemporaryDirectory(prefix="bench-ensure-") as tmp:
            board = Board(b, Path(tmp))
            say(f"ensure: recording the first proof, unpaced (rate {rate} next)")
            board.boot("ensure", 0)
            for state in ("unchanged", "one block changed"):
                if state != "unchanged":
                    board.change_one_block()
                # Update removes the records it erases under: both come back for ensure.
                saved = {p: p.read_bytes() for p in [*board.devices, *board.records()]}
                say(f"ensure: {state}, {rate} baud: update")
                update = board.boot("update", rate)
                for path, data in saved.items():
                    path.write_bytes(data)
                say(f"ensure: {state}, {rate} baud: ensure")
                ensure = board.boot("ensure", rate)
                ratio = ensure / update if ensure and update else None
                limit = LIMITS[state] if rate == 115200 else None
                if limit is not None:
                    b.check(ratio is not None and ratio <= limit,
                            f"ensure/update {state} at {rate}: {ratio}")
                row(rate, state, "-" if ensure is None else f"{ensure:.3f}",
                    "-" if update is None else f"{update:.3f}",
                    "-" if ratio is None else f"{ratio:.4f}", "-" if limit is None else limit)
