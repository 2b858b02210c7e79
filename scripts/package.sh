#!/usr/bin/env bash
# Builds the Debian package: the programs without the tests (build-package/, Release),
# installed under /usr by CPack, with the desktop entry, the icons, the systemd user
# unit and the documentation; the runtime dependencies are read from the programs
# (dpkg-shlibdeps). Installs the Debian packages the build needs when missing
# (scripts/deps.sh package: compilers, CMake, Ninja, Qt 6 and SQLite headers, file),
# not the tools of the tests. Prints the package's path.
#
#     bash scripts/package.sh
#     apt-get install ./build-package/quorvalink-redirector_*.deb     (as root)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh package
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVALINK_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build-package -j "$(nproc)"
(cd build-package && cpack -G DEB >/dev/null)
ls "$PWD"/build-package/quorvalink-redirector_*.deb
