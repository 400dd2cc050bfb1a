#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/seed-<name>.

Each seed is one ordinary situation in the input format that its target reads (the comment at
the top of each *_fuzzer.cpp); the fuzzers mutate from there. Run it again after a change of
an input format:  python3 fuzz/make_seeds.py
"""
import struct
from pathlib import Path

HERE = Path(__file__).resolve().parent
SEEDS = {}


def seed(target, name):
    def register(fn):
        SEEDS.setdefault(target, []).append((name, fn))
        return fn
    return register


def u8(*values):
    return bytes(v & 0xFF for v in values)


def u16(v):
    return struct.pack('<H', v & 0xFFFF)


def u32(v):
    return struct.pack('<I', v & 0xFFFFFFFF)


# -- identity_fuzzer -----------------------------------------------------------------------------
ATI, BIOS_MMIO, FULL_SCAN, NO_DRIVER = 1, 2, 0, 0xE0
LOW, HIGH, SHADOW, NONE = 0, 1, 2, 3
ROM_64K, ROM_128K, ROM_256K, ROM_256K_PLUS = 0, 1, 2, 3
BASE = {0: 0, 0xFF00: 1, 0x1FFC0: 2, 0xFFF0: 3, 0x3FFF0: 4, 0x200: 5, 0x8000: 6}
EXPORTS = ['GetVGAModleName', 'GetVGAPPID_Num', 'GetVGAModleName1', 'GetVGAModleName2',
           'GetVGAModleName3', 'GetVGAPPID_Num1', 'GetVGAPPID_Num2', 'GetVGAPPID_Num3',
           'MultiGetModleName', 'MultiGetVGAPPID_Num', 'GetTELOVGACard']


def identity(flags, adapters, calls, patches, placement=0, offset=0, default=None, high=0):
    """adapters: (window, board, old chip, enabled at power-on, bios window, rom size, fill,
    signature); calls: (export, index); patches: (adapter, offset, bytes)."""
    out = u8(flags | (len(adapters) - 1) << 3,
             placement | offset << 3 | (0x40 if default is not None else 0),
             default or 0, high)
    for window, board, old, enabled, bios, size, fill, sig in adapters:
        out += u8(window | (0 if board else 4) | (8 if old else 0) | (16 if enabled else 0)
                  | (0 if bios else 32) | size << 6, fill, 1 if sig else 0)
    assert 1 <= len(calls) <= 2
    out += u8(len(calls) - 1)
    for name, index in calls:
        out += u8(EXPORTS.index(name), index + 2)
    for adapter, at, data in patches:
        for i in range(0, len(data), 120):   # a patch carries at most 127 bytes
            chunk_at, chunk = at + i, data[i:i + 120]
            base = max(b for b in BASE if b <= chunk_at) if chunk_at < 0x40000 else 0x3FFF0
            delta = chunk_at - base
            if delta > 127:
                out += u8(adapter | 7 << 5) + u16(chunk_at) + u8(chunk_at >> 16, 0)
            else:
                out += u8(adapter | BASE[base] << 5, delta)
            out += u8(len(chunk)) + chunk
    return out


NV_ADAPTER = (LOW, True, False, False, True, ROM_64K, 0, True)


@seed('identity_fuzzer', 'nvidia-marker')
def _():
    return identity(BIOS_MMIO, [NV_ADAPTER], [('GetVGAPPID_Num', 0), ('MultiGetVGAPPID_Num', 0)],
                    [(0, 0x200, b'PPIDGeForce-1#SN0001.')])


@seed('identity_fuzzer', 'nvidia-two-markers-bios-window')
def _():
    a0 = (HIGH, True, False, False, True, ROM_64K, 0, True)
    a1 = (LOW, False, True, True, True, ROM_128K, 0xFF, True)
    return identity(BIOS_MMIO, [a0, a1], [('MultiGetVGAPPID_Num', 1), ('MultiGetModleName', 0)],
                    [(0, 0x200, b'PPIDModelA#SN-A.'), (0, 0x8000, b'PPIDModelB#'),
                     (1, 0x8000, b'PPIDOther#SN-B.')], placement=1, offset=1)


@seed('identity_fuzzer', 'nvidia-marker-at-scan-end')
def _():
    a = (SHADOW, True, False, False, True, ROM_256K_PLUS, 0x20, True)
    return identity(FULL_SCAN, [a], [('GetVGAPPID_Num', 0)],
                    [(0, 0x3FFFB, b'PPID' + b'M' * 60 + b'#' + b'S' * 70 + b'.')])


@seed('identity_fuzzer', 'nvidia-markers-just-outside-the-scan')
def _():
    a = (LOW, True, False, False, True, ROM_256K_PLUS, 0, True)
    return identity(FULL_SCAN, [a], [('GetVGAPPID_Num', 0)],
                    [(0, 0x1000, b'PPIDInside#IN.'), (0, 0x3FFFC, b'PPIDOutside#OUT.')])


@seed('identity_fuzzer', 'nvidia-marker-before-the-scan')
def _():
    return identity(BIOS_MMIO, [NV_ADAPTER], [('GetVGAPPID_Num', 0)], [(0, 2, b'PPIDTooEarly#X.')])


@seed('identity_fuzzer', 'nvidia-bios-window-scan-end')
def _():
    a = (LOW, True, False, False, True, ROM_128K, 0, True)
    return identity(BIOS_MMIO, [a], [('MultiGetVGAPPID_Num', 0)],
                    [(0, 0xFFF0, b'PPIDLast#IN.'), (0, 0xFFFF, b'PPIDBeyond#OUT.')])


@seed('identity_fuzzer', 'ati-lower-layout')
def _():
    a = (LOW, True, False, False, True, ROM_64K, 0, True)
    return identity(ATI, [a, a], [('GetVGAPPID_Num', 0), ('MultiGetVGAPPID_Num', 1)],
                    [(0, 0xFF00, b'PP\x00\x00Radeon7#1402221898AB\r\n'),
                     (1, 0xFF00, b'PP\x00\x00Second#SN2\r\n')])


@seed('identity_fuzzer', 'ati-upper-layout')
def _():
    a = (LOW, True, False, False, True, ROM_256K, 0, True)
    return identity(ATI, [a], [('MultiGetModleName', 0), ('GetVGAModleName', 0)],
                    [(0, 0x1FFC0, b'PP\x01\x02' + b'N' * 20 + b'#' + b'P' * 70 + b'\r\n')],
                    default=0, high=0xAB)


@seed('identity_fuzzer', 'ati-bios-window-count')
def _():
    a = (LOW, True, False, False, True, ROM_128K, 0, True)
    b = (LOW, False, False, False, True, ROM_64K, 0, True)
    return identity(ATI | BIOS_MMIO, [a, b], [('GetTELOVGACard', 0), ('GetVGAModleName', 0)],
                    [(0, 0x1FFC0, b'PP\x01\x02UPPER#NOT-READ\r\n'),
                     (0, 0xFF00, b'PP\x01\x02' + b'X' * 60 + b'#' + b'Q' * 61 + b'\r\n')])


@seed('identity_fuzzer', 'no-access-driver')
def _():
    return identity(NO_DRIVER, [NV_ADAPTER], [('GetVGAPPID_Num', 0), ('MultiGetVGAPPID_Num', 9)], [])


# -- buslink_fuzzer ------------------------------------------------------------------------------
def config_space(caps, pointer):
    """A VGA header whose capability list starts at `pointer`; caps: {offset: bytes}."""
    cfg = bytearray(256)
    cfg[0:4] = struct.pack('<HH', 0x10DE, 0x1180)
    cfg[0x06] = 0x10
    cfg[0x08:0x0C] = struct.pack('<I', 0x030000A1)
    cfg[0x34] = pointer
    for at, data in caps.items():
        cfg[at:at + len(data)] = data
    return bytes(cfg)


def pcie(next_ptr, max_speed, speed, width):
    cap = bytearray(0x14)
    cap[0], cap[1] = 0x10, next_ptr
    cap[0x0C] = max_speed | (width & 0xF) << 4
    status = speed | width << 4
    cap[0x12], cap[0x13] = status & 0xFF, status >> 8
    return bytes(cap)


def agp(next_ptr, status, command):
    cap = bytearray(12)
    cap[0], cap[1], cap[4], cap[8] = 0x02, next_ptr, status, command
    return bytes(cap)


DEFAULT_CFG = config_space({0x60: b'\x01\x68', 0x68: b'\x05\x78', 0x78: pcie(0, 2, 2, 16)}, 0x60)


@seed('buslink_fuzzer', 'pci-express-x16')
def _():
    return u8(0) + DEFAULT_CFG


@seed('buslink_fuzzer', 'agp-both-modes')
def _():
    return u8(1) + config_space({0x40: agp(0, 0x0B, 0x02)}, 0x40) + \
        config_space({0x50: b'\x01\x58', 0x58: agp(0, 0x04, 0x00)}, 0x50)


@seed('buslink_fuzzer', 'list-loops-and-ends-high')
def _():
    return u8(3) + config_space({0x40: b'\x09\x40'}, 0x40) + \
        config_space({0xF8: b'\x01\xFF'}, 0xF8) + config_space({0xF0: b'\x10\x00'}, 0xF0) + \
        config_space({0x48: pcie(0, 1, 3, 8)}, 0x48)


def chain(hops, last):
    """A capability list of `hops` entries that are neither PCI Express nor AGP, each pointing
    to the next, ending in an entry with ID `last` (a PCI Express one when 0x10)."""
    caps = {}
    at = 0x40
    for _ in range(hops):
        caps[at] = u8(0x09, at + 8)
        at += 8
    caps[at] = pcie(0, 1, 2, 4) if last == 0x10 else u8(last, 0)
    return config_space(caps, 0x40)


@seed('buslink_fuzzer', 'found-after-eleven-hops-not-after-twelve')
def _():
    return u8(1) + chain(11, 0x10) + chain(12, 0x10)


# -- update_fuzzer -------------------------------------------------------------------------------
def update(cardtag=3, ppid=('CN0X0', 0, 4), nvapi=3, gpus=1, count=None, init=None, hooks=0,
           missing=None, regs=(), regs0=(), completion=None, faults=(), untouched=(),
           scribble=()):
    """ppid: None, bytes text, or (text, marker index, position[, cut]); regs: {reg: value}
    with value 'new' or a byte; faults: (kind 0 init|1 enum|2 i2c|3 bus, call, status index)."""
    out = u8(cardtag)
    if ppid is None:
        out += u8(0)
    elif isinstance(ppid, bytes):
        out += u8(1, len(ppid)) + ppid
    else:
        text, marker, pos = ppid[:3]
        cut = len(ppid) > 3 and ppid[3]
        out += u8(2 | marker << 2 | (0x10 if cut else 0), len(text)) + text.encode() + u8(pos)
    out += u8(nvapi, gpus, 0 if count is None else 0x80 | count)
    out += u8((3 | init << 2 if init is not None else 0) | hooks << 5 | (0x80 if missing else 0))
    if missing:
        out += u8(missing)
    for table in (regs, regs0):
        modes, values = 0, b''
        for i, reg in enumerate((0x1A, 0x23, 0x1D, 0x80)):
            if reg in table:
                if table[reg] == 'new':
                    modes |= 1 << 2 * i
                else:
                    modes |= 2 << 2 * i
                    values += u8(table[reg])
        out += u8(modes) + values
    out += u8((1 if completion is not None else 0) | len(faults) << 1)
    if completion is not None:
        out += u8(completion)
    for kind, call, status in faults:
        out += u8(kind | (call - 1) << 2, status)
    out += u8(len(untouched) | len(scribble) << 2)
    out += b''.join(u8(n - 1) for n in untouched) + b''.join(u8(n - 1) for n in scribble)
    return out


NEW = {0x1A: 'new', 0x23: 'new', 0x1D: 'new'}

for name, kw in [
        ('eligible-update-and-reboot', {}),
        ('already-latest', dict(regs=NEW)),
        ('two-gpus-first-register-differs', dict(gpus=2, regs={0x23: 'new', 0x1D: 'new'})),
        ('driver-init-fails', dict(init=0)),
        ('completion-check-fails', dict(completion=0x02, gpus=3)),
        ('count-above-the-table', dict(gpus=3, count=100)),
        ('first-query-fails', dict(faults=[(2, 1, 0)], regs=NEW)),
        ('completion-untouched-passes', dict(untouched=[8], scribble=[2], completion=0x02)),
        ('marker-cut-short', dict(ppid=('CN0X0', 1, 2, True))),
        ('null-ppid', dict(ppid=None)),
        ('identity-library-missing', dict(cardtag=0)),
        ('no-driver-library', dict(nvapi=0, hooks=2)),
]:
    seed('update_fuzzer', name)(lambda kw=kw: update(**kw))


# -- loader_fuzzer -------------------------------------------------------------------------------
INIT, ENUM, I2C, SYSDIR, REPLACE, BEHAVE = 0, 1, 2, 3, 4, 5
A, B, C, D = 0, 1, 2, 3


def op(kind, image=0, flags=0):
    return u8(kind | image << 4 | flags)


def behave(image, init_status=None, missing=0, status=0, toggle_resolver=False):
    """init_status / status: index into the fuzzer's status table (0 is success)."""
    v = 0 if init_status is None else 3 | init_status << 2
    return op(BEHAVE, image, 0x80 if toggle_resolver else 0) + u8(v, missing, status)


def replace(image=None, path=0):
    return op(REPLACE, image or 0, 0x40 if image is None else 0) + (b'' if image is None else u8(path))


@seed('loader_fuzzer', 'bind-and-call')
def _():
    return op(INIT) + op(ENUM) + op(I2C) + op(I2C)


@seed('loader_fuzzer', 'no-library-latched')
def _():
    return op(SYSDIR, flags=0x40) + op(INIT) + op(SYSDIR, B) + op(ENUM) + op(I2C)


@seed('loader_fuzzer', 'module-replaced-and-rebound')
def _():
    return (op(INIT) + op(ENUM) + behave(C, init_status=3) + replace(C, 1) + op(ENUM) + op(I2C)
            + replace(B, 2) + op(I2C) + op(ENUM) + replace() + op(ENUM))


@seed('loader_fuzzer', 'preloaded-one-hook-missing-function')
def _():
    return (behave(D, missing=0x02 | 0x10, status=7) + replace(D, 2) + op(INIT) + op(ENUM)
            + op(I2C) + behave(D, missing=0) + op(I2C))


# -- surface_fuzzer ------------------------------------------------------------------------------
def surface(driver=2, ati=None, loadspin=None, nvapi=None, host=0, host_len=0, missing=None,
            found=(2, 0), records=(), calls=(), stream=b'', platform=0, nvapi_faults=0):
    """ati: (enum status, bus, activity status, activity, export bits, displays);
    nvapi: the GPUs' buses; nvapi_faults: 0x0C init fails, 0x10/0x20 no enumeration/bus query,
    0x40/0x80 they fail; records: (bus, device, board); calls: (export, index); stream: what
    reads answer."""
    out = u8(driver | (4 if ati else 0) | (8 if loadspin is not None else 0)
             | (16 if nvapi else 0) | host << 5 | (0x80 if missing else 0))
    out += u8(platform)   # 1 no IsWow64Process, 4 no EnumDisplayDevicesA, 0x18 registration fails
    if host in (1, 2):
        out += u8(host_len)
    if missing:
        out += bytes(missing)
    out += u8(found[0], found[1], len(records))
    for bus, device, board in records:
        out += u8(4 if board else 0, bus, device)
    if ati:
        enum_status, bus, act_status, activity, exports, displays = ati
        out += u8(enum_status, bus, act_status, activity, exports | len(displays) << 2, *displays)
    if loadspin is not None:
        out += u8(loadspin)
    if nvapi:
        out += u8(len(nvapi) - 1 | nvapi_faults) + u8(*nvapi)
    out += u8(len(calls))
    for name, index in calls:
        out += u8(EXPORTS.index(name), index + 2)
    return out + stream


@seed('surface_fuzzer', 'nvidia-two-adapters')
def _():
    return surface(records=[(1, 0, True), (2, 0, False)], nvapi=[2, 1],
                   calls=[('GetVGAPPID_Num', 0), ('MultiGetModleName', 1), ('GetTELOVGACard', 0)],
                   stream=b'\x55\xaa\x00\x00PPIDModel#SN1402221898.\x00\x00\x00')


@seed('surface_fuzzer', 'ati-sleeping-second-adapter')
def _():
    return surface(found=(0, 2), records=[(3, 0, True), (4, 0, True)],
                   ati=(0, 4, 0, 0, 0, [5, 1]), loadspin=4,
                   calls=[('GetVGAPPID_Num2', 0), ('MultiGetVGAPPID_Num', 1)],
                   stream=b'\x55\xaaPP\x00\x00Card#ID\r\n')


@seed('surface_fuzzer', 'ati-wakeup-program-missing')
def _():
    return surface(found=(0, 3), records=[(3, 0, True), (4, 0, True), (5, 0, False)],
                   ati=(0, 5, 0, 0, 0, []), calls=[('GetVGAModleName', 0)], stream=b'\xff')


@seed('surface_fuzzer', 'driver-lacks-exports-and-long-host-path')
def _():
    return surface(host=1, host_len=60, missing=[0x02, 0, 0x10, 0, 0],
                   calls=[('GetVGAPPID_Num', 0), ('MultiGetVGAPPID_Num', 7)])


@seed('surface_fuzzer', 'driver-api-lacks-the-bus-query')
def _():
    return surface(records=[(1, 0, True), (2, 0, True)], nvapi=[2, 1], nvapi_faults=0x20,
                   calls=[('GetTELOVGACard', 0)])


@seed('surface_fuzzer', 'registration-fails-after-discovery')
def _():
    return surface(records=[(1, 0, True)], found=(1, 0), platform=0x18 | 4 | 1, stream=b'\x55\xaa')


@seed('surface_fuzzer', 'more-adapters-than-the-table')
def _():
    return surface(found=(120, 0), records=[(i, i, i % 2 == 0) for i in range(9)],
                   nvapi=[8], calls=[('MultiGetVGAPPID_Num', 9), ('GetVGAPPID_Num3', 0),
                                     ('GetTELOVGACard', 0)],
                   stream=bytes(range(256)))


def main():
    for target, seeds in SEEDS.items():
        folder = HERE / 'corpus' / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, fn in seeds:
            (folder / ('seed-' + name)).write_bytes(fn())
            print('%s/seed-%s' % (target, name))


if __name__ == '__main__':
    main()
