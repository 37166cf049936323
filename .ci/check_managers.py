#!/usr/bin/env python3
"""Checks that the application makes every manager of the image library through its one
reading manager, which cannot be made without a budget.

    .ci/check_managers.py [ROOT]

A manager is made from VEK_ManagerImpl (VEK_DefaultManager is one) or from a class that
derives from VEK_Manager. Outside the reading manager's own files, no source of app/ (tests
and test support aside) may name either, nor the memory managers a manager is built on: code
takes a manager as VEK_Manager or XEVReadManager and makes one only as XEVReadManager, whose
constructor takes the read's budget.
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
    r"|:\s*(?:public|protected|private)?\s*VEK_Manager\b(?!\s*[*&])"
)
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
