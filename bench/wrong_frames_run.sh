#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The long count of wrong frames: random-content frames through the enhanced receiver at every Eb/N0
# from 2 to 12 dB and both rates, 1000 counted frames a run, seed after seed until stopped or until
# FRAMES frames were sent; one JSON line a run to standard output. Sum with:
#   python3 -c 'import json,sys; r=[json.loads(l) for l in sys.stdin]; print(sum(x["frames"] for x in r), sum(x["right"] for x in r), sum(x["wrong"] for x in r))' < runs.jsonl
#   bench/wrong_frames_run.sh build/bench/bench/sensitivity [FRAMES] > runs.jsonl
set -euo pipefail
program=$1
frames=${2:-1000000}
sent=0
seed=100
while [ "$sent" -lt "$frames" ]; do
    for ebn0 in 2 3 4 5 6 7 8 9 10 11 12; do
        for rate in 200 100; do
            "$program" --receiver enhanced --rate "$rate" --ebn0 "$ebn0" --frames 1000 --seed "$seed" --random-contents
            sent=$((sent + 1000))
        done
    done
    seed=$((seed + 1))
done
