#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The enhanced receiver's Eb/N0 estimate against the Eb/N0 sent: for each rate and level, three
# 60-second signals (seeds 1 to 3), the estimate sondeco-decode --stats gives at the end of each, and
# their mean. The signals come from sondeco-gen (random contents) or, with --textbook, from
# bench/textbook_msk.py, which shares nothing with our modulator. Prints a markdown table.
#   bench/ebn0_bias.sh BUILD_DIR [--textbook]   (run from the top of the tree)
set -euo pipefail
build=$1
textbook=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "| rate | sent (dB) | read (dB), seeds 1-3 | mean | difference |"
echo "|---:|---:|---|---:|---:|"
for rate in 200 100; do
    for ebn0 in 4 6 8 10 14 20 25 30; do
        reads=()
        for seed in 1 2 3; do
            if [ "$textbook" = --textbook ]; then
                python3 bench/textbook_msk.py "$rate" "$ebn0" "$seed" "$work/s.wav"
            else
                "$build/tools/sondeco-gen" --random-contents --rate "$rate" --ebn0 "$ebn0" --seed "$seed" --zcount 100 \
                    --freq 1100 --seconds 60 "$work/s.wav"
            fi
            read=$("$build/tools/sondeco-decode" --stats -o json "$work/s.wav" 2>&1 >/dev/null |
                sed -n 's/^Eb\/N0 estimate: \(.*\) dB$/\1/p')
            reads+=("${read:-none}")
        done
        python3 - "$rate" "$ebn0" "${reads[@]}" <<'PY'
import sys
rate, sent, reads = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
values = [float(r) for r in reads if r != "none"]
mean = sum(values) / len(values) if values else float("nan")
print(f"| {rate} | {sent:g} | {' / '.join(reads)} | {mean:.2f} | {mean - sent:+.2f} |")
PY
    done
done
