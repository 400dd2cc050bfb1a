#!/usr/bin/env python3
"""Checks that check_pe.py notices each property it is there for. A small program is linked
with vrmset's resources and the build's link options; each case spoils one property in a copy
of the file and expects exactly the matching check to fail."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(HERE))
import check_pe  # noqa: E402

CXX = 'i686-w64-mingw32-g++-posix'
WINDRES = 'i686-w64-mingw32-windres'
LINK_OPTIONS = ['-static', '-Wl,--major-os-version=6,--minor-os-version=0',
                '-Wl,--major-subsystem-version=6,--minor-subsystem-version=0',
                '-Wl,--dynamicbase,--nxcompat', '-Wl,--no-insert-timestamp']
VERSION_DEFINES = ['-DVRMSET_VERSION_MAJOR=1', '-DVRMSET_VERSION_MINOR=0',
                   '-DVRMSET_VERSION_PATCH=0', '-DVRMSET_VERSION_BUILD=1']
PROGRAM = '#include <windows.h>\nint main() { MessageBoxA(0, "t", "c", 0); return 0; }\n'


def utf16(s):
    return s.encode('utf-16-le')


class Spoil:
    """Edits of a PE image, each spoiling one property."""

    @staticmethod
    def header_offsets(data):
        pe = struct.unpack_from('<I', data, 0x3C)[0]
        coff = pe + 4
        nsections, opt_size = struct.unpack_from('<H', data, coff + 2)[0], \
            struct.unpack_from('<H', data, coff + 16)[0]
        return coff, coff + 20, opt_size, nsections

    @staticmethod
    def replace_last(old, new):
        assert len(old) == len(new)

        def edit(data):
            i = data.rfind(old)
            assert i >= 0, old
            data[i:i + len(old)] = new
        return edit

    @staticmethod
    def optional_word(offset, value, size='H'):
        def edit(data):
            _, opt, _, _ = Spoil.header_offsets(data)
            struct.pack_into('<' + size, data, opt + offset, value)
        return edit

    @staticmethod
    def time_stamp(data):
        coff, _, _, _ = Spoil.header_offsets(data)
        struct.pack_into('<I', data, coff + 4, 0x5F000000)

    @staticmethod
    def writable_code(data):
        _, opt, opt_size, n = Spoil.header_offsets(data)
        for i in range(n):
            off = opt + opt_size + 40 * i
            if data[off:off + 5] == b'.text':
                flags = struct.unpack_from('<I', data, off + 36)[0]
                struct.pack_into('<I', data, off + 36, flags | check_pe.IMAGE_SCN_MEM_WRITE)
                return
        raise AssertionError('no .text section')

    @staticmethod
    def fixed_info(index, value):
        def edit(data):
            i = data.find(struct.pack('<I', check_pe.VS_FFI_SIGNATURE))
            assert i >= 0
            struct.pack_into('<I', data, i + 4 * index, value)
        return edit


# (what is spoiled, edit, label of the one check that must fail)
CASES = [
    ('no NX_COMPAT', Spoil.optional_word(70, 0x0040), 'DYNAMIC_BASE and NX_COMPAT'),
    ('no DYNAMIC_BASE', Spoil.optional_word(70, 0x0100), 'DYNAMIC_BASE and NX_COMPAT'),
    ('relocations stripped', Spoil.optional_word(96 + 8 * 5 + 4, 0, 'I'), 'base relocations kept'),
    ('build time stamped', Spoil.time_stamp, 'TimeDateStamp 0'),
    ('GUI subsystem', Spoil.optional_word(68, 2), 'console subsystem'),
    ('OS version 4.0', Spoil.optional_word(40, 4), 'OS and subsystem version 6.0'),
    ('subsystem version 6.1', Spoil.optional_word(50, 1), 'OS and subsystem version 6.0'),
    ('writable code', Spoil.writable_code, 'no section both writable and executable'),
    ('MinGW runtime DLL imported', Spoil.replace_last(b'msvcrt.dll', b'libgcc.dll'),
     'imports only Windows system DLLs'),
    ('execution level', Spoil.replace_last(b'"requireAdministrator"', b'"highestAvailable"    '),
     'manifest asks for administrator rights'),
    ('uiAccess', Spoil.replace_last(b'uiAccess="false"', b'uiAccess="true" '),
     'manifest asks for administrator rights'),
    ('ProductVersion text', Spoil.replace_last(utf16('1.0.0.1'), utf16('1.0.0.2')),
     'version 1.0.0.1, application'),
    ('FILEVERSION number', Spoil.fixed_info(3, 2), 'version 1.0.0.1, application'),
    ('file type DLL', Spoil.fixed_info(9, check_pe.VFT_DLL), 'version 1.0.0.1, application'),
    ('icon directory says 256 colours',
     Spoil.replace_last(b'\x20\x20\x10\x00\x01\x00\x04\x00', b'\x20\x20\x00\x00\x01\x00\x08\x00'),
     'icon group 101: one 32x32 image, 16 colours'),
    ('icon bitmap 8 bpp', Spoil.replace_last(struct.pack('<IiiHH', 40, 32, 64, 1, 4),
                                             struct.pack('<IiiHH', 40, 32, 64, 1, 8)),
     'icon group 101: one 32x32 image, 16 colours'),
    ('icon 48x48', Spoil.replace_last(struct.pack('<IiiHH', 40, 32, 64, 1, 4),
                                      struct.pack('<IiiHH', 40, 48, 96, 1, 4)),
     'icon group 101: one 32x32 image, 16 colours'),
]


@unittest.skipUnless(shutil.which(CXX) and shutil.which(WINDRES), 'MinGW-w64 not installed')
class CheckPe(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = Path(tempfile.mkdtemp(prefix='check_pe_test.'))
        res = cls.tmp / 'vrmset.res.o'
        src = cls.tmp / 'main.cpp'
        src.write_text(PROGRAM)
        subprocess.run([WINDRES, '-O', 'coff', *VERSION_DEFINES,
                        str(REPO / 'updater' / 'vrmset.rc'), str(res)], check=True)
        cls.good = cls.tmp / 'good.exe'
        subprocess.run([CXX, '-O1', str(src), str(res), '-o', str(cls.good), '-luser32',
                        *LINK_OPTIONS], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def failing_checks(self, path):
        pe = check_pe.PeFile(str(path))
        return [label for label, check in check_pe.VRMSET_CHECKS if not check(pe)[0]]

    def test_good_program_passes_every_check(self):
        self.assertEqual(self.failing_checks(self.good), [])

    def test_each_spoiled_property_fails_its_check(self):
        for about, edit, label in CASES:
            with self.subTest(about):
                data = bytearray(self.good.read_bytes())
                edit(data)
                path = self.tmp / 'spoiled.exe'
                path.write_bytes(bytes(data))
                self.assertEqual(self.failing_checks(path), [label])

    def test_missing_file_and_dll_exports(self):
        out = self.tmp / 'report.txt'
        with open(out, 'w') as f:
            ok = check_pe.run(str(self.tmp / 'nowhere'),
                              [('vrmset.exe', 'updater', check_pe.VRMSET_CHECKS)], out=f)
        self.assertFalse(ok)
        self.assertEqual(out.read_text().splitlines()[-1], '0 passed, 1 failed')
        pe = check_pe.PeFile(str(self.good))
        self.assertFalse(check_pe.exports_exactly([(1, 'GetVGAPPID_Num')])(pe)[0])


if __name__ == '__main__':
    unittest.main()
