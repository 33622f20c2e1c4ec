"""A suite's command line, the same for every suite: --list names its rows
for tests/CMakeLists.txt, a line each, "NAME SECONDS LABEL,LABEL
[PROPERTY=VALUE]..." (the time limit and labels its row's kind gives, and
any other CTest properties of the row); otherwise it runs the rows named,
or all."""
import argparse
from dataclasses import dataclass
from typing import Callable

SKIP = 77  # CTest's SKIP_RETURN_CODE: what a row needs is not installed


@dataclass(frozen=True)
class Kind:
    run: Callable        # runs a row; an AssertionError fails it
    limit: int = 120     # seconds CTest gives a row of this kind
    labels: tuple = ()   # CTest's labels for it (ctest -L)


def main(doc, listed, run, options=()):
    """listed(args): {name: (seconds, labels[, {property: value}])};
    run(args, names): the exit status. options: (flags, keywords) of
    argparse's add_argument."""
    parser = argparse.ArgumentParser(description=doc)
    for flags, keywords in options:
        parser.add_argument(*flags, **keywords)
    parser.add_argument("--list", action="store_true",
                        help="name the rows, their time limits and labels")
    parser.add_argument("names", nargs="*", help="the rows to run")
    args = parser.parse_args()
    table = listed(args)
    if args.list:
        for name, (seconds, labels, *more) in table.items():
            print(" ".join(["%s %d %s" % (name, seconds, ",".join(labels))] +
                           ["%s=%s" % p for m in more for p in m.items()]))
        return 0
    unknown = [n for n in args.names if n not in table]
    if unknown:
        parser.error("no rows %s; the rows: %s" % (unknown, " ".join(table)))
    return run(args, args.names or list(table)) or 0
