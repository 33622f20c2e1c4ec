#!/usr/bin/env bash
# tusak on real desktops, headless (tests/wayland/desktops/, as its
# unprivileged user), one 1920x1080 screen:
# - GNOME 43: tusak (desktop portal) against gnome-screenshot -f;
# - KDE Plasma 5.27 (KWin): the installed tusak (KWin's ScreenShot2), a
#   copy outside the install (desktop portal) and spectacle -b -n -f.
#
# Warm: each program in turn, round after round (one round to warm up, then
# RUNS), from one shell inside the session; the median whole-process time.
# Cold: the first launch of a program in a fresh session, the desktop
# portal not yet started (COLD sessions per program; the median). On
# Plasma, KWin itself has served one spectacle before (the session's
# readiness check).
#
# Usage: bench/desktops_bench.sh   (RUNS=15, COLD=3 by default; builds
#                                   Release into build/bench-release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build/bench-release}
runs=${RUNS:-15}
cold=${COLD:-3}

"$root/scripts/install-deps"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  >/dev/null
cmake --build "$build" --target tusak >/dev/null

RUNS=$runs COLD=$cold BUILD=$build /usr/bin/python3 - "$root" <<'EOF'
import os, shutil, subprocess, sys
sys.path.insert(0, os.path.join(sys.argv[1], "tests", "wayland"))
import session
from desktops import gnome, plasma
from PIL import Image

W, H = 1920, 1080
runs, cold, build = int(os.environ["RUNS"]), int(os.environ["COLD"]), \
    os.environ["BUILD"]


def scene():
    # Detail everywhere, the same in every run; room left for a title bar.
    w, h = W - 128, H - 128
    p = Image.effect_mandelbrot((w, h), (-2.2, -1.2, 1.0, 1.2), 200)
    return Image.merge("RGB", (p, p.rotate(180),
                               p.transpose(Image.FLIP_LEFT_RIGHT)))


def start(desktop):
    """A fresh session; {name: command} of the programs measured there."""
    s = session.Session()
    try:
        copy = os.path.join(s.dir, "tusak")
        shutil.copy(os.path.join(build, "tusak"), copy)
        os.chmod(copy, 0o755)
        if desktop == "gnome":
            gnome.start_gnome(s, [(W, H)])
            return s, {"tusak": copy,
                       "gnome-screenshot": "gnome-screenshot -f out.png"}
        prefix = os.path.join(s.dir, "prefix")
        subprocess.run(["cmake", "--install", build, "--prefix", prefix],
                       check=True, capture_output=True)
        subprocess.run(["chmod", "-R", "a+rX", prefix], check=True)
        plasma.start_plasma(s, (W, H), scene())  # finds prefix/share
        return s, {"tusak-kwin": os.path.join(prefix, "bin", "tusak"),
                   "tusak-portal": copy,
                   "spectacle": "spectacle -b -n -f -o %s/out.png"}
    except BaseException:
        s.stop()
        raise


def rounds(s, commands, n):
    """n rounds of every command in turn: {name: [ms, ...]}."""
    work = s.workdir()
    script = os.path.join(s.dir, "rounds-%d.sh" % n)
    names = list(commands)
    with open(script, "w") as f:
        f.write("names=(%s)\ncommands=(%s)\n" % (
            " ".join(names),
            " ".join('"%s"' % commands[k].replace("%s", work)
                     for k in names)) + r'''
for round in $(seq 1 %d); do
  for i in "${!names[@]}"; do
    rm -f tusak*.bmp out.png ~/Pictures/*.png
    t0=$EPOCHREALTIME
    ${commands[$i]} >/dev/null 2>err
    t1=$EPOCHREALTIME
    # A run that failed is told; its time is not a screenshot's.
    if [ -s err ] || ! ls tusak*.bmp out.png 2>/dev/null | grep -q .; then
      echo "${names[$i]} failed: $(head -c 300 err)" >&2
      continue
    fi
    echo "${names[$i]} $(awk "BEGIN {print ($t1 - $t0) * 1000}")"
  done
done
''' % n)
    os.chmod(script, 0o644)
    out = s.run(["bash", script], cwd=work, timeout=1200)
    if out.stderr:
        print(out.stderr.decode().strip(), file=sys.stderr)
    got = {}
    for line in out.stdout.decode().split("\n"):
        if line:
            name, ms = line.split()
            got.setdefault(name, []).append(float(ms))
    return got


def median(v):
    v = sorted(v)
    return v[len(v) // 2] if v else float("nan")


for desktop in ("gnome", "plasma"):
    warm, first = {}, {}
    s, commands = start(desktop)
    try:
        rounds(s, commands, 1)  # warm-up
        warm = rounds(s, commands, runs)
    finally:
        s.stop()
    for name in commands:
        for _ in range(cold):
            s, commands = start(desktop)
            try:
                for k, v in rounds(s, {name: commands[name]}, 1).items():
                    first.setdefault(k, []).extend(v)
            finally:
                s.stop()
    print("%s, headless, %dx%d: median ms, warm of %d runs, cold of %d "
          "sessions" % ("GNOME 43" if desktop == "gnome" else
                        "KDE Plasma 5.27", W, H, runs, cold))
    print("%-17s %9s %9s" % ("program", "warm ms", "cold ms"))
    for name in commands:
        print("%-17s %9.1f %9.1f" % (name, median(warm.get(name, [])),
                                     median(first.get(name, []))))
    if desktop == "plasma":
        print("tusak-kwin / tusak-portal, warm: %.2f" % (
            median(warm["tusak-kwin"]) / median(warm["tusak-portal"])))
EOF
