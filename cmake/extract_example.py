"""Writes one example of a Markdown document to a file, so a test runs what the document
shows. An example is the fenced block right after the line "<!-- example: NAME -->"
(blank lines may come between).

usage: python3 extract_example.py DOC NAME OUT"""
import sys


def extract(doc, name):
    lines = open(doc, encoding='utf-8').read().split('\n')
    marker = '<!-- example: %s -->' % name
    if lines.count(marker) != 1:
        sys.exit('%s: %d examples named %s, not one' % (doc, lines.count(marker), name))
    rest = lines[lines.index(marker) + 1:]
    while rest and not rest[0].strip():
        rest.pop(0)
    if not rest or not rest[0].startswith('```'):
        sys.exit('%s: no fenced block right after the example %s' % (doc, name))
    body = rest[1:]
    if '```' not in body:
        sys.exit('%s: the example %s has no closing fence' % (doc, name))
    return '\n'.join(body[:body.index('```')]) + '\n'


if __name__ == '__main__':
    doc, name, out = sys.argv[1:]
    with open(out, 'w', encoding='utf-8') as f:
        f.write(extract(doc, name))
