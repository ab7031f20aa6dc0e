#!/usr/bin/env python3
"""What a Windows user sees of a shipped binary, checked without Windows:
  pe_check.py version FILE VERSION    the VERSIONINFO resource: fixed file and product version,
                                      and the strings FileVersion, ProductVersion, ProductName
  pe_check.py stripped FILE DEBUG     no symbol table, no debug sections; a .gnu_debuglink
                                      section that names DEBUG's file name with DEBUG's CRC, and
                                      DEBUG holds the debug information
Exit status 1 with a line saying what is wrong."""
import struct
import sys
import zlib


def sections(image):
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        sys.exit("not a PE image")
    count, = struct.unpack_from("<H", image, pe + 6)
    table_at, symbols = struct.unpack_from("<II", image, pe + 12)
    optional, = struct.unpack_from("<H", image, pe + 20)
    table = pe + 24 + optional
    found = {}
    strings = table_at + 18 * symbols if table_at else 0  # long section names live there
    for i in range(count):
        raw = image[table + 40 * i:table + 40 * i + 40]
        name = raw[:8].rstrip(b"\0").decode("latin-1")
        if name.startswith("/") and strings:  # a long name, in the string table
            at = strings + int(name[1:])
            name = image[at:image.index(b"\0", at)].decode("latin-1")
        size, offset = struct.unpack_from("<II", raw, 16)
        found[name] = image[offset:offset + size]
    return found, symbols


def utf16(text):
    return text.encode("utf-16-le") + b"\0\0"


def check_version(path, version):
    image = open(path, "rb").read()
    rsrc = sections(image)[0].get(".rsrc", b"")
    at = rsrc.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        sys.exit(f"{path}: no VERSIONINFO resource")
    major, minor, patch = (int(p) for p in version.split("."))
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", rsrc, at + 8)
    want = (major << 16 | minor, patch << 16)
    if (file_ms, file_ls) != want or (product_ms, product_ls) != want:
        sys.exit(f"{path}: fixed version {file_ms >> 16}.{file_ms & 0xFFFF}.{file_ls >> 16} / "
                 f"{product_ms >> 16}.{product_ms & 0xFFFF}.{product_ls >> 16}, expected {version}")
    for key, value in (("FileVersion", version), ("ProductVersion", version), ("ProductName", "ORMA_DLL")):
        # The value follows its key, aligned to 4 bytes within the resource.
        start = rsrc.find(utf16(key))
        if start < 0:
            sys.exit(f"{path}: no {key} string")
        after = start + len(utf16(key))
        after += (-after) % 4
        if not rsrc[after:].startswith(utf16(value)):
            sys.exit(f"{path}: {key} is not {value}")
    print(f"{path}: version {version}")


def check_stripped(path, debug_path):
    image = open(path, "rb").read()
    found, symbols = sections(image)
    if symbols or any(name.startswith(".debug") for name in found):
        sys.exit(f"{path} is not stripped: {symbols} symbols, sections {sorted(found)}")
    link = found.get(".gnu_debuglink")
    if not link:
        sys.exit(f"{path}: no .gnu_debuglink section")
    name = link[:link.index(b"\0")].decode()
    crc, = struct.unpack_from("<I", link, (len(name) + 4) & ~3)
    debug = open(debug_path, "rb").read()
    if name != debug_path.rsplit("/", 1)[-1] or crc != zlib.crc32(debug):
        sys.exit(f"{path}: links {name} with CRC {crc:#010x}, not {debug_path} ({zlib.crc32(debug):#010x})")
    if ".debug_info" not in sections(debug)[0]:
        sys.exit(f"{debug_path} holds no debug information")
    print(f"{path}: stripped, debug information in {name}")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "version":
        check_version(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "stripped":
        check_stripped(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
