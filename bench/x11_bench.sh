#!/usr/bin/env bash
# tusak on X11 against xwd, ImageMagick's import, scrot and maim, on one
# Xvfb screen of 1920x1080 at depth 24 showing a fixed picture.
#
# For each program: the median whole-process time (hyperfine, RUNS runs
# after warm-up) and the medians of /usr/bin/time -f '%e %M' over RUNS runs
# (elapsed seconds, peak resident KiB). Then the capture alone, in one
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

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  >/dev/null
cmake --build "$build" --target tusak x11_capture_bench >/dev/null

work=$(mktemp -d)
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

printf '%s\n' "X11 screenshot of ${width}x${height}x24 (image: $image_bytes bytes), $runs runs each"
printf '%-8s %12s %10s %12s %10s\n' program "time ms" "%e s" "peak KiB" "x image"
declare -A ms
for i in "${!names[@]}"; do
  name=${names[$i]} cmd=${commands[$i]}
  hyperfine -N --warmup 2 --runs "$runs" --prepare "$outputs" \
    --export-json "$name.json" "$cmd" >/dev/null 2>&1
  ms[$name]=$(python3 -c 'import json,sys; print("%.1f" % (1000 * json.load(open(sys.argv[1]))["results"][0]["median"]))' "$name.json")
  : >"$name.time"
  for _ in $(seq "$runs"); do
    $outputs
    # shellcheck disable=SC2086  # the command's words
    /usr/bin/time -a -o "$name.time" -f '%e %M' $cmd >/dev/null 2>&1
  done
  elapsed=$(cut -d' ' -f1 "$name.time" | median)
  peak=$(cut -d' ' -f2 "$name.time" | median)
  printf '%-8s %12s %10s %12s %10.2f\n' "$name" "${ms[$name]}" "$elapsed" \
    "$peak" "$(echo "$peak * 1024 / $image_bytes" | bc -l)"
done
printf 'tusak / xwd time: %.2f\n' "$(echo "${ms[tusak]} / ${ms[xwd]}" | bc -l)"
echo
echo "Capture alone (one process; first run as a launch pays it, then median):"
"$build/x11_capture_bench" "$runs"
