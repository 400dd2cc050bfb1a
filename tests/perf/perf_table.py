#!/usr/bin/env python3
"""Prints the native benchmarks (perf_bench's JSON output) as a short table: the median CPU
time of each cost beside its floor, the difference and the ratio, and the call counts.

    perf_table.py BENCH.json

Only reports; nothing here passes or fails on a timing. Standard library only.
"""
import json
import sys

UNIT_NS = {'ns': 1.0, 'us': 1e3, 'ms': 1e6, 's': 1e9}
SCANNED_BYTES = 262137


def medians(path):
    """run name -> (median CPU ns, counters, cv of the CPU time or None)."""
    with open(path, encoding='utf-8') as f:
        data = json.load(f)
    out, cvs = {}, {}
    for b in data['benchmarks']:
        if b.get('error_occurred'):
            out[b['run_name']] = None
            continue
        agg = b.get('aggregate_name')
        if agg == 'cv':
            cvs[b['run_name']] = b['cpu_time']
        if agg not in ('median', None):
            continue
        if agg is None and b['run_name'] in out:   # a single run: keep the first
            continue
        counters = {k: v for k, v in b.items() if isinstance(v, (int, float)) and k not in (
            'family_index', 'per_family_instance_index', 'repetitions', 'repetition_index',
            'threads', 'iterations', 'real_time', 'cpu_time')}
        out[b['run_name']] = (b['cpu_time'] * UNIT_NS[b['time_unit']], counters)
    return {k: (v[0], v[1], cvs.get(k)) if v else None for k, v in out.items()}, data['context']


def fmt_ns(ns):
    if ns >= 1e6:
        return '%.2f ms' % (ns / 1e6)
    if ns >= 1e3:
        return '%.1f us' % (ns / 1e3)
    return '%.1f ns' % ns


def row(label, value, note=''):
    print('  %-58s %12s  %s' % (label, value, note))


def noise(m):
    return '(cv %.0f%%)' % (m[2] * 100) if m[2] is not None else ''


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    m, context = medians(argv[1])
    missing = [k for k in ('I2CReadEx_Direct', 'I2CReadEx_DirectWithHooks', 'I2CReadEx_Client',
                           'GetModuleHandleA_StandIn', 'GetVGAPPID_Num_256KiB',
                           'GetVGAPPID_Num_256KiB_Floor') if not m.get(k)]
    if missing:
        print('perf_table: no result for %s' % ', '.join(missing), file=sys.stderr)
        return 1
    reps = next((b.get('repetitions') for b in json.load(open(argv[1]))['benchmarks']), 1)
    print('Native benchmarks: median CPU time of %s repetitions (32-bit, -O2, no sanitizers; '
          'load average %s)' % (reps, ', '.join('%.1f' % x for x in context.get('load_avg', []))))

    d, h, c, g = (m[k] for k in ('I2CReadEx_Direct', 'I2CReadEx_DirectWithHooks',
                                 'I2CReadEx_Client', 'GetModuleHandleA_StandIn'))
    pd, po = m.get('Paired_Client_Direct'), m.get('Paired_Client_OutsideCalls')
    print()
    print('Wrapper fast path: one NvAPI_I2CReadEx, library bound, slot good, hooks present, '
          'driver function returns 0')
    row('direct call of the entry point', fmt_ns(d[0]), noise(d))
    row('outside calls alone: pre hook, entry, post hook', fmt_ns(h[0]), noise(h))
    row('stand-in GetModuleHandleA("nvapi.dll")', fmt_ns(g[0]),
        'a string search of the native stand-in, not the Windows cost')
    row('through the client', fmt_ns(c[0]), noise(c))
    if pd:
        row('  added per call over the direct call (paired)', fmt_ns(pd[1]['diff_ns']),
            'ratio %.0fx  (target: under 1 us)' % pd[1]['ratio'])
    if po:
        row('  client\'s own work: over GetModuleHandleA + hooks + entry', fmt_ns(po[1]['diff_ns']),
            'ratio %.3fx (paired)' % po[1]['ratio'])
    row('  heap blocks / lock entries per call', '%g / %g' % (
        c[1].get('allocs_per_call', float('nan')), c[1].get('locks_per_call', float('nan'))),
        '(target: 0 / 0)')

    t, f, pi = m['GetVGAPPID_Num_256KiB'], m['GetVGAPPID_Num_256KiB_Floor'], \
        m.get('Paired_GetVGAPPID_Num_Floor')
    calls = t[1].get('driver_calls', 0)
    print()
    print('Identity call: one GetVGAPPID_Num, 256 KiB NVIDIA ROM, "PPID" text in its last bytes, '
          'in-process simulated access driver')
    row('GetVGAPPID_Num', fmt_ns(t[0]), noise(t))
    row('floor: the same driver calls straight on the entry points', fmt_ns(f[0]), noise(f))
    row('access-driver calls (both)', '%d / %d' % (calls, f[1].get('driver_calls', 0)),
        '262137 candidates + 42 at the marker + 6 ROM window')
    row('time per scanned byte', fmt_ns(t[0] / SCANNED_BYTES))
    if pi and calls:
        row('our overhead per driver call (paired)', fmt_ns(pi[1]['diff_ns'] / calls),
            'ratio %.2fx  (target: under 20 ns)' % pi[1]['ratio'])

    print()
    print('Load-time discovery: cardtag.dll loaded through the stand-in loader, NVIDIA adapters')
    for n in (1, 2, 8):
        r = m.get('LoadWithDiscovery/%d' % n)
        if r:
            row('%d adapter%s' % (n, '' if n == 1 else 's'), fmt_ns(r[0]),
                '%d access-driver calls %s' % (r[1].get('driver_calls', 0), noise(r)))
    b = m.get('DriverBinding_StandIn')
    if b:
        row('  of each: stand-in load of HWAX.DLL and 33 GetProcAddress', fmt_ns(b[0]),
            'not the Windows cost')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
