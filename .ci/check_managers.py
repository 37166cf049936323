#!/usr/bin/env python3
"""Checks that the application makes every manager of the image library through its one
reading manager, which cannot be made without a budget nor have it lifted.

    .ci/check_managers.py [ROOT]

A manager is made from VEK_ManagerImpl (VEK_DefaultManager is one) or from a class that
derives from VEK_Manager. Outside the reading manager's own files, no source of app/ (tests
and test support aside) may name either, nor derive from VEK_Manager or XEVReadManager as any
of its bases, by name or through an alias (using, typedef), nor name the memory managers a
manager is built on, the memory under a manager (memory_manager), the reading manager's base,
its members' pointers (their type names the base) or its ceiling's setter, nor take a template
template parameter (template deduction reaches the base unnamed and makes it fresh): code takes
a manager as VEK_Manager or XEVReadManager and makes one only as XEVReadManager, whose
constructor takes the read's budget. The reading manager itself must stay final, its base
private to it, bound for good in its constructor, and its memory closed until that constructor
opens it: the compiler then refuses a class derived from it or a route through its base by
name, the base refuses a budget past the ceiling by any other route, and a base made fresh by a
route this check does not see refuses every allocation (tests/check_managers_test.py plants
each case).
"""
import os
import re
import sys

ROOT = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
APP = os.path.join(ROOT, "app")
OWN = {
    os.path.join("study", "model", "include", "study", "xevreadmanager.h"),
    os.path.join("study", "model", "source", "xevreadmanager.cpp"),
}
NAMES = re.compile(
    r"\b(VEK_DefaultManager|VEK_ManagerImpl|XEVVekManager|VEK_MallocMemoryManager|XEVVekMemoryManager)\b"
    r"|\bXEVReadManager\s*::\s*Base\b|\bbound_for_good\b|\bmemory_manager\s*\("
    r"|&\s*(?:::\s*)?XEVReadManager\s*::"
    r"|\btemplate\s*<\s*template\b"
)
# The classes no class of app/ may derive from, and the aliases that name them.
MANAGERS = {"VEK_Manager", "XEVReadManager"}
ALIAS = re.compile(r"\busing\s+(\w+)\s*=\s*(?:typename\s+)?((?:::\s*)?\w+(?:\s*::\s*\w+)*)\s*;"
                   r"|\btypedef\s+((?:::\s*)?\w+(?:\s*::\s*\w+)*)\s+(\w+)\s*;")
# A class's head with its bases, up to its body.
CLASS_HEAD = re.compile(r"\b(?:class|struct)\s+(?:alignas\s*\([^)]*\)\s*)?\w+(?:\s+final)?\s*:(?!:)([^;{}]*)\{")
# What the reading manager's own header must say for the compiler to keep the rest.
OWN_HEADER = os.path.join("study", "model", "include", "study", "xevreadmanager.h")
HEADER_RULES = [
    (re.compile(r"class\s+XEVReadManager\s+final\b"), "XEVReadManager is final"),
    (re.compile(r"class\s+XEVReadManager\s+final\s*:\s*public\s+VEK_ManagerImpl<[^{]*\{\s*using\s+Base\s*="),
     "its base's alias is private"),
    (re.compile(r"bound_for_good\s*\(\s*kXEVReadBudgetCeiling\s*\)"), "its constructor bounds it for good"),
    (re.compile(r"class\s+XEVVekMemoryManager\b[^{]*\{[^}]*\bprivate:[^}]*\bbool\s+open_\s*=\s*false\s*;"),
     "its memory is closed until opened"),
    (re.compile(r"memory_manager\s*\(\s*\)\s*\.\s*open_\s*=\s*true\s*;"), "its constructor opens its memory"),
]
COMMENT = re.compile(r"//[^\n]*|/\*.*?\*/", re.S)
STRING = re.compile(r'"(?:\\.|[^"\\\n])*"')


def sources():
    for base, dirs, files in os.walk(APP):
        rel = os.path.relpath(base, APP)
        parts = rel.split(os.sep)
        if "tests" in parts or "testsupport" in parts or "fuzz" in parts:
            dirs[:] = []
            continue
        for name in files:
            if name.endswith((".h", ".hpp", ".cpp", ".cc", ".inc")):
                path = os.path.normpath(os.path.join(rel, name))
                if path not in OWN:
                    yield path


def blank(match):
    # Keeps the line count, so that a finding names its line.
    return re.sub(r"[^\n]", " ", match.group(0))


def bases(base_list):
    """The names of a class's bases, each without its access, virtual, qualifier or arguments."""
    names, depth, start = [], 0, 0
    for i, c in enumerate(base_list + ","):
        if c in "<(":
            depth += 1
        elif c in ">)":
            depth -= 1
        elif c == "," and depth == 0:
            base = re.sub(r"\b(?:public|protected|private|virtual)\b", " ", base_list[start:i])
            base = base.split("<")[0].strip()
            names.append(re.split(r"\s*::\s*", base)[-1] if base else base)
            start = i + 1
    return names


def manager_names(texts):
    """VEK_Manager, XEVReadManager and every alias of app/ that names either, through others too."""
    aliases = {}
    for code in texts:
        for match in ALIAS.finditer(code):
            name, target = (match.group(1), match.group(2)) if match.group(1) else (match.group(4), match.group(3))
            aliases[name] = re.split(r"\s*::\s*", target.strip())[-1]
    names = set(MANAGERS)
    grown = True
    while grown:
        more = {name for name, target in aliases.items() if target in names} - names
        names |= more
        grown = bool(more)
    return names


def main():
    found = []
    header = os.path.join(APP, OWN_HEADER)
    if os.path.exists(header):
        text = open(header, encoding="utf-8", errors="replace").read()
        code = STRING.sub(blank, COMMENT.sub(blank, text))
        for rule, says in HEADER_RULES:
            if not rule.search(code):
                found.append("app/%s: no longer holds: %s" % (OWN_HEADER, says))
    else:
        found.append("app/%s: missing" % OWN_HEADER)
    codes = {}
    for path in sorted(sources()):
        text = open(os.path.join(APP, path), encoding="utf-8", errors="replace").read()
        codes[path] = STRING.sub(blank, COMMENT.sub(blank, text))
    managers = manager_names(codes.values())
    for path, code in codes.items():
        for match in NAMES.finditer(code):
            line = code.count("\n", 0, match.start()) + 1
            found.append("app/%s:%d: %s" % (path, line, " ".join(match.group(0).split())))
        for match in CLASS_HEAD.finditer(code):
            for base in bases(match.group(1)):
                if base in managers:
                    line = code.count("\n", 0, match.start()) + 1
                    found.append("app/%s:%d: derives from %s" % (path, line, base))
    if found:
        print("Managers made outside XEVReadManager (study/xevreadmanager.h), which takes the read's budget:")
        print("\n".join(found))
        return 1
    print("managers: every manager of app/ is an XEVReadManager")
    return 0


if __name__ == "__main__":
    sys.exit(main())
