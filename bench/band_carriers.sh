#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The band monitor beside non-directional beacons, two builds side by side: a 96 kS/s cu8 stream
# centred on 304 kHz, one 200 bit/s beacon on 304 kHz at 10 dB with random contents, 60 s, and another
# station's carrier beside it. Prints "carrier | frames right (before) | frames right (after)", right
# meaning decoded with the beacon's station ID (the carriers make nothing else to decode).
#   bench/band_carriers.sh BEFORE/tools AFTER/tools     (directories holding sondeco-gen and sondeco-decode)
set -euo pipefail
before=$1
after=$2
stream=$(mktemp --suffix=.cu8)
trap 'rm -f "$stream"' EXIT
# C/N0 of the beacon: 10 dB + 10 log10(200) = 33 dB-Hz.
for carrier in none "304150,33" "304050,33" "304000,50" "304150,53,morse"; do
    options=(--iq --sample-rate 96000 --rate 200 --random-contents --beacon 304000,200,491,10 --seconds 60 --seed 1)
    [ "$carrier" != none ] && options+=(--carrier "$carrier")
    "$after/sondeco-gen" "${options[@]}" "$stream" >/dev/null
    line="$carrier"
    for tools in "$before" "$after"; do
        right=$("$tools/sondeco-decode" --iq --format cu8 --sample-rate 96000 --center-freq 304000 -o json "$stream" 2>/dev/null |
            grep -c '"station_id":491' || true)
        line="$line | $right"
    done
    echo "$line"
done
