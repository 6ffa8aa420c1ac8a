#!/usr/bin/env python3
"""A plain reader of an event-log ring file: prints the export lines of its
records, oldest first, with the texts of the events file of a language.

    logexport.py LOGFILE [LANG] [OUTFILE]

Strings are handled as bytes (latin-1), so the output matches byte for byte.
"""
import struct
import sys
import time


def read_texts(path):
    sections, cur = {}, None
    try:
        data = open(path, 'rb').read().decode('latin-1')
    except OSError:
        return sections
    for line in data.split('\n'):
        if line.startswith('['):
            cur = sections.setdefault(line.strip()[1:-1], {})
            continue
        if cur is None or not line or line[0] in '#;' or '=' not in line:
            continue
        k, v = line.split('=', 1)
        k, v = k.strip(' \t\r'), v.strip(' \t\r')
        if len(v) >= 2 and v[0] == '"' and v[-1] == '"':
            v = v[1:-1]
        cur[k] = v
    return sections


def main():
    log = sys.argv[1]
    lang = sys.argv[2] if len(sys.argv) > 2 else 'enu'
    out = open(sys.argv[3], 'wb') if len(sys.argv) > 3 else sys.stdout.buffer
    texts = read_texts('/usr/qavo/qavosdk/texts/%s/events' % lang)
    levels = texts.get('11000000', {})
    d = open(log, 'rb').read()
    start, end = struct.unpack_from('<II', d, 8)
    parts = [(start, end)] if start <= end else [(start, None), (16, end)]
    names = {}
    lines = []
    for a, b in parts:
        pos = a
        while (b is None or pos < b) and pos + 2 <= len(d):
            (ln,) = struct.unpack_from('<H', d, pos)
            if ln == 0:
                break
            _, lvl, t, sl, ul, ev, *al = struct.unpack_from('<HHIHHIHHHH', d, pos)
            q = pos + 24
            s = []
            for k in [sl, ul] + al:
                s.append(d[q:q + k].decode('latin-1'))
                q += k
            pos += ln
            sec = texts.get('%X' % (ev & 0xFFF00000), {})
            text = sec.get('%X' % ev, '')
            if not text:
                continue
            for i, arg in enumerate(s[2:]):
                if arg:
                    text = text.replace('@%d' % (i + 1), arg, 1)
            if lvl not in names:
                key = '1100000%d' % lvl if lvl in (1, 2, 3) else '11000000'
                names[lvl] = levels.get(key, 'Unknown').encode('latin-1')[:10].decode('latin-1')
            when = time.strftime('%Y/%m/%d %H:%M:%S', time.localtime(t))
            lines.append('%d\t%s\t%s\t%s\t%s\t%s\n' % (lvl, names[lvl], when, s[0], s[1], text))
    out.write(''.join(lines).encode('latin-1'))


if __name__ == '__main__':
    main()
