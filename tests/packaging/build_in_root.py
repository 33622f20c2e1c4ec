#!/usr/bin/python3
"""A preset of this checkout built in the Debian testing root, with that
root's cmake and compiler and warnings as errors, then check_package.sh on
the build there (that root's cpack and lintian): what the next compilers
and Debian's next checks say is seen here first.

Usage: build_in_root.py PRESET
"""
import os, re, shutil, subprocess, sys, tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tests", "wayland"))
import session  # noqa: E402


def packages():
    """The build's packages as the README's `apt install` line names them,
    clang, and what cpack and the checks run."""
    with open(os.path.join(SOURCE, "README.md")) as f:
        readme = f.read().replace("\\\n", " ")
    line = re.search(r"^    apt install (cmake .*)$", readme, re.M).group(1)
    return tuple(line.split()) + ("clang", "dpkg-dev", "file", "man-db",
                                  "lintian")


def main():
    preset = sys.argv[1]
    root = session.make_root(packages=packages())[0]
    # A copy without the builds, under /tmp, which the root shares.
    work = tempfile.mkdtemp(prefix="tusak-root-build-")
    src = os.path.join(work, "tusak")
    try:
        shutil.copytree(SOURCE, src, symlinks=True,
                        ignore=shutil.ignore_patterns("build", ".git"))
        for argv in (["sh", "-c", "cmake --version | head -n 1; "
                      "${CXX:-c++} --version | head -n 1; clang --version | "
                      "head -n 1"],
                     ["cmake", "--preset", preset],
                     ["cmake", "--build", "--preset", preset, "-j",
                      str(os.cpu_count())],
                     ["tests/packaging/check_package.sh", "build/" + preset]):
            if subprocess.run(session.in_root(root, argv), cwd=src,
                              timeout=1200).returncode:
                print("FAIL in the testing root: " + " ".join(argv))
                return 1
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
