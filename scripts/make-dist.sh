#!/usr/bin/env bash
# Builds the release DLLs for x64 and x86 and puts what a print administrator
# installs into dist/: both DLLs (stripped, export tables and imports
# checked), the English resource script's sources, a checksum file and the
# set-up notes.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
scripts/install-deps.sh windows
for arch in x64:x86_64 x86:i686; do
  name=${arch%%:*} triplet=${arch##*:}
  preset=mingw-${triplet/x86_64/x64}
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" --target umpd >/dev/null
  scripts/check-dll.sh "build/$preset/bin/umpd.dll" "$triplet"
done
rm -rf dist
mkdir -p dist/x64 dist/x86 dist/resources
cp build/mingw-x64/bin/umpd.dll dist/x64/
cp build/mingw-i686/bin/umpd.dll dist/x86/
cp umpd/src/english/umpd.rc umpd/src/english/resource.h dist/resources/
cp docs/INSTALL.txt dist/
(cd dist && find . -type f ! -name SHA256SUMS | sort | sed 's|^\./||' | xargs sha256sum >SHA256SUMS)
echo "dist/:"
(cd dist && sha256sum --check --quiet SHA256SUMS && find . -type f | sort)
