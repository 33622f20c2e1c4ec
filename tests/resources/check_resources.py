#!/usr/bin/python3
"""Checks that tusak.exe carries exactly its icon, its manifest and its
version.

Usage: check_resources.py path/to/tusak.exe VERSION
Needs wrestool and icotool (icoutils). Prints every mismatch; exit 1 if any.
"""

import collections
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
# (size, bits per pixel, palette entries) of the images in each group.
IMAGES = [(16, 4, 16), (32, 4, 16), (16, 8, 256), (32, 8, 256), (48, 8, 256),
          (16, 32, 0), (32, 32, 0), (48, 32, 0)]
GROUPS = [107, 108]
# Everything the resource table may hold: (type, name) -> count.
TABLE = {(RT_ICON, None): len(IMAGES), (RT_MANIFEST, 1): 1, (RT_VERSION, 1): 1,
         **{(RT_GROUP_ICON, g): 1 for g in GROUPS}}
# The manifest's elements: the wrapper, and the one setting with its value.
WRAPPER = {'assembly', 'trustInfo', 'security', 'requestedPrivileges'}
SETTING = ('requestedExecutionLevel', {'level': 'asInvoker',
                                       'uiAccess': 'false'})

errors = []


def check(ok, message):
    if not ok:
        errors.append(message)


def run(*args):
    return subprocess.run(args, check=True, capture_output=True).stdout


def resource(exe, rtype, name):
    return run('wrestool', '-x', '--raw', f'--type={rtype}', f'--name={name}',
               exe)


def check_table(exe):
    """Returns the IDs of the RT_ICON resources."""
    listing = run('wrestool', '-l', exe).decode()
    numbered = [(int(t), int(n)) for t, n in re.findall(
        r'--type=(\d+) --name=(\d+) ', listing)]
    found = collections.Counter(
        (t, None if t == RT_ICON else n) for t, n in numbered)
    # Every line numbered: no resource goes by a name string either.
    check(found == TABLE and len(numbered) == len(listing.splitlines()),
          f'resource table: want {TABLE}, have\n{listing}')
    return sorted(n for t, n in numbered if t == RT_ICON)


def check_group(exe, group, icons, tmp):
    raw = resource(exe, RT_GROUP_ICON, group)
    count = struct.unpack_from('<H', raw, 4)[0]
    ids = sorted(struct.unpack_from('<H', raw, 6 + 14 * i + 12)[0]
                 for i in range(count))
    check(ids == icons, f'group {group} names icons {ids}, exe has {icons}')
    ico = f'{tmp}/{group}.ico'
    run('wrestool', '-x', f'--type={RT_GROUP_ICON}', f'--name={group}',
        f'--output={ico}', exe)
    images = sorted(
        tuple(map(int, image)) for image in re.findall(
            r'--width=(\d+) --height=(\d+) --bit-depth=(\d+) '
            r'--palette-size=(\d+)', run('icotool', '-l', ico).decode()))
    want = sorted((size, size, bpp, colours) for size, bpp, colours in IMAGES)
    check(images == want, f'group {group}: want {want}, have {images}')


def check_alpha(exe, icons):
    """32-bit images must really use their alpha: see-through corners and
    an opaque body."""
    for rid in icons:
        dib = resource(exe, RT_ICON, rid)
        _, width, _, _, bpp = struct.unpack_from('<IiiHH', dib)
        if bpp == 32:
            alpha = set(dib[40 + 3:40 + width * width * 4:4])
            check({0, 255} <= alpha, f'icon {rid}: alpha values {alpha}')


def check_version(exe, version):
    """The fixed numbers, and the texts Explorer's Details tab shows: those
    of the table that the translation names."""
    raw = resource(exe, RT_VERSION, 1)
    at = raw.find(struct.pack('<I', 0xFEEF04BD))  # VS_FIXEDFILEINFO
    a, b, c = map(int, version.split('.'))
    numbers = struct.unpack_from('<4I', raw, at + 8) if at > 0 else ()
    check(numbers == (a << 16 | b, c << 16) * 2, f'version numbers {numbers}')
    # Each text: its name, a terminator, padding to 4 bytes, the value.
    text = raw.decode('utf-16-le', 'replace')
    texts = dict(re.findall(r'(\w+)\0\0?([^\0]+)\0', text))
    at = raw.rfind('Translation\0'.encode('utf-16-le')) + 24
    translation = raw[(at + 3) & ~3:][:4]
    table = '%04X%04X' % struct.unpack('<HH', translation)
    want = {'ProductName': 'tusak', 'FileVersion': version,
            'ProductVersion': version, 'OriginalFilename': 'tusak.exe',
            'LegalCopyright': 'Copyright (c) 2026 The tusak authors. MIT licence.'}
    check(table in text and texts.get('FileDescription') and
          want.items() <= texts.items(), f'version texts {texts} ({table})')


def check_manifest(exe):
    root = ET.fromstring(resource(exe, RT_MANIFEST, 1))
    elements = [(e.tag.split('}')[-1], e.attrib) for e in root.iter()]
    settings = [(tag, attrib) for tag, attrib in elements
                if tag not in WRAPPER]
    check(settings == [SETTING],
          f'manifest settings: want only {SETTING}, have {settings}')


def main():
    exe, version = sys.argv[1:3]
    for tool in ('wrestool', 'icotool'):
        if not shutil.which(tool):
            sys.exit(f'{tool} not found: install icoutils')
    try:
        open(exe, 'rb').close()
        icons = check_table(exe)
        if not errors:  # the rest reads resources the table promised
            with tempfile.TemporaryDirectory() as tmp:
                for group in GROUPS:
                    check_group(exe, group, icons, tmp)
            check_alpha(exe, icons)
            check_manifest(exe)
            check_version(exe, version)
    except (OSError, subprocess.CalledProcessError, ET.ParseError,
            struct.error) as e:
        errors.append(f'{exe}: {e}'
                      + (f' {e.stderr.decode()}' if getattr(e, 'stderr', None)
                         else ''))
    print('\n'.join(errors) or f'{exe}: icon, manifest and version as expected')
    sys.exit(1 if errors else 0)


if __name__ == '__main__':
    main()
