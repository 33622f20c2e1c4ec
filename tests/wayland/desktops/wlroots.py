"""wlroots compositors, headless: sway (Debian 12's, or the testing root's,
with Xwayland if asked), and labwc, wayfire and cage from the testing root,
each with one output HEADLESS-1 of SIZE showing a known picture; sway's
outputs changed through its IPC, each change waited for until it shows;
grim's capture for reference."""
import io, itertools, json, os

from PIL import Image

from desktops import Desktop
from pixels import pattern, same
from session import wait_for

SIZE = (1024, 768)
HEADLESS = {"WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman",
            "WLR_LIBINPUT_NO_DEVICES": "1"}
BACKGROUNDS = itertools.count()  # a new file each time (below)


def swaymsg(s, *args, timeout=10):
    r = s.run(["swaymsg", "-r"] + list(args), timeout=timeout, host=False)
    reply = json.loads(r.stdout or b"null")
    if r.returncode or reply is None:
        raise RuntimeError("swaymsg %s failed: %r %r" % (args, reply,
                                                          r.stderr))
    return reply


def command(s, text):
    """A sway command; raises if sway reports a failure."""
    for result in swaymsg(s, text):
        if not result.get("success"):
            raise RuntimeError("sway: %s: %s" % (text, result))


def outputs(s):
    """Active outputs by name: sway's get_outputs entries."""
    return {o["name"]: o for o in swaymsg(s, "-t", "get_outputs")
            if o.get("active")}


def create_output(s, timeout=10):
    """Add a headless output; its name once sway shows it active."""
    before = set(outputs(s))
    command(s, "create_output")
    return wait_for(lambda: set(outputs(s)) - before, timeout,
                    "a new output").pop()


def set_output(s, name, mode=None, pos=None, transform=None, scale=None,
               picture=None, timeout=20):
    """Change an output and wait until sway reports the change and, when a
    picture (a Pillow image) is set as its background and its size is the
    output's size in pixels (grim -o), until grim shows it."""
    words = ["output", name]
    if mode:
        words += ["mode", "%dx%d" % mode]
    if pos:
        words += ["pos", "%d" % pos[0], "%d" % pos[1]]
    if transform:
        words += ["transform", str(transform)]
    if scale:
        words += ["scale", "%g" % scale]
    if picture is not None:
        s.pictures[name] = picture
        # A new file each time: sway does not redraw for the same one.
        words += ["bg", s.put("bg-%d.png" % next(BACKGROUNDS), picture),
                  "fill"]
    command(s, " ".join(words))

    def applied():
        o = outputs(s).get(name)
        return o and all([
            not mode or (o["current_mode"]["width"],
                         o["current_mode"]["height"]) == tuple(mode),
            not pos or (o["rect"]["x"], o["rect"]["y"]) == tuple(pos),
            not transform or o["transform"] == str(transform),
            not scale or o["scale"] == scale]) and o
    o = wait_for(applied, timeout, "output %s to change" % name)
    pic = s.pictures.get(name)
    pixels = (round(o["rect"]["width"] * o["scale"]),
              round(o["rect"]["height"] * o["scale"]))
    if pic is not None and pic.size == pixels:
        wait_for(lambda: same(grim(s, output=name), pic), timeout,
                 "the background of %s to show" % name, interval=0.2)
    return o


def grim(s, fmt="png", output=None, timeout=20):
    """grim's capture as a Pillow image. fmt "png" keeps gaps between
    outputs transparent; "ppm" makes them black."""
    r = s.run(["grim", "-t", fmt] + (["-o", output] if output else []) +
              ["-"], timeout=timeout, host=False)
    if r.returncode:
        raise RuntimeError("grim failed: %r" % r.stderr)
    image = Image.open(io.BytesIO(r.stdout))
    image.load()
    return image


def xwayland_display(s, timeout):
    """The X display that the compositor's Xwayland client wrote down."""
    path = os.path.join(s.runtime, "display")
    return wait_for(lambda: os.path.exists(path) and
                    open(path).read().strip(), timeout, "Xwayland's display")


def start_sway(s, size, picture, timeout=30, xwayland=False):
    s.pictures["HEADLESS-1"] = picture
    config = os.path.join(s.dir, "sway.conf")
    with open(config, "w") as f:
        f.write("xwayland %s\noutput HEADLESS-1 mode %dx%d pos 0 0 bg %s "
                "fill\n" % (("force" if xwayland else "disable",) + size +
                            (s.put("bg-HEADLESS-1.png", picture),)))
        if xwayland:  # where its clients find it
            f.write("exec sh -c 'echo $DISPLAY > %s/display'\n" % s.runtime)
    os.chmod(config, 0o644)
    sway = s.popen(["sway", "-c", config], log="sway.log",
                   env=dict(s.env, **HEADLESS), host=False)
    s.env["WAYLAND_DISPLAY"] = s.wayland_socket(sway, "sway", "sway.log",
                                                timeout)
    ipc = wait_for(lambda: [n for n in os.listdir(s.runtime)
                            if n.startswith("sway-ipc.")], timeout,
                   "sway's IPC socket")[0]
    s.env["SWAYSOCK"] = os.path.join(s.runtime, ipc)
    # swaybg draws the background a moment after sway starts.
    wait_for(lambda: "HEADLESS-1" in outputs(s) and
             same(grim(s), picture), timeout, "the background to show",
             interval=0.2)
    if xwayland:
        s.env["DISPLAY"] = xwayland_display(s, timeout)


def start_compositor(s, argv, picture, shows, timeout=30):
    """The compositor of argv(s, config folder) with one output of the
    picture's size showing it: drawn by swaybg, or where it has no
    background layer (shows "xwayland"), by ImageMagick's display on its
    Xwayland."""
    config = os.path.join(s.dir, "config")
    os.mkdir(config)
    argv = argv(s, config)
    for name in os.listdir(config):
        os.chmod(os.path.join(config, name), 0o644)
    os.chmod(config, 0o755)
    proc = s.popen(argv, log="compositor.log", host=False, env=dict(
        s.env, WLR_HEADLESS_OUTPUTS="1", **HEADLESS))
    s.env["WAYLAND_DISPLAY"] = s.wayland_socket(proc, argv[0],
                                                "compositor.log", timeout)
    mode = "%dx%d" % picture.size
    wait_for(lambda: s.run(["wlr-randr", "--output", "HEADLESS-1",
                            "--custom-mode", mode], host=False).returncode
             == 0 and grim(s).size == picture.size, timeout, "the mode")
    if shows == "xwayland":
        s.popen(["display", "-geometry", "+0+0", "-borderwidth", "0",
                 s.put("bg.png", picture)], log="display.log",
                env=dict(s.env, DISPLAY=xwayland_display(s, timeout)))
    else:
        s.popen(["swaybg", "-o", "*", "-m", "fill", "-i",
                 s.put("bg.png", picture)], log="swaybg.log", host=False)
    wait_for(lambda: same(grim(s), picture), timeout,
             "the background to show", interval=0.2)


def sway(xwayland=False, root=None):
    def start(s, row):
        picture = pattern(SIZE)
        start_sway(s, SIZE, picture, xwayland=xwayland)
        return picture
    return Desktop(start, lambda s: grim(s, "ppm"), root=root,
                   limit=180 if root is None else 900, family="wlroots")


def compositor(argv, packages=(), shows="swaybg"):
    """A wlroots compositor from the testing root (with packages), started
    as argv(s, config folder) says, showing the pattern on its one output."""
    def start(s, row):
        picture = pattern(SIZE)
        start_compositor(s, argv, picture, shows)
        return picture
    return Desktop(start, lambda s: grim(s, "ppm"), root=packages, limit=900,
                   family="wlroots")


def wayfire(s, config):
    """No plugins: nothing but the outputs and the background."""
    with open(os.path.join(config, "wayfire.ini"), "w") as f:
        f.write("[core]\nplugins = \nxwayland = false\n")
    return ["wayfire", "-c", os.path.join(config, "wayfire.ini")]


DESKTOPS = {
    "sway": sway(),
    "forky_sway": sway(root=()),
    "forky_sway_xwayland": sway(xwayland=True, root=()),
    "labwc": compositor(lambda s, config: ["labwc", "-C", config]),
    "wayfire": compositor(wayfire),
    "cage": compositor(lambda s, config: [
        "cage", "--", "sh", "-c", "echo $DISPLAY > %s/display; exec sleep "
        "infinity" % s.runtime], shows="xwayland"),
}
