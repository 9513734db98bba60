"""Writes a ZIP again so that the same files give the same bytes, wherever and whenever it is
made: members in name order, each stamped with SOURCE_DATE_EPOCH (UTC), with fixed modes and
no owner or extra time fields. CPack's own ZIP takes its order from the staging folder's
listing and its modes from the builder's umask.  Usage: reproducible_zip.py ZIP..."""

import os
import sys
import time
import zipfile


def rewrite(path):
    with zipfile.ZipFile(path) as source:
        members = [(info, source.read(info)) for info in source.infolist()]
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    stamp = time.gmtime(int(epoch))[:6] if epoch else max(info.date_time for info, _ in members)
    temporary = path + ".tmp"
    with zipfile.ZipFile(temporary, "w") as target:
        for info, data in sorted(members, key=lambda member: member[0].filename):
            entry = zipfile.ZipInfo(info.filename, date_time=stamp)
            entry.create_system = 3  # Unix, so that the modes below are read
            if info.is_dir():
                mode = 0o40755
            else:
                mode = 0o100755 if info.filename.lower().endswith(".exe") else 0o100644
            entry.external_attr = mode << 16
            target.writestr(entry, data, compress_type=zipfile.ZIP_DEFLATED, compresslevel=9)
    os.replace(temporary, path)


if __name__ == "__main__":
    for zip_path in sys.argv[1:]:
        rewrite(zip_path)
