#!/usr/bin/env bash
# tusak on Wayland against the floor (cp of a file of the image's size),
# grim (PNG, its default) and grim -t ppm, on a headless sway
# (tests/wayland/desktops/, as its unprivileged user) with one output
# showing a fixed picture, at each size of SIZES (by default 1280x720,
# 1920x1080, 3840x2160 and 7680x4320; one desktop for each).
#
# The programs run in turn, round after round (one round to warm up, then
# RUNS), in a new order each round, inside the session from one shell, so
# no start-up of ours is in the figures: the median whole-process time of a
# bare run, and the median peak resident memory of a second run under
# /usr/bin/time -f '%M' (whose own start would otherwise be in the time).
# The floor copies a file made before the rounds (so it is in the page
# cache, as the screen is in memory) into a new one in the same directory.
#
# With FORKY=1 the desktop is the current sway (1.12) of Debian's testing
# archive, with grim 1.5, both from the tests' root (roots.make_root;
# made on first use), where grim and tusak use the standard image copy
# capture protocol; the round script then runs inside that root.
#
# Usage: bench/wayland_bench.sh   (RUNS=15 by default; builds Release into
#                                  build/bench-release; FORKY=1: see above;
#                                  SIZES="3840x2160": other output sizes;
#                                  BEFORE=path/to/tusak adds a row for
#                                  another build, such as an earlier one)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build/bench-release}
runs=${RUNS:-15}

"$root/scripts/install-deps" time
if [ "${FORKY:-}" = 1 ]; then "$root/scripts/install-deps" debootstrap; fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  >/dev/null
cmake --build "$build" --target tusak >/dev/null

for size in ${SIZES:-${SIZE:-1280x720 1920x1080 3840x2160 7680x4320}}; do
SIZE=$size RUNS=$runs TUSAK=$build/tusak BEFORE=${BEFORE:-} /usr/bin/python3 - "$root" <<'EOF'
import os, shutil, subprocess, sys
sys.path.insert(0, os.path.join(sys.argv[1], "tests", "wayland"))
import session
from desktops import wlroots
from roots import make_root
from PIL import Image

W, H = map(int, os.environ.get("SIZE", "1920x1080").split("x"))
runs = int(os.environ["RUNS"])
# Detail everywhere, the same in every run.
picture = Image.effect_mandelbrot((W, H), (-2.2, -1.2, 1.0, 1.2), 200)
picture = Image.merge("RGB", (picture, picture.rotate(180),
                              picture.transpose(Image.FLIP_LEFT_RIGHT)))
forky = os.environ.get("FORKY") == "1"
# /usr/bin/time inside the root too.
root = make_root("forky", packages=["time"])[0] if forky else None
with session.Session(root) as s:
    wlroots.start_sway(s, (W, H), picture)
    tusak = os.path.join(s.dir, "tusak")
    shutil.copy(os.environ["TUSAK"], tusak)
    os.chmod(tusak, 0o755)
    before = os.path.join(s.dir, "before")
    if os.environ["BEFORE"]:
        shutil.copy(os.environ["BEFORE"], before)
        os.chmod(before, 0o755)
    work = s.workdir()
    # The floor's source: the size of tusak's file (header and pixels).
    source = os.path.join(s.dir, "floor.bmp")
    with open(source, "wb") as f:
        f.write(os.urandom(54 + W * H * 4))
    os.chmod(source, 0o644)
    script = os.path.join(s.dir, "rounds.sh")
    with open(script, "w") as f:
        f.write(r'''
cat %s >/dev/null
names=(floor tusak grim grim-ppm)
commands=("cp %s floor.out" "%s" "grim out.png" "grim -t ppm out.ppm")
if [ -x %s ]; then names+=(before); commands+=(%s); fi
for round in $(seq 0 %d); do
  # A new order each round: no program always follows the same other.
  for i in $(shuf -i 0-$((${#names[@]} - 1))); do
    rm -f tusak*.bmp out.png out.ppm floor.out
    t0=$EPOCHREALTIME
    ${commands[$i]} >/dev/null 2>&1
    t1=$EPOCHREALTIME
    rm -f tusak*.bmp out.png out.ppm floor.out
    /usr/bin/time -o last -f %%M ${commands[$i]} >/dev/null 2>&1
    ((round > 0)) || continue
    echo "${names[$i]} $(awk "BEGIN {print ($t1 - $t0) * 1000}") $(cat last)"
  done
done
''' % (source, source, tusak, before, before, runs))
    os.chmod(script, 0o644)
    out = s.run(["bash", script], cwd=work, timeout=600, check=True,
                host=not forky)
    versions = s.run(["sh", "-c", "sway --version; dpkg-query -W grim"],
                     host=not forky).stdout.decode().split("\n")
    rows = {}
    for line in out.stdout.decode().split("\n"):
        if line:
            if len(line.split()) != 3:
                sys.exit("unexpected: %r %r" % (line, out.stderr[-2000:]))
            name, ms, kib = line.split()
            rows.setdefault(name, []).append((float(ms), int(kib)))

def median(v):
    v = sorted(v)
    return v[len(v) // 2]

image = W * H * 4
print("Wayland screenshot of %dx%d, headless sway (pixman), image %d bytes, "
      "median of %d runs" % (W, H, image, runs))
print("; ".join(v.strip() for v in versions if v.strip()))
print("%-9s %9s %10s %8s" % ("program", "time ms", "peak KiB", "x image"))
ms = {}
for name, v in rows.items():
    ms[name] = median(t for t, _ in v)
    kib = median(k for _, k in v)
    print("%-9s %9.1f %10d %8.2f" % (name, ms[name], kib, kib * 1024 / image))
print("tusak / floor time: %.2f" % (ms["tusak"] / ms["floor"]))
print("tusak / grim -t ppm time: %.2f" % (ms["tusak"] / ms["grim-ppm"]))
print("tusak / grim (PNG) time: %.2f" % (ms["tusak"] / ms["grim"]))
EOF
done
