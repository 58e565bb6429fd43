"""Reads xvVistrell.exe back with a PE reader: the message table, the version
information, and that it is one stripped PE32 importing only system DLLs.
With --setup-dll, reads the installer package's custom action DLL instead: the
same import rules (msi.dll allowed) and its entries exported by their plain
names.

  check_executable.py EXE VERSION
  check_executable.py --setup-dll DLL ENTRY..."""
import struct
import sys

import pefile

RT_MESSAGETABLE = 11
RT_VERSION = 16
# The display calls need GDI32, the WMI calls OLE32 and OLEAUT32.
SYSTEM_DLLS = {"ADVAPI32.DLL", "KERNEL32.DLL", "USER32.DLL", "GDI32.DLL", "OLE32.DLL", "OLEAUT32.DLL", "MSVCRT.DLL"}

# Functions of the system DLLs that came after Windows XP and that toolchains
# are known to pull in; none may be imported statically.
AFTER_XP = {
    "GetTickCount64", "GetSystemTimePreciseAsFileTime", "InitializeSRWLock", "AcquireSRWLockExclusive",
    "AcquireSRWLockShared", "ReleaseSRWLockExclusive", "ReleaseSRWLockShared", "TryAcquireSRWLockExclusive",
    "InitializeConditionVariable", "SleepConditionVariableCS", "SleepConditionVariableSRW",
    "WakeConditionVariable", "WakeAllConditionVariable", "InitOnceExecuteOnce", "InitOnceBeginInitialize",
    "InitializeCriticalSectionEx", "CreateEventExA", "CreateEventExW", "CreateMutexExW", "FlsAlloc",
    "FlsFree", "FlsGetValue", "FlsSetValue", "GetThreadId", "GetProcessId", "SetThreadDescription",
    "GetThreadDescription", "WTSGetActiveConsoleSessionId", "QueryFullProcessImageNameA",
    "GetFileInformationByHandleEx", "CreateSymbolicLinkA", "CreateSymbolicLinkW", "LocaleNameToLCID",
    "GetLocaleInfoEx", "CompareStringEx", "LCMapStringEx", "GetUserDefaultLocaleName",
}

failures = []


def check(condition, text):
    if not condition:
        failures.append(text)


def resource_data(pe, type_id):
    """{(name id, language): bytes} of one resource type."""
    found = {}
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for entry in directory.entries if directory else []:
        if entry.id != type_id:
            continue
        for name in entry.directory.entries:
            for language in name.directory.entries:
                rva, size = language.data.struct.OffsetToData, language.data.struct.Size
                found[(name.id, language.id)] = pe.get_data(rva, size)
    return found


def message_table(data):
    """{identifier: (flags, text)} of a binary message table."""
    messages = {}
    (block_count,) = struct.unpack_from("<I", data, 0)
    for block in range(block_count):
        low, high, offset = struct.unpack_from("<III", data, 4 + 12 * block)
        for identifier in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", data, offset)
            raw = data[offset + 4:offset + length]
            text = raw.decode("utf-16-le" if flags & 1 else "cp1252").rstrip("\0")
            messages[identifier] = (flags, text)
            offset += length
    return messages


def check_imports(pe, allowed):
    imports = {entry.dll.decode().upper() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    check(imports <= allowed, f"imports beyond the system DLLs: {sorted(imports - allowed)}")
    functions = {symbol.name.decode() for entry in pe.DIRECTORY_ENTRY_IMPORT for symbol in entry.imports
                 if symbol.name}
    check(not functions & AFTER_XP, f"imports newer than Windows XP: {sorted(functions & AFTER_XP)}")


def check_setup_dll(path, entries):
    pe = pefile.PE(path)
    check(pe.FILE_HEADER.Machine == 0x14C and pe.OPTIONAL_HEADER.Magic == 0x10B, "not a 32-bit PE32 image")
    check(pe.FILE_HEADER.Characteristics & 0x2000, "not a DLL")
    check_imports(pe, SYSTEM_DLLS | {"MSI.DLL"})
    directory = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    exports = [symbol.name.decode() for symbol in directory.symbols if symbol.name] if directory else []
    for entry in entries:
        check(entry in exports, f"entry {entry} not exported by that name (exports: {exports})")
    return report(path)


def main(path, version):
    """version: the file version "a.b.c.d" the build was given."""
    numbers = [int(part) for part in version.split(".")]
    product = ".".join(version.split(".")[:3])
    pe = pefile.PE(path)
    check(pe.FILE_HEADER.Machine == 0x14C, "not a 32-bit i386 image")
    check(pe.OPTIONAL_HEADER.Magic == 0x10B, "not PE32")
    check(pe.OPTIONAL_HEADER.Subsystem == 2, "not a windowed (GUI) program")
    check(pe.FILE_HEADER.PointerToSymbolTable == 0 and pe.FILE_HEADER.NumberOfSymbols == 0, "not stripped")
    check_imports(pe, SYSTEM_DLLS)

    tables = resource_data(pe, RT_MESSAGETABLE)
    check(list(tables) == [(1, 1033)], f"message tables: {list(tables)}, expected id 1 language 1033")
    if (1, 1033) in tables:
        messages = message_table(tables[(1, 1033)])
        expected = {0x00000000: "%1\r\n", 0x40000000: "%1\r\n", 0x80000000: "%1\r\n", 0xC0000000: "%1\r\n"}
        check({k: v[1] for k, v in messages.items()} == expected, f"message table entries: {messages}")

    check((1, 1033) in resource_data(pe, RT_VERSION), "no version resource 1 in language 1033")
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        failures.append("no version information")
        return report(path)
    fixed = pe.VS_FIXEDFILEINFO[0]
    check((fixed.FileVersionMS, fixed.FileVersionLS) == (numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3]),
          f"file version is not {version}")
    check((fixed.ProductVersionMS, fixed.ProductVersionLS) == (numbers[0] << 16 | numbers[1], numbers[2] << 16),
          f"product version is not {product}")
    strings, translations = {}, []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                check(table.LangID == b"040904E4", f"string table {table.LangID}, expected 040904E4")
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
        elif info.Key == b"VarFileInfo":
            translations = [var.entry for var in info.Var]
    for key, value in {"FileVersion": version, "ProductVersion": product, "FileDescription": "xvVistrell.exe",
                       "OriginalFilename": "xvVistrell.exe", "ProductName": "XV Vistrell"}.items():
        check(strings.get(key) == value, f"version string {key}: {strings.get(key)!r}, expected {value!r}")
    check(translations == [{b"Translation": "0x0409 0x04e4"}], f"translation: {translations}")
    return report(path)


def report(path):
    for failure in failures:
        print("FAILED:", failure)
    print("checked", path, "-", "ok" if not failures else f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    if sys.argv[1] == "--setup-dll":
        sys.exit(check_setup_dll(sys.argv[2], sys.argv[3:]))
    sys.exit(main(sys.argv[1], sys.argv[2]))
