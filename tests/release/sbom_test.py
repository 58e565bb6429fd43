"""Reads the bill of materials back (scripts/release/sbom.py, run on the
build's images and link maps): it validates against the SPDX 2.3 JSON schema
(spdx-schema-2.3.json beside this file, see its README); every package whose
files were analysed carries the verification code of exactly its files and
every other one contains none (SPDX 2.3, 7.8.1); each file's checksums are
the file's; the four toolchain parts linked in are named by the Debian
package that holds the library the compiler links, with that package's
version, and carry the licences of what was linked; every package URL is its
own and names the distribution and the architecture; the tools that shaped
the bytes are there, osslsigncode only when it signed; the commit is named.

  sbom_test.py SBOM_SCRIPT COMPILER SCHEMA MAP MAP FILE..."""
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import urllib.parse

import jsonschema

GCC_RUNTIME = "GPL-3.0-or-later WITH GCC-exception-3.1"
# name: (a library the compiler links from the part, licence expression)
EXPECTED = {
    "MinGW-w64 runtime": ("libmingwex.a", "LicenseRef-David-M-Gay AND LicenseRef-Keith-Marshall AND "
                          "LicenseRef-Lucent-gdtoa AND LicenseRef-public-domain AND ZPL-2.1"),
    "winpthreads": ("libwinpthread.a", "BSD-3-Clause AND MIT"),
    "libstdc++": ("libstdc++.a", f"({GCC_RUNTIME}) AND LicenseRef-HP-STL AND LicenseRef-SGI-STL"),
    "libgcc": ("libgcc_eh.a", GCC_RUNTIME),
}
TOOLS = {"python3-olefile", "libgcab-1.0-0", "libmsi0", "wixl", "wixl-data", "msitools", "cmake"}
COMMIT = "0123456789abcdef0123456789abcdef01234567"


def dpkg(*arguments):
    return subprocess.run(["dpkg-query", *arguments], check=True, capture_output=True, text=True).stdout


def purl(entry):
    (ref,) = [ref["referenceLocator"] for ref in entry["externalRefs"] if ref["referenceType"] == "purl"]
    return ref


def debian_package(entry):
    """The Debian package an entry names, from its purl."""
    return urllib.parse.unquote(purl(entry).removeprefix("pkg:deb/debian/").split("@")[0])


def make(script, compiler, maps, files, *options):
    with tempfile.TemporaryDirectory() as work:
        output = os.path.join(work, "sbom.json")
        subprocess.run([sys.executable, script, output, "--version", "1.2.3", "--epoch", "1700000000", "--commit",
                        COMMIT, "--compiler", compiler, *options, *[f"--map={m}" for m in maps], *files], check=True)
        return json.load(open(output))


def files_analysed(document, files):
    """SPDX 2.3, 7.8.1: the failures."""
    failures = []
    by_id = {entry["SPDXID"]: entry for entry in document["files"]}
    for package in document["packages"]:
        contained = sorted(r["relatedSpdxElement"] for r in document["relationships"]
                           if r["spdxElementId"] == package["SPDXID"] and r["relationshipType"] == "CONTAINS")
        if not package.get("filesAnalyzed", True):
            if contained or package.get("hasFiles"):
                failures.append(f"{package['name']}: files not analysed, yet it contains {contained}")
            continue
        if sorted(package.get("hasFiles", [])) != contained:
            failures.append(f"{package['name']}: hasFiles {package.get('hasFiles')} against CONTAINS {contained}")
        sums = sorted(hashlib.sha1(open(files[by_id[i]["fileName"][2:]], "rb").read()).hexdigest() for i in contained)
        code = package.get("packageVerificationCode", {}).get("packageVerificationCodeValue")
        if code != hashlib.sha1("".join(sums).encode()).hexdigest():
            failures.append(f"{package['name']}: verification code {code} is not that of its files")
    for entry in document["files"]:
        data = open(files[entry["fileName"][2:]], "rb").read()
        wanted = {"SHA1": hashlib.sha1(data).hexdigest(), "SHA256": hashlib.sha256(data).hexdigest()}
        got = {c["algorithm"]: c["checksumValue"] for c in entry["checksums"]}
        if got != wanted:
            failures.append(f"{entry['fileName']}: checksums {got}, the file's are {wanted}")
    return failures


def linked_parts(document, compiler):
    failures = []
    packages = {entry["SPDXID"]: entry for entry in document["packages"]}
    linked = {packages[r["relatedSpdxElement"]]["name"]: packages[r["relatedSpdxElement"]]
              for r in document["relationships"] if r["relationshipType"] == "STATIC_LINK"}
    if sorted(linked) != sorted(EXPECTED):
        failures.append(f"statically linked parts: {sorted(linked)}")
    defined = {entry["licenseId"] for entry in document.get("hasExtractedLicensingInfos", [])}
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
        undefined = {w for w in licence.split() if w.startswith("LicenseRef-")} - defined
        if undefined:
            failures.append(f"{name}: {sorted(undefined)} have no extracted text")
    return failures


def package_urls(document, compiler, signed):
    failures = []
    urls = [purl(entry) for entry in document["packages"] if "externalRefs" in entry]
    if len(set(urls)) != len(urls):
        failures.append(f"package URLs shared: {sorted(u for u in urls if urls.count(u) > 1)}")
    failures += [f"{u}: no distro=debian-12 and arch qualifiers" for u in urls
                 if "distro=debian-12" not in u or "?arch=" not in u]
    tools = {packages["name"]: packages["versionInfo"] for packages in document["packages"]
             if any(r["spdxElementId"] == packages["SPDXID"] and r["relationshipType"] == "BUILD_TOOL_OF"
                    for r in document["relationships"])}
    compiler_package = dpkg("-S", os.path.realpath(subprocess.run(
        ["sh", "-c", 'command -v "$0"', compiler], check=True, capture_output=True, text=True).stdout.strip()))
    python = dpkg("-S", os.path.realpath(sys.executable)).split(":")[0]
    for tool in TOOLS | {compiler_package.split(":")[0], python}:
        if tools.get(tool) != dpkg("-W", "-f=${Version}", tool):
            failures.append(f"build tools: {tool} {tools.get(tool)}, dpkg-query says {dpkg('-W', tool)}")
    if ("osslsigncode" in tools) != signed:
        failures.append(f"osslsigncode {'missing from' if signed else 'among'} the tools of a "
                        f"{'signed' if signed else 'unsigned'} release")
    return failures


def main(script, compiler, schema, maps, files):
    failures = []
    by_name = {os.path.basename(path): path for path in files}
    for signed in (False, True):
        document = make(script, compiler, maps, files, *(["--signed"] if signed else []))
        for error in jsonschema.Draft7Validator(json.load(open(schema))).iter_errors(document):
            failures.append(f"schema: {error.message} at {list(error.absolute_path)}")
        if document["creationInfo"]["created"] != "2023-11-14T22:13:20Z":
            failures.append(f"created: {document['creationInfo']}")
        product = document["packages"][0]
        if COMMIT not in product.get("sourceInfo", "") or \
                f"Tool: xvVistrell-release-1.2.3-{COMMIT[:12]}" not in document["creationInfo"]["creators"]:
            failures.append(f"the commit: {product.get('sourceInfo')} {document['creationInfo']['creators']}")
        failures += files_analysed(document, by_name) + linked_parts(document, compiler)
        failures += package_urls(document, compiler, signed)
    for failure in failures:
        print("FAILED:", failure)
    print("passed" if not failures else f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:6], sys.argv[6:]))
