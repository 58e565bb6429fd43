"""Reads the installer package's execute sequence and custom actions back as
built (wixl, then make-msi.sh's edits), with msiinfo: the order of the
actions that keep the service through an upgrade, a repair and a refusal,
their conditions and their types.

  check_package_tables.py PACKAGE"""
import subprocess
import sys

# msidbCustomActionTypeDll (1), InScript (0x400), Commit (0x200),
# NoImpersonate (0x800); an immediate action has no InScript bit.
IMMEDIATE, DEFERRED, COMMIT = 1 | 0x800, 1 | 0x400 | 0x800, 1 | 0x400 | 0x200 | 0x800
RESTART = "XvRestartService AND NOT RollbackDisabled"
RESTART_AT_END = "XvRestartService AND RollbackDisabled"
# In sequence order: (action, custom action type or None for a standard one,
# condition). A custom action's ".Data" action sets its data (the property of
# the action's name) before it, under the same condition.
EXPECTED = [
    ("RememberRunningService", IMMEDIATE, '(Installed OR WIX_UPGRADE_DETECTED) AND REMOVE<>"ALL"'),
    ("InstallInitialize", None, ""),
    ("RemoveExistingProducts", None, ""),
    ("StopServices", None, "VersionNT"),
    ("WaitForServiceStop", DEFERRED, ""),
    ("DeleteServices", None, "VersionNT"),
    ("InstallServices", None, "VersionNT"),
    ("ConfigureService", DEFERRED, 'NOT REMOVE="ALL"'),
    ("RestartService", COMMIT, RESTART),
    ("PublishProduct", None, ""),
    ("RestartServiceAtEnd", DEFERRED, RESTART_AT_END),
    ("InstallFinalize", None, ""),
]
# Right after InstallInitialize, before anything writes to the script: the
# older product's removal is then part of the newer one's transaction.
NEIGHBOURS = [("InstallInitialize", "RemoveExistingProducts")]


def rows(package, table):
    text = subprocess.run(["msiinfo", "export", package, table], check=True, capture_output=True,
                          text=True).stdout
    return [line.rstrip("\r").split("\t") for line in text.splitlines()[3:]]


def main(package):
    sequence = sorted(rows(package, "InstallExecuteSequence"), key=lambda row: int(row[2]))
    order = [row[0] for row in sequence]
    conditions = {row[0]: row[1] for row in sequence}
    types_and_sources = {row[0]: row[1:3] for row in rows(package, "CustomAction")}
    failures = []
    for action, kind, condition in EXPECTED:
        if conditions.get(action) != condition:
            failures.append(f"{action}: condition {conditions.get(action)!r}, expected {condition!r}")
        if kind is not None and types_and_sources.get(action, [None])[0] != str(kind):
            failures.append(f"{action}: type {types_and_sources.get(action, [None])[0]}, expected {kind}")
        data = action + ".Data"
        if data not in types_and_sources:
            continue
        # Type 51 (set a property), as the local system's data.
        placed = data in order and action in order and order.index(data) < order.index(action)
        if (conditions.get(data), types_and_sources[data], placed) != (condition, ["2099", action], True):
            failures.append(f"{data}: condition {conditions.get(data)!r}, type and property "
                            f"{types_and_sources[data]}, before {action}: {placed}")
    expected_order = [action for action, _, _ in EXPECTED]
    found = [action for action in order if action in expected_order]
    if found != expected_order:
        failures.append(f"order {found}, expected {expected_order}")
    for first, second in NEIGHBOURS:
        following = order[order.index(first) + 1] if first in order[:-1] else None
        if following != second:
            failures.append(f"{following} right after {first}, expected {second}")
    for failure in failures:
        print(f"{package}: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
