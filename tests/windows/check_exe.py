#!/usr/bin/env python3
"""Reads cellvaro.exe as a file, without running it: a PE32 i386 GUI
program that imports only Windows' own DLLs and is at most 300 KiB, with
the string table, the icon group, the manifest and the version resource
as the sources in res/ give them.

    check_exe.py CELLVARO_EXE RES_DIR

The Wine tests check the same resources through the Win32 loader; this
check also runs on a machine where Wine cannot start."""
import re
import struct
import sys

kMaxSize = 300 * 1024
kMachineI386 = 0x14C
kMagicPe32 = 0x10B
kSubsystemGui = 2
kLangJapanese = 0x411
RT_ICON, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 6, 14, 16, 24
kWindowsDlls = {"advapi32.dll", "comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll",
                "ntdll.dll", "ole32.dll", "setupapi.dll", "shell32.dll", "user32.dll",
                "version.dll"}

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
    return ok


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, opt_size = struct.unpack_from("<HHIIIH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        dirs = opt + 96
        self.directories = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(sections):
            s = opt + opt_size + 40 * i
            vsize, va, raw_size, raw = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((va, max(vsize, raw_size), raw))

    def at(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("address 0x%x in no section" % rva)

    def cstring(self, rva):
        off = self.at(rva)
        return self.data[off:self.data.index(b"\0", off)].decode("ascii")

    def imports(self):
        rva = self.directories[1][0]
        names = []
        while True:
            desc = self.at(rva)
            lookup, _, _, name, thunk = struct.unpack_from("<IIIII", self.data, desc)
            if not (lookup or name or thunk):
                return names
            names.append(self.cstring(name))
            rva += 20

    def resources(self):
        """{(type, name, language): bytes} for the usual three-level tree."""
        base = self.directories[2][0]
        found = {}

        def entries(rva):
            off = self.at(rva)
            named, ids = struct.unpack_from("<HH", self.data, off + 12)
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, off + 16 + 8 * i)
                yield ident, target

        for rtype, t in entries(base):
            for name, n in entries(base + (t & 0x7FFFFFFF)):
                for lang, leaf in entries(base + (n & 0x7FFFFFFF)):
                    rva, size = struct.unpack_from("<II", self.data, self.at(base + leaf))
                    off = self.at(rva)
                    found[(rtype, name, lang)] = self.data[off:off + size]
        return found


def expected_strings(res_dir):
    text = open(res_dir + "/string_resources.h", encoding="utf-8").read()
    named = dict(re.findall(r'#define (STR_\w+) ("(?:[^"\\]|\\.)*")', text))
    strings = {}
    for ident, value in re.findall(r'X\(IDS_\w+, (\d+), ((?:STR_\w+)|"(?:[^"\\]|\\.)*")\)', text):
        literal = named.get(value, value)[1:-1]
        strings[int(ident)] = literal.replace("\\n", "\n")
    check(len(strings) == text.count("    X(IDS_"), "string_resources.h: an entry of the list was not read")
    return strings


def string_blocks(resources):
    table = {}
    for (rtype, block, lang), raw in resources.items():
        if rtype != RT_STRING:
            continue
        check(lang == kLangJapanese, "string block %d has language 0x%x" % (block, lang))
        pos = 0
        for i in range(16):
            count = struct.unpack_from("<H", raw, pos)[0]
            text = raw[pos + 2:pos + 2 + 2 * count].decode("utf-16-le")
            pos += 2 + 2 * count
            if count:
                table[(block - 1) * 16 + i] = text
    return table


def version_block(raw, pos=0):
    """(key, value bytes, children) of one VS_VERSIONINFO-style block."""
    length, value_length, kind = struct.unpack_from("<HHH", raw, pos)
    end = pos + length
    key_end = pos + 6
    while raw[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = raw[pos + 6:key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if kind == 1 else value_length
    value = raw[value_at:value_at + value_size]
    children = []
    child = (value_at + value_size + 3) & ~3
    while child < end:
        block = version_block(raw, child)
        children.append(block)
        child = (child + struct.unpack_from("<H", raw, child)[0] + 3) & ~3
    return key, value, children


def main():
    exe, res_dir = sys.argv[1], sys.argv[2]
    data = open(exe, "rb").read()
    pe = Pe(data)
    check(len(data) <= kMaxSize, "size %d bytes is above %d" % (len(data), kMaxSize))
    check(pe.machine == kMachineI386, "machine 0x%x is not i386" % pe.machine)
    check(pe.magic == kMagicPe32, "optional header magic 0x%x is not PE32" % pe.magic)
    check(pe.subsystem == kSubsystemGui, "subsystem %d is not the GUI subsystem" % pe.subsystem)
    imports = pe.imports()
    for dll in imports:
        check(dll.lower() in kWindowsDlls, "imports %s, which is not Windows' own" % dll)

    resources = pe.resources()
    strings = string_blocks(resources)
    expected = expected_strings(res_dir)
    check(sorted(strings) == list(range(103, 119)),
          "string IDs %s, expected 103 to 118" % sorted(strings))
    for ident, text in sorted(expected.items()):
        check(strings.get(ident) == text, "string %d is %r, expected %r" % (ident, strings.get(ident), text))
        check("\r" not in strings.get(ident, ""), "string %d holds a carriage return" % ident)

    group = resources.get((RT_GROUP_ICON, 129, kLangJapanese))
    sizes = []
    if check(group is not None, "no icon group 129"):
        count = struct.unpack_from("<H", group, 4)[0]
        for i in range(count):
            width, height, _, _, _, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            sizes.append(width)
            icon = resources.get((RT_ICON, icon_id, kLangJapanese))
            if check(icon is not None and len(icon) == size, "icon %d of group 129 missing or of wrong size" % icon_id):
                _, w, h2, _, bitcount = struct.unpack_from("<IiiHH", icon, 0)
                check((w, h2, bitcount) == (width, 2 * height, 32),
                      "icon %d is %dx%d at %d bits, expected %dx%d at 32" % (icon_id, w, h2 // 2, bitcount, width, height))
            check(bits == 32, "group entry %d has %d bits per pixel" % (i, bits))
        check(sizes == [64, 48, 32, 16], "icon sizes %s, expected 64, 48, 32, 16" % sizes)

    manifest = resources.get((RT_MANIFEST, 1, kLangJapanese))
    check(manifest == open(res_dir + "/cellvaro.manifest", "rb").read(),
          "manifest 1 differs from res/cellvaro.manifest")

    version = resources.get((RT_VERSION, 1, kLangJapanese))
    if check(version is not None, "no version resource"):
        key, fixed, children = version_block(version)
        check(key == "VS_VERSION_INFO", "version key %r" % key)
        signature, _, ms, ls = struct.unpack_from("<IIII", fixed, 0)
        check(signature == 0xFEEF04BD, "no fixed file information")
        check((ms, ls) == (0x00010000, 0), "file version %x.%x" % (ms, ls))
        values = {}
        for child in children:
            for table in child[2]:
                for k, v, _ in table[2]:
                    values[(table[0], k)] = v
        company = values.get(("041104B0", "CompanyName"), b"").decode("utf-16-le").rstrip("\0")
        check(company == expected.get(107), "company name %r" % company)
        product = values.get(("041104B0", "ProductName"), b"").decode("utf-16-le").rstrip("\0")
        check(product == expected.get(103), "product name %r" % product)

    for f in failures:
        print("check_exe: " + f)
    if not failures:
        print("check_exe: %s: PE32 i386 GUI, %d bytes, imports %s; strings 103-118, icons %s, "
              "manifest and version as built" % (exe, len(data), ", ".join(imports), sizes))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
