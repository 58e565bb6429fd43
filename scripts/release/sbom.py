"""Writes the release's bill of materials, an SPDX 2.3 JSON document: the
product and its files, the parts of the toolchain linked statically into the
images (found through the compiler and named by the Debian packages that hold
them, with those packages' versions) and the tools that built it. The same
release and the same installed packages give the same bytes.

  sbom.py OUTPUT VERSION EPOCH COMPILER FILE...

VERSION: the product version; EPOCH: the commit's time (the document's
creation time); COMPILER: the C++ cross-compiler the images were linked with;
FILE: the release's files."""
import datetime
import hashlib
import json
import os
import subprocess
import re
import sys
import urllib.parse
import uuid

GCC_RUNTIME = "GPL-3.0-or-later WITH GCC-exception-3.1"
# (name, SPDX id suffix, a file the linker takes from it, licence, comment)
LINKED_PARTS = [
    ("MinGW-w64 runtime", "mingw-w64-runtime", "crt2.o", "ZPL-2.1",
     "Startup code, libmingw32, libmingwex and the import libraries. Parts (gdtoa; some mathematics) are under "
     "permissive notices of Lucent Technologies, David M. Gay and Sun Microsystems, reproduced in "
     "THIRD-PARTY-NOTICES.txt."),
    ("winpthreads", "winpthreads", "libwinpthread.a", "MIT AND BSD-3-Clause", None),
    ("libstdc++", "libstdc++", "libstdc++.a", GCC_RUNTIME, None),
    ("libgcc", "libgcc", "libgcc.a", GCC_RUNTIME, "With libgcc_eh (exception unwinding)."),
]
# The tools of the build and the package; each named by a program it installs
# ({target}: the compiler's target prefix, as i686-w64-mingw32).
BUILD_TOOLS = ["{compiler}", "{target}-ld", "{target}-windres", "cmake", "wixl", "msibuild", "osslsigncode"]


def spdx_id(kind, name):
    """An SPDX identifier: letters, digits, "." and "-" only."""
    return f"SPDXRef-{kind}-" + re.sub(r"[^A-Za-z0-9.-]", "-", name)


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout.strip()


def debian_package(path):
    """(package, version) of the installed Debian package that holds path."""
    owner = run("dpkg-query", "-S", os.path.realpath(path)).split(":")[0]
    return owner, run("dpkg-query", "-W", "-f=${Version}", owner)


def package_entry(spdx_id, name, owner, version, licence="NOASSERTION", comment=None):
    entry = {
        "SPDXID": spdx_id,
        "name": name,
        "versionInfo": version,
        "supplier": "Organization: Debian",
        "downloadLocation": "NOASSERTION",
        "filesAnalyzed": False,
        "licenseConcluded": licence,
        "licenseDeclared": licence,
        "copyrightText": "NOASSERTION",
        "sourceInfo": f"Debian package {owner} {version}",
        "externalRefs": [{
            "referenceCategory": "PACKAGE-MANAGER",
            "referenceType": "purl",
            "referenceLocator": f"pkg:deb/debian/{urllib.parse.quote(owner)}@{urllib.parse.quote(version)}",
        }],
    }
    if comment:
        entry["comment"] = comment
    return entry


def file_entry(path):
    data = open(path, "rb").read()
    name = os.path.basename(path)
    return {
        "SPDXID": spdx_id("File", name),
        "fileName": "./" + name,
        "checksums": [{"algorithm": "SHA1", "checksumValue": hashlib.sha1(data).hexdigest()},
                      {"algorithm": "SHA256", "checksumValue": hashlib.sha256(data).hexdigest()}],
    }


def main(output, version, epoch, compiler, files):
    product = "SPDXRef-Package-xvVistrell"
    created = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    packages = [{
        "SPDXID": product,
        "name": "xvVistrell",
        "versionInfo": version,
        "supplier": "Organization: XV",
        "downloadLocation": "NOASSERTION",
        "filesAnalyzed": False,
        "licenseConcluded": "NOASSERTION",
        "licenseDeclared": "NOASSERTION",
        "copyrightText": "Copyright XV",
        "primaryPackagePurpose": "APPLICATION",
    }]
    relationships = [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                      "relatedSpdxElement": product}]
    for name, suffix, linked_file, licence, comment in LINKED_PARTS:
        owner, owner_version = debian_package(run(compiler, f"-print-file-name={linked_file}"))
        packages.append(package_entry(spdx_id("Package", suffix), name, owner, owner_version, licence, comment))
        relationships.append({"spdxElementId": product, "relationshipType": "STATIC_LINK",
                              "relatedSpdxElement": spdx_id("Package", suffix)})
    for tool in BUILD_TOOLS:
        target = os.path.basename(compiler).split("-g++")[0]
        program = run("sh", "-c", 'command -v "$0"', tool.format(compiler=compiler, target=target))
        owner, owner_version = debian_package(program)
        tool_id = spdx_id("Tool", owner)
        if any(package["SPDXID"] == tool_id for package in packages):
            continue
        packages.append(package_entry(tool_id, owner, owner, owner_version))
        relationships.append({"spdxElementId": tool_id, "relationshipType": "BUILD_TOOL_OF",
                              "relatedSpdxElement": product})
    entries = [file_entry(path) for path in sorted(files, key=os.path.basename)]
    relationships += [{"spdxElementId": product, "relationshipType": "CONTAINS", "relatedSpdxElement": entry["SPDXID"]}
                      for entry in entries]
    # The namespace must be unique per document: a name-based UUID of its contents.
    digest = hashlib.sha256(json.dumps([packages, entries], sort_keys=True).encode()).hexdigest()
    document = {
        "spdxVersion": "SPDX-2.3",
        "dataLicense": "CC0-1.0",
        "SPDXID": "SPDXRef-DOCUMENT",
        "name": f"xvVistrell-{version}",
        "documentNamespace": f"https://spdx.org/spdxdocs/xvVistrell-{version}-{uuid.uuid5(uuid.NAMESPACE_URL, digest)}",
        "creationInfo": {"created": created, "creators": ["Organization: XV", "Tool: xvVistrell-release.sh"]},
        "packages": packages,
        "files": entries,
        "relationships": relationships,
    }
    with open(output, "w", encoding="utf-8") as out:
        json.dump(document, out, indent=2, sort_keys=True)
        out.write("\n")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:])
