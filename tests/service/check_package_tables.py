"""check_package_tables.py PACKAGE: the package's execute sequence and custom
actions as built (wixl, then make-msi.sh's edits), read back with msiinfo."""
import subprocess
import sys

# Custom action types: a DLL (1), in the script (0x400), at commit (0x200), as
# the local system (0x800).
IMMEDIATE, DEFERRED, COMMIT = 0x801, 0xC01, 0xE01
# In sequence order: action, type (None for a standard action), condition.
EXPECTED = [
    ("RememberRunningService", IMMEDIATE, '(Installed OR WIX_UPGRADE_DETECTED) AND REMOVE<>"ALL"'),
    ("InstallInitialize", None, ""),
    ("RemoveExistingProducts", None, ""),
    ("StopServices", None, "VersionNT"),
    ("WaitForServiceStop", DEFERRED, ""),
    ("DeleteServices", None, "VersionNT"),
    ("InstallServices", None, "VersionNT"),
    ("ConfigureService", DEFERRED, 'NOT REMOVE="ALL"'),
    ("RestartService", COMMIT, "XvRestartService AND NOT RollbackDisabled"),
    ("PublishProduct", None, ""),
    ("RestartServiceAtEnd", DEFERRED, "XvRestartService AND RollbackDisabled"),
    ("InstallFinalize", None, ""),
]


def rows(package, table):
    text = subprocess.run(["msiinfo", "export", package, table], check=True, capture_output=True,
                          text=True).stdout
    return [line.rstrip("\r").split("\t") for line in text.splitlines()[3:]]


def failures(package):
    sequence = sorted(rows(package, "InstallExecuteSequence"), key=lambda row: int(row[2]))
    order = [row[0] for row in sequence]
    conditions = {row[0]: row[1] for row in sequence}
    custom = {row[0]: row[1:3] for row in rows(package, "CustomAction")}
    for action, kind, condition in EXPECTED:
        if (conditions.get(action), kind and custom.get(action, [None])[0]) != (condition, kind and str(kind)):
            yield f"{action}: condition {conditions.get(action)!r}, type and source {custom.get(action)}"
    found = [action for action in order if action in {row[0] for row in EXPECTED}]
    if found != [row[0] for row in EXPECTED]:
        yield f"order {found}"
    # Before anything writes to the script: the older product's removal is then
    # part of the newer package's transaction.
    following = order[order.index("InstallInitialize") + 1]
    if following != "RemoveExistingProducts":
        yield f"{following} right after InstallInitialize"


if __name__ == "__main__":
    found = [print(f"{sys.argv[1]}: {failure}") for failure in failures(sys.argv[1])]
    sys.exit(1 if found else 0)
