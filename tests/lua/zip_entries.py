"""Prints each entry of a zip archive, one line each, read with Python's zipfile:
name, compression method, size, and the positions of the set bits of its bytes
(bit p % 8 of byte p // 8), comma-separated. Exits 1 when the archive's checksums
do not match its contents."""
import sys
import zipfile

with zipfile.ZipFile(sys.argv[1]) as archive:
    if archive.testzip() is not None:
        sys.exit(1)
    for info in archive.infolist():
        data = archive.read(info)
        bits = [i * 8 + b for i, byte in enumerate(data) for b in range(8) if byte >> b & 1]
        print(f"{info.filename}\t{info.compress_type}\t{len(data)}\t{','.join(map(str, bits))}")
