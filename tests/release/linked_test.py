"""The notices against what was linked (scripts/release/linked.py): the
build's link maps pass with packaging/notices.txt, and each row below, a
member linked in or a notice taken out, fails with its own message.

  linked_test.py RELEASE_SCRIPTS NOTICES MAP..."""
import sys

MINGW = "/usr/i686-w64-mingw32/lib"
# (a member or startup object added to a link map, a line taken out of the
# notices, the failure expected)
ROWS = [
    ("/usr/lib/x/libfoo.a(foo.o)", None, "no licence is known for the linked /usr/lib/x/libfoo.a(foo.o)"),
    ("LOAD /usr/lib/x/crtfoo.o", None, "no licence is known for the linked /usr/lib/x/crtfoo.o"),
    (f"{MINGW}/libmingwex.a(lib32_libmingwex_a-strtok_r.o)", None, "the notices lack BSD-3-Clause-UC"),
    (f"{MINGW}/libmingwex.a(lib32_libmingwex_a-getopt.o)", None, "the notices lack BSD-2-Clause-NetBSD"),
    (None, "Copyright (c) 1994 Hewlett-Packard Company", "libstdc++: the notices lack LicenseRef-HP-STL"),
    (None, "Written by Keith Marshall", "MinGW-w64 runtime: the notices lack LicenseRef-Keith-Marshall"),
    (None, "Copyright (c) 2010 Lockless Inc.", "winpthreads: the notices lack BSD-3-Clause-Lockless"),
]


def main(scripts, notices_path, maps):
    sys.path.insert(0, scripts)
    import linked
    notices = open(notices_path, encoding="utf-8").read()
    texts = [open(path, encoding="utf-8").read() for path in maps]
    failures = [f"the build's own link: {f}" for f in linked.missing_notices(texts, notices)]
    for member, removed, expected in ROWS:
        extra = [] if member is None else [f"{member}\n" if member.startswith("LOAD ") else
                                           f"Archive member included to satisfy reference by file (symbol)\n\n"
                                           f"{member}\n                              x.o (symbol)\n\n"
                                           "Discarded input sections\n"]
        found = linked.missing_notices(texts + extra, notices.replace(removed, "") if removed else notices)
        if not any(expected in f for f in found):
            failures.append(f"{member or 'without ' + removed}: {found}, expected \"{expected}\"")
    for failure in failures:
        print("FAILED:", failure)
    print("passed" if not failures else f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
