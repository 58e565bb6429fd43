#!/usr/bin/env bash
# make-msi.sh OUTPUT.msi VERSION EXECUTABLE SETUP_DLL WXS ARCH NOTICES
# Builds the Windows Installer package with wixl, then sets in its tables what
# wixl 0.101 cannot express, and checks that it did:
# - ARCH i686 is the product: a 32-bit package into the 32-bit program files
#   folder. An x86-64 test build (ARCH x86_64, where this machine cannot run
#   32-bit code) gets a 64-bit package instead: a 64-bit executable in a
#   32-bit package would land in "Program Files (x86)", its registry values
#   in the 32-bit view;
# - the service registration is vital: a refused registration fails the
#   installation and rolls it back;
# - the event sources' message files are REG_EXPAND_SZ values, as the
#   executable's own /install writes them (wixl drops Type="expandable");
# - RestartService runs when the transaction commits, as the local system
#   (wixl makes Execute="commit" an immediate action);
# - RemoveExistingProducts runs right after InstallInitialize, inside the
#   newer package's transaction, so that a failed upgrade rolls the older
#   product's removal back too (wixl ignores MajorUpgrade/@Schedule and puts
#   it before InstallInitialize, where the removal commits on its own).
# NOTICES (the third-party licence notices) is installed beside the
# executable, with Windows line ends.
#
# The same inputs give the same package bytes, so a release can be rebuilt
# and compared (scripts/release.sh): the product code is derived from the
# version and the platform (a newer version gets a new one, as a major
# upgrade needs); the staged files' times, which the cabinet keeps, and the
# summary's "Created" and "Last saved" are SOURCE_DATE_EPOCH (the time of the
# build without it); the package code is derived from the package's bytes
# (msi_summary.py).
set -euo pipefail
output=$1 version=$2 executable=$3 setup_dll=$4 wxs=$5 arch=$6 notices=$7
epoch=${SOURCE_DATE_EPOCH:-$(date +%s)}
here=$(dirname "$0")
case $arch in
  i686) platform=(-a x86 -D ProgramFiles=ProgramFilesFolder -D Win64=no) template='Intel;1033' ;;
  x86_64) platform=(-a x64 -D ProgramFiles=ProgramFiles64Folder -D Win64=yes) template='x64;1033' ;;
  *) echo "make-msi.sh: unknown architecture $arch" >&2 && exit 1 ;;
esac

# wixl takes the files' sources relative to its working folder.
stage=$(mktemp -d "${output}.stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
cp "$executable" "$stage/xvVistrell.exe"
cp "$setup_dll" "$stage/xvVistrell_setup.dll"
sed 's/\r*$/\r/' "$notices" >"$stage/notices.txt"
touch -d "@$epoch" "$stage"/*
# A name-based UUID in the namespace of the package's upgrade code.
upgrade_code=$(sed -n 's/.*UpgradeCode="\([0-9A-Fa-f-]*\)".*/\1/p' "$wxs")
product_code=$(/usr/bin/python3 -c 'import sys, uuid
print("{%s}" % str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' "$upgrade_code" "$version $arch")
rm -f "$output"
(cd "$stage" && wixl "${platform[@]}" -D Version="$version" -D ProductCode="$product_code" \
  -D Executable=xvVistrell.exe -D SetupActions=xvVistrell_setup.dll -D Notices=notices.txt \
  -o package.msi "$wxs")
# msidbServiceInstallErrorControlVital (0x8000) | SERVICE_ERROR_NORMAL (1)
msibuild "$stage/package.msi" -q "UPDATE \`ServiceInstall\` SET \`ErrorControl\` = 32769 WHERE \`ServiceInstall\` = 'xvVistrell'"
# "#%" marks an expandable string in the Registry table.
msibuild "$stage/package.msi" -q "UPDATE \`Registry\` SET \`Value\` = '#%[#xvVistrell.exe]' WHERE \`Name\` = 'EventMessageFile'"
# msidbCustomActionTypeDll (1) | msidbCustomActionTypeInScript (0x400) |
# msidbCustomActionTypeCommit (0x200) | msidbCustomActionTypeNoImpersonate (0x800)
msibuild "$stage/package.msi" -q "UPDATE \`CustomAction\` SET \`Type\` = 3585 WHERE \`Action\` = 'RestartService'"
# InstallInitialize is 1500.
msibuild "$stage/package.msi" -q "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1501 WHERE \`Action\` = 'RemoveExistingProducts'"

fail() {
  echo "make-msi.sh: $*" >&2
  exit 1
}
services=$(msiinfo export "$stage/package.msi" ServiceInstall)
registry=$(msiinfo export "$stage/package.msi" Registry)
grep -qP '^xvVistrell\txvVistrell\t[^\t]*\t272\t2\t32769\t' <<<"$services" ||
  fail "the service registration was not marked vital"
[ "$(grep -cP '\tEventMessageFile\t#%\[#xvVistrell\.exe\]\t' <<<"$registry")" = 2 ] ||
  fail "the event sources' message files are not both expandable"
grep -qP '^RestartService\t3585\tSetupActions\tRestartService\t' <<<"$(msiinfo export "$stage/package.msi" CustomAction)" ||
  fail "RestartService is not a commit action"
grep -qP '^RemoveExistingProducts\t\t1501\r?$' <<<"$(msiinfo export "$stage/package.msi" InstallExecuteSequence)" ||
  fail "RemoveExistingProducts is not right after InstallInitialize"
msiinfo suminfo "$stage/package.msi" | grep -qxF "Template: $template" ||
  fail "the package's platform is not $template"
/usr/bin/python3 "$here/msi_summary.py" "$stage/package.msi" "$epoch"
mv "$stage/package.msi" "$output"
