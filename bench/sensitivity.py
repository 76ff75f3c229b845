#!/usr/bin/env python3
"""Sensitivity of the receiver: the share of frames decoded with every bit right, against Eb/N0.

Runs the `sensitivity` program (built by bench/CMakeLists.txt) for each bit rate and Eb/N0 of the
grid, each point S fixed-seed signals (seeds 1..S) of N frames of the simulated station's usual
message mix, and prints a markdown table of the shares over all S x N frames. The same command
always prints the same table. Several seeds, because one lost lock costs several frames (the
decoder relocks only on a frame whose preamble follows a word ending in two 0 bits), so the count
of one signal swings by a few per cent with its noise.

Beside each decoded share, the table gives the share of frames whose bits all came out of the
demodulator right (the most any word and frame synchroniser could make of its decisions), and the
share an ideal coherent MSK receiver would reach on frames of the same mean length: every bit
right at a bit error rate of Q(sqrt(2 Eb/N0)), synchronisation taken as free. The gaps, read off in
dB, are what the frequency discriminator and the RTCM synchronisation each cost.

    bench/sensitivity.py [--build DIR] [--frames N] [--seeds S] [--jobs J] [--from DB] [--to DB] [--step DB]
"""

import argparse
import concurrent.futures
import json
import math
import os
import subprocess
import sys


def run_point(program, rate, ebn0, frames, seed):
    command = [program, "--rate", str(rate), "--ebn0", f"{ebn0:g}", "--frames", str(frames), "--seed", str(seed)]
    result = subprocess.run(command, capture_output=True, text=True, check=True)
    return json.loads(result.stdout)


def ideal_frame_share(ebn0_db, bits_per_frame):
    bit_error = 0.5 * math.erfc(math.sqrt(10 ** (ebn0_db / 10)))  # Q(sqrt(2 Eb/N0))
    return (1.0 - bit_error) ** bits_per_frame


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(here, "..", "build", "bench"),
                        help="the CMake build directory that holds bench/sensitivity (default build/bench)")
    parser.add_argument("--frames", type=int, default=200, help="frames sent per point (default 200)")
    parser.add_argument("--seeds", type=int, default=5, help="signals per point, noise seeds 1..S (default 5)")
    parser.add_argument("--jobs", type=int, default=2, help="points run at once (default 2)")
    parser.add_argument("--from", dest="low", type=float, default=0.0, help="lowest Eb/N0 in dB (default 0)")
    parser.add_argument("--to", dest="high", type=float, default=20.0, help="highest Eb/N0 in dB (default 20)")
    parser.add_argument("--step", type=float, default=2.0, help="Eb/N0 step in dB (default 2)")
    options = parser.parse_args()

    program = os.path.join(options.build, "bench", "sensitivity")
    if not os.access(program, os.X_OK):
        sys.exit(f"sensitivity.py: {program} not found; build with -DSONDECO_BUILD_BENCH=ON first (make sensitivity)")

    grid = []
    ebn0 = options.low
    while ebn0 <= options.high + 1e-9:
        grid.append(round(ebn0, 3))
        ebn0 += options.step
    rates = (100, 200)

    seeds = range(1, max(1, options.seeds) + 1)
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        futures = {(rate, e, seed): pool.submit(run_point, program, rate, e, options.frames, seed)
                   for rate in rates for e in grid for seed in seeds}
        runs = {key: future.result() for key, future in futures.items()}
    points = {}
    for rate in rates:
        for e in grid:
            parts = [runs[(rate, e, seed)] for seed in seeds]
            point = dict(parts[0])
            for key in ("frames", "right", "wrong", "demodulated"):
                point[key] = sum(part[key] for part in parts)
            points[(rate, e)] = point

    print(f"Share of {len(seeds) * options.frames} frames per point ({len(seeds)} signals of {options.frames} frames, "
          f"noise seeds 1 to {len(seeds)}, each after {points[(rates[0], grid[0])]['warmup']} warm-up frames) "
          "decoded with every header field and data word as sent. "
          "\"demodulated\": frames whose bits all came out of the demodulator right, the most a word and frame "
          "synchroniser could deliver. \"ideal\": a coherent MSK receiver, bit error rate Q(sqrt(2 Eb/N0)), "
          "on frames of the same mean length, synchronisation free.")
    print()
    print("| Eb/N0 (dB) | 100 bit/s decoded | 100 bit/s demodulated | 200 bit/s decoded | 200 bit/s demodulated "
          "| ideal | wrong frames (100 / 200) |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for e in grid:
        cells = []
        for rate in rates:
            p = points[(rate, e)]
            cells.append(f"{100 * p['right'] / p['frames']:.1f} %")
            cells.append(f"{100 * p['demodulated'] / p['frames']:.1f} %")
        ideal = ideal_frame_share(e, points[(rates[0], e)]["bits_per_frame"])
        wrong = " / ".join(str(points[(rate, e)]["wrong"]) for rate in rates)
        print(f"| {e:g} | {' | '.join(cells)} | {100 * ideal:.1f} % | {wrong} |")
    bits = points[(rates[0], grid[0])]["bits_per_frame"]
    seconds = {rate: points[(rate, grid[0])]["audio_seconds"] for rate in rates}
    print()
    print(f"Mean frame length {bits:.1f} bits; {len(seeds)} x {seconds[100]:.0f} s of audio per point at 100 bit/s, "
          f"{len(seeds)} x {seconds[200]:.0f} s at 200 bit/s.")


if __name__ == "__main__":
    main()
