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
# On a desktop (DISPLAY or WAYLAND_DISPLAY set) with qpdfview or mupdf
# installed, each PDF opens in that viewer, and the demo goes on once its
# window is closed. `--headless` (or a viewer without a display) keeps the
# PDFs and a PNG of each first page instead, and waits for nobody.
#
# Set KELVANE_STANDIN_JOBS to print other jobs, KELVANE_STANDIN_VIEWER to
# choose the stand-in viewer's way yourself (standins/README.md).
set -euo pipefail
cd "$(dirname "$0")"

usage="usage: $0 [dosbox] [--headless]"
first=standins/ path=$PWD/standins extra=() headless=
for arg; do
    case $arg in
        dosbox) first="standins/dosbox/ and standins/" path=$PWD/standins/dosbox:$PWD/standins extra=(dosbox nasm) ;;
        --headless) headless=yes ;;
        -h | --help) echo "$usage"; exit 0 ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
done

# A viewer that the stand-in viewer runs on a desktop, when there is one.
desktop_viewer=
if [ -z "$headless" ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    for candidate in qpdfview mupdf; do
        desktop_viewer=$(command -v "$candidate") && break
    done
fi
if [ -n "$headless" ]; then
    viewer=none
elif [ -n "$desktop_viewer" ]; then
    viewer=${KELVANE_STANDIN_VIEWER:-auto}
else
    viewer=${KELVANE_STANDIN_VIEWER:-none}
fi

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
if [ "$viewer" = auto ] && [ -n "$desktop_viewer" ]; then
    echo "demo: each print job opens in a window of $(basename "$desktop_viewer");" \
         "close it to let the demo go on (./demo.sh --headless waits for nobody)"
fi
echo

status=0
PATH="$path:$PATH" \
KELVANE_STANDIN_GUEST="$demo_dir" \
KELVANE_STANDIN_JOBS="${KELVANE_STANDIN_JOBS:-letter brochure}" \
KELVANE_STANDIN_KEEP="$printed" \
KELVANE_STANDIN_VIEWER="$viewer" \
    build/kelvane "$demo_dir" || status=$?

echo
echo "demo: kelvane exited with status $status"
if [ -n "$(ls -A "$printed" 2>/dev/null)" ]; then
    echo "demo: the PDFs kelvane showed, and a PNG of each first page, are kept in $printed:"
    ls -l "$printed"
fi
exit "$status"
