"""Makes a package's summary information independent of when and where it was
built: wixl writes the build time as "Created" and "Last saved" and a random
package code. Both dates become EPOCH (seconds since 1970, UTC); the package
code becomes a name-based UUID of the package's bytes (with the code blanked),
so a package that differs in any byte still gets a code of its own, as
Windows Installer requires.

  msi_summary.py PACKAGE EPOCH

The stream keeps its size (the dates are FILETIMEs, the code a 38-character
string), so it is rewritten in place."""
import hashlib
import struct
import sys
import uuid

import olefile

STREAM = "\x05SummaryInformation"
PID_REVNUMBER = 9  # the package code
PID_CREATE_DTM = 12
PID_LASTSAVE_DTM = 13
VT_LPSTR = 30
VT_FILETIME = 64
BLANK_CODE = b"{00000000-0000-0000-0000-000000000000}"
# The namespace of the package codes: a name-based UUID of its own.
NAMESPACE = uuid.uuid5(uuid.NAMESPACE_URL, "urn:xv:xvVistrell:package-code")


def property_offsets(data):
    """{property id: (type, offset of the value)} of the first section."""
    (section,) = struct.unpack_from("<I", data, 44)
    _, count = struct.unpack_from("<II", data, section)
    found = {}
    for index in range(count):
        pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * index)
        (kind,) = struct.unpack_from("<I", data, section + offset)
        found[pid] = (kind & 0xFFFF, section + offset + 4)
    return found


def set_code(data, properties, code):
    kind, at = properties[PID_REVNUMBER]
    (size,) = struct.unpack_from("<I", data, at)
    if kind != VT_LPSTR or size != len(code) + 1:
        sys.exit(f"msi_summary.py: the package code is not a {len(code)}-character string")
    data[at + 4:at + 4 + len(code)] = code


def main(path, epoch):
    # FILETIME: 100 ns units since 1601-01-01 UTC.
    filetime = (int(epoch) + 11644473600) * 10_000_000
    with olefile.OleFileIO(path, write_mode=True) as package:
        data = bytearray(package.openstream(STREAM).read())
        properties = property_offsets(data)
        for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
            if properties.get(pid, (None,))[0] != VT_FILETIME:
                sys.exit(f"msi_summary.py: property {pid} of the summary is not a date")
            struct.pack_into("<Q", data, properties[pid][1], filetime)
        set_code(data, properties, BLANK_CODE)
        package.write_stream(STREAM, bytes(data))
    with open(path, "rb") as package:
        digest = hashlib.sha256(package.read()).hexdigest()
    code = "{" + str(uuid.uuid5(NAMESPACE, digest)).upper() + "}"
    with olefile.OleFileIO(path, write_mode=True) as package:
        set_code(data, properties, code.encode())
        package.write_stream(STREAM, bytes(data))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
