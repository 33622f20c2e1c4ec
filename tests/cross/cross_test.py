#!/usr/bin/python3
"""tusak built for other Debian architectures and run under QEMU's user
mode, one table row per case: s390x (64-bit, big-endian) and armhf
(32-bit).

A build row makes the architecture's sysroot (sysroot.py, once) and builds
its preset (cross-ARCH: the Linux program and the tests that need nothing)
into build/cross-ARCH; the other rows need it. The gtests run through that
build's ctest. The X11 rows are x11_test.py's, with the cross-built tusak
against Xvfb on this machine: X11 crosses byte orders over its socket.
Wayland does not (its messages travel in the host's byte order), so the
s390x program meets an s390x sway, with its swaybg and grim, all under
QEMU: its file must equal grim's capture. The armhf program, little-endian,
meets this machine's sway in wayland_test.py's rows given here.

Usage: cross_test.py --list | CASE
"""
import io, os, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path[:0] = [HERE, os.path.join(SOURCE, "tests", "x11"),
                os.path.join(SOURCE, "tests", "wayland")]
import session, sysroot, wayland_test, x11_test  # noqa: E402
from bmpcheck import header_fault  # noqa: E402
from PIL import Image  # noqa: E402

QEMU = {"s390x": "/usr/bin/qemu-s390x", "armhf": "/usr/bin/qemu-arm"}
# What each architecture's sysroot holds.
PACKAGES = {"s390x": sysroot.BUILD + sysroot.DESKTOP, "armhf": sysroot.BUILD}
# Rows of wayland_test.py's kind that only a 32-bit size_t tells apart:
# rows 5,592,406 bytes apart (768 of them just past 4 GiB) are no pool,
# rather than one of 512 bytes that the compositor refuses; a KWin that
# announces exactly 4 GiB of rows is read, not given up after 10 s.
WAYLAND_ROWS = {
    "screencopy_rows_past_4_gib": dict(
        proxy=["--rewrite", "zwlr_screencopy_frame_v1.buffer=1,1024,768,%d"
               % -(-(1 << 32) // 768)],
        copy_fails="{}: no shared memory for the outputs' buffers",
        limit=(5, None)),
    "kwin_rows_4_gib_apart": dict(
        kwin=["--size", "64x2", "--stride", str((1 << 32) - 64 * 4)],
        why="KWin: the pixels did not all come", limit=(5, None)),
}

# arch; build: the build row; gtests; x11: x11_test.py's row; sway: the
# s390x desktop with these outputs (size, position, transform); wayland: a
# row of WAYLAND_ROWS.
CASES = {
    "s390x_build": dict(arch="s390x", build=True),
    "s390x_gtests": dict(arch="s390x", gtests=True),
    "s390x_x11_24": dict(arch="s390x", x11="capture_24"),
    "s390x_x11_24_noshm": dict(arch="s390x", x11="capture_24_noshm"),
    "s390x_x11_16": dict(arch="s390x", x11="capture_16"),
    "s390x_x11_16_noshm": dict(arch="s390x", x11="capture_16_noshm"),
    # A second output turned a quarter: the fetch's straight rows and its
    # turned ones.
    "s390x_sway": dict(arch="s390x", sway=[((640, 480), (0, 0), "normal"),
                                          ((320, 240), (640, 0), "90")]),
    "armhf_build": dict(arch="armhf", build=True),
    "armhf_gtests": dict(arch="armhf", gtests=True),
    "armhf_x11_24": dict(arch="armhf", x11="capture_24"),
    "armhf_x11_24_noshm": dict(arch="armhf", x11="capture_24_noshm"),
    "armhf_x11_16": dict(arch="armhf", x11="capture_16"),
    "armhf_x11_16_noshm": dict(arch="armhf", x11="capture_16_noshm"),
    "armhf_screencopy_rows_past_4_gib": dict(
        arch="armhf", wayland="screencopy_rows_past_4_gib"),
    "armhf_kwin_rows_4_gib_apart": dict(arch="armhf",
                                        wayland="kwin_rows_4_gib_apart"),
}


def build_dir(arch):
    return os.path.join(SOURCE, "build", "cross-" + arch)


def sh(argv, **kw):
    subprocess.run(argv, cwd=SOURCE, check=True, timeout=1800, **kw)


def wrapper(arch, folder):
    """A tusak to run: the cross-built one under QEMU, with the sysroot's
    libraries, as any user may."""
    path = os.path.join(folder, "tusak")
    with open(path, "w") as f:
        f.write('#!/bin/sh\nexec %s -L %s %s "$@"\n' % (
            QEMU[arch], sysroot.path(arch),
            os.path.join(build_dir(arch), "tusak")))
    os.chmod(path, 0o755)
    os.chmod(folder, 0o755)
    return path


def under_qemu(arch, program):
    return [QEMU[arch], "-L", sysroot.path(arch),
            os.path.join(sysroot.path(arch), "usr/bin", program)]


def run_sway(arch, outputs, tusak):
    """tusak against the architecture's own sway, swaybg and grim: every
    output's pixels as grim has them."""
    s = session.Session()
    try:
        config = os.path.join(s.dir, "sway.conf")
        with open(config, "w") as f:
            # No swaybg of sway's choosing: this machine's would be found.
            f.write("xwayland disable\nswaybg_command -\n")
            for i, (size, pos, transform) in enumerate(outputs):
                f.write("output HEADLESS-%d mode %dx%d pos %d %d transform "
                        "%s\n" % ((i + 1,) + size + pos + (transform,)))
        os.chmod(config, 0o644)
        env = dict(s.env, WLR_BACKENDS="headless", WLR_RENDERER="pixman",
                   WLR_LIBINPUT_NO_DEVICES="1",
                   WLR_HEADLESS_OUTPUTS=str(len(outputs)))
        sway = s.popen(under_qemu(arch, "sway") + ["-c", config],
                       log="sway.log", env=env)

        def socket():
            if sway.poll() is not None:
                raise session.Failed("sway exited: " + s.log("sway.log"))
            return [n for n in os.listdir(s.runtime)
                    if n.startswith("wayland-") and not n.endswith(".lock")]
        s.env["WAYLAND_DISPLAY"] = session.wait_for(socket, 60,
                                                    "sway's socket")[0]
        picture = s.put("bg.png", session.pattern(outputs[0][0]))
        s.popen(under_qemu(arch, "swaybg") + ["-o", "*", "-m", "fill", "-i",
                                              picture], log="swaybg.log")

        def grim():  # gaps black
            r = s.run(under_qemu(arch, "grim") + ["-t", "ppm", "-"],
                      timeout=60)
            if r.returncode:
                raise RuntimeError("grim: %r" % r.stderr)
            return Image.open(io.BytesIO(r.stdout)).convert("RGB")

        def drawn():  # the background on every output, and holding still
            image = grim()
            for (w, h), (x, y), transform in outputs:
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
            fault = header_fault(f.read(), reference.width,
                                          reference.height, 32)
        assert not fault, fault
        got = Image.open(path).convert("RGB")
        assert got.size == reference.size, (got.size, reference.size)
        diff = sum(a != b for a, b in zip(got.getdata(),
                                          reference.getdata()))
        assert diff == 0, "%d pixels differ from grim's" % diff
    finally:
        s.stop()


def run(case):
    row = CASES[case]
    arch = row["arch"]
    if row.get("build"):
        started = time.monotonic()
        sysroot.make(arch, PACKAGES[arch])
        sh(["cmake", "--preset", "cross-" + arch], stdout=subprocess.DEVNULL)
        sh(["cmake", "--build", "--preset", "cross-" + arch, "-j",
            str(os.cpu_count())])
        print("sysroot and build: %.0f s" % (time.monotonic() - started))
        return
    if row.get("gtests"):
        sh(["ctest", "--test-dir", build_dir(arch), "--output-on-failure"])
        return
    with tempfile.TemporaryDirectory(prefix="tusak-cross-") as folder:
        tusak = wrapper(arch, folder)
        if "x11" in row:
            # Nothing of these rows runs the probe.
            x11_test.run(row["x11"], tusak, probe=None)
        elif "sway" in row:
            run_sway(arch, row["sway"], tusak)
        else:
            wayland_test.CASES.update(WAYLAND_ROWS)
            wayland_test.run(row["wayland"], tusak)


if __name__ == "__main__":
    if sys.argv[1:] == ["--list"]:
        print(";".join(CASES))
    else:
        run(sys.argv[1])
        print("passed:", sys.argv[1])
