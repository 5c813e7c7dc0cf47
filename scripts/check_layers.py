#!/usr/bin/env python3
"""Fails on an #include that points up the layer order of the source folders.

Usage: check_layers.py [SRC_DIR] [--forbid FOLDER=HEADER ...]

SRC_DIR holds one folder per layer (default: the project's src/). Every file in a folder
may include its own folder and the folders of lower tiers, never a folder of its own tier
or above. Quoted includes are looked up next to the including file first, as the compiler
does, so a relative path ("../x/y.h") counts for the folder it lands in. Prints one line per
offending include and exits 1 when there is any, 0 when the tree keeps the order.
"""
import argparse
import os
import re
import sys

# From the bottom up. platform holds the stand-ins for the operating system's CAN sockets
# and sits below everything; app is the process itself, the only one that sees every layer.
TIERS = [
    ["platform"],
    ["core"],
    ["kinematics"],
    ["hardware", "motion", "vision"],
    ["program"],
    ["control"],
    ["remote", "fieldbus", "cloud"],
    ["app"],
]

# Folders that may reach less than their tier allows: the cameras need only the core.
ONLY = {
    "vision": {"core"},
}

# Headers a folder must not include although the order allows them, as (folder, header,
# why), the header named as its public include path; also found when reached by a relative
# path. For example:
#   ("remote", "control/RobotMaster.h", "the HVP server goes through the controller port"),
FORBIDDEN = []

SOURCE_ENDINGS = (".h", ".hpp", ".cpp", ".cc", ".c", ".inl", ".ipp")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')

TIER_OF = {folder: level for level, tier in enumerate(TIERS) for folder in tier}


def may_include(folder, target):
    if folder == target:
        return True
    if folder in ONLY:
        return target in ONLY[folder]
    return TIER_OF[target] < TIER_OF[folder]


def why_not(folder, target):
    if folder in ONLY:
        return f"{folder} may include only {', '.join(sorted(ONLY[folder]))}"
    return f"{target} is not below {folder}"


def resolved(root, path, quote, header):
    """The file a quoted include finds next to the including file, relative to root and
    with "/" separators, or None."""
    if quote == '"':
        beside = os.path.normpath(os.path.join(os.path.dirname(path), header))
        if os.path.isfile(beside):
            rel = os.path.relpath(beside, root)
            if not rel.startswith(".."):
                return rel.replace(os.sep, "/")
    return None


def target_folder(found, header):
    """The layer folder an include names, or None for anything outside the layers."""
    first = (found or header).split("/")[0]
    return first if first in TIER_OF else None


def is_forbidden(found, header, bad_header):
    return header == bad_header or (found is not None and found.endswith("/include/" + bad_header))


def check(root, forbidden):
    problems = []
    for folder in sorted(os.listdir(root)):
        top = os.path.join(root, folder)
        if not os.path.isdir(top):
            continue
        if folder not in TIER_OF:
            problems.append(f"{folder}/: not in the layer order (add it to TIERS)")
            continue
        for dirpath, dirnames, filenames in os.walk(top):
            dirnames.sort()
            for name in sorted(filenames):
                if not name.endswith(SOURCE_ENDINGS):
                    continue
                path = os.path.join(dirpath, name)
                shown = os.path.relpath(path, root)
                with open(path, encoding="utf-8", errors="replace") as source:
                    for number, line in enumerate(source, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        quote, header = match.groups()
                        found = resolved(root, path, quote, header)
                        target = target_folder(found, header)
                        if target is not None and not may_include(folder, target):
                            problems.append(f"{shown}:{number}: {folder} includes \"{header}\""
                                            f" ({why_not(folder, target)})")
                        for bad_folder, bad_header, why in forbidden:
                            if folder == bad_folder and is_forbidden(found, header, bad_header):
                                problems.append(f"{shown}:{number}: {folder} includes"
                                                f" \"{header}\" ({why})")
    return problems


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("src", nargs="?", default=os.path.join(here, "..", "src"))
    parser.add_argument("--forbid", action="append", default=[], metavar="FOLDER=HEADER",
                        help="also refuse this include in this folder")
    args = parser.parse_args()
    forbidden = list(FORBIDDEN)
    for rule in args.forbid:
        folder, sep, header = rule.partition("=")
        if not sep or folder not in TIER_OF or not header:
            parser.error(f"--forbid takes FOLDER=HEADER with a layer folder, not {rule!r}")
        forbidden.append((folder, header, "forbidden on the command line"))
    root = os.path.normpath(args.src)
    if not os.path.isdir(root):
        parser.error(f"no folder {root}")
    problems = check(root, forbidden)
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} problem(s) with the layer order in {root}")
        return 1
    print(f"layer order kept in {root}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
