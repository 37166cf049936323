#!/usr/bin/env python3
"""Checks that no application target links or includes a target of a higher layer.

    .ci/check_layers.py [TARGETS.dot]

The layers are the folders under app/, in the order app/CMakeLists.txt adds them, and inside
a layer its parts in the order the layer's CMakeLists.txt adds them: lowest first. A target
may link and include targets of its own folder or of a lower one. Without a dot file the tree
is configured into a temporary folder (no tests, no benchmarks) with `cmake --graphviz`.
app/testsupport is built with the tests only and stands outside the layers.
"""
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
APP = os.path.join(ROOT, "app")


def added_folders(cmake_file, variable):
    text = open(cmake_file).read()
    found = re.search(r"foreach\(%s ([^)]*)\)" % variable, text)
    return found.group(1).split() if found else None


def folders_lowest_first():
    ranked = []
    for layer in added_folders(os.path.join(APP, "CMakeLists.txt"), "layer"):
        parts = added_folders(os.path.join(APP, layer, "CMakeLists.txt"), "part")
        ranked += [os.path.join(layer, part) for part in parts] if parts else [layer]
    return ranked


def targets_by_folder(folders):
    owner = {}
    for folder in folders:
        text = open(os.path.join(APP, folder, "CMakeLists.txt")).read()
        for name in re.findall(r"(?:add_library|add_executable|kv_add_app_tests)\((\w+)", text):
            owner[name] = folder
    return owner


def link_edges(dot):
    names = dict(re.findall(r'"(node\d+)" \[ label = "([^"]+)"', dot))
    return [(names[a], names[b]) for a, b in re.findall(r'"(node\d+)" -> "(node\d+)"', dot)]


def include_edges(folders):
    headers = {}
    for folder in folders:
        include = os.path.join(APP, folder, "include")
        for base, _, files in os.walk(include):
            for name in files:
                headers[os.path.relpath(os.path.join(base, name), include)] = folder
    for folder in folders:
        for base, _, files in os.walk(os.path.join(APP, folder)):
            for name in files:
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(base, name)
                for header in re.findall(r'#include\s+"([^"]+)"', open(path, errors="replace").read()):
                    if header in headers:
                        yield os.path.relpath(path, ROOT), folder, header, headers[header]


def main():
    if len(sys.argv) > 1:
        dot = open(sys.argv[1]).read()
    else:
        with tempfile.TemporaryDirectory() as build:
            subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DKV_TESTS=OFF", "-DKV_BENCH=OFF",
                            "--graphviz=" + os.path.join(build, "targets.dot")],
                           check=True, stdout=subprocess.DEVNULL)
            dot = open(os.path.join(build, "targets.dot")).read()
    folders = folders_lowest_first()
    rank = {folder: i for i, folder in enumerate(folders)}
    owner = targets_by_folder(folders)
    faults = []
    for user, used in link_edges(dot):
        if user in owner and used in owner and rank[owner[used]] > rank[owner[user]]:
            faults.append("%s (app/%s) links %s (app/%s)" % (user, owner[user], used, owner[used]))
    for path, folder, header, home in include_edges(folders):
        if rank[home] > rank[folder]:
            faults.append("%s includes %s (app/%s)" % (path, header, home))
    for fault in faults:
        print("higher layer: " + fault)
    print("layers: %d folders, %d targets, %d faults" % (len(folders), len(owner), len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
