#!/usr/bin/env bash
# Builds the Debian package: a release build installed under /usr, packed by
# CPack into build-package/varnex_<version>_<arch>.deb. Install it with
#   sudo apt install ./build-package/varnex_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-package}
"$root/scripts/setup.sh"
BUILD_DIR=$build "$root/scripts/build.sh" package
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/*.deb
