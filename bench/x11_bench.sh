#!/usr/bin/env bash
# tusak on X11 against the floor and its peers (xwd, ImageMagick's import,
# scrot, maim), on Xvfb screens of 1280x720, 1920x1080 and 3840x2160 at
# depth 24, each showing a fixed picture.
#
# The floor is a process that moves as many bytes into a new file: `cp` of
# a file of the screenshot's size (already in the page cache), into the
# same directory.
#
# For each size, over RUNS rounds after one to warm up, the programs run in
# turn, round after round, in a new order each round, so that whatever else
# the machine does, or one program leaves behind, falls on all of them
# alike: the median whole-process time of a bare run, and the median peak
# resident memory of a second run under /usr/bin/time -f %M.
# Then the capture alone, in one process (x11_capture_bench).
#
# Usage: bench/x11_bench.sh        (RUNS=11 by default; SIZES to choose;
#                                   builds Release into build/x11-release;
#                                   BEFORE=path/to/tusak adds a row for
#                                   another build, such as an earlier one)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build/x11-release}
runs=${RUNS:-11}
sizes=${SIZES:-1280x720 1920x1080 3840x2160}

"$root/scripts/install-deps" time scrot maim
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  >/dev/null
cmake --build "$build" --target tusak x11_capture_bench >/dev/null

median() { sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

bench_size() {
  local width=${1%x*} height=${1#*x}
  local image_bytes=$((width * height * 4))
  local work xvfb number
  work=$(mktemp -d)
  # Xvfb writes its display number to fd 3 once it accepts clients.
  exec 3<> >(:)
  Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 "${width}x${height}x24" \
    >/dev/null 2>&1 &
  xvfb=$!
  read -r -u 3 number
  exec 3<&-
  (
    export DISPLAY=:$number
    cd "$work"
    # A picture with detail everywhere, the same in every run.
    convert -seed 1 -size "${width}x${height}" plasma: picture.png
    display -window root picture.png || true # exits 1 once the root is set
    # The floor's source: as many bytes as tusak's file, read once.
    head -c $((image_bytes + 54)) /dev/urandom >floor.src
    cat floor.src >/dev/null

    outputs='rm -f tusak*.bmp screen.xwd import.bmp scrot.png maim.png floor.bmp'
    names=(floor tusak xwd import scrot maim)
    commands=(
      "cp floor.src floor.bmp"
      "$build/tusak"
      "xwd -root -silent -out screen.xwd"
      "import -window root import.bmp"
      "scrot scrot.png"
      "maim maim.png"
    )
    if [[ -n ${BEFORE:-} ]]; then
      names+=(before)
      commands+=("$BEFORE")
    fi
    for round in $(seq 0 "$runs"); do
      # A new order each round: in one order for all, each program would
      # always follow the same other, and what that one leaves behind would
      # weigh on it alone (maim frees much memory, which this VM hands back
      # to its host, dearer when next used).
      for i in $(shuf -i 0-$((${#names[@]} - 1))); do
        name=${names[$i]}
        $outputs
        t0=$EPOCHREALTIME
        # shellcheck disable=SC2086  # the command's words
        ${commands[$i]} >/dev/null 2>&1
        t1=$EPOCHREALTIME
        $outputs
        # shellcheck disable=SC2086
        /usr/bin/time -o "$name.last" -f '%M' ${commands[$i]} >/dev/null 2>&1
        ((round > 0)) || continue # the first round only warms up
        cat "$name.last" >>"$name.kib"
        awk "BEGIN {print ($t1 - $t0) * 1000}" >>"$name.ms"
      done
    done
    $outputs

    floor=$(median <floor.ms)
    echo "X11 screenshot of ${width}x${height}x24 (image: $image_bytes bytes)," \
      "median of $runs interleaved rounds"
    printf '%-8s %10s %9s %10s %8s\n' program "time ms" "x floor" "peak KiB" \
      "x image"
    for name in "${names[@]}"; do
      ms=$(median <"$name.ms")
      peak=$(median <"$name.kib")
      printf '%-8s %10.1f %9.2f %10s %8.2f\n' "$name" "$ms" \
        "$(awk "BEGIN {print $ms / $floor}")" "$peak" \
        "$(awk "BEGIN {print $peak * 1024 / $image_bytes}")"
    done
    echo "Capture alone (one process; first run as a launch pays it, then median):"
    "$build/x11_capture_bench" "$runs"
    echo
  )
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}

for size in $sizes; do
  bench_size "$size"
done
