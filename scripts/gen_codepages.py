#!/usr/bin/env python3
"""Writes platform/posix/CodePageTables.inc: the byte tables the Linux backend uses to behave like a
Windows machine with the ANSI code page 1252 and the OEM code page 437 or 850.

Run it again only when the tables must change; its output is committed as source.
The conversions follow what Windows does for these pairs: a character that exists in the target code
page maps to it; one that does not maps to its best fit (the letter without its accent, or a plain
line character for box drawings); anything else becomes "?". Bytes below 0x20 and 0x7F map to
themselves, because Windows treats them as control characters in every one of these code pages.
"""
import sys
import unicodedata

# Best fit as Windows gives it for the ANSI 1252 / OEM 437 pair (CharToOem and OemToChar), where the
# character has no exact form in the other code page: source character -> target byte.
ANSI_TO_OEM437_BEST_FIT = {
    '€': 0x3F, '‚': 0x2C, '„': 0x2C, '…': 0x2E, '†': 0x2B, '‡': 0xD8, 'ˆ': 0x5E, '‰': 0x25,
    'Š': 0x53, '‹': 0x3C, 'Œ': 0x4F, 'Ž': 0x5A, '‘': 0x60, '’': 0x27, '“': 0x22, '”': 0x22,
    '•': 0x07, '–': 0x2D, '—': 0x2D, '˜': 0x7E, '™': 0x54, 'š': 0x73, '›': 0x3E, 'œ': 0x6F,
    'ž': 0x7A, 'Ÿ': 0x59, '¤': 0x0F, '¦': 0xDD, '§': 0x15, '¨': 0x22, '©': 0x63, '\xad': 0x2D,
    '®': 0x72, '¯': 0x5F, '³': 0x33, '´': 0x27, '¶': 0x14, '¸': 0x2C, '¹': 0x31, '¾': 0x5F,
    'À': 0x41, 'Á': 0x41, 'Â': 0x41, 'Ã': 0x41, 'È': 0x45, 'Ê': 0x45, 'Ë': 0x45, 'Ì': 0x49,
    'Í': 0x49, 'Î': 0x49, 'Ï': 0x49, 'Ð': 0x44, 'Ò': 0x4F, 'Ó': 0x4F, 'Ô': 0x4F, 'Õ': 0x4F,
    '×': 0x78, 'Ø': 0x4F, 'Ù': 0x55, 'Ú': 0x55, 'Û': 0x55, 'Ý': 0x59, 'Þ': 0x5F, 'ã': 0x61,
    'ð': 0x64, 'õ': 0x6F, 'ø': 0x6F, 'ý': 0x79, 'þ': 0x5F,
}
OEM437_TO_ANSI_BEST_FIT = {
    '₧': 0x50, '⌐': 0xAC, '░': 0xA6, '▒': 0xA6, '▓': 0xA6, '│': 0xA6, '┤': 0xA6, '╡': 0xA6,
    '╢': 0xA6, '╖': 0x2B, '╕': 0x2B, '╣': 0xA6, '║': 0xA6, '╗': 0x2B, '╝': 0x2B, '╜': 0x2B,
    '╛': 0x2B, '┐': 0x2B, '└': 0x2B, '┴': 0x2D, '┬': 0x2D, '├': 0x2B, '─': 0x2D, '┼': 0x2B,
    '╞': 0xA6, '╟': 0xA6, '╚': 0x2B, '╔': 0x2B, '╩': 0x2D, '╦': 0x2D, '╠': 0xA6, '═': 0x2D,
    '╬': 0x2B, '╧': 0x2D, '╨': 0x2D, '╤': 0x2D, '╥': 0x2D, '╙': 0x2B, '╘': 0x2B, '╒': 0x2B,
    '╓': 0x2B, '╫': 0x2B, '╪': 0x2B, '┘': 0x2B, '┌': 0x2B, '█': 0xA6, '▄': 0x5F, '▌': 0xA6,
    '▐': 0xA6, '▀': 0xAF, 'α': 0x61, 'Γ': 0x47, 'π': 0x70, 'Σ': 0x53, 'σ': 0x73, 'τ': 0x74,
    'Φ': 0x46, 'Θ': 0x54, 'Ω': 0x4F, 'δ': 0x64, '∞': 0x38, 'φ': 0x66, 'ε': 0x65, '∩': 0x6E,
    '≡': 0x3D, '≥': 0x3D, '≤': 0x3D, '⌠': 0x28, '⌡': 0x29, '≈': 0x98, '∙': 0xB7, '√': 0x76,
    'ⁿ': 0x6E, '■': 0xA6,
}

BOX_VERTICAL = set('│║')
BOX_HORIZONTAL = set('─═')
MANUAL_FIT = {'¦': '|', '©': 'c', '®': 'r', '«': '<', '»': '>', '·': '.', '×': 'x', '÷': '/',
              '‘': "'", '’': "'", '‚': ',', '“': '"', '”': '"', '„': '"', '–': '-', '—': '-',
              '‹': '<', '›': '>', '•': '.', '…': '.', '˜': '~', 'ˆ': '^', '¯': '-', '´': "'",
              '¸': ',', '¨': '"', '°': 'o', 'ª': 'a', 'º': 'o', '¹': '1', '²': '2', '³': '3',
              'µ': 'u', 'ß': 'b', 'Ð': 'D', 'ð': 'd', 'Ø': 'O', 'ø': 'o', 'Þ': '?', 'þ': '?',
              '€': '?', '™': '?', '‰': '?', '†': '?', '‡': '?', '¤': '?', '¬': '-', '±': '?'}


def decode(cp, b):
    if b < 0x20 or b == 0x7F:
        return chr(b)
    try:
        return bytes([b]).decode(cp)
    except UnicodeDecodeError:
        # The five holes of 1252 are passed through as C1 control characters by Windows.
        return chr(b)


def encode_one(cp, ch):
    if ord(ch) < 0x20 or ord(ch) == 0x7F:
        return ord(ch)
    try:
        e = ch.encode(cp)
    except UnicodeEncodeError:
        return None
    return e[0] if len(e) == 1 else None


def best_fit(cp, ch):
    exact = encode_one(cp, ch)
    if exact is not None:
        return exact
    if ch in MANUAL_FIT:
        return ord(MANUAL_FIT[ch])
    if '\u2500' <= ch <= '\u257f':
        if ch in BOX_VERTICAL or 'VERTICAL' in unicodedata.name(ch) and 'AND' not in unicodedata.name(ch):
            return ord('|')
        if ch in BOX_HORIZONTAL or 'HORIZONTAL' in unicodedata.name(ch) and 'AND' not in unicodedata.name(ch):
            return ord('-')
        return ord('+')
    base = unicodedata.normalize('NFKD', ch)
    base = ''.join(c for c in base if not unicodedata.combining(c))
    if len(base) == 1:
        e = encode_one(cp, base)
        if e is not None:
            return e
    return ord('?')


def table(src, dst):
    fit = {}
    if (src, dst) == ('cp1252', 'cp437'):
        fit = ANSI_TO_OEM437_BEST_FIT
    elif (src, dst) == ('cp437', 'cp1252'):
        fit = OEM437_TO_ANSI_BEST_FIT
    out = []
    for b in range(256):
        ch = decode(src, b)
        out.append(fit[ch] if ch in fit and b >= 0x20 else best_fit(dst, ch))
    return out


def case_table(upper):
    out = []
    for b in range(256):
        ch = decode('cp1252', b)
        conv = ch.upper() if upper else ch.lower()
        e = encode_one('cp1252', conv) if len(conv) == 1 else None
        out.append(e if e is not None and b >= 0x20 else b)
    return out


def unicode_table():
    return [ord(decode('cp1252', b)) for b in range(256)]


def emit(name, values, ctype='unsigned char'):
    lines = [f'static const {ctype} {name}[256] = {{']
    for i in range(0, 256, 16):
        lines.append('    ' + ', '.join(f'0x{v:02X}' if ctype == 'unsigned char' else f'0x{v:04X}'
                                        for v in values[i:i + 16]) + ',')
    lines.append('};')
    return '\n'.join(lines)


def main():
    parts = ['// Generated by scripts/gen_codepages.py; edit the script, not this file.',
             emit('kAnsiToOem437', table('cp1252', 'cp437')),
             emit('kOem437ToAnsi', table('cp437', 'cp1252')),
             emit('kAnsiToOem850', table('cp1252', 'cp850')),
             emit('kOem850ToAnsi', table('cp850', 'cp1252')),
             emit('kAnsiUpper', case_table(True)),
             emit('kAnsiLower', case_table(False)),
             emit('kAnsiToUnicode', unicode_table(), 'unsigned short')]
    out = sys.argv[1] if len(sys.argv) > 1 else 'platform/posix/CodePageTables.inc'
    with open(out, 'w') as f:
        f.write('\n\n'.join(parts) + '\n')


if __name__ == '__main__':
    main()
