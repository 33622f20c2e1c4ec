"""The desktops the Wayland rows run on, a family a file (wlroots.py,
gnome.py, plasma.py; the portal stack in portal.py), each file's DESKTOPS
gathered here by name. A new desktop is a file here that declares it, and
a row that names it."""
import importlib, os
from dataclasses import dataclass
from typing import Callable

from PIL import Image


@dataclass(frozen=True)
class Desktop:
    start: Callable       # (session, row): starts it; the picture it shows
    tool: Callable        # (session): its own screenshot tool's picture
    root: tuple = None    # the testing root's packages it runs on (None:
    #                       the host's desktop)
    needs: tuple = ()     # host programs: a row is skipped without one
    limit: int = 180      # seconds a row may take, its start included
    family: str = ""      # its label


def tool_picture(s, argv, path, timeout=60, host=True):
    """The picture (Pillow image) that a desktop's tool, argv, writes to
    path, as the session's user (in its root unless host)."""
    r = s.run(argv, timeout=timeout, host=host)
    if r.returncode or not os.path.exists(path):
        raise RuntimeError("%s failed: %r" % (argv[0], r.stderr))
    with Image.open(path) as image:
        return image.copy()


DESKTOPS = {}
for _name in sorted(os.listdir(os.path.dirname(os.path.abspath(__file__)))):
    if _name.endswith(".py") and _name != "__init__.py":
        DESKTOPS.update(getattr(importlib.import_module(
            __name__ + "." + _name[:-3]), "DESKTOPS", {}))
