"""Writes the release's bill of materials, an SPDX 2.3 JSON document: the
product and its files (analysed: each file's checksums and the package
verification code of them all), the parts of the toolchain linked statically
into the images (found through the compiler, named by the Debian packages
that hold them with those packages' versions, their licences from what the
link maps say was linked) and the Debian packages whose programs, libraries
and data shaped the release's bytes. The same release and the same installed
packages give the same bytes.

  sbom.py OUTPUT --version V --epoch E --commit C --compiler CXX [--signed] --map MAP [--map MAP] FILE...

V: the product version; E: the commit's time (the document's creation time);
C: the commit the release was built from; CXX: the C++ cross-compiler the
images were linked with; --signed: osslsigncode signed the files; MAP: the
images' link maps; FILE: the release's files."""
import argparse
import datetime
import hashlib
import json
import os
import re
import subprocess
import sys
import urllib.parse
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import linked  # noqa: E402  (beside this script)

# (part, SPDX id suffix, a file the linker takes from it, comment)
LINKED_PARTS = [
    (linked.RUNTIME, "mingw-w64-runtime", "crt2.o", "Startup code, libmingw32, libmingwex and the import libraries."),
    (linked.WINPTHREADS, "winpthreads", "libwinpthread.a", "The POSIX threads library under std::thread."),
    (linked.LIBSTDCXX, "libstdc++", "libstdc++.a", "With the STL notices of its headers."),
    (linked.LIBGCC, "libgcc", "libgcc.a", "With libgcc_eh (exception unwinding) and crtbegin/crtend."),
]
# What shaped the bytes, each found through what it installs ({compiler}: the
# C++ compiler, {target}: its target prefix, as i686-w64-mingw32):
# ("program", name), ("library of", program, soname prefix), ("python", module),
# ("package", Debian package name).
BUILD_TOOLS = [
    ("program", "{compiler}"), ("program", "{target}-ld"), ("program", "{target}-windres"), ("program", "cmake"),
    ("program", "make"), ("program", "wixl"), ("package", "wixl-data"), ("program", "msibuild"),
    ("library of", "wixl", "libmsi.so"), ("library of", "wixl", "libgcab-1.0.so"),
    ("python", None), ("python", "olefile"),
]
SIGNING_TOOLS = [("program", "osslsigncode")]


def spdx_id(kind, name):
    """An SPDX identifier: letters, digits, "." and "-" only."""
    return f"SPDXRef-{kind}-" + re.sub(r"[^A-Za-z0-9.-]", "-", name)


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout.strip()


def distro():
    """debian-12, as the package URLs' distro qualifier names it."""
    release = dict(re.findall(r'^(\w+)="?([^"\n]*)"?$', open("/etc/os-release", encoding="utf-8").read(), re.M))
    return f"{release.get('ID', 'debian')}-{release.get('VERSION_ID') or release.get('VERSION_CODENAME', '')}"


def debian_package(path):
    """(package, version, architecture) of the installed Debian package that holds path."""
    owner = run("dpkg-query", "-S", os.path.realpath(path)).split(":")[0].split(",")[0]
    return (owner, *run("dpkg-query", "-W", "-f=${Version} ${Architecture}", owner).split())


def installed(name):
    return (name, *run("dpkg-query", "-W", "-f=${Version} ${Architecture}", name).split())


def purl(owner, version, architecture, subpath=None):
    """A package URL of a Debian package; subpath: one file of it."""
    quote = urllib.parse.quote
    locator = f"pkg:deb/debian/{quote(owner)}@{quote(version)}?arch={quote(architecture)}&distro={distro()}"
    return locator + (f"#{quote(subpath.lstrip('/'))}" if subpath else "")


def package_entry(identifier, name, found, licence="NOASSERTION", comment=None, subpath=None):
    owner, version, architecture = found
    entry = {
        "SPDXID": identifier,
        "name": name,
        "versionInfo": version,
        "supplier": "Organization: Debian",
        "downloadLocation": "NOASSERTION",
        "filesAnalyzed": False,
        "licenseConcluded": licence,
        "licenseDeclared": licence,
        "copyrightText": "NOASSERTION",
        "sourceInfo": f"Debian package {owner} {version} ({architecture})" + (f", its file /{subpath}" if subpath else ""),
        "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                          "referenceLocator": purl(owner, version, architecture, subpath)}],
    }
    if comment:
        entry["comment"] = comment
    return entry


def tool_owner(probe, compiler):
    kind, name = probe[0], probe[1]
    if kind == "package":
        return installed(name)
    if kind == "python":
        path = sys.executable if name is None else run(sys.executable, "-c", f"import {name}; print({name}.__file__)")
        return debian_package(path)
    target = os.path.basename(compiler).split("-g++")[0]
    program = run("sh", "-c", 'command -v "$0"', name.format(compiler=compiler, target=target))
    if kind == "program":
        return debian_package(program)
    (library,) = [line.split("=>")[1].split()[0] for line in run("ldd", program).splitlines()
                  if line.strip().startswith(probe[2]) and "=>" in line]
    return debian_package(library)


def file_entry(path):
    data = open(path, "rb").read()
    name = os.path.basename(path)
    return {
        "SPDXID": spdx_id("File", name),
        "fileName": "./" + name,
        "checksums": [{"algorithm": "SHA1", "checksumValue": hashlib.sha1(data).hexdigest()},
                      {"algorithm": "SHA256", "checksumValue": hashlib.sha256(data).hexdigest()}],
    }


def verification_code(entries):
    """The package verification code: the SHA-1 of the files' SHA-1s, sorted and joined."""
    sums = sorted(c["checksumValue"] for e in entries for c in e["checksums"] if c["algorithm"] == "SHA1")
    return hashlib.sha1("".join(sums).encode()).hexdigest()


def main(arguments):
    product = "SPDXRef-Package-xvVistrell"
    created = datetime.datetime.fromtimestamp(int(arguments.epoch), datetime.timezone.utc)
    entries = [file_entry(path) for path in sorted(arguments.files, key=os.path.basename)]
    packages = [{
        "SPDXID": product,
        "name": "xvVistrell",
        "versionInfo": arguments.version,
        "supplier": "Organization: XV",
        "downloadLocation": "NOASSERTION",
        "filesAnalyzed": True,
        "packageVerificationCode": {"packageVerificationCodeValue": verification_code(entries)},
        "hasFiles": [entry["SPDXID"] for entry in entries],
        "licenseConcluded": "NOASSERTION",
        "licenseDeclared": "NOASSERTION",
        "licenseInfoFromFiles": ["NOASSERTION"],
        "copyrightText": "Copyright XV",
        "primaryPackagePurpose": "APPLICATION",
        "sourceInfo": f"Built from the git commit {arguments.commit} by scripts/release.sh",
    }]
    relationships = [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                      "relatedSpdxElement": product}]
    parts, unknown = linked.licences_by_part([open(path, encoding="utf-8").read() for path in arguments.map])
    if unknown:
        sys.exit(f"sbom.py: no licence is known for the linked {', '.join(unknown)}")
    used = set()
    for name, suffix, linked_file, comment in LINKED_PARTS:
        path = run(arguments.compiler, f"-print-file-name={linked_file}")
        used.update(parts[name])
        packages.append(package_entry(spdx_id("Package", suffix), name, debian_package(path),
                                      linked.expression(parts[name]), comment, os.path.realpath(path)))
        relationships.append({"spdxElementId": product, "relationshipType": "STATIC_LINK",
                              "relatedSpdxElement": spdx_id("Package", suffix)})
    for probe in BUILD_TOOLS + (SIGNING_TOOLS if arguments.signed else []):
        found = tool_owner(probe, arguments.compiler)
        tool_id = spdx_id("Tool", found[0])
        if any(package["SPDXID"] == tool_id for package in packages):
            continue
        packages.append(package_entry(tool_id, found[0], found))
        relationships.append({"spdxElementId": tool_id, "relationshipType": "BUILD_TOOL_OF",
                              "relatedSpdxElement": product})
    relationships += [{"spdxElementId": product, "relationshipType": "CONTAINS", "relatedSpdxElement": entry["SPDXID"]}
                      for entry in entries]
    extracted = [{"licenseId": licence, "name": licence.removeprefix("LicenseRef-"),
                  "extractedText": "\n\n".join(filter(None, linked.EXTRACTED[licence]))}
                 for licence in sorted(used) if licence.startswith("LicenseRef-")]
    # The namespace must be unique per document: a name-based UUID of its contents.
    digest = hashlib.sha256(json.dumps([packages, entries], sort_keys=True).encode()).hexdigest()
    document = {
        "spdxVersion": "SPDX-2.3",
        "dataLicense": "CC0-1.0",
        "SPDXID": "SPDXRef-DOCUMENT",
        "name": f"xvVistrell-{arguments.version}",
        "documentNamespace": f"https://spdx.org/spdxdocs/xvVistrell-{arguments.version}-"
                             f"{uuid.uuid5(uuid.NAMESPACE_URL, digest)}",
        "creationInfo": {
            "created": created.strftime("%Y-%m-%dT%H:%M:%SZ"),
            "creators": ["Organization: XV", f"Tool: xvVistrell-release-{arguments.version}-{arguments.commit[:12]}"],
            "comment": f"To reproduce: check out {arguments.commit} on {distro()} with the Debian package versions "
                       "named here installed and run scripts/release.sh --check.",
        },
        "packages": packages,
        "files": entries,
        "hasExtractedLicensingInfos": extracted,
        "relationships": relationships,
    }
    with open(arguments.output, "w", encoding="utf-8") as out:
        json.dump(document, out, indent=2, sort_keys=True)
        out.write("\n")


def parse(argv):
    parser = argparse.ArgumentParser(description="Writes the release's SPDX 2.3 bill of materials.")
    parser.add_argument("output")
    parser.add_argument("--version", required=True)
    parser.add_argument("--epoch", required=True)
    parser.add_argument("--commit", required=True)
    parser.add_argument("--compiler", required=True)
    parser.add_argument("--signed", action="store_true")
    parser.add_argument("--map", action="append", required=True)
    parser.add_argument("files", nargs="+")
    return parser.parse_args(argv)


if __name__ == "__main__":
    main(parse(sys.argv[1:]))
