#!/usr/bin/python3
"""Builds fonts/GlacialIndiffTweak-Bold.otf, the window's font, from the bold cut of League Spartan
(SIL Open Font License 1.1, Debian package fonts-league-spartan).

The outlines are kept as they are; only the naming changes, so that the font registers under the family
the form asks for ("Glacial Indiff Tweak", subfamily "Bold", weight class 500). The new primary name
uses none of the original's names, as the licence asks of a modified version, and the licence travels
with the font in fonts/OFL.txt.

Needs python3-fonttools. Usage: make_font.py [SOURCE.otf] [OUTPUT.otf]
"""
import os
import sys

from fontTools.ttLib import TTFont

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = "/usr/share/fonts/opentype/league-spartan/LeagueSpartan-Bold.otf"
OUTPUT = os.path.join(HERE, "..", "fonts", "GlacialIndiffTweak-Bold.otf")

FAMILY = "Glacial Indiff Tweak"
SUBFAMILY = "Bold"
FULL_NAME = FAMILY + " " + SUBFAMILY
POSTSCRIPT_NAME = "GlacialIndiffTweak-Bold"
WEIGHT_CLASS = 500
COPYRIGHT = ("Copyright 2011-2020 Micah Rich, Caroline Hadilaksono, Tyler Finck. "
             "Outlines of League Spartan Bold, renamed for the Pelwinter launcher.")


def main():
    source = sys.argv[1] if len(sys.argv) > 1 else SOURCE
    output = sys.argv[2] if len(sys.argv) > 2 else OUTPUT
    font = TTFont(source, recalcTimestamp=False)
    if "CFF " not in font:
        sys.exit("expected an OpenType font with CFF outlines: " + source)
    version = font["name"].getDebugName(5) or "Version 1.000"

    names = font["name"]
    # Typographic family names and any other localized leftovers would keep the old family alive.
    names.names = [n for n in names.names if n.nameID not in (1, 2, 3, 4, 6, 16, 17, 18, 21, 22)]
    names.setName(COPYRIGHT, 0, 3, 1, 0x409)
    names.setName(FAMILY, 1, 3, 1, 0x409)
    names.setName(SUBFAMILY, 2, 3, 1, 0x409)
    names.setName(version.replace("Version ", "") + ";PELW;" + POSTSCRIPT_NAME, 3, 3, 1, 0x409)
    names.setName(FULL_NAME, 4, 3, 1, 0x409)
    names.setName(version + "; renamed", 5, 3, 1, 0x409)
    names.setName(POSTSCRIPT_NAME, 6, 3, 1, 0x409)

    font["OS/2"].usWeightClass = WEIGHT_CLASS

    cff = font["CFF "].cff
    cff.fontNames = [POSTSCRIPT_NAME]
    top = cff.topDictIndex[0]
    top.FamilyName = FAMILY
    top.FullName = FULL_NAME
    top.Weight = SUBFAMILY
    top.Notice = COPYRIGHT
    if hasattr(top, "Copyright"):
        del top.rawDict["Copyright"]

    # Same input, same bytes: the committed file only changes when the source does.
    font.save(output, reorderTables=True)
    print("wrote", os.path.normpath(output), os.path.getsize(output), "bytes")


if __name__ == "__main__":
    main()
