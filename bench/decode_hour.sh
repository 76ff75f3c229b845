#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Time sondeco-decode on one hour of beacon audio, as a user decoding a long recording would run it.
#
#   bench/decode_hour.sh [BUILD_DIR] [RUNS]     (defaults: build/bench, 5)
#
# make bench runs it through BUILD_DIR/bench/bench_decode_hour, a wrapper that names its own build.
#
# The hour is made once by sondeco-gen (200 bit/s, 12 dB Eb/N0, fixed Z-count and seed, so the file
# is the same every time) and kept beside the build as samples/beacon-1h.wav (about 690 MB; it is
# not part of the source tree). A first run reads the file into the page cache and counts the
# frames decoded; it is not timed. Then RUNS runs of `sondeco-decode -o json FILE > /dev/null` are
# timed with /usr/bin/time, and the best wall time, its user and system CPU time, and the largest
# resident size are printed. The best of several is the figure to quote on a shared machine.
set -eu

build=${1:-build/bench}
runs=${2:-5}
generator=$build/tools/sondeco-gen
decoder=$build/tools/sondeco-decode
wav=$build/samples/beacon-1h.wav

for tool in "$generator" "$decoder"; do
    if [ ! -x "$tool" ]; then
        echo "decode_hour.sh: $tool not found; build first (make bench)" >&2
        exit 1
    fi
done
if [ ! -x /usr/bin/time ]; then
    echo "decode_hour.sh: /usr/bin/time is needed (Debian package 'time')" >&2
    exit 1
fi

if [ ! -f "$wav" ]; then
    mkdir -p "$(dirname "$wav")"
    echo "Generating one hour of beacon audio: $wav"
    /usr/bin/time -f "  generated in %e s" "$generator" --seconds 3600 --rate 200 --ebn0 12 --zcount 0 --seed 1 "$wav.part"
    mv "$wav.part" "$wav"
fi

frames=$("$decoder" -o json "$wav" | grep -c '"class":"RTCM2"' || true)
echo "sondeco-decode -o json $wav: $frames frames decoded"

best=
results=$(mktemp)
trap 'rm -f "$results"' EXIT
i=0
while [ "$i" -lt "$runs" ]; do
    /usr/bin/time -f "%e %U %S %M" -o "$results" -a "$decoder" -o json "$wav" > /dev/null
    i=$((i + 1))
done
echo "run  wall s  user s  system s  max RSS kB"
awk '{ printf "%3d  %6.2f  %6.2f  %8.2f  %10d\n", NR, $1, $2, $3, $4 }' "$results"
best=$(sort -n "$results" | head -n 1)
echo "$best" | awk '{ printf "best of %d: %.2f s wall (%.2f s user, %.2f s system) for 3600 s of audio: %.0f x real time; max RSS %d kB\n", '"$runs"', $1, $2, $3, 3600 / $1, $4 }'
