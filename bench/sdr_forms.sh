#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The band monitor on IQ recordings as SDR programs write and name them, and on receivers tuned wrong,
# none of them told anything by hand: for each case, the beacons decoded, their frames, and the
# largest distance of a frame's frequency from the beacon's true one (after the first frame of each
# station, which may come before the beacons have shown the mistuning). Beacons at 12-16 dB, 60 s.
#   bench/sdr_forms.sh TOOLS     (a directory holding sondeco-gen and sondeco-decode)
set -euo pipefail
tools=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
beacons=(--beacon 287500,100,491,12 --beacon 304500,200,12,14 --beacon 318000,100,77,16 --carrier 296000,45)
seam=(--beacon 300250,200,33,14 --beacon 309000,100,34,14)

# case | generator options | file name | decoder options | true carriers
run() {
    local name=$1 generate=$2 file=$3 decode=$4 truth=$5
    # shellcheck disable=SC2086
    "$tools/sondeco-gen" $generate --seconds 60 --seed 1 "$work/$file" >/dev/null
    # shellcheck disable=SC2086
    "$tools/sondeco-decode" --iq $decode -o json "$work/$file" 2>"$work/errors" >"$work/json" || true
    python3 - "$name" "$truth" "$work/json" "$work/errors" <<'PY'
import json, sys
name, truth, path, errors = sys.argv[1], [float(f) for f in sys.argv[2].split(',')], sys.argv[3], sys.argv[4]
frames, worst, seen, stray = {}, 0.0, set(), 0
for line in open(path):
    frame = json.loads(line)
    station, freq = frame['station_id'], frame['freq']
    nearest = min(truth, key=lambda t: abs(t - freq))
    if abs(nearest - freq) > 100: stray += 1; continue
    frames[nearest] = frames.get(nearest, 0) + 1
    if station in seen: worst = max(worst, abs(nearest - freq))
    seen.add(station)
warned = 'raster' in open(errors).read()
print(f"{name} | {len(frames)} of {len(truth)} | {' / '.join(str(frames.get(t, 0)) for t in truth)} | {worst:.2f} Hz | {stray} | {'yes' if warned else 'no'}")
PY
}

echo "case | beacons decoded | frames each | worst frequency error | frames elsewhere | mistuning said"
run "SDR#-named WAV, no --center-freq" "--iq --sample-rate 250000 --center-freq 304000 ${beacons[*]}" \
    SDRSharp_20240115_203000Z_304000Hz_IQ.wav "" 287500,304500,318000
run "HDSDR-named WAV, no --center-freq" "--iq --sample-rate 250000 --center-freq 300000 ${beacons[*]}" \
    HDSDR_20240115_203000Z_300kHz_RF.wav "" 287500,304500,318000
run "kiwirecorder --kiwi-wav 12 kS/s" "--iq --format kiwi --sample-rate 12000 --center-freq 300000 --beacon 301000,200,12,16 --beacon 298500,100,13,16" \
    20240115T203000Z_300000_iq.wav "" 298500,301000
run "LO 123 Hz off" "--iq --format cu8 --sample-rate 250000 --center-freq 304123 ${beacons[*]}" \
    lo.cu8 "--format cu8 --sample-rate 250000 --center-freq 304000" 287500,304500,318000
run "clock 30 ppm fast, --ppm 30" "--iq --format cu8 --sample-rate 250000 --center-freq 304009.12 ${beacons[*]}" \
    ppm.cu8 "--format cu8 --sample-rate 250000 --center-freq 304000 --ppm 30" 287500,304500,318000
run "clock 30 ppm fast, not said" "--iq --format cu8 --sample-rate 250000 --center-freq 304009.12 ${beacons[*]}" \
    ppm.cu8 "--format cu8 --sample-rate 250000 --center-freq 304000" 287500,304500,318000
run "beacon on a seam, with centre" "--iq --format cu8 --sample-rate 96000 --center-freq 304000 ${seam[*]}" \
    seam.cu8 "--format cu8 --sample-rate 96000 --center-freq 304000" 300250,309000
run "beacon on a seam, no centre" "--iq --format cu8 --sample-rate 96000 --center-freq 304000 ${seam[*]}" \
    seam.cu8 "--format cu8 --sample-rate 96000" -3750,5000
