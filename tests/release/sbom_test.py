"""Reads the bill of materials back (scripts/release/sbom.py, run on the
build's images): the four toolchain parts linked in, each named by the Debian
package that holds the library the compiler links, with that package's
version from dpkg-query and the expected licence; the compiler among the
build tools with its version. (Two builds' documents are compared byte for
byte by scripts/release.sh --check.)

  sbom_test.py SBOM_SCRIPT COMPILER FILE..."""
import json
import os
import re
import subprocess
import sys
import tempfile
import urllib.parse

GCC_RUNTIME = "GPL-3.0-or-later WITH GCC-exception-3.1"
# name: (a library the compiler links from the part, licence)
EXPECTED = {
    "MinGW-w64 runtime": ("libmingwex.a", "ZPL-2.1"),
    "winpthreads": ("libwinpthread.a", "MIT AND BSD-3-Clause"),
    "libstdc++": ("libstdc++.a", GCC_RUNTIME),
    "libgcc": ("libgcc_eh.a", GCC_RUNTIME),
}


def dpkg(*arguments):
    return subprocess.run(["dpkg-query", *arguments], check=True, capture_output=True, text=True).stdout


def debian_package(entry):
    """The Debian package an entry names, from its purl."""
    (ref,) = [ref["referenceLocator"] for ref in entry["externalRefs"] if ref["referenceType"] == "purl"]
    return urllib.parse.unquote(ref.removeprefix("pkg:deb/debian/").split("@")[0])


def main(script, compiler, files):
    failures = []
    with tempfile.TemporaryDirectory() as work:
        output = os.path.join(work, "sbom.json")
        subprocess.run([sys.executable, script, output, "1.2.3", "1700000000", compiler, *files], check=True)
        document = json.load(open(output))
    if document["spdxVersion"] != "SPDX-2.3" or document["creationInfo"]["created"] != "2023-11-14T22:13:20Z":
        failures.append(f"header: {document['spdxVersion']} {document['creationInfo']}")
    packages = {entry["SPDXID"]: entry for entry in document["packages"]}
    invalid = [key for key in [*packages, *(f["SPDXID"] for f in document["files"])]
               if not re.fullmatch(r"SPDXRef-[A-Za-z0-9.-]+", key)]
    if invalid:
        failures.append(f"invalid SPDX identifiers: {invalid}")
    linked = {packages[r["relatedSpdxElement"]]["name"]: packages[r["relatedSpdxElement"]]
              for r in document["relationships"] if r["relationshipType"] == "STATIC_LINK"}
    if sorted(linked) != sorted(EXPECTED):
        failures.append(f"statically linked parts: {sorted(linked)}")
    for name, (library, licence) in EXPECTED.items():
        entry = linked.get(name)
        if not entry:
            continue
        owner = debian_package(entry)
        version = dpkg("-W", "-f=${Version}", owner)
        path = os.path.realpath(subprocess.run([compiler, f"-print-file-name={library}"], check=True,
                                               capture_output=True, text=True).stdout.strip())
        if entry["versionInfo"] != version:
            failures.append(f"{name}: version {entry['versionInfo']}, dpkg-query says {owner} {version}")
        if path not in dpkg("-L", owner).split("\n"):
            failures.append(f"{name}: {owner} does not hold {path}")
        if (entry["licenseDeclared"], entry["licenseConcluded"]) != (licence, licence):
            failures.append(f"{name}: licence {entry['licenseDeclared']}, expected {licence}")
    tools = {packages[r["spdxElementId"]]["name"]: packages[r["spdxElementId"]]["versionInfo"]
             for r in document["relationships"] if r["relationshipType"] == "BUILD_TOOL_OF"}
    compiler_package = dpkg("-S", os.path.realpath(subprocess.run(
        ["sh", "-c", 'command -v "$0"', compiler], check=True, capture_output=True, text=True).stdout.strip()))
    compiler_package = compiler_package.split(":")[0]
    if tools.get(compiler_package) != dpkg("-W", "-f=${Version}", compiler_package):
        failures.append(f"build tools: {tools}, expected {compiler_package} among them")
    for failure in failures:
        print("FAILED:", failure)
    print("passed" if not failures else f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
