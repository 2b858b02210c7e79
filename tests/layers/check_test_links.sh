#!/usr/bin/env bash
# Tests follow the layers: a test program of a layer below the window (every folder of
# tests/ but app/) links neither Qt Widgets nor the window's code (MainDialog). Run by
# ctest on the built test programs: check_test_links.sh BUILD/tests
set -euo pipefail
tests=${1:?the tests folder of the build}
status=0
checked=0
for program in $(find "$tests" -mindepth 2 -maxdepth 2 -type f -executable | sort); do
    folder=$(basename "$(dirname "$program")")
    [ "$folder" = app ] && continue
    checked=$((checked + 1))
    if ldd "$program" 2>/dev/null | grep 'libQt6Widgets' >/dev/null; then
        echo "$folder/$(basename "$program") links Qt Widgets"
        status=1
    fi
    if nm -C "$program" 2>/dev/null | grep 'MainDialog::' >/dev/null; then
        echo "$folder/$(basename "$program") links the window (MainDialog)"
        status=1
    fi
done
[ "$checked" -gt 0 ] || { echo "no test program found under $tests"; exit 1; }
exit $status
