#!/usr/bin/env python3
"""Checks that the application makes every manager of the image library through its one
reading manager, which cannot be made without a budget nor have it lifted.

    .ci/check_managers.py [ROOT]

A manager is made from VEK_ManagerImpl (VEK_DefaultManager is one) or from a class that
derives from VEK_Manager. Outside the reading manager's own files, no source of app/ (tests
and test support aside) may name either, nor the memory managers a manager is built on, nor
the reading manager's base or its ceiling's setter: code takes a manager as VEK_Manager or
XEVReadManager and makes one only as XEVReadManager, whose constructor takes the read's
budget. The reading manager itself must stay final, its base private to it, and bound for
good in its constructor: the compiler then refuses a class derived from it or a route
through its base by name, and the base refuses a budget past the ceiling by any other route
(tests/check_managers_test.py plants each case).
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
    r"|:\s*(?:public|protected|private)?\s*(?:virtual\s+)?(?:VEK_Manager|XEVReadManager)\b(?!\s*[*&:])"
    r"|\bXEVReadManager\s*::\s*Base\b|\bbound_for_good\b"
)
# What the reading manager's own header must say for the compiler to keep the rest.
OWN_HEADER = os.path.join("study", "model", "include", "study", "xevreadmanager.h")
HEADER_RULES = [
    (re.compile(r"class\s+XEVReadManager\s+final\b"), "XEVReadManager is final"),
    (re.compile(r"class\s+XEVReadManager\s+final\s*:\s*public\s+VEK_ManagerImpl<[^{]*\{\s*using\s+Base\s*="),
     "its base's alias is private"),
    (re.compile(r"bound_for_good\s*\(\s*kXEVReadBudgetCeiling\s*\)"), "its constructor bounds it for good"),
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
    for path in sorted(sources()):
        text = open(os.path.join(APP, path), encoding="utf-8", errors="replace").read()
        code = STRING.sub(blank, COMMENT.sub(blank, text))
        for match in NAMES.finditer(code):
            line = code.count("\n", 0, match.start()) + 1
            found.append("app/%s:%d: %s" % (path, line, match.group(0).strip()))
    if found:
        print("Managers made outside XEVReadManager (study/xevreadmanager.h), which takes the read's budget:")
        print("\n".join(found))
        return 1
    print("managers: every manager of app/ is an XEVReadManager")
    return 0


if __name__ == "__main__":
    sys.exit(main())
