#!/bin/bash
# The library reads bottom-up: no module of lib/, sdk/ (the flash layer in
# sdk/flash/ included) calls into a module that calls back into it, however
# long the way round. The calls are taken from the built objects (what each
# one needs and what each one defines), so a declaration carried by a header
# for a module above does not count. A cycle fails the test with the modules
# on it and the symbols that close each of its calls.
set -u
src="$1"; build="$2"
objs="$build/CMakeFiles/qavosdk_objects.dir"
rewrite="$build/CMakeFiles/qavosdk_rewrite.dir"
[ -d "$objs/lib" ] && [ -d "$objs/sdk" ] || { echo "FAIL: no library objects in $objs"; exit 1; }
python3 - "$src" "$objs" "$rewrite" <<'PY'
import os, subprocess, sys

# The configuration backup is one module written in several files: its
# section table names each section's export and import, and each section
# writes its header (whose version the table holds) through it.
PARTS = {'sdk/system/cfgbackup_': 'sdk/system/cfgbackup'}

def module(rel):
    for prefix, mod in PARTS.items():
        if rel.startswith(prefix):
            return mod
    return rel

# Objects whose source has left the tree (a build kept from before a move)
# are not part of the library.
files = []
for root in sys.argv[2:]:
    for d, _, names in os.walk(root):
        for f in names:
            if f.endswith('.cpp.o'):
                path = os.path.join(d, f)
                rel = os.path.relpath(path, root)[:-len('.o')]
                if os.path.isfile(os.path.join(sys.argv[1], rel)):
                    files.append((module(rel[:-len('.cpp')]), path))
defs, needs = {}, {}
for mod, path in sorted(files):
    out = subprocess.run(['nm', '-P', path], capture_output=True, text=True, check=True).stdout
    needs.setdefault(mod, set())
    for line in out.splitlines():
        w = line.split()
        if len(w) < 2:
            continue
        if w[1] == 'U':
            needs[mod].add(w[0])
        elif w[1] in 'TDBR':  # strong definitions only: inline code is everyone's
            defs.setdefault(w[0], mod)
graph = {m: sorted({defs[s] for s in n if s in defs and defs[s] != m}) for m, n in needs.items()}
if not any(m.startswith('sdk/flash/') for m in graph):
    print('FAIL: no flash layer among the library objects')
    sys.exit(1)
# Every cycle shows as a strongly connected component of more than one module.
sys.setrecursionlimit(10000)
index, low, stack, on, comps, n = {}, {}, [], set(), [], [0]
def visit(v):
    index[v] = low[v] = n[0]; n[0] += 1
    stack.append(v); on.add(v)
    for w in graph[v]:
        if w not in index:
            visit(w); low[v] = min(low[v], low[w])
        elif w in on:
            low[v] = min(low[v], index[w])
    if low[v] == index[v]:
        comp = []
        while True:
            w = stack.pop(); on.discard(w); comp.append(w)
            if w == v: break
        if len(comp) > 1:
            comps.append(sorted(comp))
for v in sorted(graph):
    if v not in index:
        visit(v)
for c in comps:
    print('FAIL: modules calling each other: ' + ' '.join(c))
    for a in c:
        for b in graph[a]:
            if b in c:
                syms = sorted(s for s in needs[a] if defs.get(s) == b)
                names = subprocess.run(['c++filt'], input='\n'.join(syms), capture_output=True,
                                       text=True).stdout.split('\n')
                print('   %s -> %s: %s' % (a, b, ', '.join(x for x in names if x)))
if comps:
    sys.exit(1)
print('library layers: ok (%d modules)' % len(graph))
PY
