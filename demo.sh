#!/usr/bin/env bash
# kelvane end to end on a machine without the DOS emulator: installs what is
# missing, builds kelvane, and runs it on a fresh guest directory with the
# stand-ins from standins/ first on PATH. The stand-in emulator prints a letter
# and then a brochure, which go through the system's real ps2pdf, psbook and
# psnup; then it ends, and so does kelvane.
#
# `./demo.sh dosbox` prints the same jobs from a real DOS program under the
# DOSBox emulator instead (standins/dosbox/), in its window when there is a
# display. `./demo.sh dosemu` prints them under the real DOSEMU found on PATH,
# in its X window, with the user's own DOSEMU settings (standins/dosemu2/);
# the guest directory, under TMPDIR, is one more drive for DOSEMU.
#
# On a desktop (DISPLAY or WAYLAND_DISPLAY set) with qpdfview or mupdf
# installed, each PDF opens in that viewer, and the demo goes on once its
# window is closed. `--headless` (or a viewer without a display) keeps the
# PDFs and a PNG of each first page instead, and waits for nobody.
#
# Set KELVANE_STANDIN_JOBS to print other jobs (not under DOSEMU), KELVANE_STANDIN_VIEWER to
# choose the stand-in viewer's way yourself (standins/README.md), and
# KELVANE_DEMO_BUILD to a build directory to run the kelvane built there
# without installing or building anything (as the tests do).
set -euo pipefail
[ -z "${KELVANE_DEMO_BUILD:-}" ] || KELVANE_DEMO_BUILD=$(cd "$KELVANE_DEMO_BUILD" && pwd)
cd "$(dirname "$0")"

usage="usage: $0 [dosbox | dosemu] [--headless]"
first=standins/ path=$PWD/standins extra=() headless= route=
for arg; do
    case $arg in
        dosbox) first="standins/dosbox/ and standins/" path=$PWD/standins/dosbox:$PWD/standins extra=(dosbox nasm) ;;
        dosemu) first="standins/dosemu2/ and standins/" path=$PWD/standins/dosemu2:$PWD/standins extra=(nasm)
                route=dosemu ;;
        --headless) headless=yes ;;
        -h | --help) echo "$usage"; exit 0 ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
done

if [ "$route" = dosemu ]; then
    # The first dosemu on PATH, past the project's stand-ins (PATH as standins/README.md sets it).
    real_dosemu=
    while IFS= read -r found; do
        case $(readlink -f -- "$found") in "$PWD"/standins/*) ;; *) real_dosemu=$found; break ;; esac
    done < <(type -ap dosemu)
    if [ -z "$real_dosemu" ]; then
        echo "demo: there is no dosemu on PATH; ./demo.sh dosbox prints the same jobs under DOSBox" >&2
        exit 1
    fi
    if [ -z "${DISPLAY:-}" ]; then
        echo "demo: DISPLAY is not set, and dosemu -X opens an X window: run it on a desktop (or under xvfb-run)" >&2
        exit 1
    fi
fi

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

build=${KELVANE_DEMO_BUILD:-build}
if [ -z "${KELVANE_DEMO_BUILD:-}" ]; then
    # The build configures the unit tests too, which need GoogleTest.
    scripts/install-missing.sh cmake g++ make libgtest-dev python3 psutils ghostscript poppler-utils "${extra[@]}"
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
    cmake --build build
fi

demo_dir=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-demo.XXXXXX")
printed=$demo_dir/printed guest=$demo_dir
# DOSEMU gets the demo's directory as a drive, whose \GEOWORKS is the guest's.
[ "$route" != dosemu ] || guest=$demo_dir/geoworks
# The guest's folders, as a user makes them before the first start.
mkdir -p "$guest/document" "$guest/userdata"
echo
echo "demo: guest directory $guest"
echo "demo: running $build/kelvane $guest with $first first on PATH"
if [ "$viewer" = auto ] && [ -n "$desktop_viewer" ]; then
    echo "demo: each print job opens in a window of $(basename "$desktop_viewer");" \
         "close it to let the demo go on (./demo.sh --headless waits for nobody)"
fi
echo

status=0
PATH="$path:$PATH" \
KELVANE_STANDIN_GUEST="$guest" \
KELVANE_STANDIN_DOSEMU="${real_dosemu:-}" \
KELVANE_STANDIN_DOS_PROGRAM="$build/standins/dosbox/print.com" \
KELVANE_STANDIN_DOS_SHELL="$build/standins/dosemu2/command.com" \
KELVANE_STANDIN_STATUS="$demo_dir/dosemu-status" \
KELVANE_STANDIN_JOBS="${KELVANE_STANDIN_JOBS:-letter brochure}" \
KELVANE_STANDIN_KEEP="$printed" \
KELVANE_STANDIN_VIEWER="$viewer" \
    "$build/kelvane" "$guest" || status=$?

echo
echo "demo: kelvane exited with status $status"
# kelvane ends with status 0 whatever the emulator's; a DOSEMU that failed fails the demo.
if [ "$route" = dosemu ] && [ "$(cat "$demo_dir/dosemu-status" 2>/dev/null)" != 0 ]; then
    echo "demo: DOSEMU did not print both jobs (see its lines above)"
    status=1
fi
if [ -n "$(ls -A "$printed" 2>/dev/null)" ]; then
    echo "demo: the PDFs kelvane showed, and a PNG of each first page, are kept in $printed:"
    ls -l "$printed"
fi
exit "$status"
