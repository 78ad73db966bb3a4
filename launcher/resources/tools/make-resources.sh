#!/usr/bin/env bash
# Regenerates the window's font and pictures in launcher/resources/. The results are committed, so a
# normal build never runs this; run it after changing make_font.py or draw_artwork.cpp.
# Needs python3-fonttools, fonts-league-spartan and the Qt 6 development files.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
resources="$(dirname "$here")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 "$here/make_font.py" /usr/share/fonts/opentype/league-spartan/LeagueSpartan-Bold.otf \
    "$resources/fonts/GlacialIndiffTweak-Bold.otf"

# shellcheck disable=SC2046
g++ -std=c++20 -O1 -fPIC -o "$work/draw_artwork" "$here/draw_artwork.cpp" $(pkg-config --cflags --libs Qt6Gui)
QT_QPA_PLATFORM=offscreen "$work/draw_artwork" "$resources/fonts/GlacialIndiffTweak-Bold.otf" "$resources/images"
