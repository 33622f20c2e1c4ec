#!/usr/bin/env bash
# tusak on X11 against xwd, ImageMagick's import, scrot and maim, on one
# Xvfb screen of 1920x1080 at depth 24 showing a fixed picture.
#
# For each program, over RUNS runs after one to warm up: the median
# whole-process time of a bare run, and the medians of a second run under
# /usr/bin/time -f '%e %M' (elapsed seconds, peak resident KiB; its own
# start would otherwise be in the time). Then the capture alone, in one
# process, against a memcpy of as many bytes (x11_capture_bench).
#
# Usage: bench/x11_bench.sh        (RUNS=11 by default; builds Release into
#                                   build/x11-release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build/x11-release}
runs=${RUNS:-11}
width=1920 height=1080
image_bytes=$((width * height * 4))

"$root/scripts/install-deps" time scrot maim
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  >/dev/null
cmake --build "$build" --target tusak x11_capture_bench >/dev/null

work=$(mktemp -d)
# Xvfb writes its display number to fd 3 once it accepts clients.
exec 3<> >(:)
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 "${width}x${height}x24" \
  >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT
read -r -u 3 number
export DISPLAY=:$number
cd "$work"
# A picture with detail everywhere, the same in every run.
convert -seed 1 -size "${width}x${height}" plasma: picture.png
display -window root picture.png || true  # exits 1 once the root is set

outputs='rm -f tusak*.bmp screen.xwd import.bmp scrot.png maim.png'
names=(tusak xwd import scrot maim)
commands=(
  "$build/tusak"
  "xwd -root -silent -out screen.xwd"
  "import -window root import.bmp"
  "scrot scrot.png"
  "maim maim.png"
)

median() { sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# Run the programs in turn, round after round, so that whatever else the
# machine does falls on all of them alike.
for round in $(seq 0 "$runs"); do
  for i in "${!names[@]}"; do
    name=${names[$i]}
    $outputs
    t0=$EPOCHREALTIME
    # shellcheck disable=SC2086  # the command's words
    ${commands[$i]} >/dev/null 2>&1
    t1=$EPOCHREALTIME
    $outputs
    # shellcheck disable=SC2086
    /usr/bin/time -o "$name.last" -f '%e %M' ${commands[$i]} >/dev/null 2>&1
    ((round > 0)) || continue # the first round only warms up
    cat "$name.last" >>"$name.time"
    awk "BEGIN {print ($t1 - $t0) * 1000}" >>"$name.ms"
  done
done

median() { sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
printf '%s\n' "X11 screenshot of ${width}x${height}x24 (image: $image_bytes bytes), median of $runs runs"
printf '%-8s %10s %8s %10s %8s\n' program "time ms" "%e s" "peak KiB" "x image"
for name in "${names[@]}"; do
  ms=$(median <"$name.ms")
  elapsed=$(cut -d' ' -f1 "$name.time" | median)
  peak=$(cut -d' ' -f2 "$name.time" | median)
  printf '%-8s %10.1f %8s %10s %8.2f\n' "$name" "$ms" "$elapsed" "$peak" \
    "$(awk "BEGIN {print $peak * 1024 / $image_bytes}")"
  declare "ms_$name=$ms"
done
# shellcheck disable=SC2154  # declared above
printf 'tusak / xwd time: %.2f\n' "$(awk "BEGIN {print $ms_tusak / $ms_xwd}")"
echo
echo "Capture alone (one process; first run as a launch pays it, then median):"
"$build/x11_capture_bench" "$runs"
