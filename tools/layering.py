#!/usr/bin/env python3
"""The folder graph of the program and its floors.

Reads the declared order of the folders (docs/floors.txt, lowest floor
first) and derives the graph twice: from the #include lines of every
source file, and from the symbols each object file of the build takes
from the others (nm). An edge from a folder to a higher floor is a
violation. Violations listed in tools/layering_known.txt (the ones the
tree still has, as "FROM -> TO" lines) are reported as known; any other
one fails the check, naming the file and the header or symbol.

  tools/layering.py [BUILD_DIR]    (default build-test)
"""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def floors():
    order = []
    with open(os.path.join(ROOT, "docs", "floors.txt")) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                order.append(line)
    return {name: i for i, name in enumerate(order)}


def known():
    allowed = set()
    path = os.path.join(ROOT, "tools", "layering_known.txt")
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                line = line.split("#", 1)[0].strip()
                m = re.match(r"^(\w+)\s*->\s*(\w+)$", line)
                if m:
                    allowed.add((m.group(1), m.group(2)))
    return allowed


def include_edges(rank):
    edges = {}
    inc = re.compile(r'^\s*#\s*include\s+"(\w+)/[^"]+"')
    for folder in rank:
        d = os.path.join(ROOT, folder)
        if not os.path.isdir(d):
            continue
        for name in sorted(os.listdir(d)):
            if not name.endswith((".cpp", ".h")):
                continue
            with open(os.path.join(d, name), errors="replace") as f:
                for line in f:
                    m = inc.match(line)
                    # The per-subsystem field records the shared record is
                    # built from are data, not calls: they may stay below.
                    if m and line.split('"')[1].endswith("_fields.h"):
                        continue
                    if m and m.group(1) in rank and m.group(1) != folder:
                        edges.setdefault((folder, m.group(1)), []).append(
                            "%s/%s includes %s" % (folder, name, line.split('"')[1]))
    return edges


def nm(path, *flags):
    out = subprocess.run(["nm", "-C", *flags, path], capture_output=True, text=True, check=True).stdout
    return out.splitlines()


def symbol_edges(rank, build):
    # One library per folder: its objects are in CMakeFiles/zel_FOLDER.dir/
    # (the platform layer's in three libraries).
    objects = {}
    cmake_files = os.path.join(build, "CMakeFiles")
    libdirs = os.listdir(cmake_files) if os.path.isdir(cmake_files) else []
    for folder in rank:
        for lib in libdirs:
            if lib != "zel_%s.dir" % folder and not lib.startswith("zel_%s_" % folder):
                continue
            d = os.path.join(cmake_files, lib, folder)
            if os.path.isdir(d):
                objects.setdefault(folder, []).extend(
                    sorted(os.path.join(d, n) for n in os.listdir(d) if n.endswith(".o")))
    owner = {}
    for folder, objs in objects.items():
        for o in objs:
            for line in nm(o, "--defined-only"):
                parts = line.split(" ", 2)
                if len(parts) == 3 and parts[1] in "TDBRVWu":
                    owner.setdefault(parts[2], folder)
    edges = {}
    for folder, objs in objects.items():
        for o in objs:
            for line in nm(o, "--undefined-only"):
                sym = line.strip()[2:].strip() if line.strip().startswith("U ") else None
                if sym is None:
                    continue
                to = owner.get(sym)
                if to is not None and to != folder:
                    edges.setdefault((folder, to), []).append(
                        "%s/%s takes %s" % (folder, os.path.basename(o)[:-2], sym))
    return edges


def cycles(nodes, edges):
    """Strongly connected sets of more than one folder (Tarjan)."""
    index, low, stack, on, out = {}, {}, [], set(), []
    counter = [0]
    succ = {n: sorted({b for (a, b) in edges if a == n}) for n in nodes}

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in succ[v]:
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            comp = []
            while True:
                w = stack.pop()
                on.discard(w)
                comp.append(w)
                if w == v:
                    break
            if len(comp) > 1:
                out.append(sorted(comp))

    for n in nodes:
        if n not in index:
            visit(n)
    return out


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build-test")
    rank = floors()
    allowed = known()
    graphs = [("includes", include_edges(rank))]
    if os.path.isdir(os.path.join(build, "CMakeFiles", "zel_core.dir")):
        graphs.append(("symbols", symbol_edges(rank, build)))
    else:
        print("layering: no objects in %s, symbols not checked" % build)
    failed = False
    for kind, edges in graphs:
        up = sorted(e for e in edges if rank[e[1]] > rank[e[0]])
        knots = cycles(list(rank), edges)
        print("layering: %s: %d edges, %d against the floors (%d known), %d circle%s%s" % (
            kind, len(edges), len(up), len([e for e in up if e in allowed]), len(knots),
            "" if len(knots) == 1 else "s", "".join(" [" + " ".join(k) + "]" for k in knots)))
        for e in up:
            if e in allowed:
                continue
            failed = True
            print("layering: %s -> %s goes up a floor:" % e)
            for why in edges[e][:5]:
                print("    " + why)
    # The simulated peers speak the wire formats themselves: they may use
    # the platform layer and nothing of the program's own.
    inc = re.compile(r'^\s*#\s*include\s+"(\w+)/[^"]+"')
    simdir = os.path.join(ROOT, "sim")
    for name in sorted(os.listdir(simdir)) if os.path.isdir(simdir) else []:
        if not name.endswith((".cpp", ".h")):
            continue
        with open(os.path.join(simdir, name), errors="replace") as f:
            for line in f:
                m = inc.match(line)
                if m and m.group(1) not in ("sim", "platform"):
                    failed = True
                    print("layering: sim/%s includes %s: the simulator uses the platform layer only" % (
                        name, line.split('"')[1]))
    stale = sorted(e for e in allowed if not any(e in edges for _, edges in graphs))
    for e in stale:
        print("layering: %s -> %s is listed as known but gone: take it out of tools/layering_known.txt" % e)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
