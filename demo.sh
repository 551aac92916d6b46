#!/usr/bin/env bash
# kelvane end to end on a machine without the DOS emulator: installs what is
# missing, builds kelvane, and runs it on a fresh guest directory with the
# stand-ins from standins/ first on PATH. The stand-in emulator prints a letter
# and then a brochure, which go through the system's real ps2pdf, psbook and
# psnup; then it ends, and so does kelvane.
#
# `./demo.sh dosbox` prints the same jobs from a real DOS program under the
# DOSBox emulator instead (standins/dosbox/), in its window when there is a
# display.
#
# Set KELVANE_STANDIN_JOBS to print other jobs, KELVANE_STANDIN_VIEWER=auto to
# see the PDFs in a desktop viewer (the demo then waits for its windows).
set -euo pipefail
cd "$(dirname "$0")"

case ${1:-} in
    '') first=standins/ path=$PWD/standins extra=() ;;
    dosbox) first="standins/dosbox/ and standins/" path=$PWD/standins/dosbox:$PWD/standins extra=(dosbox nasm) ;;
    *) echo "usage: $0 [dosbox]" >&2; exit 2 ;;
esac

# The build configures the unit tests too, which need GoogleTest.
scripts/install-missing.sh cmake g++ make libgtest-dev python3 psutils ghostscript poppler-utils "${extra[@]}"

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build

demo_dir=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-demo.XXXXXX")
# The guest's folders, as a user makes them before the first start.
mkdir "$demo_dir/document" "$demo_dir/userdata"
printed=$demo_dir/printed
echo
echo "demo: guest directory $demo_dir"
echo "demo: running build/kelvane $demo_dir with $first first on PATH"
echo

status=0
PATH="$path:$PATH" \
KELVANE_STANDIN_GUEST="$demo_dir" \
KELVANE_STANDIN_JOBS="${KELVANE_STANDIN_JOBS:-letter brochure}" \
KELVANE_STANDIN_KEEP="$printed" \
KELVANE_STANDIN_VIEWER="${KELVANE_STANDIN_VIEWER:-none}" \
    build/kelvane "$demo_dir" || status=$?

echo
echo "demo: kelvane exited with status $status"
if [ -n "$(ls -A "$printed" 2>/dev/null)" ]; then
    echo "demo: the PDFs kelvane showed, and a PNG of each first page, are kept in $printed:"
    ls -l "$printed"
fi
exit "$status"
