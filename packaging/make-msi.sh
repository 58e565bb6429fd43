#!/usr/bin/env bash
# make-msi.sh OUTPUT.msi VERSION EXECUTABLE SETUP_DLL WXS
# Builds the Windows Installer package with wixl, then marks its service
# registration vital, which wixl cannot express: a refused registration then
# fails the installation and rolls it back.
set -euo pipefail
output=$1 version=$2 executable=$3 setup_dll=$4 wxs=$5

# wixl takes the files' sources relative to its working folder.
stage=$(mktemp -d "${output}.stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
cp "$executable" "$stage/xvVistrell.exe"
cp "$setup_dll" "$stage/xvVistrell_setup.dll"
rm -f "$output"
(cd "$stage" && wixl -D Version="$version" -D Executable=xvVistrell.exe \
  -D SetupActions=xvVistrell_setup.dll -o package.msi "$wxs")
# msidbServiceInstallErrorControlVital (0x8000) | SERVICE_ERROR_NORMAL (1)
msibuild "$stage/package.msi" -q "UPDATE \`ServiceInstall\` SET \`ErrorControl\` = 32769 WHERE \`ServiceInstall\` = 'xvVistrell'"
mv "$stage/package.msi" "$output"
