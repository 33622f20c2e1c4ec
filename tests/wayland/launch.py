"""A launch of tusak in a session, and what the rows check of it: the whole
file against a picture, no picture and the reasons why, or the desktop's
own tool's picture taken right after."""
import os, re, sys, time
from dataclasses import dataclass

from bmp import header_fault, picture
from notices import NO_BITMAP, sanitizer_report, split
from pixels import differs


@dataclass(frozen=True)
class Context:
    """What a row's kind is given beside the session and the row."""
    desktop: object   # the row's (desktops.Desktop)
    picture: object   # what it shows (a Pillow image), or None
    release: str      # the optimised build, for valgrind ("": none given)


# The requests that show which protocol copied the outputs.
USED = {"ext": re.compile(r"-> ext_image_copy_capture_frame_v1@\d+\.capture\("),
        "wlr": re.compile(r"-> zwlr_screencopy_frame_v1@\d+\.copy\(")}
LAUNCHES = []  # how long each launch of the row took (s), told at its end
# Runs argv[2:], then writes its peak resident memory (kB) in argv[1]: a
# small process of its own, as a process's peak counts the memory of the
# process it was forked from.
PEAK = """import os, sys
pid = os.fork()
if not pid:
    os.execvp(sys.argv[2], sys.argv[2:])
_, status, usage = os.wait4(pid, 0)
open(sys.argv[1], "w").write(str(usage.ru_maxrss))
sys.exit(os.waitstatus_to_exitcode(status) & 255)"""


def run_tusak(s, tusak, env=None, protocol=None, argv=(), limit=None):
    """One run in a fresh directory: (exit status, stderr's lines, files,
    the file's header). With protocol, the run logs its messages and must
    have copied the outputs through that protocol, and only that one. With
    limit (seconds, MB; None for no bound), it must end within that time,
    its peak resident memory within that size. A sanitizer's report fails
    it."""
    work = s.workdir()
    env = dict(env or s.env)
    if protocol:
        env["WAYLAND_DEBUG"] = "client"
    peak_file = os.path.join(s.dir, "peak")
    start = time.monotonic()
    r = s.run([sys.executable, "-S", "-c", PEAK, peak_file] + list(argv) +
              [tusak], cwd=work, env=env, timeout=120)
    took = time.monotonic() - start
    LAUNCHES.append(took)
    with open(peak_file) as f:
        peak = int(f.read()) / 1024
    lines = r.stderr.decode(errors="replace").splitlines()
    log = [l for l in lines if protocol and re.match(r"\[\s*\d+\.\d+\]", l)]
    lines = [l for l in lines if l not in log]
    print("ran %.2f s, peak %.0f MB, stderr %r" % (took, peak, lines[:30]))
    report = sanitizer_report(r.stderr)
    assert not report, "a sanitizer's report:\n" + report
    if limit:
        assert took < limit[0], "took %.2f s, want < %g" % (took, limit[0])
        assert limit[1] is None or peak < limit[1], \
            "peak memory %.0f MB, want < %d" % (peak, limit[1])
    if protocol:
        for name, used in USED.items():
            hit = any(used.search(l) for l in log)
            assert hit == (name == protocol), (name, "used" if hit else
                                               "not used", log[-20:])
    files = {n: picture(os.path.join(work, n)) for n in os.listdir(work)}
    with open(os.path.join(work, "tusak0000.bmp"), "rb") as f:
        header = f.read(54)
    return r.returncode, lines, files, header


def check_capture(s, tusak, want, env=None, protocol=None, argv=(),
                  ignore=None, limit=None):
    """A whole file equal to want, but for the box ignore (where which of
    two outputs shows is the compositor's choice)."""
    status, lines, files, header = run_tusak(s, tusak, env, protocol, argv,
                                             limit)
    assert (status, lines, list(files)) == (0, [], ["tusak0000.bmp"]), \
        (status, lines, list(files))
    # A 32-bit bottom-up bitmap, as written.
    fault = header_fault(header, want.width, want.height, 32) or \
        differs(files["tusak0000.bmp"], want, ignore=ignore)
    assert not fault, fault


def check_no_picture(s, tusak, why, env=None, limit=None, exact=False,
                     result=None, argv=()):
    """No display system serves (in a run of tusak, or run_tusak's result
    given): the reasons (why among them, or when exact, the lines of why
    alone), then the notices of a grab without a bitmap, and a file that
    holds a header and no pixels (nothing read from elsewhere)."""
    status, lines, files, _ = result or run_tusak(s, tusak, env, argv=argv,
                                                  limit=limit)
    assert status == 0, status
    said, _ = split(lines, NO_BITMAP, why if exact else None)
    assert exact or any(why in n for n in said), (why, lines)
    assert list(files) == ["tusak0000.bmp"], list(files)
    assert files["tusak0000.bmp"] is None, "a picture was saved"
    return said


def rgb(image):
    return image.convert("RGB").tobytes()


def matching(s, launch, reference, tries=3, retry_failed=False, pixels=rgb):
    """launch()'s capture (run_tusak's result), checked against reference()
    taken right after it (their pixels(), by default the RGB bytes); the
    pair is taken again (up to tries times) if only the pictures differ, as
    the desktop's clock may have moved on in between, and if retry_failed,
    once if the launch failed."""
    for attempt in range(tries):
        status, lines, files, header = launch()
        if lines and retry_failed:
            retry_failed = False
            print("retried: a launch failed:", lines)
            status, lines, files, header = launch()
        assert (status, lines) == (0, []), (status, lines)
        want = reference()
        try:
            got = files["tusak0000.bmp"]
            assert got is not None and got.size == want.size and \
                pixels(got) == pixels(want), "differs from the reference"
            return got
        except AssertionError:
            if attempt == tries - 1:
                raise
            print("retried: the pictures differed (attempt %d)" % attempt)
