#!/usr/bin/python3
"""tusak on Wayland, a table row per case, each on a desktop of its own
(desktops/: sway, headless, unless the row names another) showing a known
picture, as the session's user (session.py), in a fresh directory.

A row's kind says what it does, and checks: the exit status, the notices on
standard error, the files left, and the pixels against the picture itself
or the desktop's own tool. A proxy (peers/unix_proxy.py) between tusak and
the compositor hides capture protocols, rewrites or answers messages, or
cuts the connection part way (compositor_runs.py); the portal and KWin
kinds (portal_runs.py) hide both protocols, so that tusak takes the way
GNOME and KDE offer: the real portal, or scripted stand-ins; the real
desktops' kinds are theirs (desktops/gnome.py, desktops/plasma.py).
"""
import os, shutil, sys
from dataclasses import dataclass

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import session  # noqa: E402  (first: it finds the shared helpers)
import compositor_runs as cr  # noqa: E402
import portal_runs as pr  # noqa: E402
from desktops import DESKTOPS, gnome, plasma  # noqa: E402
from launch import LAUNCHES, Context  # noqa: E402
from roots import make_root  # noqa: E402
from rows import SKIP, Kind, main  # noqa: E402

EXT, WLR = cr.HIDE_EXT, cr.HIDE_WLR
NO_CAPTURE = "offers no screen capture protocol"
# Runs the command after it with WAYLAND_SOCKET naming descriptor 7, a
# socket whose peer has gone.
SOCKET_GONE = ("/usr/bin/python3", "-c", "import os, socket, sys; p = socket."
               "socketpair(); os.dup2(p[0].fileno(), 7); p[1].close(); os."
               "execvpe(sys.argv[1], sys.argv[1:], dict(os.environ, "
               "WAYLAND_SOCKET='7'))")


@dataclass(frozen=True)
class Row:
    kind: str                   # what it does: a key of KINDS
    desktop: str = "sway"       # where: a key of desktops.DESKTOPS
    layout: str = ""            # the outputs changed first (cr.lay_out)
    reference: str = "picture"  # what the file equals: the picture shown,
    #                             the desktop's "tool", its "outputs" by
    #                             grim each, placed, or "black" of size
    protocol: str = ""          # the one that must copy: "ext" or "wlr"
    proxy: tuple = ()           # a proxy's options (peers/unix_proxy.py)
    why: str = ""               # what a line says ({} the display's name)
    limit: tuple = None         # each launch's bound: (s, peak MB or None)
    ignore: tuple = None        # a box left out (where which of two
    #                             outputs shows is the compositor's choice)
    args: tuple = ()            # the kind's own: a scripted peer's options,
    #                             a scenario, fractions, a count
    most: tuple = ()            # (request, count): the most a proxy counts
    pool: int = 1 << 31         # the largest shm pool it may see (bytes)
    outputs: tuple = ()         # a real desktop's screens (w, h), or a
    #                             scripted KWin's: the desktop's own if none
    scale: int = 1              # theirs
    depth: int = 24             # an X11 desktop's
    installed: bool = False     # tusak installed (s.install) before it
    valgrind: bool = False      # the optimised build under valgrind too
    argv: tuple = ()            # the command tusak's is appended to
    size: tuple = ()            # a black reference's


KINDS = {
    "capture": Kind(cr.run_capture), "transforms": Kind(cr.run_transforms),
    "no_picture": Kind(cr.run_no_picture),
    "copy_fails": Kind(cr.run_copy_fails), "cuts": Kind(cr.run_cuts),
    "remodes": Kind(cr.run_remodes), "replugs": Kind(cr.run_replugs),
    "portal": Kind(pr.run_portal), "scripted_portal": Kind(pr.run_scripted),
    "silent_bus": Kind(pr.run_silent_bus), "flipping": Kind(pr.run_flipping),
    "kwin": Kind(pr.run_kwin),
    "kwin_then_portal": Kind(lambda *a: pr.run_kwin(*a, then="portal")),
    "kwin_no_picture": Kind(lambda *a: pr.run_kwin(*a, then="none")),
    "gnome_portal": Kind(gnome.run_portal),
    "gnome_refused": Kind(gnome.run_refused),
    "kwin_served": Kind(plasma.run_served),
    "portal_fallback": Kind(plasma.run_fallback),
    "kwin6": Kind(plasma.run_kwin6), "kwin6_pixels": Kind(plasma.run_pixels),
}
ROWS = {
    "one_output": Row("capture"),
    "rotated_second_output": Row("capture", layout="rotated",
                                 reference="tool"),
    "every_transform": Row("transforms"),
    "scale_2": Row("capture", layout="scale2", reference="tool"),
    "compositor_gone": Row("cuts", args=(0, 0.02, 0.3, 0.6, 0.99)),
    "portal": Row("portal"),
    "portal_existing_picture": Row("scripted_portal", args=("existing",)),
    "portal_file_of_another_user": Row("scripted_portal", args=("planted",)),
    "portal_symbolic_link": Row("scripted_portal", args=("link",)),
    "portal_16_bit_png": Row("scripted_portal", args=("16-bit",)),
    "portal_truncated_png": Row("scripted_portal", args=("truncated",)),
    "portal_other_request_path": Row("scripted_portal", args=("other-path",)),
    "portal_never_replies": Row("scripted_portal", args=("never-replies",),
                                limit=(pr.SILENT_LIMIT, None)),
    # A PNG whose header claims far more than its data holds, or more than
    # a BMP holds: bounded by what came.
    "portal_not_a_png": Row("scripted_portal", args=("not-png",)),
    "portal_png_bomb": Row("scripted_portal", args=("bomb",), limit=(3, 150)),
    "portal_png_beyond_bmp": Row("scripted_portal", args=("huge",),
                                 limit=(2, 150)),
    "portal_png_beyond_outputs": Row("scripted_portal",
                                     args=("beyond-outputs",)),
    "portal_png_text_bomb": Row("scripted_portal", args=("text-bomb",),
                                argv=("prlimit", "--cpu=5")),
    "session_bus_silent": Row("silent_bus"),
    "portal_link_flipped_by_another_user": Row("flipping", args=(24,)),
    # WAYLAND_SOCKET, stale, naming standard error: not taken, and the
    # compositor on WAYLAND_DISPLAY read; naming a socket whose peer has
    # gone: the reason names it. A compositor that cuts the pool short once
    # it has copied into it: refused, the seal holds.
    "socket_naming_stderr": Row("capture", argv=("env", "WAYLAND_SOCKET=2")),
    "socket_peer_gone": Row("no_picture", argv=SOCKET_GONE,
                            why="WAYLAND_SOCKET=7 does not answer"),
    "pool_shrunk_by_compositor": Row("capture", proxy=(
        "--shrink-fds", "zwlr_screencopy_frame_v1.ready")),
    # Layouts saved whole: far wider than 32,767 px, more than 16 outputs;
    # past what a BMP holds, a reason and no picture.
    "far_right_output": Row("capture", layout="far_right",
                            reference="outputs"),
    "seventeen_outputs": Row("capture", layout="seventeen", reference="tool"),
    "layout_beyond_bmp": Row("no_picture", layout="beyond",
                             why="larger than a BMP"),
    # Outputs of 1 x 20000 announced from right to left, in a bounded CPU
    # time: a thousand saved (black: nothing draws them), 1,025 refused.
    "thousand_outputs_right_to_left": Row(
        "capture", proxy=("--outputs", "1000,1,20000"), reference="black",
        size=(1000, 20000), argv=("prlimit", "--cpu=10")),
    "outputs_past_1024": Row("no_picture", proxy=("--outputs", "1025,1,20000"),
                             argv=("prlimit", "--cpu=10"),
                             why="announces more than 1024 outputs"),
    # An output at the edge of 32-bit coordinates: saved; a second one
    # there: past what a BMP holds.
    "output_at_int_edge": Row("capture", proxy=(
        "--rewrite", "zxdg_output_v1.logical_position=2147483600,0")),
    "second_output_at_int_edge": Row(
        "no_picture", layout="far_right", proxy=(
            "--rewrite", "zxdg_output_v1#2.logical_position=2147483600,0"),
        why="is larger than a BMP file holds"),
    # Outputs that overlap exactly as much as they leave uncovered: the
    # gaps still black, and nothing uninitialised written.
    "overlapping_outputs": Row("capture", layout="overlap", reference="tool",
                               valgrind=True, ignore=(804, 0, 1024, 240)),
    # An output re-moded again and again meanwhile (sway 1.12 then fails
    # frames): every launch at once, whole.
    "forky_sway_remoded_during_capture": Row(
        "remodes", "forky_sway", layout="rotated", args=(30,)),
    "forky_sway_outputs_come_and_go": Row(
        "replugs", "forky_sway", layout="rotated", args=(30,)),
    # Current compositors: the standard protocol where offered.
    "forky_sway": Row("capture", "forky_sway", reference="tool",
                      protocol="ext"),
    "forky_sway_rotated": Row("capture", "forky_sway", layout="rotated",
                              reference="tool", protocol="ext"),
    "forky_sway_every_transform": Row("transforms", "forky_sway",
                                      protocol="ext"),
    "forky_sway_scale_2": Row("capture", "forky_sway", layout="scale2",
                              reference="tool", protocol="ext"),
    "forky_labwc": Row("capture", "labwc", reference="tool", protocol="ext"),
    "forky_wayfire": Row("capture", "wayfire", reference="tool",
                         protocol="wlr"),
    "forky_cage": Row("capture", "cage", reference="tool", protocol="wlr"),
    # Rows of a stride that is no whole number of pages, over several
    # strips of the fetch, beside a first output whose rows are whole pages.
    "forky_sway_odd_width": Row("capture", "forky_sway", layout="odd_width",
                                reference="tool", protocol="ext",
                                valgrind=True),
    "forky_sway_hidden_ext": Row("capture", "forky_sway", layout="rotated",
                                 reference="tool", protocol="wlr", proxy=EXT),
    # Image copy capture alone, lying: a buffer far larger than the output
    # (a larger pool is cut off, or sway would hold each), or every frame
    # failed.
    "forky_sway_absurd_buffer": Row(
        "copy_fails", "forky_sway", proxy=WLR + (
            "--rewrite",
            "ext_image_copy_capture_session_v1.buffer_size=20000,20000",
            "--max-pool", 150 << 20),
        why="{}: the compositor asks for a 20000 x 20000 buffer for a 1024 "
            "x 768 output", limit=(2, 150), pool=150 << 20),
    "forky_sway_every_frame_fails": Row(
        "copy_fails", "forky_sway", proxy=WLR + (
            "--answer", "ext_image_copy_capture_frame_v1.capture=failed:0",
            "--count", "ext_image_copy_capture_session_v1.create_frame",
            "--count", "wl_shm.create_pool"),
        why="{}: every frame failed for 5 s", limit=(7.5, None),
        most=(("ext_image_copy_capture_session_v1.create_frame", 150),
              ("wl_shm.create_pool", 3))),
    # Neither protocol nor portal, and Xwayland in DISPLAY: no X11 tried.
    "forky_xwayland_no_capture": Row("no_picture", "forky_sway_xwayland",
                                     proxy=EXT + WLR, why=NO_CAPTURE),
    # A scripted KWin: every pixel format it may use, rows padded past the
    # pixels; all pixels written before its reply (read while it writes,
    # or it never replies); refused, short of a pixel, or in a format that
    # cannot be read: the desktop portal then takes over, unsaid.
    "kwin_every_format": Row("kwin", args=("--pad", "12")),
    "kwin_writes_before_reply": Row("kwin", args=("--write-first",),
                                    outputs=((800, 600),)),
    "kwin_refuses": Row("kwin_then_portal", args=("--refuse",)),
    "kwin_pixels_short": Row("kwin_then_portal", args=("--short",)),
    "kwin_unknown_format": Row("kwin_then_portal", args=("--formats", "3")),
    # KWin's pipe: bytes past the picture without end, or with no reply;
    # held open once the picture is in. Replies of no pixels, of rows 4 GB
    # apart, of a PNG: each said. No portal: the reasons show.
    "kwin_streams_past_picture": Row("kwin", args=(
        "--pad", "12", "--stream-after"), limit=(3, 150)),
    "kwin_streams_without_reply": Row(
        "kwin_no_picture", args=("--stream-no-reply",),
        why="KWin: no screenshot within 10 s", limit=(17, 400)),
    "kwin_holds_pipe_open": Row("kwin", args=("--hold-open",),
                                limit=(3, None)),
    "kwin_no_width": Row("kwin_no_picture", args=("--size", "0x48"),
                         why="KWin: the workspace has no pixels (0 x 48)"),
    "kwin_rows_far_apart": Row(
        "kwin_no_picture", args=("--stride", "4294967295"),
        why="KWin: rows 4294967295 bytes apart are more than a screenshot "
            "holds"),
    "kwin_png_reply": Row("kwin_no_picture", args=("--type", "png"),
                          why="KWin: the picture came as png, not as raw "
                              "pixels"),
    # Real desktops. GNOME: its portal, against gnome-screenshot; with the
    # permission refused, a prompt failure. Plasma: the installed tusak
    # reads KWin's own interface and never asks the portal; a copy that is
    # not installed (no desktop entry) goes through the portal.
    "gnome": Row("gnome_portal", "gnome"),
    "gnome_refused": Row("gnome_refused", "gnome"),
    "plasma_kwin": Row("kwin_served", "plasma", installed=True),
    "plasma_portal": Row("portal_fallback", "plasma"),
    "plasma_kwin_two_screens_scale_2": Row(
        "kwin_served", "plasma", installed=True, scale=2,
        outputs=((1024, 768),) * 2),
    # Plasma 6's KWin, from the testing archive's root: its desktop-entry
    # check lets the installed tusak in and keeps a copy out.
    "forky_plasma6_kwin": Row("kwin6", "plasma6", installed=True),
    # GNOME 50, from the testing archive's root: its portal, against the
    # portal's own picture (its shell refuses gnome-screenshot); on two
    # monitors; refused.
    "forky_gnome50": Row("gnome_portal", "gnome50"),
    "forky_gnome50_two_monitors": Row("gnome_portal", "gnome50", outputs=(
        (1024, 768), (800, 600))),
    "forky_gnome50_refused": Row("gnome_refused", "gnome50"),
    # KWin 6 on X11 (Xvfb, OpenGL on Mesa's llvmpipe) serves the ScreenShot2
    # its Wayland session serves, with real pixels: the installed tusak,
    # sent there by a Wayland session with no socket behind it, reads them
    # as spectacle does; a copy is refused.
    "forky_plasma6_pixels": Row("kwin6_pixels", "kwin_x11", installed=True),
    "forky_plasma6_pixels_16_bit": Row("kwin6_pixels", "kwin_x11", depth=16,
                                       installed=True),
}


def run(args, names):
    for name in names:
        row, desktop = ROWS[name], DESKTOPS[ROWS[name].desktop]
        missing = [n for n in desktop.needs if not shutil.which(n)]
        if missing:
            print("skipped: not installed:", " ".join(missing))
            return SKIP
        root = None if desktop.root is None else \
            make_root("forky", packages=desktop.root)[0]
        s = session.Session(root, args.tusak)
        try:
            if row.installed:
                s.install()
            picture = desktop.start(s, row)
            if row.layout:
                cr.lay_out(s, row.layout)
            KINDS[row.kind].run(s, row, Context(desktop, picture,
                                                args.release))
        finally:
            s.stop()
        print("launches: %s s" % " ".join("%.2f" % t for t in LAUNCHES))
        print("passed:", name)


def listed(args):
    """Each row's time limit: its kind's or its desktop's, the longer (the
    first row on the testing root makes it, a few minutes, and a real
    desktop starts slowly on a busy machine)."""
    return {name: (max(KINDS[r.kind].limit, DESKTOPS[r.desktop].limit),
                   ("wayland", r.kind, DESKTOPS[r.desktop].family))
            for name, r in ROWS.items()}


if __name__ == "__main__":
    sys.exit(main(__doc__, listed, run, [
        (["--tusak"], dict(help="the build under test")),
        (["--release"], dict(default="", help="the optimised build, for "
                                              "the rows under valgrind"))]))
