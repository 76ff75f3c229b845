#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Sensitivity of the receivers: the share of frames decoded with every bit right, against Eb/N0.

Runs the `sensitivity` program (built by bench/CMakeLists.txt) for each receiver, bit rate and Eb/N0
of the grid, each point S fixed-seed signals (seeds 1..S) of N frames of the simulated station's usual
message mix, and prints markdown tables of the shares over all S x N frames. The same command always
prints the same tables.

The main table shows side by side, for 100 and 200 bit/s: the classic receiver (the window's frequency
discriminator) with the share of frames whose bits all came out of its demodulator right (the most any
word synchroniser could make of its decisions), the enhanced receiver (coherent, soft repair, no hints),
and the ideal: a coherent MSK receiver with hard decisions, bit error rate Q(sqrt(2 Eb/N0)), on frames
of the same mean length, synchronisation free. "wrong" counts frames decoded that were never sent.

    bench/sensitivity.py [--build DIR] [--frames N] [--seeds S] [--jobs J] [--from DB] [--to DB] [--step DB]
    bench/sensitivity.py --static      frames through atmospheric static at 14 dB, bursts 0.5..8 a second
    bench/sensitivity.py --acquisition time from switch-on to the first right frame, enhanced, no hints
    bench/sensitivity.py --random-contents   the enhanced receiver on frames of every type with random
                       data words, beside the limits of word decisions on ideal symbols (bench/word_ml_limit):
                       hard decisions, maximum likelihood, and maximum likelihood at the word layer's floor
    bench/sensitivity.py --conditions  the enhanced receiver under the air's conditions: other stations'
                       carriers near the beacon (steady, keyed with Morse), skywave fading, random contents
"""

import argparse
import concurrent.futures
import json
import math
import os
import subprocess
import sys


def run_point(program, arguments):
    result = subprocess.run([program] + [str(a) for a in arguments], capture_output=True, text=True, check=True)
    return json.loads(result.stdout)


def ideal_frame_share(ebn0_db, bits_per_frame):
    bit_error = 0.5 * math.erfc(math.sqrt(10 ** (ebn0_db / 10)))  # Q(sqrt(2 Eb/N0))
    return (1.0 - bit_error) ** bits_per_frame


def grid(low, high, step):
    points, value = [], low
    while value <= high + 1e-9:
        points.append(round(value, 3))
        value += step
    return points


def run_all(program, jobs, points):
    """points: {key: argument list}; returns {key: result}."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
        futures = {key: pool.submit(run_point, program, arguments) for key, arguments in points.items()}
        return {key: future.result() for key, future in futures.items()}


def summed(runs, keys):
    total = dict(runs[keys[0]])
    for field in ("frames", "right", "wrong", "demodulated"):
        total[field] = sum(runs[k][field] for k in keys)
    return total


def share(point, field="right"):
    return f"{100 * point[field] / point['frames']:.1f} %"


def main_table(program, options, seeds):
    ebn0s = grid(options.low, options.high, options.step)
    rates = (100, 200)
    points = {}
    for receiver in ("classic", "enhanced"):
        for rate in rates:
            for e in ebn0s:
                for seed in seeds:
                    points[(receiver, rate, e, seed)] = ["--receiver", receiver, "--rate", rate, "--ebn0", f"{e:g}",
                                                         "--frames", options.frames, "--seed", seed]
    runs = run_all(program, options.jobs, points)
    print(f"Share of {len(seeds) * options.frames} frames per point ({len(seeds)} signals of {options.frames} frames, "
          f"noise seeds 1 to {len(seeds)}, each after 10 warm-up frames) decoded with every header field and data "
          "word as sent. Classic: the window's demodulator, 800 Hz, tuned; \"demodulated\": frames whose bits all "
          "came out of it right. Enhanced: no hints. Ideal: coherent MSK, hard decisions, Q(sqrt(2 Eb/N0)).")
    print()
    print("| Eb/N0 (dB) | 100 classic | 100 demodulated | 100 enhanced | 200 classic | 200 demodulated | 200 enhanced "
          "| ideal | wrong (classic / enhanced) |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    bits = None
    for e in ebn0s:
        cells, wrong = [], []
        for rate in rates:
            classic = summed(runs, [("classic", rate, e, s) for s in seeds])
            enhanced = summed(runs, [("enhanced", rate, e, s) for s in seeds])
            cells += [share(classic), share(classic, "demodulated"), share(enhanced)]
            wrong.append(f"{classic['wrong']}+{enhanced['wrong']}")
            bits = classic["bits_per_frame"]
        wrong_text = " / ".join(wrong)
        print(f"| {e:g} | {' | '.join(cells)} | {100 * ideal_frame_share(e, bits):.1f} % | {wrong_text} |")
    print()
    print(f"Mean frame length {bits:.1f} bits. Wrong frames per rate, 100 then 200 bit/s, each as classic+enhanced.")


def random_contents_table(program, options, seeds):
    ebn0s = grid(options.low, options.high, options.step)
    points = {}
    for rate in (100, 200):
        for e in ebn0s:
            for seed in seeds:
                points[(rate, e, seed)] = ["--receiver", "enhanced", "--rate", rate, "--ebn0", f"{e:g}", "--frames", options.frames,
                                           "--seed", seed, "--random-contents"]
    runs = run_all(program, options.jobs, points)
    limits_program = os.path.join(options.build, "bench", "word_ml_limit")
    limits = {}
    output = subprocess.run([limits_program, "--json", "--from", f"{ebn0s[0]:g}", "--to", f"{ebn0s[-1]:g}", "--step", f"{options.step:g}",
                             "--words-per-point", "200000"], capture_output=True, text=True, check=True).stdout
    for line in output.splitlines():
        point = json.loads(line)
        limits[round(point["ebn0"], 2)] = point
    print(f"Frames with random contents (every type 0 to 63, data words drawn at random), enhanced receiver, no hints: "
          f"share of {len(seeds) * options.frames} frames per point (noise seeds 1 to {len(seeds)}) decoded right. The "
          "limits are word decisions on ideal symbols (perfect synchronisation, 200,000 words a point) over frames "
          "of the same mean length: hard decisions without repair, maximum likelihood with every word taken, and "
          "maximum likelihood taking only words above the word layer's floor.")
    print()
    print("| Eb/N0 (dB) | 100 enhanced | 200 enhanced | ideal, hard | maximum likelihood | maximum likelihood, floor | wrong (100 / 200) |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for e in ebn0s:
        cells, wrong = [], []
        for rate in (100, 200):
            p = summed(runs, [(rate, e, s) for s in seeds])
            cells.append(share(p))
            wrong.append(str(p["wrong"]))
            words = p["bits_per_frame"] / 30.0
        limit = limits[round(e, 2)]
        cells += [f"{100 * limit[k] ** words:.1f} %" for k in ("hard", "ml", "floor")]
        print(f"| {e:g} | {' | '.join(cells)} | {' / '.join(wrong)} |")
    print()
    print(f"Mean frame length {words * 30:.1f} bits.")


# (what, Eb/N0, extra arguments of the sensitivity program, the share of frames to reach)
CONDITIONS = [
    ("none", 10, [], 99.5),
    *[(f"carrier as strong, {offset:+d} Hz", 10, ["--carrier", f"{offset},0"], 95)
      for offset in (-150, -100, -50, 50, 100, 150, 350, 500, 1000)],
    ("carrier 20 dB stronger, +150 Hz", 10, ["--carrier", "150,20"], 90),
    ("carrier 20 dB stronger, +500 Hz", 10, ["--carrier", "500,20"], 90),
    ("carrier 20 dB stronger keyed with Morse, +150 Hz", 10, ["--carrier", "150,20,morse"], 85),
    ("carrier keyed with a 1020 Hz tone, as strong, +150 Hz", 10, ["--carrier", "150,0,tone"], 95),
    ("Rayleigh fading, 0.1 Hz, 12 dB mean", 12, ["--rayleigh", "0.1"], 75),
    ("Rayleigh fading, 0.3 Hz, 12 dB mean", 12, ["--rayleigh", "0.3"], 65),
    ("Rayleigh fading, 1 Hz, 12 dB mean", 12, ["--rayleigh", "1"], 35),
]


def conditions_table(program, options, seeds):
    points = {}
    for index, (_, ebn0, extra, _) in enumerate(CONDITIONS):
        for rate in (100, 200):
            for seed in seeds:
                points[(index, rate, seed)] = ["--receiver", "enhanced", "--rate", rate, "--ebn0", ebn0, "--freq", "1317.3",
                                               "--frames", options.frames, "--seed", seed, "--random-contents", *extra]
    runs = run_all(program, options.jobs, points)
    print(f"The enhanced receiver under the air's conditions: a beacon on 1317.3 Hz, random contents, no hints; "
          f"share of {len(seeds) * options.frames} frames per point (seeds 1 to {len(seeds)}) decoded right, beside "
          "the share to reach. Carriers: another station's, this far from the beacon's tone and this strong "
          "against it; Morse and tone keying with \"DGPS\" at 10 wpm.")
    print()
    print("| condition | Eb/N0 (dB) | 100 bit/s | 200 bit/s | ideal, hard (100 / 200) | to reach | wrong (100 / 200) |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for index, (what, ebn0, _, target) in enumerate(CONDITIONS):
        cells, ideal, wrong = [], [], []
        for rate in (100, 200):
            keys = [(index, rate, s) for s in seeds]
            p = summed(runs, keys)
            cells.append(share(p))
            ideal.append(f"{100 * sum(runs[k]['ideal_hard'] for k in keys) / p['frames']:.1f} %")
            wrong.append(str(p["wrong"]))
        print(f"| {what} | {ebn0} | {' | '.join(cells)} | {' / '.join(ideal)} | {target} % | {' / '.join(wrong)} |")
    print()
    print("Ideal, hard: the frames an ideal coherent receiver with hard decisions decodes on average on the same "
          "signal without the carrier (the same fades, bit by bit).")


def static_table(program, options, seeds):
    bursts = (0.5, 1, 2, 4, 8)
    points = {}
    for receiver in ("classic", "enhanced"):
        for rate in (100, 200):
            for b in bursts:
                for seed in seeds:
                    points[(receiver, rate, b, seed)] = ["--receiver", receiver, "--rate", rate, "--ebn0", 14, "--static",
                                                         f"{b:g},30", "--frames", options.frames, "--seed", seed]
    runs = run_all(program, options.jobs, points)
    print(f"Frames right at Eb/N0 14 dB through atmospheric static: bursts of 2 ms, 30 dB above the signal, "
          f"at random times; {len(seeds) * options.frames} frames a point.")
    print()
    print("| bursts a second | 100 classic | 100 enhanced | 200 classic | 200 enhanced | wrong (all) |")
    print("|---:|---:|---:|---:|---:|---:|")
    for b in bursts:
        cells, wrong = [], 0
        for rate in (100, 200):
            for receiver in ("classic", "enhanced"):
                p = summed(runs, [(receiver, rate, b, s) for s in seeds])
                cells.append(share(p))
                wrong += p["wrong"]
        print(f"| {b:g} | {' | '.join(cells)} | {wrong} |")


def acquisition_table(program, options, seeds):
    rates = (25, 50, 100, 200)
    ebn0s = (6, 8, 10, 12, 15)
    tones = (250, 1100, 2300, 3400)
    points = {}
    for rate in rates:
        for e in ebn0s:
            for tone in tones:
                for seed in seeds:
                    points[(rate, e, tone, seed)] = ["--receiver", "enhanced", "--rate", rate, "--ebn0", e, "--freq", tone,
                                                     "--frames", 2, "--warmup", 0, "--seed", seed]
    runs = run_all(program, options.jobs, points)
    print(f"Seconds from the beacon's first bit to the first frame decoded right, enhanced receiver, no hints: "
          f"median / worst of {len(tones) * len(seeds)} signals (tones {', '.join(map(str, tones))} Hz, "
          f"seeds 1 to {len(seeds)}); \"none\" counts signals without a right frame in the first two frames' time.")
    print()
    print("| Eb/N0 (dB) | " + " | ".join(f"{r} bit/s" for r in rates) + " |")
    print("|---:|" + "---:|" * len(rates))
    for e in ebn0s:
        cells = []
        for rate in rates:
            times = sorted(runs[(rate, e, t, s)]["first_frame_seconds"] for t in tones for s in seeds)
            found = [t for t in times if t >= 0]
            missing = len(times) - len(found)
            if not found:
                cells.append("none")
                continue
            text = f"{found[len(found) // 2]:.1f} / {found[-1]:.1f}"
            cells.append(text + (f" ({missing} none)" if missing else ""))
        print(f"| {e:g} | {' | '.join(cells)} |")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(here, "..", "build", "bench"),
                        help="the CMake build directory that holds bench/sensitivity (default build/bench)")
    parser.add_argument("--frames", type=int, default=200, help="frames sent per signal (default 200)")
    parser.add_argument("--seeds", type=int, default=5, help="signals per point, noise seeds 1..S (default 5)")
    parser.add_argument("--jobs", type=int, default=2, help="points run at once (default 2)")
    parser.add_argument("--from", dest="low", type=float, default=0.0, help="lowest Eb/N0 in dB (default 0)")
    parser.add_argument("--to", dest="high", type=float, default=20.0, help="highest Eb/N0 in dB (default 20)")
    parser.add_argument("--step", type=float, default=2.0, help="Eb/N0 step in dB (default 2)")
    parser.add_argument("--static", action="store_true", help="the static table instead")
    parser.add_argument("--acquisition", action="store_true", help="the time-to-first-frame table instead")
    parser.add_argument("--random-contents", action="store_true", help="the random-contents table beside the word limits instead")
    parser.add_argument("--conditions", action="store_true", help="the table of the air's conditions instead")
    options = parser.parse_args()

    program = os.path.join(options.build, "bench", "sensitivity")
    if not os.access(program, os.X_OK):
        sys.exit(f"sensitivity.py: {program} not found; build with -DSONDECO_BUILD_BENCH=ON first (make sensitivity)")
    seeds = list(range(1, max(1, options.seeds) + 1))
    if options.static:
        static_table(program, options, seeds)
    elif options.acquisition:
        acquisition_table(program, options, seeds[:3])
    elif options.random_contents:
        random_contents_table(program, options, seeds)
    elif options.conditions:
        conditions_table(program, options, seeds)
    else:
        main_table(program, options, seeds)


if __name__ == "__main__":
    main()
