"""The desktops the Wayland rows run on, a family a file (wlroots.py,
gnome.py, plasma.py; the portal stack in portal.py), each file's DESKTOPS
gathered here by name. A new desktop is a file here that declares it, and
a row that names it."""
import importlib, os
from dataclasses import dataclass
from typing import Callable


@dataclass(frozen=True)
class Desktop:
    start: Callable       # (session, row): starts it; the picture it shows
    tool: Callable        # (session): its own screenshot tool's picture
    root: tuple = None    # the testing root's packages it runs on (None:
    #                       the host's desktop)
    needs: tuple = ()     # host programs: a row is skipped without one
    limit: int = 180      # seconds a row may take, its start included
    family: str = ""      # its label


DESKTOPS = {}
for _name in sorted(os.listdir(os.path.dirname(os.path.abspath(__file__)))):
    if _name.endswith(".py") and _name != "__init__.py":
        DESKTOPS.update(getattr(importlib.import_module(
            __name__ + "." + _name[:-3]), "DESKTOPS", {}))
