#!/usr/bin/python3
"""The install and the Debian package of each Release build, a row each:
check_package.sh on a build of the host (Debian 12), or on a preset of
this checkout built in the Debian testing root, with that root's cmake and
compiler, warnings as errors, then its cpack and lintian: what the next
compilers and Debian's next checks say is seen here first. And a
packager's build with its tests (check_tests_alone.sh)."""
import os, shutil, subprocess, sys, tempfile
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "common"))
from roots import in_root, make_root  # noqa: E402
from rows import Kind, main  # noqa: E402

# What the build needs in the root (as the README's `apt install` names it
# for Debian 12), clang, and what cpack and the checks run.
BUILD = ("cmake", "make", "g++", "pkg-config", "libxcb1-dev",
         "libxcb-shm0-dev", "libwayland-dev", "libwayland-bin",
         "wayland-protocols", "libsystemd-dev", "libpng-dev", "clang",
         "dpkg-dev", "file", "man-db", "lintian")


@dataclass(frozen=True)
class Row:
    kind: str     # "host": the build folder given; "root": built there;
    #               "alone": a packager's build of its own
    preset: str = ""  # the build's


def run_host(row, args):
    return subprocess.run([os.path.join(HERE, "check_package.sh"),
                           args.build[row.preset]], timeout=600).returncode


def run_alone(row, args):
    return subprocess.run([os.path.join(HERE, "check_tests_alone.sh"),
                           SOURCE], timeout=600).returncode


def run_in_root(row, args):
    root = make_root("forky", packages=BUILD)[0]
    # A copy without the builds, under /tmp, which the root shares.
    work = tempfile.mkdtemp(prefix="tusak-root-build-")
    src = os.path.join(work, "tusak")
    try:
        shutil.copytree(SOURCE, src, symlinks=True,
                        ignore=shutil.ignore_patterns("build", ".git"))
        for argv in (["sh", "-c", "cmake --version | head -n 1; "
                      "${CXX:-c++} --version | head -n 1; clang --version | "
                      "head -n 1"],
                     ["cmake", "--preset", row.preset],
                     ["cmake", "--build", "--preset", row.preset, "-j",
                      str(os.cpu_count())],
                     ["tests/packaging/check_package.sh",
                      "build/" + row.preset]):
            if subprocess.run(in_root(root, argv), cwd=src,
                              timeout=1200).returncode:
                print("FAIL in the testing root: " + " ".join(argv))
                return 1
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


# A row in the testing root may make it first (a few minutes), and builds.
KINDS = {"host": Kind(run_host, 120), "root": Kind(run_in_root, 1800),
         "alone": Kind(run_alone, 600)}
ROWS = {"packaging": Row("host", "linux"),
        "packaging_tests_alone": Row("alone"),
        "packaging_forky_gcc": Row("root", "linux"),
        "packaging_forky_clang": Row("root", "linux-clang"),
        "packaging_clang": Row("host", "linux-clang")}


def listed(args):
    """A packager's build always; with the linux preset's build given, the
    rows in the root, and on the host those whose build folder is given."""
    args.build = dict(b.split("=", 1) for b in args.build_dir)
    return {name: (KINDS[r.kind].limit, ("packaging", r.kind))
            for name, r in ROWS.items() if r.kind == "alone" or
            args.build.get("linux") and (r.kind == "root" or
                                         args.build.get(r.preset))}


def run(args, names):
    return max(KINDS[ROWS[n].kind].run(ROWS[n], args) for n in names)


if __name__ == "__main__":
    sys.exit(main(__doc__, listed, run, [(["--build-dir"], dict(
        action="append", default=[], metavar="PRESET=DIR",
        help="a host build folder of a preset"))]))
