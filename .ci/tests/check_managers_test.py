#!/usr/bin/env python3
"""Plants each way of making or unbounding a manager outside the reading manager and expects
.ci/check_managers.py, or the compiler, to refuse it; the tree as it stands, and a clean plant,
pass. The routes the compiler lets through (a budget of 0 or past the ceiling, through the
manager or its base reached by template deduction, and that base made fresh) are refused at run
time, which app/study/model/tests/readbudget_test.cpp asserts.

    .ci/tests/check_managers_test.py ROOT [C++ COMPILER]
"""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(sys.argv[1])
CXX = sys.argv[2] if len(sys.argv) > 2 else shutil.which("g++")
CHECK = os.path.join(ROOT, ".ci", "check_managers.py")
HEADER = os.path.join("app", "study", "model", "include", "study", "xevreadmanager.h")

# Sources of app/ the name check must refuse.
PLANTED = {
    "an alias of the library's manager":
        "using Unbounded = VEK_ManagerImpl<A, B, C>;\n",
    "a manager of its own":
        "class Mine : public VEK_Manager {};\n",
    "a class derived from the reading manager":
        "class Wider final : public XEVReadManager { using XEVReadManager::XEVReadManager; };\n",
    "the reading manager's base by name":
        "void Lift(XEVReadManager& m) { static_cast<XEVReadManager::Base&>(m).set_budget(0); }\n",
    "the ceiling lifted":
        "void Lift(XEVReadManager& m) { m.bound_for_good(~0ull); }\n",
    "its base made fresh through template deduction":
        "template <template <class...> class Manager, class... Parts>\n"
        "void* Fresh(Manager<Parts...>&) { Manager<Parts...> fresh; return fresh.allocate(512u << 20); }\n",
    "its base reached through a member's pointer":
        "template <class C, class R, class... A> C Owner(R (C::*)(A...));\n"
        "using Unbounded = decltype(Owner(&XEVReadManager::set_budget));\n",
    "the memory under it, past its meter":
        "void* Take(XEVReadManager& m) { return m.memory_manager().allocate(512u << 20); }\n",
    "the library's manager as a second base":
        "class Mine : public QObject, public VEK_Manager {};\n",
    "the library's manager as a base through a using alias":
        "using Plain = VEK_Manager;\nusing Plainer = Plain;\nclass Mine final : private Plainer {};\n",
    "the library's manager as a base through a typedef":
        "typedef VEK_Manager Plain;\nstruct Mine : virtual public Plain {};\n",
}
CLEAN = ("void Take(VEK_Manager* m);\nvoid Make() { XEVReadManager m(1 << 20); Take(&m); }\n"
         "using Reader = XEVReadManager;\nclass Holder : public QObject { Reader* m; };\n"
         "enum class Kind : int { A };\nstruct Pair : std::pair<int, VEK_Manager*> {};\n")
# Edits of the reading manager's header the check must refuse.
HEADER_EDITS = {
    "not final": ("class XEVReadManager final", "class XEVReadManager"),
    "its base named in public": ("    using Base = VEK_ManagerImpl", "public:\n    using Base = VEK_ManagerImpl"),
    "not bound for good": ("bound_for_good(kXEVReadBudgetCeiling);", ""),
    "with its memory open from the start": ("bool open_ = false;", "bool open_ = true;"),
    "with its memory never opened": ("memory_manager().open_ = true;", ""),
}
# Snippets the compiler must refuse against the real header; CLEAN_CODE must compile.
REFUSED_CODE = {
    "a class derived from it": "class Wider : public XEVReadManager { using XEVReadManager::XEVReadManager; };",
    "its base by name": "void Lift(XEVReadManager& m) { static_cast<XEVReadManager::Base&>(m).set_budget(0); }",
    "its base's member by name": "void Lift(XEVReadManager& m) { m.Base::set_budget(0); }",
}
CLEAN_CODE = "void Make() { XEVReadManager m(1 << 20); VEK_Manager* v = &m; (void)v; }"


def tree(source=None, header_edit=None):
    root = tempfile.mkdtemp(prefix="check-managers-")
    target = os.path.join(root, HEADER)
    os.makedirs(os.path.dirname(target))
    text = open(os.path.join(ROOT, HEADER), encoding="utf-8").read()
    if header_edit is not None:
        old, new = header_edit
        assert old in text, old
        text = text.replace(old, new, 1)
    open(target, "w", encoding="utf-8").write(text)
    if source is not None:
        folder = os.path.join(root, "app", "viewer", "planted", "source")
        os.makedirs(folder)
        open(os.path.join(folder, "planted.cpp"), "w", encoding="utf-8").write(source)
    return root


def check(root):
    return subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True).returncode


def compiles(code):
    with tempfile.NamedTemporaryFile("w", suffix=".cpp", delete=False) as f:
        f.write('#include "study/xevreadmanager.h"\n' + code + "\n")
        path = f.name
    try:
        return subprocess.run([CXX, "-std=c++20", "-fsyntax-only", "-I", os.path.join(ROOT, "app/study/model/include"),
                               "-I", os.path.join(ROOT, "vek/framework/include"), path],
                              capture_output=True).returncode == 0
    finally:
        os.unlink(path)


def main():
    failures = []
    if check(ROOT) != 0:
        failures.append("the tree itself fails the check")
    roots = []
    try:
        clean = tree(CLEAN)
        roots.append(clean)
        if check(clean) != 0:
            failures.append("a clean plant fails the check")
        for name, source in PLANTED.items():
            roots.append(tree(source))
            if check(roots[-1]) == 0:
                failures.append("passes the check: " + name)
        for name, edit in HEADER_EDITS.items():
            roots.append(tree(None, edit))
            if check(roots[-1]) == 0:
                failures.append("passes the check: the reading manager " + name)
    finally:
        for root in roots:
            shutil.rmtree(root, ignore_errors=True)
    if CXX:
        if not compiles(CLEAN_CODE):
            failures.append("the reading manager does not compile as used")
        for name, code in REFUSED_CODE.items():
            if compiles(code):
                failures.append("compiles: " + name)
    print("\n".join(failures) if failures else "check_managers: every planted case refused")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
