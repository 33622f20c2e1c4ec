#!/usr/bin/python3
"""Another user's link, flipped between two folders without pause until
killed: flipping_user.py LINK FOLDER FOLDER"""
import itertools, os, sys

link, folders = sys.argv[1], sys.argv[2:4]
for i in itertools.count():
    os.symlink(folders[i % 2], link + ".new")
    os.replace(link + ".new", link)  # at once: the link is always there
