#!/usr/bin/python3
"""tusak on Wayland, one table row per case, each on a headless sway of its
own (session.py) showing a known picture.

Each row runs tusak as the session's user in a fresh directory and checks
the exit status, the notices on standard error, the files left, and the
pixels: against the picture itself, or against grim's capture of the layout
where outputs are turned or scaled. A proxy (../unix_proxy.py) between tusak
and sway cuts the connection part way, or hides screencopy so that tusak
takes the desktop portal's path, as on GNOME or KDE.
Usage: wayland_test.py --list | --tusak PATH CASE
"""
import os, shutil, struct, sys

from PIL import Image

sys.path[:0] = [os.path.dirname(os.path.abspath(__file__)),
                os.path.dirname(os.path.dirname(os.path.abspath(__file__)))]
import session  # noqa: E402
from unix_proxy import Proxy  # noqa: E402

SIZE = (1024, 768)
NOTICES = ["hbmScreen", "Compatible Bitmap Selection",
           "Screen to Compat Blt Failed", "error", "GlobalAlloc", "GetDIBits",
           "CreateFile"]
TRANSFORMS = ["90", "180", "270", "flipped", "flipped-90", "flipped-180",
              "flipped-270"]

# layout: what is done to the outputs before the capture; reference: what
# the file must equal ("picture" or "grim"); cut: the connection is cut at
# these fractions of a whole run's bytes from the compositor; portal: the
# desktop portal runs and tusak's connection hides screencopy.
CASES = {
    "one_output": dict(reference="picture"),
    "rotated_second_output": dict(layout="rotated", reference="grim"),
    "every_transform": dict(layout="transforms", reference="grim"),
    "scale_2": dict(layout="scale2", reference="grim"),
    "compositor_gone": dict(cut=[0, 0.02, 0.3, 0.6, 0.99]),
    "portal": dict(portal=True, reference="picture"),
}


def run_tusak(s, tusak, env=None):
    """One run in a fresh directory: (exit status, notices, files)."""
    work = s.workdir()
    r = s.run([tusak], cwd=work, env=env or s.env, timeout=60)
    files = {n: Image.open(os.path.join(work, n)).convert("RGB")
             if n.endswith(".bmp") and os.path.getsize(os.path.join(work, n))
             > 118 else None for n in os.listdir(work)}
    with open(os.path.join(work, "tusak0000.bmp"), "rb") as f:
        header = f.read(54)
    return r.returncode, r.stderr.decode(errors="replace").splitlines(), \
        files, header


def check_capture(s, tusak, want, env=None):
    status, notices, files, header = run_tusak(s, tusak, env)
    assert status == 0, status
    assert notices == [], notices
    assert list(files) == ["tusak0000.bmp"], list(files)
    # A 32-bit bottom-up BI_RGB bitmap with no palette, as written.
    size, offset = struct.unpack_from("<I4xI", header, 2)
    width, height, planes, bits, comp = struct.unpack_from("<iiHHI",
                                                           header, 18)
    assert (offset, planes, bits, comp) == (54, 1, 32, 0), header
    assert size == 54 + width * height * 4 and height > 0, header
    got = files["tusak0000.bmp"]
    want = want.convert("RGB")
    assert got.size == want.size, (got.size, want.size)
    if got.tobytes() != want.tobytes():
        diff = [(x, y) for y in range(got.height) for x in range(got.width)
                if got.getpixel((x, y)) != want.getpixel((x, y))]
        raise AssertionError("%d pixels differ, first at %s: %s, want %s" % (
            len(diff), diff[0], got.getpixel(diff[0]),
            want.getpixel(diff[0])))


def lay_out(s, layout):
    """Changes the outputs as the row says."""
    if layout == "rotated":
        second = s.create_output()
        s.set_output(second, mode=(640, 480), pos=(SIZE[0], 0), transform=90,
                     picture=session.pattern((480, 640), mark=(255, 0, 0)))
    elif layout == "scale2":
        s.set_output("HEADLESS-1", scale=2)


def cut_runs(s, tusak, fractions):
    """tusak through a proxy that cuts the connection after a count of the
    compositor's bytes: whole, then cut at each fraction of a whole run."""
    target = os.path.join(s.runtime, s.env["WAYLAND_DISPLAY"])
    env = dict(s.env, WAYLAND_DISPLAY="wayland-cut")
    listen = os.path.join(s.runtime, "wayland-cut")
    with Proxy(listen, target, workdir=s.workdir(), run_as=s.as_user,
               env=s.env) as p:
        status, notices, files, _ = run_tusak(s, tusak, env)
        assert (status, notices) == (0, []), (status, notices)
        total = p.reports()[0]["s2c"]
    for fraction in fractions:
        cut = int(total * fraction)
        with Proxy(listen, target, "--cut", cut, workdir=s.workdir(),
                   run_as=s.as_user, env=s.env):
            status, notices, files, _ = run_tusak(s, tusak, env)
        where = "cut at %d of %d bytes" % (cut, total)
        # It goes on to the end: its file, and notices of the failed steps,
        # after the lines that say why, when the cut came before the copy.
        assert status == 0, (where, status)
        why = [n for n in notices if n.startswith("tusak: ")]
        notices = notices[len(why):]
        assert notices and all(n[len("Error: "):] in NOTICES
                               for n in notices), (where, why, notices)
        assert list(files) == ["tusak0000.bmp"], (where, list(files))


def run(case, tusak):
    row = CASES[case]
    picture = session.pattern(SIZE)
    with session.start(SIZE, picture) as s:
        # Where the session's user may run it, whatever the checkout's
        # folder allows.
        own = os.path.join(s.dir, "tusak")
        shutil.copy(tusak, own)
        os.chmod(own, 0o755)
        lay_out(s, row.get("layout"))
        if "cut" in row:
            cut_runs(s, own, row["cut"])
        elif row.get("portal"):
            s.start_portal()
            target = os.path.join(s.runtime, s.env["WAYLAND_DISPLAY"])
            listen = os.path.join(s.runtime, "wayland-no-screencopy")
            with Proxy(listen, target, "--hide-global",
                       "zwlr_screencopy_manager_v1", workdir=s.workdir(),
                       run_as=s.as_user, env=s.env):
                check_capture(s, own, picture, dict(
                    s.env, WAYLAND_DISPLAY="wayland-no-screencopy"))
            # The portal's file was made for this request alone.
            assert not os.path.exists(session.PORTAL_FILE), "portal file left"
        elif row.get("layout") == "transforms":
            second = s.create_output()
            for transform in TRANSFORMS:
                turned = transform.endswith(("90", "270"))
                s.set_output(second, mode=(320, 240), pos=(SIZE[0], 0),
                             transform=transform, picture=session.pattern(
                                 (240, 320) if turned else (320, 240),
                                 mark=(255, 0, 0)))
                try:
                    check_capture(s, own, s.grim("ppm"))
                except AssertionError as e:
                    raise AssertionError("transform %s: %s" % (transform, e))
        else:
            want = picture if row["reference"] == "picture" else s.grim("ppm")
            check_capture(s, own, want)


if __name__ == "__main__":
    if sys.argv[1:] == ["--list"]:
        print(";".join(CASES))
    else:
        run(sys.argv[3], tusak=sys.argv[2])
        print("passed:", sys.argv[3])
