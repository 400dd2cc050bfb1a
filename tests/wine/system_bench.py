#!/usr/bin/env python3
"""System bench: the real vrmset.exe and cardtag.dll together under Wine, with the simulated
access driver HWAX.DLL beside them and the simulated nvapi.dll (and atipdlxx.dll) in the
system directory; and the library alone, driven by cardhost.exe.

    system_bench.py [--build DIR] [--work DIR] [--only NAME ...]
    system_bench.py --show NAME [--build DIR] [--work DIR]

Scenarios are data (system_scenarios.json beside this file; see its "about" text). The Wine
prefix, the runs, the box watcher and the timeline verdict are the vrmset bench's (bench.py);
this driver adds the library's files and simulators to each run and checks what the library
alone answers. Needs an X display (run it under `xvfb-run -a`). Standard library only.
Prints one line per scenario, the measurements, and a closing line "N passed, M failed".
"""
import argparse
import copy
import json
import os
import re
import shutil
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench  # noqa: E402

REPO = HERE.parents[1]
HOST_EXE = 'C:\\vrmset\\cardhost.exe'
LIBRARY_FOLDER = 'cardlib'          # under drive_c: the library's folder when it is not the host's
LEFTOVER_GRACE_S = 2.0              # how long a terminated wake-up program may take to vanish

# What the bench's verdict shares with the vrmset bench: message texts, record fields, waits.
SHARED_CONFIG_KEYS = ('messages', 'i2c_fields', 'waits_after_ms', 'wait_tolerance_ms')
LIBRARY_KEYS = {'name', 'about', 'hwax', 'nvsim', 'hwax_in', 'loadspin', 'atipdl', 'unload',
                'calls', 'expect'}
LIBRARY_EXPECT_KEYS = {'output', 'load', 'boxes', 'load_ms', 'hwax_log', 'hwax_absent',
                       'hwax_lines', 'hwax_notes', 'exit'}
SYSTEM_EXTRA_KEYS = {'hwax', 'hwax_notes'}


# -- scenarios ------------------------------------------------------------------------------------
class Case:
    """One scenario: the bench scenario that runs it, and the checks this driver adds."""

    def __init__(self, kind, scenario, raw):
        self.kind = kind              # 'system' or 'library'
        self.scenario = scenario      # bench.Scenario
        self.name = scenario.name
        self.raw = raw
        expect = raw.get('expect', {}) if kind == 'library' else {}
        self.output = expect.get('output')
        self.load = expect.get('load', 'ok')
        self.load_ms = expect.get('load_ms')
        self.hwax_log = expect.get('hwax_log', [])
        self.hwax_absent = expect.get('hwax_absent', [])
        self.hwax_lines = expect.get('hwax_lines', {})
        notes = expect.get('hwax_notes') if kind == 'library' else raw.get('hwax_notes')
        self.hwax_notes = notes or []   # patterns of simulator notes that are expected
        self.library_elsewhere = raw.get('hwax_in', 'host') == 'library'


def hwax_text(lines):
    return '\n'.join(lines) + '\n'


def system_case(raw, config):
    unknown_extra = set(raw) - bench.SCENARIO_KEYS - SYSTEM_EXTRA_KEYS
    if unknown_extra:
        raise bench.ScenarioError('%s: unknown keys %s' % (raw.get('name'), sorted(unknown_extra)))
    b = {k: v for k, v in raw.items() if k in bench.SCENARIO_KEYS}
    b.setdefault('ppid', None)       # the real library answers; no stub text
    b['inputs'] = dict(b.get('inputs', {}), **{'hwax.txt': hwax_text(raw.get('hwax', []))})
    return Case('system', bench.Scenario(b, config), raw)


def library_case(raw, config):
    unknown = set(raw) - LIBRARY_KEYS
    unknown |= {'expect.' + k for k in set(raw.get('expect', {})) - LIBRARY_EXPECT_KEYS}
    if unknown:
        raise bench.ScenarioError('%s: unknown keys %s' % (raw.get('name'), sorted(unknown)))
    where = raw.get('hwax_in', 'host')
    if where not in ('host', 'library'):
        raise bench.ScenarioError('%s: hwax_in must be host or library' % raw['name'])
    d = config['library_defaults']
    program = dict(d['program'])
    if where == 'library':
        # cardtag.dll and HWAX.DLL go to another folder (run_library_case); the host's
        # folder keeps only the host and the wake-up program.
        program['cardtag.dll'] = None
        program['HWAX.DLL'] = None
    if not raw.get('loadspin', True):
        program['loadspin.exe'] = None
    system32 = dict(d['system32'])
    if not raw.get('atipdl', True):
        system32['atipdlxx.dll'] = None
    args = ['-o', '{run}\\host.out']
    if where == 'library':
        args += ['-l', 'C:\\%s\\cardtag.dll' % LIBRARY_FOLDER]
    if raw.get('unload'):
        args.append('-u')
    args += raw.get('calls', [])
    expect = raw.get('expect', {})
    boxes = ['box "%s" "%s"' % (caption, text) for caption, text in expect.get('boxes', [])]
    b = {
        'name': raw['name'], 'about': raw.get('about', ''), 'program': program,
        'system32': system32, 'env': d['env'], 'nvsim': raw.get('nvsim', []), 'ppid': None,
        'inputs': {'hwax.txt': hwax_text(raw.get('hwax', []))}, 'args': args,
        'expect': boxes, 'exit': expect.get('exit', 0 if expect.get('load', 'ok') == 'ok' else 1),
    }
    return Case('library', bench.Scenario(b, config), raw)


def load_cases(path, bench_path):
    with open(path, encoding='utf-8') as f:
        data = json.load(f)
    with open(bench_path, encoding='utf-8') as f:
        shared = json.load(f)
    config = {k: shared[k] for k in SHARED_CONFIG_KEYS}
    config['defaults'] = data['system_defaults']
    config['library_defaults'] = data['library_defaults']
    cases = [system_case(r, config) for r in data['system']]
    cases += [library_case(r, config) for r in data['library']]
    names = [c.name for c in cases]
    dupes = {n for n in names if names.count(n) > 1}
    if dupes:
        raise bench.ScenarioError('scenario names used twice: %s' % sorted(dupes))
    for m in data.get('measure', []):
        for key in ('baseline', 'run'):
            if m[key] not in names:
                raise bench.ScenarioError('measure %r names no scenario %r' % (m['about'], m[key]))
    return config, cases, data.get('measure', [])


# -- what a run left behind ----------------------------------------------------------------------
HWAX_LINE = re.compile(r'^(\d+) (\S+) (call|write|note|count) (\S+)(?: (.*))?$')


class HwaxLog:
    def __init__(self, path):
        try:
            text = Path(path).read_bytes().decode('latin-1')
        except FileNotFoundError:
            text = ''
        self.lines = [ln.rstrip('\r') for ln in text.split('\n') if ln.strip()]
        self.notes = []
        self.counts = {}
        for ln in self.lines:
            m = HWAX_LINE.match(ln)
            if not m:
                continue
            _, source, kind, export, rest = m.groups()
            if kind == 'note':
                self.notes.append(ln)
            elif kind == 'count' and source == 'hwax':
                self.counts[export] = int(rest)


def read_host_output(path):
    """(load line, load ms or None, result lines) of cardhost's output file; None if absent."""
    try:
        lines = Path(path).read_bytes().decode('latin-1').splitlines()
    except FileNotFoundError:
        return None
    load, load_ms, results = None, None, []
    for ln in lines:
        if ln.startswith('library '):
            continue
        if ln.startswith('load_ms '):
            load_ms = int(ln.split()[1])
        elif ln.startswith('load '):
            load = ln[len('load '):]
        else:
            results.append(ln)
    return load, load_ms, results


def live_processes(prefix, image):
    """Linux pids of processes of this Wine prefix whose command line names `image`."""
    found = []
    for entry in Path('/proc').iterdir():
        if not entry.name.isdigit():
            continue
        try:
            cmdline = (entry / 'cmdline').read_bytes().decode('latin-1').lower()
            if image.lower() not in cmdline:
                continue
            environ = (entry / 'environ').read_bytes().split(b'\0')
        except OSError:
            continue
        if ('WINEPREFIX=%s' % prefix).encode() in environ:
            found.append(int(entry.name))
    return found


# -- verdict of the checks added here ----------------------------------------------------------------
def ordered_matches(patterns, lines):
    """The first pattern that does not match a line after the previous pattern's match."""
    i = 0
    for p in patterns:
        rx = re.compile(p)
        while i < len(lines) and not rx.search(lines[i]):
            i += 1
        if i == len(lines):
            return p
        i += 1
    return None


def check_case(case, hwax, host, leftovers):
    """Problems found by this driver's checks (the bench's timeline verdict comes first)."""
    problems = []
    unexpected_notes = [n for n in hwax.notes
                        if not any(re.search(p, n) for p in case.hwax_notes)]
    if unexpected_notes:
        problems.append('access-driver simulator noted: %s' % unexpected_notes[0])
    missing = ordered_matches(case.hwax_log, hwax.lines)
    if missing is not None:
        problems.append('HWAX log: no line matching %r in order' % missing)
    for p in case.hwax_absent:
        hit = next((ln for ln in hwax.lines if re.search(p, ln)), None)
        if hit:
            problems.append('HWAX log: unexpected %r' % hit)
    for p, want in case.hwax_lines.items():
        got = sum(1 for ln in hwax.lines if re.search(p, ln))
        if got != want:
            problems.append('HWAX log: %d lines match %r, want %d' % (got, p, want))
    if leftovers:
        problems.append('still running after the run: %s' % ', '.join(leftovers))
    if case.kind != 'library':
        return problems
    if host is None:
        return ['cardhost wrote no output'] + problems
    load, load_ms, results = host
    first = []   # what the host saw comes before the log details
    if load != case.load:
        first.append('load %s, want %s' % (load, case.load))
    if case.output is not None and results != case.output:
        for i in range(max(len(results), len(case.output))):
            got = results[i] if i < len(results) else '(nothing)'
            want = case.output[i] if i < len(case.output) else '(nothing)'
            if got != want:
                first.append('output line %d: %s, want %s' % (i + 1, got, want))
                break
    if case.load_ms is not None and (load_ms is None or
                                     not case.load_ms[0] <= load_ms <= case.load_ms[1]):
        first.append('load took %s ms, want %d..%d' % (load_ms, *case.load_ms))
    return first + problems


# -- running ----------------------------------------------------------------------------------------
def place_library_elsewhere(wine, build, case):
    """For a library that does not lie beside its host: cardtag.dll and HWAX.DLL in their own
    folder, nothing else there."""
    folder = wine.prefix / 'drive_c' / LIBRARY_FOLDER
    shutil.rmtree(folder, ignore_errors=True)
    if case.library_elsewhere:
        folder.mkdir(parents=True)
        bench.install({'cardtag.dll': 'cardtag/cardtag.dll',
                       'HWAX.DLL': 'simulators/hwax/HWAX.DLL'}, folder, build)


def run_case(wine, build, case, config, show=False):
    place_library_elsewhere(wine, build, case)
    exe = HOST_EXE if case.kind == 'library' else bench.VRMSET_EXE
    res = bench.run_scenario(wine, build, case.scenario, config, show=show, exe=exe)
    run_dir = bench.run_folder(wine, case.scenario)
    # The wake-up program must not outlive the library's wait.
    deadline = time.monotonic() + LEFTOVER_GRACE_S
    leftovers = live_processes(wine.prefix, 'loadspin.exe')
    while leftovers and time.monotonic() < deadline:
        time.sleep(0.1)
        leftovers = live_processes(wine.prefix, 'loadspin.exe')
    if leftovers:
        wine.restart_server()
    hwax = HwaxLog(run_dir / 'hwax.log')
    host = read_host_output(run_dir / 'host.out') if case.kind == 'library' else None
    problems = bench.evaluate(case.scenario, res, config)
    problems += check_case(case, hwax, host, ['loadspin.exe'] if leftovers else [])
    return res, hwax, host, problems


def show_run(case, res, hwax, host):
    if host is not None:
        load, load_ms, results = host
        print('cardhost: load %s in %s ms' % (load, load_ms))
        for ln in results:
            print('    %s' % ln)
    for ln in hwax.lines:
        if HWAX_LINE.match(ln) and HWAX_LINE.match(ln).group(3) != 'count':
            print('  hwax log: %s' % ln)
    if hwax.counts:
        print('  access-driver calls: %s' % ', '.join('%s %d' % kv for kv in sorted(hwax.counts.items())))
    if case.kind == 'system':
        print('vrmset.exe ended with exit code %s after %.1f s' % (res.exit_code, res.seconds))


def measure(m, runs):
    """Per-export difference of the access-driver call counts of two runs."""
    base, run = runs.get(m['baseline']), runs.get(m['run'])
    if base is None or run is None:
        return None, 'not run'
    if not base.counts or not run.counts:
        return None, 'no call counts in the HWAX log (was the library unloaded?)'
    delta = {k: run.counts.get(k, 0) - base.counts.get(k, 0)
             for k in set(base.counts) | set(run.counts)}
    delta = {k: v for k, v in delta.items() if v}
    total = sum(delta.values())
    want = m.get('total')
    text = 'total %d: %s' % (total, ', '.join('%s %d' % kv for kv in sorted(delta.items())))
    if want is not None and total != want:
        return False, text + ' (want total %d)' % want
    return True, text


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--build', default=str(REPO / 'build' / 'win'),
                    help='Windows build tree (default: build/win)')
    ap.add_argument('--work', help='folder of the Wine prefix and the runs '
                    '(default: <build>/system-bench)')
    ap.add_argument('--scenarios', default=str(HERE / 'system_scenarios.json'))
    ap.add_argument('--only', action='append', default=[], help='run only this scenario')
    ap.add_argument('--show', metavar='NAME', help='run one scenario and show what happens')
    args = ap.parse_args(argv[1:])

    build = Path(args.build).resolve()
    config, cases, measures = load_cases(args.scenarios, HERE / 'scenarios.json')
    wanted = [args.show] if args.show else args.only
    unknown = set(wanted) - {c.name for c in cases}
    if unknown:
        print('unknown scenario(s): %s; known: %s' % (
            ', '.join(sorted(unknown)), ', '.join(c.name for c in cases)), file=sys.stderr)
        return 2
    if wanted:
        cases = [c for c in cases if c.name in wanted]
    if not os.environ.get('DISPLAY'):
        print('system bench: no X display; message boxes would not block. '
              'Run it under xvfb-run -a.', file=sys.stderr)
        return 2

    wine = bench.Wine(Path(args.work).resolve() if args.work else build / 'system-bench')
    wine.start()
    passed = failed = 0
    logs = {}
    try:
        for case in cases:
            if args.show:
                print('scenario %s: %s' % (case.name, case.scenario.about))
            try:
                res, hwax, host, problems = run_case(wine, build, case, config,
                                                     show=bool(args.show))
            except RuntimeError as e:   # a file of the scenario is not built
                res, problems = bench.Result(), [str(e)]
            else:
                logs[case.name] = hwax
                if args.show:
                    show_run(case, res, hwax, host)
            if problems:
                failed += 1
                print('FAIL %s: %s' % (case.name, problems[0]), flush=True)
                for p in problems[1:]:
                    print('     %s' % p)
            else:
                passed += 1
                print('PASS %s (%.1f s)' % (case.name, res.seconds), flush=True)
    finally:
        wine.stop()
    for m in measures:
        ok, text = measure(m, logs)
        if ok is None:
            continue
        print('%s %s: %s' % ('MEASURE' if ok else 'FAIL', m['about'], text))
        if 'total' in m:   # a measurement with a stated figure is a check
            passed, failed = (passed + 1, failed) if ok else (passed, failed + 1)
    print('%d passed, %d failed' % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv))
