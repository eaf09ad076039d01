#!/usr/bin/env python3
"""The shape of terminal/: no logic file includes a platform back-end, a
back-end includes nothing but the layer contracts and the pure decoders, and
no module includes another in a circle.  A module is a folder (transfer, script,
diag, headless) or, in core/, a file name without its platform or part
suffix (serial_posix.cpp and serial_system.h belong to serial)."""
import os
import re
import sys

root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '../../terminal'))
BACKEND = re.compile(r'(^|/)(posix|win32)/')
# What a back-end may include besides its own folder: the contracts it
# implements and the pure helpers it translates with.
BACKEND_MAY_INCLUDE = {'serial.h', 'serial_use.h', 'serial_system.h', 'console.h', 'keys.h', 'display.h',
                       'system.h', 'comdevice.h', 'transfer_file.h', 'keydecode.h', 'keyevent.h', 'dcbfields.h',
                       'charset.h', 'process.h', 'netport.h'}


def module(rel):
    parts = rel.split('/')
    if parts[0] != 'core':
        return parts[0]
    stem = os.path.splitext(parts[-1])[0]
    return re.sub(r'_(net_posix|posix|win32|speed_linux|zh|use|system)$', '', stem)


files = {}
for folder, _, names in os.walk(root):
    for name in names:
        if name.endswith(('.cpp', '.h')):
            path = os.path.join(folder, name)
            files[os.path.relpath(path, root).replace(os.sep, '/')] = path

faults = []
edges = {}
for rel, path in sorted(files.items()):
    for include in re.findall(r'^#include "([^"]+)"', open(path, errors='replace').read(), re.M):
        target = None
        for base in (os.path.dirname(rel), 'core', ''):
            candidate = os.path.normpath(os.path.join(base, include)).replace(os.sep, '/')
            if candidate in files:
                target = candidate
                break
        if target is None:
            continue
        if BACKEND.search(target) and not BACKEND.search(rel):
            faults.append(f'{rel} includes the back-end file {target}')
        if BACKEND.search(rel) and not BACKEND.search(target) and os.path.basename(target) not in BACKEND_MAY_INCLUDE:
            faults.append(f'the back-end {rel} includes {target}, which is logic')
        if module(rel) != module(target):
            edges.setdefault(module(rel), set()).add(module(target))


def circle_from(start):
    # Depth-first search for a path back to start.
    stack = [(start, [start])]
    seen = set()
    while stack:
        node, path = stack.pop()
        for nxt in sorted(edges.get(node, ())):
            if nxt == start:
                return path + [start]
            if nxt not in seen:
                seen.add(nxt)
                stack.append((nxt, path + [nxt]))
    return None


for mod in sorted(edges):
    circle = circle_from(mod)
    if circle:
        faults.append('modules include each other in a circle: ' + ' -> '.join(circle))
        break

for fault in faults:
    print(fault)
print(f'{len(files)} files, {len(edges)} modules with includes: ' + ('fault' if faults else 'fine'))
sys.exit(1 if faults else 0)
