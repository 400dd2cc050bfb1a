#!/usr/bin/env python3
"""Checks the PE files of the Windows build: headers, imports, section flags and resources.

Usage: check_pe.py <windows-build-dir>

Header fields and imports come from `i686-w64-mingw32-objdump -p`; the section table, the
export directory and the resource tree (.rsrc) are read from the file here. Each deliverable has one table of
checks in TARGETS; a check is a function of the parsed file that returns (ok, detail).
Prints one line per check and a closing line "N passed, M failed"; exits 1 on any failure.
"""
import os
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

OBJDUMP = os.environ.get('OBJDUMP', 'i686-w64-mingw32-objdump')

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
VS_FFI_SIGNATURE = 0xFEEF04BD
VFT_APP = 1
VFT_DLL = 2

# Windows' own libraries, present on every installation; anything else (the MinGW runtime
# DLLs above all) would have to ship beside the program.
SYSTEM_DLLS = {'kernel32.dll', 'user32.dll', 'advapi32.dll', 'msvcrt.dll'}
SYSTEM_DLL_PATTERNS = [re.compile(r'^api-ms-win-[a-z0-9-]+\.dll$')]


class PeFile:
    """A parsed PE image: objdump's view, COFF header, sections and resources."""

    def __init__(self, path):
        self.path = path
        with open(path, 'rb') as f:
            self.data = f.read()
        self.objdump = subprocess.run([OBJDUMP, '-p', path], capture_output=True, text=True,
                                      check=True).stdout
        d = self.data
        if d[:2] != b'MZ':
            raise ValueError('no MZ header')
        self.pe_offset = struct.unpack_from('<I', d, 0x3C)[0]
        if d[self.pe_offset:self.pe_offset + 4] != b'PE\0\0':
            raise ValueError('no PE signature')
        coff = self.pe_offset + 4
        (self.machine, nsections, self.time_date_stamp, _, _, opt_size,
         self.characteristics) = struct.unpack_from('<HHIIIHH', d, coff)
        opt = coff + 20
        self.magic = struct.unpack_from('<H', d, opt)[0]
        self.sections = []
        for i in range(nsections):
            off = opt + opt_size + 40 * i
            name = d[off:off + 8].rstrip(b'\0').decode('ascii', 'replace')
            vsize, va, rawsize, rawptr = struct.unpack_from('<IIII', d, off + 8)
            flags = struct.unpack_from('<I', d, off + 36)[0]
            self.sections.append(dict(name=name, vsize=vsize, va=va, rawsize=rawsize,
                                      rawptr=rawptr, flags=flags))
        # Data directories (PE32 optional header: from offset 96): 0 exports, 2 resources,
        # 5 base relocations.
        self.export_rva = struct.unpack_from('<I', d, opt + 96)[0]
        self.reloc_size = struct.unpack_from('<I', d, opt + 96 + 8 * 5 + 4)[0]
        rsrc_rva, rsrc_size = struct.unpack_from('<II', d, opt + 96 + 8 * 2)
        self.resources = self._read_resources(rsrc_rva) if rsrc_size else {}

    # -- objdump view -----------------------------------------------------------------------
    def field(self, name):
        m = re.search(r'^' + re.escape(name) + r'\s+(\S+)', self.objdump, re.M)
        return m.group(1) if m else None

    def file_format(self):
        m = re.search(r'file format (\S+)', self.objdump)
        return m.group(1) if m else None

    def dll_characteristics(self):
        m = re.search(r'^DllCharacteristics\s+\S+\n((?:\t\t+\S+\n)*)', self.objdump, re.M)
        return set(m.group(1).split()) if m else set()

    def imported_dlls(self):
        return sorted(set(re.findall(r'DLL Name: (\S+)', self.objdump)), key=str.lower)

    def exports(self):
        """(ordinal, name) of every named export, read from the export directory."""
        if not self.export_rva:
            return []
        d = self.data
        e = self.rva_to_offset(self.export_rva)
        base, _, nnames, _, names_rva, ordinals_rva = struct.unpack_from('<IIIIII', d, e + 16)
        out = []
        for i in range(nnames):
            name_rva = struct.unpack_from('<I', d, self.rva_to_offset(names_rva) + 4 * i)[0]
            index = struct.unpack_from('<H', d, self.rva_to_offset(ordinals_rva) + 2 * i)[0]
            n = self.rva_to_offset(name_rva)
            out.append((base + index, d[n:d.index(b'\0', n)].decode('ascii', 'replace')))
        return out

    # -- sections and resources -------------------------------------------------------------
    def rva_to_offset(self, rva):
        for s in self.sections:
            if s['va'] <= rva < s['va'] + max(s['vsize'], s['rawsize']):
                return s['rawptr'] + rva - s['va']
        raise ValueError('RVA 0x%x lies in no section' % rva)

    def _read_resources(self, rsrc_rva):
        base = self.rva_to_offset(rsrc_rva)
        d = self.data

        def read_dir(off, depth):
            named, ids = struct.unpack_from('<HH', d, base + off + 12)
            out = {}
            for i in range(named + ids):
                name, target = struct.unpack_from('<II', d, base + off + 16 + 8 * i)
                if name & 0x80000000:
                    n = base + (name & 0x7FFFFFFF)
                    length = struct.unpack_from('<H', d, n)[0]
                    key = d[n + 2:n + 2 + 2 * length].decode('utf-16-le')
                else:
                    key = name
                if target & 0x80000000:
                    if depth >= 2:
                        raise ValueError('resource tree deeper than three levels')
                    out[key] = read_dir(target & 0x7FFFFFFF, depth + 1)
                else:
                    rva, size = struct.unpack_from('<II', d, base + target)
                    start = self.rva_to_offset(rva)
                    out[key] = d[start:start + size]
            return out

        return read_dir(0, 0)

    def resource(self, rtype, rid):
        """The data of resource type/id in its first language, or None."""
        langs = self.resources.get(rtype, {}).get(rid)
        if not langs:
            return None
        return next(iter(langs.values()))


# -- version resource ---------------------------------------------------------------------------
def parse_version_info(blob):
    """Returns (fixed-info tuple or None, {string name: value}) of a VS_VERSIONINFO block."""
    strings = {}

    def align(x):
        return (x + 3) & ~3

    def node(off, end):
        length, value_len, vtype = struct.unpack_from('<HHH', blob, off)
        node_end = min(off + length, end)
        k = off + 6
        key_end = k
        while blob[key_end:key_end + 2] != b'\0\0':
            key_end += 2
        key = blob[k:key_end].decode('utf-16-le')
        p = align(key_end + 2)
        if vtype == 1:  # text: value_len counts 16-bit characters including the NUL
            raw = blob[p:p + 2 * value_len]
            value = raw.decode('utf-16-le').split('\0', 1)[0]
            p = align(p + 2 * value_len)
        else:
            value = blob[p:p + value_len]
            p = align(p + value_len)
        children = []
        while p + 6 <= node_end:
            child_len = struct.unpack_from('<H', blob, p)[0]
            if child_len == 0:
                break
            children.append(node(p, node_end))
            p = align(p + child_len)
        return key, value, children

    key, value, children = node(0, len(blob))
    if key != 'VS_VERSION_INFO':
        raise ValueError('version block key is %r' % key)
    fixed = struct.unpack_from('<13I', value) if len(value) >= 52 else None
    for ckey, _, tables in children:
        if ckey == 'StringFileInfo':
            for _, _, entries in tables:
                for skey, svalue, _ in entries:
                    strings[skey] = svalue
    return fixed, strings


def version_of(words_ms, words_ls):
    return (words_ms >> 16, words_ms & 0xFFFF, words_ls >> 16, words_ls & 0xFFFF)


# -- checks shared by every deliverable -------------------------------------------------------
def check_pe32_i386(pe):
    ok = (pe.file_format() == 'pei-i386' and pe.magic == 0x10B
          and pe.machine == IMAGE_FILE_MACHINE_I386)
    return ok, 'format %s, magic 0x%x, machine 0x%x' % (pe.file_format(), pe.magic, pe.machine)


def check_os_version_6(pe):
    got = [pe.field(n) for n in ('MajorOSystemVersion', 'MinorOSystemVersion',
                                 'MajorSubsystemVersion', 'MinorSubsystemVersion')]
    return got == ['6', '0', '6', '0'], 'OS %s.%s, subsystem %s.%s' % tuple(got)


def is_system_dll(name):
    lower = name.lower()
    return lower in SYSTEM_DLLS or any(p.match(lower) for p in SYSTEM_DLL_PATTERNS)


def check_system_imports(pe):
    dlls = pe.imported_dlls()
    foreign = [n for n in dlls if not is_system_dll(n)]
    if not dlls:
        return False, 'no import table found'
    if foreign:
        return False, 'imports non-system DLL(s): ' + ', '.join(foreign)
    return True, ', '.join(dlls)


def check_aslr_dep(pe):
    flags = pe.dll_characteristics()
    missing = {'DYNAMIC_BASE', 'NX_COMPAT'} - flags
    return not missing, ('missing ' + ', '.join(sorted(missing))) if missing else 'set'


def check_relocatable(pe):
    """ASLR moves only an image that keeps its base relocations."""
    stripped = pe.characteristics & IMAGE_FILE_RELOCS_STRIPPED
    ok = pe.reloc_size > 0 and not stripped
    return ok, '%d bytes of base relocations%s' % (pe.reloc_size, ', RELOCS_STRIPPED' if stripped else '')


def check_no_writable_code(pe):
    both = [s['name'] for s in pe.sections
            if s['flags'] & IMAGE_SCN_MEM_WRITE and s['flags'] & IMAGE_SCN_MEM_EXECUTE]
    return not both, ('writable and executable: ' + ', '.join(both)) if both else \
        '%d sections' % len(pe.sections)


def check_timestamp_zero(pe):
    return pe.time_date_stamp == 0, 'TimeDateStamp 0x%08x' % pe.time_date_stamp


COMMON_CHECKS = [
    ('PE32 for i386', check_pe32_i386),
    ('OS and subsystem version 6.0', check_os_version_6),
    ('imports only Windows system DLLs', check_system_imports),
    ('DYNAMIC_BASE and NX_COMPAT', check_aslr_dep),
    ('base relocations kept', check_relocatable),
    ('no section both writable and executable', check_no_writable_code),
    ('TimeDateStamp 0', check_timestamp_zero),
]


# -- check builders for the tables below ------------------------------------------------------
def subsystem_is(code, label):
    def check(pe):
        got = pe.field('Subsystem')
        return got is not None and int(got, 16) == code, 'Subsystem %s (want %s)' % (got, label)
    return check


def manifest_execution_level(rid, level, ui_access):
    def check(pe):
        blob = pe.resource(RT_MANIFEST, rid)
        if blob is None:
            return False, 'no RT_MANIFEST resource with ID %d' % rid
        try:
            root = ET.fromstring(blob)
        except ET.ParseError as e:
            return False, 'manifest is not well-formed XML: %s' % e
        found = [el for el in root.iter() if el.tag.endswith('}requestedExecutionLevel')
                 or el.tag == 'requestedExecutionLevel']
        if len(found) != 1:
            return False, '%d requestedExecutionLevel elements' % len(found)
        got = (found[0].get('level'), found[0].get('uiAccess'))
        return got == (level, ui_access), 'level=%s uiAccess=%s' % got
    return check


def version_block(file_version, product_version, file_type, strings):
    """Fixed file info numbers and file type, and the exact text of the given strings."""
    def check(pe):
        blob = pe.resource(RT_VERSION, 1)
        if blob is None:
            return False, 'no version resource with ID 1'
        try:
            fixed, got_strings = parse_version_info(blob)
        except (ValueError, struct.error, UnicodeDecodeError) as e:
            return False, 'unreadable version block: %s' % e
        if fixed is None or fixed[0] != VS_FFI_SIGNATURE:
            return False, 'no VS_FIXEDFILEINFO'
        problems = []
        fv = version_of(fixed[2], fixed[3])
        pv = version_of(fixed[4], fixed[5])
        if fv != file_version:
            problems.append('FILEVERSION %s' % ','.join(map(str, fv)))
        if pv != product_version:
            problems.append('PRODUCTVERSION %s' % ','.join(map(str, pv)))
        if fixed[9] != file_type:
            problems.append('FILETYPE %d' % fixed[9])
        for name, want in strings.items():
            if got_strings.get(name) != want:
                problems.append('%s=%r' % (name, got_strings.get(name)))
        return not problems, '; '.join(problems) if problems else \
            ', '.join('%s "%s"' % kv for kv in strings.items())
    return check


def single_icon(group_id, size, bit_count):
    """Icon group `group_id` holds exactly one image of size x size at bit_count bits."""
    def check(pe):
        group = pe.resource(RT_GROUP_ICON, group_id)
        if group is None:
            return False, 'no icon group %d' % group_id
        _, rtype, count = struct.unpack_from('<HHH', group, 0)
        if rtype != 1 or count != 1:
            return False, 'group type %d with %d images' % (rtype, count)
        width, height, colours, _, planes, bits, nbytes, icon_id = \
            struct.unpack_from('<BBBBHHIH', group, 6)
        image = pe.resource(RT_ICON, icon_id)
        if image is None:
            return False, 'group names icon %d, which is missing' % icon_id
        hdr = struct.unpack_from('<IiiHH', image, 0)
        problems = []
        if (width or 256, height or 256) != (size, size):
            problems.append('directory says %dx%d' % (width, height))
        if bits != bit_count:
            problems.append('directory says %d bpp' % bits)
        if hdr[0] != 40 or hdr[1] != size or hdr[2] != 2 * size or hdr[4] != bit_count:
            problems.append('bitmap header %dx%d/2 at %d bpp' % (hdr[1], hdr[2], hdr[4]))
        if len(image) != nbytes:
            problems.append('image is %d bytes, directory says %d' % (len(image), nbytes))
        return not problems, '; '.join(problems) if problems else \
            'one %dx%d image, %d bpp' % (size, size, bit_count)
    return check


def exports_exactly(expected):
    """The export table is exactly `expected`, a list of (ordinal, name)."""
    def check(pe):
        got = sorted(pe.exports())
        want = sorted(expected)
        if got == want:
            return True, '%d exports' % len(got)
        return False, 'missing %s; unexpected %s' % (sorted(set(want) - set(got)),
                                                       sorted(set(got) - set(want)))
    return check


# -- what each deliverable must satisfy ---------------------------------------------------------
VRMSET_VERSION = (1, 0, 0, 1)

VRMSET_CHECKS = COMMON_CHECKS + [
    ('console subsystem', subsystem_is(3, 'Windows CUI')),
    ('manifest asks for administrator rights',
     manifest_execution_level(1, 'requireAdministrator', 'false')),
    ('version 1.0.0.1, application', version_block(
        VRMSET_VERSION, VRMSET_VERSION, VFT_APP,
        {'FileVersion': '1.0.0.1', 'ProductVersion': '1.0.0.1'})),
    ('icon group 101: one 32x32 image, 16 colours', single_icon(101, 32, 4)),
]

# The identity library's exports: undecorated names, ordinals 1-11 in alphabetical order.
CARDTAG_EXPORTS = [
    'GetTELOVGACard', 'GetVGAModleName', 'GetVGAModleName1', 'GetVGAModleName2',
    'GetVGAModleName3', 'GetVGAPPID_Num', 'GetVGAPPID_Num1', 'GetVGAPPID_Num2',
    'GetVGAPPID_Num3', 'MultiGetModleName', 'MultiGetVGAPPID_Num',
]
assert CARDTAG_EXPORTS == sorted(CARDTAG_EXPORTS)
CARDTAG_VERSION = (1, 0, 0, 9)

CARDTAG_CHECKS = COMMON_CHECKS + [
    ('Windows GUI subsystem (DLL)', subsystem_is(2, 'Windows GUI')),
    ('the eleven exports, undecorated, ordinals 1-11 alphabetical',
     exports_exactly(list(enumerate(CARDTAG_EXPORTS, 1)))),
    ('version 1.0.0.9, DLL, with its strings', version_block(
        CARDTAG_VERSION, CARDTAG_VERSION, VFT_DLL,
        {'FileVersion': '1, 0, 0, 9', 'ProductVersion': '1, 0, 0, 9',
         'FileDescription': 'cardtag DLL', 'InternalName': 'cardtag',
         'OriginalFilename': 'cardtag.DLL', 'ProductName': 'cardtag Dynamic Link Library'})),
]

# (file name, where the build puts it, checks)
TARGETS = [
    ('vrmset.exe', 'updater', VRMSET_CHECKS),
    ('cardtag.dll', 'cardtag', CARDTAG_CHECKS),
]


def run(build_dir, targets=TARGETS, out=sys.stdout):
    passed = failed = 0
    for name, subdir, checks in targets:
        path = os.path.join(build_dir, subdir, name)
        pe = None
        try:
            pe = PeFile(path)
        except (OSError, ValueError, struct.error, subprocess.CalledProcessError) as e:
            print('FAIL %s: readable PE file (%s)' % (name, e), file=out)
            failed += 1
            continue
        for label, check in checks:
            try:
                ok, detail = check(pe)
            except (ValueError, struct.error, KeyError, IndexError) as e:
                ok, detail = False, 'error: %s' % e
            print('%s %s: %s (%s)' % ('PASS' if ok else 'FAIL', name, label, detail), file=out)
            if ok:
                passed += 1
            else:
                failed += 1
    print('%d passed, %d failed' % (passed, failed), file=out)
    return failed == 0


def main(argv):
    if len(argv) != 2:
        print('usage: check_pe.py <windows-build-dir>', file=sys.stderr)
        return 2
    return 0 if run(argv[1]) else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv))
