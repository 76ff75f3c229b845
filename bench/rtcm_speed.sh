#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# sondeco-decode against gpsd's gpsdecode on the same RTCM bytes, side by side in one run: CPU time to
# turn a 10 MB RTCM SC-104 serial stream into gpsd-style JSON, and the frames each found.
#
#   bench/rtcm_speed.sh [BUILD_DIR] [RUNS]     (defaults: build/bench, 5)
#
# The stream is the three real captures of tests/data/rtcm2 (sample.rtcm2, naujoks-rtcm2.log,
# rtcm2.bend.log) joined end to end and repeated to 10 MB, as a receiver switched between feeds would
# hear them: every join cuts a frame. Each program runs RUNS times, alternating, reading the file
# from the page cache with its output to /dev/null; the best user + system CPU time of each is
# printed, and their ratio. gpsdecode is Debian's (gpsd-clients).
set -eu

build=${1:-build/bench}
runs=${2:-5}
decoder=$build/tools/sondeco-decode
data=$(dirname "$0")/../tests/data/rtcm2
stream=$build/samples/three-captures-10MB.rtcm2

[ -x "$decoder" ] || { echo "rtcm_speed.sh: $decoder not found; build first (make bench)" >&2; exit 1; }
command -v gpsdecode >/dev/null || { echo "rtcm_speed.sh: gpsdecode not found (Debian package gpsd-clients)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "rtcm_speed.sh: /usr/bin/time is needed (Debian package 'time')" >&2; exit 1; }

if [ ! -f "$stream" ]; then
    mkdir -p "$(dirname "$stream")"
    cat "$data/sample.rtcm2" "$data/naujoks-rtcm2.log" "$data/rtcm2.bend.log" > "$stream.one"
    : > "$stream.tmp"
    while [ "$(wc -c < "$stream.tmp")" -lt 10485760 ]; do cat "$stream.one" >> "$stream.tmp"; done
    mv "$stream.tmp" "$stream"
    rm -f "$stream.one"
fi

ours_frames=$("$decoder" --rtcm -o json "$stream" | grep -c '"class":"RTCM2"')
gpsd_frames=$(gpsdecode -j < "$stream" | grep -c '"class":"RTCM2"')

best() { sort -n | head -n 1; }
seconds=$(mktemp)
trap 'rm -f "$seconds" "$seconds.ours" "$seconds.gpsd"' EXIT
i=0
while [ "$i" -lt "$runs" ]; do
    /usr/bin/time -f "%U %S" -o "$seconds" "$decoder" --rtcm -o json "$stream" > /dev/null
    awk '{ print $1 + $2 }' "$seconds" >> "$seconds.ours"
    /usr/bin/time -f "%U %S" -o "$seconds" sh -c 'gpsdecode -j < "$1" > /dev/null' sh "$stream"
    awk '{ print $1 + $2 }' "$seconds" >> "$seconds.gpsd"
    i=$((i + 1))
done
ours=$(best < "$seconds.ours")
gpsd=$(best < "$seconds.gpsd")
echo "RTCM bytes to JSON, $(wc -c < "$stream") bytes, best of $runs runs (user + system CPU):"
echo "  sondeco-decode --rtcm -o json  ${ours} s  $ours_frames frames"
echo "  gpsdecode -j                   ${gpsd} s  $gpsd_frames frames"
awk -v o="$ours" -v g="$gpsd" 'BEGIN { if (o > 0) printf "  sondeco-decode is %.1f x as fast\n", g / o }'
