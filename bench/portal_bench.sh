#!/usr/bin/env bash
# tusak through the desktop portal against the leanest portal client of the
# bench's own (bench/portal_client.cpp: the Screenshot call, its answer, the
# file read whole and removed), on GNOME 50 from the tests' Debian testing
# root, headless on one screen of SIZE, as the Wayland suite's GNOME 50 rows
# run it (tests/wayland/session.py and desktops/gnome.py, as its
# unprivileged user).
#
# One round to warm up, then RUNS, the two in a new order each round, from
# one shell inside the session: the median whole-process time of each (a
# run that fails or says anything is told and left out), and tusak's over
# the client's.
#
# Usage: bench/portal_bench.sh   (RUNS=21, SIZE=1024x768; builds Release
#                                 into build/bench-release)
#        BEFORE=path/to/tusak bench/portal_bench.sh   # adds another build
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build/bench-release}

"$root/scripts/install-deps"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  >/dev/null
cmake --build "$build" --target tusak >/dev/null
c++ -O2 "$root/bench/portal_client.cpp" -lsystemd -o "$build/portal_client"

RUNS=${RUNS:-21} SIZE=${SIZE:-1024x768} BUILD=$build BEFORE=${BEFORE:-} \
  /usr/bin/python3 - "$root" <<'EOF'
import os, random, shutil, statistics, sys
sys.path.insert(0, os.path.join(sys.argv[1], "tests", "wayland"))
import session
from desktops import gnome
from roots import FORKY_GNOME, make_root

runs, build = int(os.environ["RUNS"]), os.environ["BUILD"]
size = tuple(map(int, os.environ["SIZE"].split("x")))
s = session.Session(root=make_root("forky", packages=FORKY_GNOME)[0])
try:
    names = ["tusak", "portal_client"]
    paths = {n: os.path.join(build, n) for n in names}
    if os.environ["BEFORE"]:
        names.append("tusak-before")
        paths["tusak-before"] = os.environ["BEFORE"]
    for name in names:
        shutil.copy(paths[name], os.path.join(s.dir, name))
        os.chmod(os.path.join(s.dir, name), 0o755)
    gnome.start_gnome(s, [size], timeout=300)
    work = s.workdir()
    script = os.path.join(s.dir, "rounds.sh")
    with open(script, "w") as f:
        for i in range(runs + 1):  # the first round warms up
            for name in random.sample(names, len(names)):
                f.write(r'''rm -f tusak*.bmp
t0=$EPOCHREALTIME
if %s/%s >/dev/null 2>err && [ ! -s err ]; then
  t1=$EPOCHREALTIME
  [ %d = 0 ] || echo "%s $(awk "BEGIN {print ($t1 - $t0) * 1000}")"
else
  echo "%s failed: $(head -c 300 err)" >&2
fi
''' % (s.dir, name, i, name, name))
    os.chmod(script, 0o644)
    out = s.run(["bash", script], cwd=work, timeout=1200)
    if out.stderr:
        print(out.stderr.decode().strip(), file=sys.stderr)
    got = {}
    for line in out.stdout.decode().split("\n"):
        if line:
            name, ms = line.split()
            got.setdefault(name, []).append(float(ms))
finally:
    s.stop()
print("GNOME 50, headless, %dx%d: median of %d rounds (ms)" % (size + (runs,)))
for name in names:
    v = got.get(name, [])
    print("%-14s %8.1f   (%s)" % (name, statistics.median(v) if v else
                                  float("nan"), " ".join("%.0f" % x for x in v)))
for name in names[::2]:
    print("%s / portal_client: %.2f" % (name, statistics.median(got[name]) /
                                        statistics.median(got["portal_client"])))
EOF
