#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Does a TCP client that stops reading slow a decode down? One hour of beacon audio through
# sondeco-decode, first with no client at all, then with --listen and a client that connects and
# never reads (cut once it is too far behind), alternating, RUNS times each.
#
#   bench/listen_stuck_client.sh [BUILD_DIR] [RUNS]     (defaults: build/bench, 3)
#
# The hour is decode_hour.sh's (made here the same way if it is missing). The decoder reads it as a
# WAV stream from a FIFO, so that the client is connected before the first byte is decoded; the
# time is the wall time from the first byte written to the decoder's exit, and its user + system
# CPU time. Both runs read the same way and write JSON to /dev/null; the --listen run serves JSON
# too. The best run of each is printed, and how much slower the one with the stuck client is.
set -eu

build=${1:-build/bench}
runs=${2:-3}
generator=$build/tools/sondeco-gen
decoder=$build/tools/sondeco-decode
wav=$build/samples/beacon-1h.wav

for tool in "$generator" "$decoder"; do
    [ -x "$tool" ] || { echo "listen_stuck_client.sh: $tool not found; build first (make bench)" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "listen_stuck_client.sh: /usr/bin/time is needed (Debian package 'time')" >&2; exit 1; }
if [ ! -f "$wav" ]; then
    mkdir -p "$(dirname "$wav")"
    echo "Generating one hour of beacon audio: $wav"
    "$generator" --seconds 3600 --rate 200 --ebn0 12 --zcount 0 --seed 1 "$wav.part"
    mv "$wav.part" "$wav"
fi

work=$(mktemp -d)
client_pid=
trap '[ -n "$client_pid" ] && kill "$client_pid" 2>/dev/null; rm -rf "$work"' EXIT
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

# A client that connects as soon as the port listens, says so, and then never reads a byte.
cat > "$work/stuck_client.py" <<'EOF'
import signal, socket, sys, time
deadline = time.monotonic() + 30
while True:
    try:
        connection = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit("stuck client: the decoder never listened")
        time.sleep(0.01)
print("connected", flush=True)
signal.pause()
EOF

# One run: variant "alone" or "stuck"; appends "wall user system" to $work/<variant>.
run() {
    variant=$1
    fifo=$work/audio.fifo
    rm -f "$fifo"
    mkfifo "$fifo"
    # Held open for reading and writing, so that neither the decoder's open nor ours waits; nobody
    # else may hold it, or the decoder would never see the end of its input.
    exec 3<>"$fifo"
    listen=
    [ "$variant" = stuck ] && listen="--listen $port/json"
    # shellcheck disable=SC2086
    /usr/bin/time -f "%U %S" -o "$work/cpu" "$decoder" -o json $listen --stats - < "$fifo" > /dev/null 2> "$work/errors" 3>&- &
    decoder_pid=$!
    if [ "$variant" = stuck ]; then
        python3 "$work/stuck_client.py" "$port" > "$work/client" 3>&- &
        client_pid=$!
        while ! grep -q connected "$work/client" 2>/dev/null; do
            kill -0 "$client_pid" 2>/dev/null || { echo "listen_stuck_client.sh: the client gave up" >&2; exit 1; }
            sleep 0.01
        done
    fi
    start=$(date +%s.%N)
    cat "$wav" >&3
    exec 3>&-
    wait "$decoder_pid"
    end=$(date +%s.%N)
    if [ -n "$client_pid" ]; then
        kill "$client_pid" 2>/dev/null || true
        wait "$client_pid" 2>/dev/null || true
        client_pid=
        grep '^listen' "$work/errors" > "$work/listen-line"
    fi
    echo "$start $end $(cat "$work/cpu")" | awk '{ printf "%.3f %.2f %.2f\n", $2 - $1, $3, $4 }' >> "$work/$variant"
}

i=0
while [ "$i" -lt "$runs" ]; do
    run alone
    run stuck
    i=$((i + 1))
done

echo "run  no client: wall s  CPU s   stuck client: wall s  CPU s"
paste "$work/alone" "$work/stuck" | awk '{ printf "%3d  %19.2f  %5.2f  %21.2f  %5.2f\n", NR, $1, $2 + $3, $4, $5 + $6 }'
echo "the stuck client's server: $(cat "$work/listen-line")"
alone=$(sort -n "$work/alone" | head -n 1)
stuck=$(sort -n "$work/stuck" | head -n 1)
echo "$alone $stuck" | awk '{ printf "best of %d: %.2f s without a client, %.2f s with one that stops reading: %+.1f %%\n", '"$runs"', $1, $4, 100 * ($4 - $1) / $1 }'
