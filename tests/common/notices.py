"""What a run of tusak says on standard error, and its checks: the notices
(the list in notices.txt), the why lines before them, and no sanitizer's
report (the host build carries AddressSanitizer and UBSan)."""
import os

with open(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                       "notices.txt")) as f:
    STEPS = [l.strip() for l in f if l.strip() and not l.startswith("#")]
NOTICES = STEPS[:7]  # each text once
# A run with no bitmap: the grab's three and the record's, then the fetch's.
NO_BITMAP = STEPS[:4] + ["GetDIBits"]
# No file: its creation's notice, then those of the three writes.
NOT_CREATED = STEPS[6:10]
SANITIZERS = ("runtime error:", "ERROR: AddressSanitizer",
              "ERROR: LeakSanitizer", "UndefinedBehaviorSanitizer")


def split(lines, notices=None, why=None):
    """(why lines, notices) of a run's standard error, checked: the why
    lines ("tusak: ...") come first, and are why's, when given; then the
    notices given, or when None, one or more of STEPS in their order."""
    said = [l for l in lines if l.startswith("tusak: ")]
    rest = lines[len(said):]
    assert lines[:len(said)] == said, lines
    if why is not None:
        assert said == ["tusak: " + w for w in why], lines
    if notices is not None:
        assert rest == ["Error: " + n for n in notices], lines
    else:
        steps = iter(STEPS)
        assert rest and all(l in ("Error: " + s for s in steps)
                            for l in rest), lines
    return said, rest


def sanitizer_report(text):
    """The lines of a sanitizer's report in a run's standard error (text or
    bytes), joined; empty if there is none."""
    if isinstance(text, bytes):
        text = text.decode(errors="replace")
    lines = (text or "").splitlines()
    first = next((i for i, l in enumerate(lines)
                  if any(s in l for s in SANITIZERS)), None)
    return "" if first is None else "\n".join(lines[first:first + 20])
