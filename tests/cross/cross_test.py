#!/usr/bin/python3
"""tusak built for other Debian architectures and run under QEMU's user
mode, a table row per case: s390x (64-bit, big-endian) and armhf (32-bit).

A build row makes the architecture's sysroot (sysroot.py, once) and builds
its preset (cross-ARCH: the Linux program and the tests that need nothing)
into build/cross-ARCH; the other rows need it. The gtests run through that
build's ctest. The X11 rows are x11_test.py's, with the cross-built tusak
against Xvfb on this machine: X11 crosses byte orders over its socket.
Wayland does not (its messages travel in the host's byte order), so the
s390x program meets an s390x sway, with its swaybg and grim, all under
QEMU: its file must equal grim's capture. The armhf program, little-endian,
meets this machine's sway in Wayland rows of the kinds of wayland_test.py.
"""
import argparse, io, os, shutil, subprocess, sys, tempfile, time
from dataclasses import dataclass

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
# The X11 and Wayland suites each have a launch.py of their own: a row
# imports the one suite it runs rows of, in its kind's function.
sys.path[:0] = [HERE] + [os.path.join(SOURCE, "tests", d)
                         for d in ("x11", "wayland", "common")]
import sysroot  # noqa: E402
from rows import Kind, main  # noqa: E402

QEMU = {"s390x": "/usr/bin/qemu-s390x", "armhf": "/usr/bin/qemu-arm"}
# What each architecture's sysroot holds.
PACKAGES = {"s390x": sysroot.BUILD + sysroot.DESKTOP, "armhf": sysroot.BUILD}


@dataclass(frozen=True)
class Row:
    kind: str     # a key of KINDS
    arch: str     # a key of QEMU
    args: tuple = ()  # the kind's own: a row of the X11 suite or of
    #                   WAYLAND_ROWS; the sway's outputs (size, position,
    #                   transform)


def build_dir(arch):
    return os.path.join(SOURCE, "build", "cross-" + arch)


def sh(argv, **kw):
    subprocess.run(argv, cwd=SOURCE, check=True, timeout=1800, **kw)


def under_qemu(arch, program):
    return [QEMU[arch], "-L", sysroot.path(arch),
            os.path.join(sysroot.path(arch), "usr/bin", program)]


def wrapper(arch, folder):
    """A tusak to run: the cross-built one under QEMU, with the sysroot's
    libraries, as any user may: a copy beside it, since the checkout may
    sit in a private folder (the build row has none to copy yet)."""
    built, program = (os.path.join(d, "tusak") for d in (build_dir(arch),
                                                          folder))
    if os.path.exists(built):
        shutil.copy(built, program + "-" + arch)
    path = os.path.join(folder, "tusak")
    with open(path, "w") as f:
        f.write('#!/bin/sh\nexec %s -L %s %s-%s "$@"\n' % (
            QEMU[arch], sysroot.path(arch), program, arch))
    os.chmod(path, 0o755)
    os.chmod(folder, 0o755)
    return path


def run_build(row, tusak):
    started = time.monotonic()
    sysroot.make(row.arch, PACKAGES[row.arch])
    sh(["cmake", "--preset", "cross-" + row.arch], stdout=subprocess.DEVNULL)
    sh(["cmake", "--build", "--preset", "cross-" + row.arch, "-j",
        str(os.cpu_count())])
    print("sysroot and build: %.0f s" % (time.monotonic() - started))


def run_x11(row, tusak):
    import x11_test
    return x11_test.run(argparse.Namespace(tusak=tusak, probe=None),
                        row.args)


def wayland_rows():
    """Rows of the Wayland suite's kinds that only a 32-bit size_t tells
    apart: rows 5,592,406 bytes apart (768 of them just past 4 GiB) are no
    pool, rather than one of 512 bytes that the compositor refuses; a KWin
    that announces exactly 4 GiB of rows is read, not given up after
    10 s."""
    from wayland_test import Row as WaylandRow
    return {
        "screencopy_rows_past_4_gib": WaylandRow(
            "copy_fails", proxy=(
                "--rewrite", "zwlr_screencopy_frame_v1.buffer=1,1024,768,%d"
                % -(-(1 << 32) // 768)),
            why="{}: no shared memory for the outputs' buffers",
            limit=(5, None)),
        "kwin_rows_4_gib_apart": WaylandRow(
            "kwin_no_picture", args=("--size", "64x2", "--stride",
                                     str((1 << 32) - 64 * 4)),
            why="KWin: the pixels did not all come", limit=(5, None)),
    }


def run_wayland(row, tusak):
    import wayland_test
    wayland_test.ROWS.update(wayland_rows())
    return wayland_test.run(argparse.Namespace(tusak=tusak, release=""),
                            row.args)


def run_sway(row, tusak):
    """tusak against the architecture's own sway, swaybg and grim: every
    output's pixels as grim has them."""
    import session
    from bmp import header_fault
    from pixels import differs, pattern
    s = session.Session()
    try:
        config = os.path.join(s.dir, "sway.conf")
        with open(config, "w") as f:
            # No swaybg of sway's choosing: this machine's would be found.
            f.write("xwayland disable\nswaybg_command -\n")
            for i, (size, pos, transform) in enumerate(row.args):
                f.write("output HEADLESS-%d mode %dx%d pos %d %d transform "
                        "%s\n" % ((i + 1,) + size + pos + (transform,)))
        os.chmod(config, 0o644)
        sway = s.popen(under_qemu(row.arch, "sway") + ["-c", config],
                       log="sway.log", env=dict(
                           s.env, WLR_BACKENDS="headless",
                           WLR_RENDERER="pixman", WLR_LIBINPUT_NO_DEVICES="1",
                           WLR_HEADLESS_OUTPUTS=str(len(row.args))))
        s.env["WAYLAND_DISPLAY"] = s.wayland_socket(sway, "sway", "sway.log",
                                                    60)
        s.popen(under_qemu(row.arch, "swaybg") + [
            "-o", "*", "-m", "fill", "-i", s.put("bg.png", pattern(
                row.args[0][0]))], log="swaybg.log")

        def grim():  # gaps black
            r = s.run(under_qemu(row.arch, "grim") + ["-t", "ppm", "-"],
                      timeout=60)
            if r.returncode:
                raise RuntimeError("grim: %r" % r.stderr)
            return Image.open(io.BytesIO(r.stdout)).convert("RGB")

        def drawn():  # the background on every output, and holding still
            image = grim()
            for (w, h), (x, y), transform in row.args:
                if transform in ("90", "270"):
                    w, h = h, w
                box = image.crop((x, y, x + w, y + h))
                if len(box.getcolors(1 << 24)) < 100:
                    return None
            return grim().tobytes() == image.tobytes() and image
        reference = session.wait_for(drawn, 120, "the background to show",
                                     interval=0.5)
        work = s.workdir()
        start = time.monotonic()
        r = s.run([tusak], cwd=work, timeout=120)
        print("ran %.2f s, stderr %r" % (time.monotonic() - start, r.stderr))
        assert (r.returncode, r.stderr) == (0, b""), r
        path = os.path.join(work, "tusak0000.bmp")
        with open(path, "rb") as f:
            fault = header_fault(f.read(), *reference.size, 32) or \
                differs(Image.open(path), reference)
        assert not fault, "grim's and the file's: " + fault
    finally:
        s.stop()


def run_gtests(row, tusak):
    sh(["ctest", "--test-dir", build_dir(row.arch), "--output-on-failure"])


# The first build makes the sysroot (under a minute) and a whole build.
KINDS = {"build": Kind(run_build, 1200), "gtests": Kind(run_gtests, 300),
         "x11": Kind(run_x11, 300), "sway": Kind(run_sway, 300),
         "wayland": Kind(run_wayland, 300)}
ROWS = {
    "s390x_build": Row("build", "s390x"),
    "s390x_gtests": Row("gtests", "s390x"),
    "s390x_x11_24": Row("x11", "s390x", ("capture_24",)),
    "s390x_x11_24_noshm": Row("x11", "s390x", ("capture_24_noshm",)),
    "s390x_x11_16": Row("x11", "s390x", ("capture_16",)),
    "s390x_x11_16_noshm": Row("x11", "s390x", ("capture_16_noshm",)),
    # A second output turned a quarter: the fetch's straight rows and its
    # turned ones.
    "s390x_sway": Row("sway", "s390x", (((640, 480), (0, 0), "normal"),
                                        ((320, 240), (640, 0), "90"))),
    "armhf_build": Row("build", "armhf"),
    "armhf_gtests": Row("gtests", "armhf"),
    "armhf_x11_24": Row("x11", "armhf", ("capture_24",)),
    "armhf_x11_24_noshm": Row("x11", "armhf", ("capture_24_noshm",)),
    "armhf_x11_16": Row("x11", "armhf", ("capture_16",)),
    "armhf_x11_16_noshm": Row("x11", "armhf", ("capture_16_noshm",)),
    "armhf_screencopy_rows_past_4_gib": Row(
        "wayland", "armhf", ("screencopy_rows_past_4_gib",)),
    "armhf_kwin_rows_4_gib_apart": Row("wayland", "armhf",
                                       ("kwin_rows_4_gib_apart",)),
}


def listed(args):
    """Each architecture's rows need its build row's build (a CTest
    fixture); a Wayland session's row, as the Wayland suite's, holds the
    portal's file, which is one for all."""
    table = {}
    for name, r in ROWS.items():
        more = {"FIXTURES_" + ("SETUP" if r.kind == "build" else
                               "REQUIRED"): "cross_" + r.arch}
        if r.kind in ("sway", "wayland"):
            more["RESOURCE_LOCK"] = "tusak_portal_file"
        table[name] = (KINDS[r.kind].limit, ("cross", r.kind, r.arch), more)
    return table


def run(args, names):
    status = 0
    for name in names:
        row = ROWS[name]
        with tempfile.TemporaryDirectory(prefix="tusak-cross-") as folder:
            status = KINDS[row.kind].run(row, wrapper(row.arch, folder)) or \
                status
    return status


if __name__ == "__main__":
    sys.exit(main(__doc__, listed, run))
