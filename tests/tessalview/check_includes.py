#!/usr/bin/env python3
"""Holds the kiosk's folders to their layering.

Each folder under src/tessalview names, on the "# Uses:" line of its
CMakeLists.txt, the other folders its files may include. This check fails on
- an include that runs back up: a file including a file of a folder that its
  own folder does not name on its "Uses:" line;
- a circle among the folders (in the "Uses:" lines or in the includes);
- a circle among the files, a header and its .cpp counted as one unit
  (settings.cpp including helpers.h while helpers.cpp includes settings.h).
Files right under src/tessalview (main.cpp) are the program itself and may
include any folder. Includes that name no file of the kiosk (Qt, libtup,
generated forms) are not the kiosk's business here.

Usage: check_includes.py SRC_TESSALVIEW_DIR
"""

import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
USES = re.compile(r'^#\s*Uses:\s*(.*)$', re.M)
SOURCE_SUFFIXES = ('.h', '.cpp')
PROGRAM = '.'  # files right under the kiosk's folder


def read_uses(root, folder):
    path = os.path.join(root, folder, 'CMakeLists.txt')
    try:
        text = open(path, encoding='utf-8').read()
    except OSError:
        return None
    m = USES.search(text)
    if m is None:
        return None
    words = m.group(1).split()
    return set() if words in ([], ['(none)']) else set(words)


def find_cycles(graph):
    """Strongly connected components with more than one node (Tarjan)."""
    index, low, stack, on_stack, result = {}, {}, [], set(), []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                result.append(sorted(component))

    sys.setrecursionlimit(10000)
    for v in sorted(graph):
        if v not in index:
            visit(v)
    return result


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[-1])
        return 2
    root = os.path.abspath(sys.argv[1])
    files = []
    for dirpath, _, names in os.walk(root):
        for name in names:
            if name.endswith(SOURCE_SUFFIXES):
                files.append(os.path.relpath(os.path.join(dirpath, name), root))
    files.sort()
    by_name = {}
    for f in files:
        by_name.setdefault(os.path.basename(f), []).append(f)

    def folder_of(f):
        parts = f.split(os.sep)
        return PROGRAM if len(parts) == 1 else parts[0]

    folders = sorted({folder_of(f) for f in files} - {PROGRAM})
    errors = []
    uses = {}
    for folder in folders:
        declared = read_uses(root, folder)
        if declared is None:
            errors.append(f'{folder}/CMakeLists.txt: no "# Uses:" line')
            declared = set()
        unknown = declared - set(folders)
        if unknown:
            errors.append(f'{folder}/CMakeLists.txt: "Uses:" names no folder: '
                          + ' '.join(sorted(unknown)))
        uses[folder] = declared & set(folders)

    def resolve(including, name):
        here = os.path.normpath(os.path.join(os.path.dirname(including), name))
        if here in by_name.get(os.path.basename(name), []):
            return here
        candidates = by_name.get(os.path.basename(name), [])
        if len(candidates) > 1:
            # The one nearest the including file: same folder first.
            same = [c for c in candidates if folder_of(c) == folder_of(including)]
            candidates = same or candidates
        if len(candidates) > 1:
            errors.append(f'{including}: "{name}" names several files: '
                          + ', '.join(candidates))
            return None
        return candidates[0] if candidates else None

    unit_graph = {}
    folder_graph = {f: set() for f in folders}
    checked = 0
    for f in files:
        text = open(os.path.join(root, f), encoding='utf-8', errors='replace').read()
        unit = os.path.splitext(f)[0]
        unit_graph.setdefault(unit, set())
        for line_no, name in ((text.count('\n', 0, m.start()) + 1, m.group(1))
                              for m in INCLUDE.finditer(text)):
            target = resolve(f, name)
            if target is None:
                continue
            checked += 1
            target_unit = os.path.splitext(target)[0]
            if target_unit != unit:
                unit_graph[unit].add(target_unit)
            src, dst = folder_of(f), folder_of(target)
            if src == dst or src == PROGRAM:
                continue
            if dst == PROGRAM:
                errors.append(f'{f}:{line_no}: includes "{name}" of the program itself '
                              '(main.cpp\'s level): runs back up')
                continue
            folder_graph[src].add(dst)
            if dst not in uses.get(src, set()):
                errors.append(f'{f}:{line_no}: includes "{name}" from {dst}/, which {src}/ '
                              f'may not use (Uses: {" ".join(sorted(uses[src])) or "(none)"})'
                              ': runs back up')

    for cycle in find_cycles(uses):
        errors.append('circle among the folders\' "Uses:" lines: ' + ' -> '.join(cycle))
    for cycle in find_cycles(folder_graph):
        errors.append('circle among the folders\' includes: ' + ' -> '.join(cycle))
    for cycle in find_cycles(unit_graph):
        errors.append('include circle among files: ' + ' <-> '.join(cycle))

    print(f'{len(files)} files, {checked} includes of the kiosk\'s own files, '
          f'{len(folders)} folders')
    for folder in folders:
        print(f'  {folder}/ uses: {" ".join(sorted(uses[folder])) or "(none)"}')
    if errors:
        for e in errors:
            print('FAIL ' + e)
        return 1
    print('OK: no include runs back up, no circle')
    return 0


if __name__ == '__main__':
    sys.exit(main())
