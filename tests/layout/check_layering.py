#!/usr/bin/env python3
"""The source tree's dependencies run one way.

Fails, naming each offending include, when
- an engine stage includes a later one (count <- rank <- search <- significance:
  a stage may use the stages before it, never those after it) or the engine's
  own files (src/engine/*.cpp, which run every stage);
- the engine, the core, the readers and writers, the MPI search or the Python
  module include anything from app/ (the program's driver and options);
- the core or io include the engine;
- only the Python module includes python/, only the MPI program and its entry
  point include mpi/;
- files of one folder form a circle: a unit (a header with its sources of the
  same name) includes, through any chain, a unit that includes it back.
  A circle through several folders needs an include the rules above refuse,
  so it is reported as that include.
Includes that still break these rules are listed in known_breaks.txt beside
this script, one problem line each; a listed line that no longer occurs fails
too, so the list only shrinks. A listed circle also covers a larger circle
that holds all its units (a new file joining a known circle), never a
separate one.
"""
import os
import re
import sys

STAGES = ["count", "rank", "search", "significance"]
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def folder_of(path):
    parts = path.split("/")
    if parts[0] == "engine" and len(parts) > 2:
        return "engine/" + parts[1]
    return parts[0]


def unit_of(path):
    return os.path.splitext(path)[0]


def allowed(source, target):
    """Why the include from folder `source` of folder `target` is refused, or None."""
    if source == target:
        return None
    if target == "app" and source != "app":
        return "only the program (app/) may include app/"
    if target == "python":
        return "only the Python module includes python/"
    if target == "mpi" and source != "app":
        return "only the MPI program includes mpi/"
    if source.startswith("engine/") and target == "engine":
        return "the engine's own files come after every stage"
    if source.startswith("engine/") and target.startswith("engine/"):
        s, t = STAGES.index(source[7:]), STAGES.index(target[7:])
        if t > s:
            return "the %s stage comes before %s" % (source[7:], target[7:])
    if source in ("core", "io") and target.startswith("engine"):
        return "%s/ comes before the engine" % source
    if source == "core" and target != "core":
        return "the core includes only itself"
    return None


def main(root):
    src = os.path.join(root, "src")
    files = []
    for folder, _, names in os.walk(src):
        for name in names:
            if name.endswith((".h", ".cpp")):
                files.append(os.path.relpath(os.path.join(folder, name), src))
    known = set(files)
    core_names = {os.path.basename(f): f for f in files if f.startswith("core/")}
    problems = []
    edges = {}
    for path in sorted(files):
        with open(os.path.join(src, path), encoding="utf-8") as handle:
            text = handle.read()
        for included in INCLUDE.findall(text):
            target = included if included in known else core_names.get(included)
            if target is None:
                continue  # a header of a dependency or of the tests
            reason = allowed(folder_of(path), folder_of(target))
            if reason:
                problems.append("src/%s includes \"%s\": %s" % (path, included, reason))
            if unit_of(path) != unit_of(target) and folder_of(path) == folder_of(target):
                edges.setdefault(unit_of(path), set()).add(unit_of(target))
    problems += circles(edges)
    known = known_breaks(os.path.join(os.path.dirname(os.path.abspath(__file__)), "known_breaks.txt"))
    new = [p for p in problems if not any(covers(k, p) for k in known)]
    gone = [k for k in known if not any(covers(k, p) for p in problems)]
    for problem in new:
        print(problem)
    for problem in gone:
        print("listed in known_breaks.txt but no longer true (remove it): " + problem)
    if new or gone:
        return 1
    print("%d files: every include runs one way but the %d listed breaks" % (len(files), len(known)))
    return 0


CIRCLE = "a circle of includes: "


def covers(listed, found):
    if listed.startswith(CIRCLE) and found.startswith(CIRCLE):
        return set(listed[len(CIRCLE):].split(" -> ")) <= set(found[len(CIRCLE):].split(" -> "))
    return listed == found


def known_breaks(path):
    with open(path, encoding="utf-8") as handle:
        return [line.rstrip("\n") for line in handle if line.strip() and not line.startswith("#")]


def circles(edges):
    """Each strongly connected group of more than one unit, as one line."""
    index, low, on_stack, stack, found = {}, {}, set(), [], []
    counter = [0]

    def visit(unit):
        index[unit] = low[unit] = counter[0]
        counter[0] += 1
        stack.append(unit)
        on_stack.add(unit)
        for other in sorted(edges.get(unit, ())):
            if other not in index:
                visit(other)
                low[unit] = min(low[unit], low[other])
            elif other in on_stack:
                low[unit] = min(low[unit], index[other])
        if low[unit] == index[unit]:
            group = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.append(member)
                if member == unit:
                    break
            if len(group) > 1:
                found.append("a circle of includes: " + " -> ".join(sorted(group)))

    sys.setrecursionlimit(10000)
    for unit in sorted(edges):
        if unit not in index:
            visit(unit)
    return found


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")))
