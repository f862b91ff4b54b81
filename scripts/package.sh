#!/usr/bin/env bash
# Builds the Debian package of the working tree with Debian's tooling
# (dpkg-buildpackage -b, debhelper, a Release build), version from
# project(VERSION) in CMakeLists.txt.
#
#   scripts/package.sh [OUT_DIR]     (default: build-package/)
#
# The tracked and new files of the tree are copied to OUT_DIR/tarnwick-VERSION
# and built there, so that dpkg-buildpackage writes the .deb (and its
# .buildinfo and .changes) into OUT_DIR and nothing beside the tree. Prints
# the path of the .deb last.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$(realpath -m "${1:-$root/build-package}")"

die() { echo "package.sh: $*" >&2; exit 1; }
command -v dpkg-buildpackage >/dev/null || die "dpkg-buildpackage is missing (scripts/deps.sh test)"
command -v dh >/dev/null || die "debhelper is missing (scripts/deps.sh test)"

version=$(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[[ -n $version ]] || die "no project(tarnwick VERSION ...) in CMakeLists.txt"
maintainer=$(sed -n 's/^Maintainer: //p' "$root/debian/control")

src="$out/tarnwick-$version"
rm -rf "$src" "$out"/tarnwick_"$version"_* "$out"/tarnwick-dbgsym_"$version"_*
mkdir -p "$src"
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
   tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -xf - -C "$src"

cat >"$src/debian/changelog" <<TEXT
tarnwick ($version) unstable; urgency=medium

  * Package of version $version.

 -- $maintainer  $(date -R)
TEXT

# The compiler cache, when there is one; paths below the copy count as
# relative, so that copies in other folders share its entries.
if command -v ccache >/dev/null; then
  export TW_CMAKE_ARGS="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
  export CCACHE_BASEDIR="$src"
fi
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=2}"
(cd "$src" && nice -n 10 dpkg-buildpackage -b --no-sign) >"$out/build.log" 2>&1 ||
  { tail -n 40 "$out/build.log" >&2; die "dpkg-buildpackage failed (whole log: $out/build.log)"; }

deb=$(ls "$out"/tarnwick_"$version"_*.deb)
echo "$deb"
