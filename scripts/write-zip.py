#!/usr/bin/env python3
"""Writes a zip archive that the same files always give the same bytes:

    write-zip.py OUT SECONDS FOLDER NAME...

the named files of FOLDER in the order given, each dated SECONDS (Unix time,
the commit's) and with mode 0644."""
import os
import sys
import time
import zipfile

out, seconds, folder, names = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4:]
stamp = time.gmtime(max(seconds, 315532800))[:6]  # zip dates start in 1980
with zipfile.ZipFile(out, "w") as archive:
    for name in names:
        entry = zipfile.ZipInfo(name, stamp)
        entry.create_system = 3  # Unix, so that the permissions below are read
        entry.external_attr = 0o644 << 16
        with open(os.path.join(folder, name), "rb") as file:
            archive.writestr(entry, file.read(), zipfile.ZIP_DEFLATED, 9)
