#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Frames right and wrong of the enhanced receiver, two builds side by side, on the simulated station's
# contents and on random contents (every type 0..63, data words drawn at random), 1000 frames a point.
#   bench/frame_integrity.sh BEFORE/bench/sensitivity AFTER/bench/sensitivity
# Prints "contents rate Eb/N0 | right wrong (before) | right wrong (after)".
set -euo pipefail
before=$1
after=$2
for contents in random fixed; do
    flag=""
    [ "$contents" = random ] && flag="--random-contents"
    for rate in 200 100; do
        for ebn0 in 3 4 5 6 7 9 12; do
            line="$contents $rate $ebn0"
            for program in "$before" "$after"; do
                counts=$("$program" --receiver enhanced --rate "$rate" --ebn0 "$ebn0" --frames 1000 --seed 3 $flag |
                    python3 -c 'import json, sys; d = json.load(sys.stdin); print(d["right"], d["wrong"])')
                line="$line | $counts"
            done
            echo "$line"
        done
    done
done
