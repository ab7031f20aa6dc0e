#!/usr/bin/env python3
"""Rewrites ZIP archives so that their bytes depend on the names and contents of their files
alone, not on when or where they were built:
    normalize_zip.py EPOCH ARCHIVE...
Entries are sorted by name and all dated EPOCH (seconds since 1970, as UTC, not before 1980);
they carry no extra fields (owner, precise times), and their permissions are 755 for folders
and for files with any execute bit, else 644. Files are deflated at level 9.
"""
import os
import sys
import time
import zipfile

DOS_EPOCH = 315532800  # 1980-01-01 00:00:00 UTC, the earliest date a ZIP entry can hold


def normalize(path, epoch):
    date = time.gmtime(max(epoch, DOS_EPOCH))[:6]
    with zipfile.ZipFile(path) as source:
        entries = [(info, source.read(info)) for info in source.infolist()]
    entries.sort(key=lambda entry: entry[0].filename)
    temporary = path + ".tmp"
    with zipfile.ZipFile(temporary, "w") as target:
        for info, data in entries:
            fixed = zipfile.ZipInfo(info.filename, date)
            fixed.create_system = 3  # Unix: the permissions below are read from the external attributes
            if info.is_dir():
                fixed.external_attr = (0o40755 << 16) | 0x10  # 0x10: MS-DOS folder attribute
                fixed.compress_type = zipfile.ZIP_STORED
            else:
                executable = (info.external_attr >> 16) & 0o111
                fixed.external_attr = (0o100755 if executable else 0o100644) << 16
                fixed.compress_type = zipfile.ZIP_DEFLATED
            target.writestr(fixed, data, compresslevel=9)
    os.replace(temporary, path)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    for archive in sys.argv[2:]:
        normalize(archive, int(sys.argv[1]))
