"""The toolchain code linked into the release's images, read from their link
maps (ld -Map), and the licences it comes under.

  linked.py NOTICES MAP...

checks that the notices (packaging/notices.txt) hold a notice for every
licence of every archive member and startup object linked in, and fails
naming the member otherwise; a member no rule knows fails too, so a new
library cannot slip in unnoticed. sbom.py takes the licences of each part
from here.

The rules follow Debian's copyright files of the packages (for example
/usr/share/doc/mingw-w64-i686-dev/copyright): the first rule whose archive
and member patterns match decides. The libstdc++ headers' STL notices (HP,
SGI) go with libstdc++: every image that links it was compiled with them."""
import fnmatch
import os
import re
import sys

GCC_RUNTIME = "GPL-3.0-or-later WITH GCC-exception-3.1"
RUNTIME, WINPTHREADS, LIBSTDCXX, LIBGCC = "MinGW-w64 runtime", "winpthreads", "libstdc++", "libgcc"

# The LicenseRef- licences (SPDX has no identifier for them): their text, and
# the line of it that the notices must hold.
EXTRACTED = {
    "LicenseRef-Lucent-gdtoa": (
        "Copyright (c) 1997-2001 Lucent Technologies",
        "Permission to use, copy, modify, and distribute this software and its documentation for any purpose and "
        "without fee is hereby granted, provided that the above copyright notice appear in all copies and that "
        "both that the copyright notice and this permission notice and warranty disclaimer appear in supporting "
        "documentation, and that the name of Lucent or any of its entities not be used in advertising or publicity "
        "pertaining to distribution of the software without specific, written prior permission.\n\n"
        "LUCENT DISCLAIMS ALL WARRANTIES WITH REGARD TO THIS SOFTWARE, INCLUDING ALL IMPLIED WARRANTIES OF "
        "MERCHANTABILITY AND FITNESS. IN NO EVENT SHALL LUCENT OR ANY OF ITS ENTITIES BE LIABLE FOR ANY SPECIAL, "
        "INDIRECT OR CONSEQUENTIAL DAMAGES OR ANY DAMAGES WHATSOEVER RESULTING FROM LOSS OF USE, DATA OR PROFITS, "
        "WHETHER IN AN ACTION OF CONTRACT, NEGLIGENCE OR OTHER TORTIOUS ACTION, ARISING OUT OF OR IN CONNECTION "
        "WITH THE USE OR PERFORMANCE OF THIS SOFTWARE."),
    "LicenseRef-David-M-Gay": (
        "Copyright (c) 2004, 2005 David M. Gay",
        "Permission to use, copy, modify, and distribute this software and its documentation for any purpose and "
        "without fee is hereby granted, provided that the above copyright notice appear in all copies and that "
        "both that the copyright notice and this permission notice and warranty disclaimer appear in supporting "
        "documentation, and that the name of the author or any of his current or former employers not be used in "
        "advertising or publicity pertaining to distribution of the software without specific, written prior "
        "permission.\n\nTHE AUTHOR DISCLAIMS ALL WARRANTIES WITH REGARD TO THIS SOFTWARE, INCLUDING ALL IMPLIED "
        "WARRANTIES OF MERCHANTABILITY AND FITNESS. IN NO EVENT SHALL THE AUTHOR OR ANY OF HIS CURRENT OR FORMER "
        "EMPLOYERS BE LIABLE FOR ANY SPECIAL, INDIRECT OR CONSEQUENTIAL DAMAGES OR ANY DAMAGES WHATSOEVER "
        "RESULTING FROM LOSS OF USE, DATA OR PROFITS, WHETHER IN AN ACTION OF CONTRACT, NEGLIGENCE OR OTHER "
        "TORTIOUS ACTION, ARISING OUT OF OR IN CONNECTION WITH THE USE OR PERFORMANCE OF THIS SOFTWARE."),
    "LicenseRef-Keith-Marshall": (
        "Written by Keith Marshall",
        "This is free software. You may redistribute and/or modify it as you see fit, without restriction of "
        "copyright.\n\nThis software is provided \"as is\", in the hope that it may be useful, but WITHOUT WARRANTY "
        "OF ANY KIND, not even any implied warranty of MERCHANTABILITY, nor of FITNESS FOR ANY PARTICULAR "
        "PURPOSE. At no time will the author accept any form of liability for any damages, however caused, "
        "resulting from the use of this software."),
    "LicenseRef-Sun-fdlibm": (
        "Copyright (c) 1993 Sun Microsystems, Inc.",
        "Permission to use, copy, modify, and distribute this software is freely granted, provided that this "
        "notice is preserved."),
    "LicenseRef-HP-STL": (
        "Copyright (c) 1994 Hewlett-Packard Company",
        "Permission to use, copy, modify, distribute and sell this software and its documentation for any purpose "
        "is hereby granted without fee, provided that the above copyright notice appear in all copies and that "
        "both that copyright notice and this permission notice appear in supporting documentation. "
        "Hewlett-Packard Company makes no representations about the suitability of this software for any "
        "purpose. It is provided \"as is\" without express or implied warranty."),
    "LicenseRef-SGI-STL": (
        "Copyright (c) 1996 Silicon Graphics Computer Systems, Inc.",
        "Permission to use, copy, modify, distribute and sell this software and its documentation for any purpose "
        "is hereby granted without fee, provided that the above copyright notice appear in all copies and that "
        "both that copyright notice and this permission notice appear in supporting documentation. Silicon "
        "Graphics makes no representations about the suitability of this software for any purpose. It is "
        "provided \"as is\" without express or implied warranty."),
    "LicenseRef-public-domain": (
        None,
        "Placed in the public domain by its authors (the MinGW-w64 startup code; Debian's copyright file: "
        "public-domain)."),
}
# The line of the notices that stands for each licence with an SPDX identifier.
NOTICE_LINES = {
    "ZPL-2.1": "Licence: Zope Public License 2.1",
    "MIT": "Licence: MIT (Expat)",
    "BSD-3-Clause": "Redistribution and use in source and binary forms, with or without",
    "BSD-3-Clause-Lockless": "Copyright (c) 2010 Lockless Inc.",
    "BSD-3-Clause-UC": "The Regents of the University of California",
    "BSD-2-Clause-NetBSD": "Copyright (c) 2000 The NetBSD Foundation, Inc.",
    "ISC": "Copyright (c) 2002 Todd C. Miller",
    GCC_RUNTIME: "GCC RUNTIME LIBRARY EXCEPTION",
}
MINGWEX_GDTOA = ("dmisc dtoa gdtoa gethex gmisc g_dfmt g__fmt g_ffmt g_xfmt hd_init hexnan misc smisc strtodg strtof "
                 "strtopx strtod sum ulp").split()
MINGWEX_KEITH_MARSHALL = ("basename dirname mingw_fprintf mingw_printf mingw_snprintf mingw_sprintf mingw_vfprintf "
                          "mingw_vprintf mingw_vsnprintf mingw_vsprintf").split()
MINGWEX_SUN = "s_erf sf_erf e_fmod e_fmodf e_pow e_powf e_remainder e_remainderf".split()
IMPORT_LIBRARIES = ("libadvapi32.a libcomdlg32.a libgdi32.a libkernel32.a libmoldname.a libmsi.a libmsvcrt.a "
                    "libole32.a liboleaut32.a libshell32.a libuser32.a libuuid.a libwbemuuid.a libwinspool.a").split()


def members(*names):
    return [f"*-{name}.o" for name in names]


# (part, archive or object patterns, member patterns, licences): first match wins.
RULES = [
    (RUNTIME, ["crt2.o", "dllcrt2.o"], [""], ["LicenseRef-public-domain"]),
    (RUNTIME, ["libmingw32.a"], ["*"], ["LicenseRef-public-domain"]),
    (RUNTIME, ["libmingwex.a"], members("strtodnrp", "qnan"), ["LicenseRef-David-M-Gay"]),
    (RUNTIME, ["libmingwex.a"], members("mingw_pformat"), ["LicenseRef-Lucent-gdtoa", "LicenseRef-Keith-Marshall"]),
    (RUNTIME, ["libmingwex.a"], members(*MINGWEX_GDTOA), ["LicenseRef-Lucent-gdtoa"]),
    (RUNTIME, ["libmingwex.a"], members(*MINGWEX_KEITH_MARSHALL), ["LicenseRef-Keith-Marshall"]),
    (RUNTIME, ["libmingwex.a"], members(*MINGWEX_SUN), ["LicenseRef-Sun-fdlibm"]),
    (RUNTIME, ["libmingwex.a"], members("strtok_r"), ["BSD-3-Clause-UC"]),
    (RUNTIME, ["libmingwex.a"], members("getopt"), ["BSD-2-Clause-NetBSD", "ISC"]),
    (RUNTIME, ["libmingwex.a"], ["*"], ["ZPL-2.1"]),
    (RUNTIME, IMPORT_LIBRARIES, ["*"], ["ZPL-2.1"]),
    (WINPTHREADS, ["libpthread.a", "libwinpthread.a"], ["*"], ["MIT", "BSD-3-Clause-Lockless"]),
    (LIBGCC, ["libgcc.a", "libgcc_eh.a", "crtbegin.o", "crtend.o"], ["*", ""], [GCC_RUNTIME]),
    (LIBSTDCXX, ["libstdc++.a"], ["*"], [GCC_RUNTIME, "LicenseRef-HP-STL", "LicenseRef-SGI-STL"]),
]
# SPDX names some of the notices above only as a family: the expression uses
# the family's identifier.
SPDX_ID = {"BSD-3-Clause-Lockless": "BSD-3-Clause", "BSD-3-Clause-UC": "BSD-3-Clause",
           "BSD-2-Clause-NetBSD": "BSD-2-Clause"}


def linked(map_text):
    """(archive or object path, member or "") of each toolchain input of a link map."""
    found = []
    section = map_text.split("Archive member included to satisfy reference by file (symbol)", 1)[-1]
    section = section.split("\nDiscarded input sections", 1)[0]
    found += re.findall(r"^(/\S+\.a)\((\S+)\)$", section, re.M)
    found += [(path, "") for path in re.findall(r"^LOAD (/\S+\.o)$", map_text, re.M)]
    return sorted(set(found))


def rule_for(path, member):
    for part, archives, patterns, licences in RULES:
        if os.path.basename(path) in archives and any(fnmatch.fnmatchcase(member, p) for p in patterns):
            return part, licences
    return None


def licences_by_part(map_texts):
    """{part: sorted licences}, and the inputs that no rule knows."""
    parts, unknown = {}, []
    for text in map_texts:
        for path, member in linked(text):
            rule = rule_for(path, member)
            if rule is None:
                unknown.append(f"{path}({member})" if member else path)
            else:
                parts.setdefault(rule[0], set()).update(rule[1])
    return {part: sorted(found) for part, found in parts.items()}, unknown


def expression(licences):
    """The SPDX licence expression of a part's licences."""
    ids = sorted({SPDX_ID.get(licence, licence) for licence in licences})
    return " AND ".join(f"({i})" if " WITH " in i and len(ids) > 1 else i for i in ids)


def notice_line(licence):
    return EXTRACTED[licence][0] if licence in EXTRACTED else NOTICE_LINES[licence]


def missing_notices(map_texts, notices):
    """The failures: inputs no rule knows, licences without a notice."""
    parts, unknown = licences_by_part(map_texts)
    failures = [f"no licence is known for the linked {name}" for name in unknown]
    for part, licences in sorted(parts.items()):
        for licence in licences:
            line = notice_line(licence)
            if line and line not in notices:
                failures.append(f"{part}: the notices lack {licence} (\"{line}\")")
    return failures


def main(notices_path, maps):
    notices = open(notices_path, encoding="utf-8").read()
    failures = missing_notices([open(path, encoding="utf-8").read() for path in maps], notices)
    for failure in failures:
        print(f"linked.py: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]))
