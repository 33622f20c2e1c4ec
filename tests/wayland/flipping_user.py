#!/usr/bin/python3
"""Another user, who keeps a symbolic link of theirs flipping between two
folders without pause, until killed (a link in a shared folder, on the way
to a file the user's programs read and remove).

    flipping_user.py LINK FOLDER FOLDER
"""
import itertools, os, sys

link, folders = sys.argv[1], sys.argv[2:4]
new = link + ".new"
for i in itertools.count():
    if os.path.lexists(new):
        os.unlink(new)
    os.symlink(folders[i % 2], new)
    os.replace(new, link)  # at once: the link is always there
