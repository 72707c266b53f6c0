#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package: a hardened release build installed under /usr,
# packed by CPack into build-package/varnex_<version>_<arch>.deb and checked by
# lintian. Install it with
#   sudo apt install ./build-package/varnex_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-package}
"$root/scripts/setup.sh"
BUILD_DIR=$build "$root/scripts/build.sh" package
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/*.deb
# lintian (installed by setup.sh) must find no error and no warning.
lintian --fail-on error,warning "$build"/*.deb
