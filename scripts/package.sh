#!/usr/bin/env bash
# Builds the Debian package: the programs without the tests (build-package/, Release),
# installed under /usr by CPack, with the desktop entry, the icons, the systemd user
# unit and the documentation; the runtime dependencies are read from the programs
# (dpkg-shlibdeps). Prints the package's path.
#
#     bash scripts/package.sh
#     sudo apt-get install ./build-package/quorvalink-redirector_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVALINK_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build-package -j "$(nproc)"
(cd build-package && cpack -G DEB >/dev/null)
ls "$PWD"/build-package/quorvalink-redirector_*.deb
