#!/usr/bin/env python3
"""End-to-end figures under Wine, each beside its floor, taken in one Wine session:

  - start to first message box: vrmset.exe with the real cardtag.dll (discovery and the ROM
    scan through the simulated HWAX.DLL) against firstbox.exe, a trivial program with one
    MessageBoxA; vrmset.exe with the stand-in identity library shows the library's share;
  - the programming sequence: from the first set command to the completion check, against
    its 2,200 ms of fixed waits.

    wine_perf.py [--build DIR] [--work DIR] [--rounds N]

The programs run in rounds, one of each per round, after one warm-up round; each ratio is the
median of its per-round ratios, so a change of load between rounds affects both sides. Every
run must also pass the bench's verdict of its timeline. Timings are reported, never judged.
Needs an X display (run it under `xvfb-run -a`). Standard library only.
"""
import argparse
import os
import statistics
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / 'wine'))
import bench  # noqa: E402
import system_bench  # noqa: E402

REPO = HERE.parents[1]
FIRSTBOX_EXE = 'C:\\vrmset\\firstbox.exe'
FULL_CASE = 'nv-eligible-update'      # system_scenarios.json: real cardtag.dll, full update
STUB_SCENARIO = 'eligible'            # scenarios.json: the same update, stand-in cardtag.dll
WAITS_MS = 150 + 550 + 1500           # the fixed waits of the programming sequence
SCAN_CALLS = 262185                   # access-driver calls of GetVGAPPID_Num in FULL_CASE


def firstbox_scenario(config):
    return bench.Scenario({
        'name': 'perf-firstbox',
        'about': 'trivial program: one MessageBoxA',
        'program': {'firstbox.exe': 'tests/perf/firstbox.exe'},
        'ppid': None,
        'expect': ['box "firstbox" "first box"'],
    }, config)


def hwax_times_ms(hwax):
    """(discovery, scan) of one run from the access-driver log, in ms. Discovery: from the
    driver's load to the ROM window's restore after the last probe. Scan: the identity call,
    from its ROM window's open to its restore, which are the last two register writes."""
    attach = next((int(ln.split()[0]) for ln in hwax.lines if ' call DllMain attach' in ln), None)
    writes = [int(ln.split()[0]) for ln in hwax.lines if ln.split()[2:3] == ['write']]
    if attach is None or len(writes) < 3:
        return None, None
    return (writes[-3] - attach) / 1000.0, (writes[-1] - writes[-2]) / 1000.0


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def ratio(a, b):
    return a / b if a is not None and b else None


def fmt(value, unit=' ms'):
    return '%9.1f%s' % (value, unit) if value is not None else '%9s%s' % ('-', ' ' * len(unit))


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--build', default=str(REPO / 'build' / 'win'),
                    help='Windows build tree (default: build/win)')
    ap.add_argument('--work', help='folder of the Wine prefix and the runs '
                    '(default: <build>/perf-bench)')
    ap.add_argument('--rounds', type=int, default=7)
    args = ap.parse_args(argv[1:])
    if not os.environ.get('DISPLAY'):
        print('wine_perf: no X display; run it under xvfb-run -a', file=sys.stderr)
        return 2

    build = Path(args.build).resolve()
    sys_config, cases, _ = system_bench.load_cases(
        bench.HERE / 'system_scenarios.json', bench.HERE / 'scenarios.json')
    full = next(c for c in cases if c.name == FULL_CASE)
    bench_config, scenarios = bench.load_scenarios(bench.HERE / 'scenarios.json')
    stub = next(s for s in scenarios if s.name == STUB_SCENARIO)
    trivial = firstbox_scenario(bench_config)

    wine = bench.Wine(Path(args.work).resolve() if args.work else build / 'perf-bench')
    rows = {'trivial': [], 'stub': [], 'full': [], 'program': [], 'discovery': [], 'scan': []}
    failures = []
    wine.start()
    try:
        for n in range(args.rounds + 1):
            res = bench.run_scenario(wine, build, trivial, bench_config, exe=FIRSTBOX_EXE)
            problems = bench.evaluate(trivial, res, bench_config)
            t_trivial = bench.start_to_first_box_ms(res)
            res = bench.run_scenario(wine, build, stub, bench_config)
            problems += bench.evaluate(stub, res, bench_config)
            t_stub = bench.start_to_first_box_ms(res)
            res, hwax, _, more = system_bench.run_case(wine, build, full, sys_config)
            problems += more
            t_discovery, t_scan = hwax_times_ms(hwax)
            t_full = bench.start_to_first_box_ms(res)
            t_program = bench.programming_ms(res, sys_config)
            if problems:
                failures.append('round %d: %s' % (n, problems[0]))
                continue
            if n == 0:
                continue   # warm-up: the first processes of a session start slowly
            rows['trivial'].append(t_trivial)
            rows['stub'].append(t_stub)
            rows['full'].append(t_full)
            rows['program'].append(t_program)
            rows['discovery'].append(t_discovery)
            rows['scan'].append(t_scan)
            print('round %d: first box %.0f / %.0f / %.0f ms (trivial / stub library / '
                  'real library), programming %.1f ms' % (n, t_trivial, t_stub, t_full,
                                                          t_program), flush=True)
    finally:
        wine.stop()

    for f in failures:
        print('FAIL %s' % f)
    if not rows['trivial']:
        print('wine_perf: no round passed')
        return 1
    per_round = list(zip(rows['trivial'], rows['stub'], rows['full'], rows['program']))
    print()
    print('Under Wine: median of %d rounds (after a warm-up round), one Wine session' %
          len(per_round))
    print('  Start to first message box (from the wine command to the box on screen)')
    print('    %-54s %s' % ('floor: firstbox.exe (one MessageBoxA)', fmt(median(rows['trivial']))))
    print('    %-54s %s  ratio %.2fx' % (
        'vrmset.exe with the stand-in identity library', fmt(median(rows['stub'])),
        median([ratio(s, t) for t, s, _, _ in per_round])))
    print('    %-54s %s  ratio %.2fx  (target: within 1.5x)' % (
        'vrmset.exe with cardtag.dll and simulated HWAX.DLL', fmt(median(rows['full'])),
        median([ratio(f, t) for t, _, f, _ in per_round])))
    print('      %-52s %s' % ('of which discovery (access-driver log)', fmt(median(rows['discovery']))))
    scan = median(rows['scan'])
    print('      %-52s %s  %s' % ('of which the ROM scan of GetVGAPPID_Num', fmt(scan),
                                  '(%.0f ns per driver call)' % (scan * 1e6 / SCAN_CALLS)
                                  if scan is not None else ''))
    print('  Programming sequence (first set command to the completion check)')
    print('    %-54s %s' % ('floor: the fixed waits 150 + 550 + 1500', fmt(WAITS_MS)))
    print('    %-54s %s  ratio %.4fx  (target: within 1.05x)' % (
        'vrmset.exe', fmt(median(rows['program'])), median(rows['program']) / WAITS_MS))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
