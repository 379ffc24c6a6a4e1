"""Writes each entry of a zip archive, read with Python's zipfile, to FOLDER/<n>
(n counting from 1 in the archive's order) and prints one line per entry: name,
compression method, size and that file. Exits 1 when the archive's checksums do not
match its contents."""
import os
import sys
import zipfile

archive_path, folder = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(archive_path) as archive:
    if archive.testzip() is not None:
        sys.exit(1)
    for n, info in enumerate(archive.infolist(), 1):
        target = os.path.join(folder, str(n))
        with open(target, "wb") as out:
            out.write(archive.read(info))
        print(f"{info.filename}\t{info.compress_type}\t{info.file_size}\t{target}")
