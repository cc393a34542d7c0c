#!/usr/bin/env python3
"""Turns the resource scripts the Windows build compiles into a C++ table for the native build.

Reads the statements those scripts use: LANGUAGE, STRINGTABLE blocks (stored as the platform stores them:
blocks of sixteen length-prefixed UTF-16 strings, block id = id / 16 + 1), and resources taken from a file
(`<id> <TYPE> "<path>"`), with #define'd ids from the headers they include. VERSIONINFO and other blocks
are skipped: nothing in the native build reads them.

usage: GenerateResources.py OUTPUT.cpp SCRIPT.rc...
"""
import os
import re
import sys

LANGS = {"LANG_NEUTRAL": 0x00, "LANG_ENGLISH": 0x09, "LANG_CHINESE": 0x04}
SUBLANGS = {"SUBLANG_NEUTRAL": 0x00, "SUBLANG_DEFAULT": 0x01, "SUBLANG_ENGLISH_US": 0x01,
            "SUBLANG_CHINESE_SIMPLIFIED": 0x02}
RT_STRING = 6


def fail(where, message):
    sys.exit("%s: %s" % (where, message))


def number(token, defines, where):
    token = token.strip()
    if token in defines:
        return number(defines[token], defines, where)
    try:
        return int(token, 0)
    except ValueError:
        fail(where, "not a number: %r" % token)


def rc_string(text, where):
    """The value of a quoted resource-script string (C escapes and doubled quotes)."""
    if len(text) < 2 or text[0] != '"' or text[-1] != '"':
        fail(where, "not a quoted string: %r" % text)
    body, out, i = text[1:-1], [], 0
    while i < len(body):
        ch = body[i]
        if ch == '"' and i + 1 < len(body) and body[i + 1] == '"':
            out.append('"')
            i += 2
        elif ch == "\\" and i + 1 < len(body):
            out.append({"n": "\n", "t": "\t", "\\": "\\", '"': '"', "r": "\r", "0": "\0"}.get(body[i + 1], body[i + 1]))
            i += 2
        else:
            out.append(ch)
            i += 1
    return "".join(out)


def read_defines(path, defines):
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"\s*#define\s+(\w+)\s+(\S+)", line)
            if m:
                defines[m.group(1)] = m.group(2)


def parse_script(path, resources, strings):
    defines = {}
    language = 0x0409
    folder = os.path.dirname(os.path.abspath(path))
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    i = 0
    while i < len(lines):
        where = "%s:%d" % (path, i + 1)
        line = lines[i].split("//")[0].strip() if not lines[i].strip().startswith('"') else lines[i].strip()
        i += 1
        if not line or line.startswith("#pragma"):
            continue
        m = re.match(r'#include\s+"([^"]+)"', line)
        if m:
            read_defines(os.path.join(folder, m.group(1)), defines)
            continue
        if line.startswith("#include"):
            continue
        m = re.match(r"LANGUAGE\s+(\w+)\s*,\s*(\w+)$", line)
        if m:
            primary = LANGS.get(m.group(1))
            sub = SUBLANGS.get(m.group(2))
            primary = primary if primary is not None else number(m.group(1), defines, where)
            sub = sub if sub is not None else number(m.group(2), defines, where)
            language = (sub << 10) | primary
            continue
        if line == "STRINGTABLE":
            if i >= len(lines) or lines[i].strip() != "BEGIN":
                fail(where, "STRINGTABLE without BEGIN")
            i += 1
            while i < len(lines) and lines[i].strip() != "END":
                entry = lines[i].strip()
                i += 1
                if not entry or entry.startswith("//"):
                    continue
                m = re.match(r'(\w+)\s*,?\s*(".*")$', entry)
                if not m:
                    fail("%s:%d" % (path, i), "not a string entry: %r" % entry)
                ident = number(m.group(1), defines, where)
                strings.setdefault(language, {})[ident] = rc_string(m.group(2), where)
            i += 1
            continue
        m = re.match(r'(\w+)\s+(\w+)\s+(".*")$', line)
        if m and m.group(2) not in ("VERSIONINFO", "DIALOG", "DIALOGEX", "MENU", "ACCELERATORS"):
            ident = number(m.group(1), defines, where)
            source = rc_string(m.group(3), where)
            with open(source if os.path.isabs(source) else os.path.join(folder, source), "rb") as data:
                resources.append((m.group(2).upper(), None, ident, language, data.read()))
            continue
        # VERSIONINFO and its BEGIN ... END blocks, and any other statement nothing here reads.
        if re.match(r"\w+\s+VERSIONINFO", line):
            depth = 0
            while i < len(lines):
                word = lines[i].strip()
                i += 1
                depth += word == "BEGIN"
                depth -= word == "END"
                if word == "END" and depth == 0:
                    break
            continue


def string_blocks(strings, resources):
    for language, table in sorted(strings.items()):
        for block in sorted({ident // 16 + 1 for ident in table}):
            data = bytearray()
            for ident in range((block - 1) * 16, block * 16):
                text = table.get(ident, "").encode("utf-16-le")
                data += (len(text) // 2).to_bytes(2, "little") + text
            resources.append((None, RT_STRING, block, language, bytes(data)))


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    resources, strings = [], {}
    for script in sys.argv[2:]:
        parse_script(script, resources, strings)
    string_blocks(strings, resources)
    out = ["// Generated by resources/linux/GenerateResources.py from %s; do not edit." %
           ", ".join(os.path.basename(s) for s in sys.argv[2:]),
           '#include "ResourceTable.h"', "", "namespace {"]
    for n, (_, _, _, _, data) in enumerate(resources):
        out.append("const BYTE kData%d[] = {" % n)
        for start in range(0, max(len(data), 1), 24):
            chunk = data[start:start + 24]
            out.append("    " + ", ".join("0x%02x" % b for b in chunk) + ("," if chunk else "0x00"))
        out.append("};")
    out += ["}  // namespace", "", "extern const BmResource g_rgBmResources[] = {"]
    for n, (type_name, type_id, ident, language, data) in enumerate(resources):
        type_text = 'u"%s"' % type_name if type_name else "nullptr"
        out.append("    {%s, %d, %d, 0x%04x, kData%d, %d}," % (type_text, type_id or 0, ident, language, n, len(data)))
    out += ["};", "extern const size_t g_cBmResources = %d;" % len(resources), ""]
    with open(sys.argv[1] + ".tmp", "w", encoding="utf-8") as f:
        f.write("\n".join(out))
    os.replace(sys.argv[1] + ".tmp", sys.argv[1])


main()
