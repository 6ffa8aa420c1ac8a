#!/bin/bash
# lib/ reads bottom-up: no module of the foundation library calls into a
# module that calls back into it. The calls are taken from the built objects
# (what each one needs and what each one defines), so a declaration carried
# by a header for a module above does not count.
set -u
src="$1"; build="$2"
objs="$build/CMakeFiles/qavosdk_objects.dir/lib"
rewrite="$build/CMakeFiles/qavosdk_rewrite.dir/lib"
[ -d "$objs" ] || { echo "FAIL: no library objects in $objs"; exit 1; }
python3 - "$objs" "$rewrite" <<'PY'
import os, subprocess, sys
files = sorted((f, os.path.join(d, f)) for d in sys.argv[1:] if os.path.isdir(d)
               for f in os.listdir(d))
defs, needs = {}, {}
for f, path in files:
    if not f.endswith('.cpp.o'):
        continue
    mod = f[:-len('.cpp.o')]
    out = subprocess.run(['nm', '-P', path], capture_output=True, text=True, check=True).stdout
    needs[mod] = set()
    for line in out.splitlines():
        w = line.split()
        if len(w) < 2:
            continue
        if w[1] == 'U':
            needs[mod].add(w[0])
        elif w[1] in 'TDBR':  # strong definitions only: inline code is everyone's
            defs.setdefault(w[0], mod)
graph = {m: sorted({defs[s] for s in n if s in defs and defs[s] != m}) for m, n in needs.items()}
# Every cycle shows as a strongly connected component of more than one module.
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
    edges = ['%s -> %s' % (a, b) for a in c for b in graph[a] if b in c]
    print('FAIL: modules calling each other: ' + ', '.join(edges))
if comps:
    sys.exit(1)
print('lib layers: ok (%d modules)' % len(graph))
PY
