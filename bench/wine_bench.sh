#!/usr/bin/env bash
# Times whole runs of tusak.exe under Wine on a 1920x1080x24 virtual desktop
# against the floor (bench_floor.exe: opens the display's device context,
# reads its size, exits) and a do-nothing exe, then a run in a directory
# where tusak0000.bmp to tusak9998.bmp are taken: the cost of a probe.
#
#   bench/wine_bench.sh [WINDOWS_BUILD_DIR]     # RUNS=7 by default
#
# Medians of RUNS runs after one warm-up, by hyperfine (apt-get install
# hyperfine). The screen shows the Wine suite's test pattern throughout.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/wine-windows}")
runs=${RUNS:-7}

"$root/scripts/install-deps" hyperfine
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" >/dev/null
cmake --build "$build" >/dev/null

work=$build/bench-wine
rm -rf "$work"
mkdir -p "$work/empty" "$work/full"
for n in $(seq -f %04g 0 9998); do : >"$work/full/tusak$n.bmp"; done

exec 3<> <(:)  # Xvfb writes its display number here
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset \
  >"$work/xvfb.log" 2>&1 &
xvfb=$!
read -r -t 20 display <&3 || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$display WINEPREFIX=$work/prefix WINEARCH=win32 \
  WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
z() { echo "Z:${1//\//\\}"; }  # a Unix path as Wine sees it
trap ': >"$work/stop"; timeout 60 wineserver -k; kill $xvfb' EXIT

# A fresh prefix whose default desktop is a virtual one of the screen's size.
timeout 300 wineboot -i >"$work/wine.log" 2>&1
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\n"Desktop"="Default"\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\n"Default"="1920x1080"\n' \
  >"$work/desktop.reg"
timeout 120 wine regedit /S "$(z "$work/desktop.reg")" >>"$work/wine.log" 2>&1
timeout 120 wineserver -w

# The pattern stays up for the whole run, and keeps the desktop and the
# server alive between runs, as on a desktop in use.
wine "$build/tests/wine/win/wine_helper.exe" pattern "$(z "$work/ready")" \
  "$(z "$work/stop")" "$(z "$work/ref.bmp")" >>"$work/wine.log" 2>&1 &
for _ in $(seq 1200); do [ -e "$work/ready" ] && break; sleep 0.1; done
[ -e "$work/ready" ] || { echo "no pattern on the screen" >&2; exit 1; }

hf() { hyperfine -N --style none --warmup 1 --runs "$runs" "$@" >/dev/null; }
(cd "$work/empty" && hf --export-json "$work/empty.json" \
  -n noop "wine $build/bench/win/bench_noop.exe" \
  -n floor "wine $build/bench/win/bench_floor.exe" \
  -n tusak --prepare "rm -f tusak0000.bmp" "wine $build/tusak.exe")
(cd "$work/full" && hf --export-json "$work/full.json" \
  -n "tusak, 0000-9998 taken" --prepare "rm -f tusak9999.bmp" \
  "wine $build/tusak.exe")

python3 - "$work/empty.json" "$work/full.json" "$runs" "$(wine --version)" <<'EOF'
import json, sys
rows = [r for f in sys.argv[1:3] for r in json.load(open(f))["results"]]
med = {r["command"]: r["median"] * 1000 for r in rows}
floor = med["floor"]
print("%s, 1920x1080x24, median of %s runs\n" % (sys.argv[4], sys.argv[3]))
print("| program | median (ms) | min (ms) | max (ms) | x floor |")
print("| --- | ---: | ---: | ---: | ---: |")
for r in rows:
    print("| %s | %.0f | %.0f | %.0f | %.2f |" % (
        r["command"], r["median"] * 1000, r["min"] * 1000, r["max"] * 1000,
        r["median"] * 1000 / floor))
print("\ntusak / floor: %.2f (goal: at most 1.15)" % (med["tusak"] / floor))
print("per probe: %.1f us ((taken - empty directory) / 9998 more probes)" % (
    (med["tusak, 0000-9998 taken"] - med["tusak"]) * 1000 / 9998))
EOF
