#!/usr/bin/env python3
"""Search-order bench: the real programs under Wine with copies of cardtag.dll, nvapi.dll,
HWAX.DLL, atipdlxx.dll and loadspin.exe planted in the current directory and in a directory
on PATH, where an elevated program must never take them from.

    planted_bench.py [--build DIR] [--work DIR] [--only NAME ...]

Each planted copy (tests/planted) leaves a trace file beside itself when it is loaded or
started. Every scenario (planted_scenarios.json, in the system bench's format) runs with the
program's current directory C:\\planted-cwd and C:\\planted-path on PATH (WINEPATH), both
holding all five copies; it passes when its own timeline and checks pass (system_bench.py)
and no copy left a trace. The genuine files lie in their places, or are missing where a
scenario says so, which is when a search would reach a planted copy. Controls first show that
a bare-name load does reach each folder and that the copies do leave their traces.
Needs an X display (run it under `xvfb-run -a`). Prints "N passed, M failed" at the end.
"""
import argparse
import json
import os
import shutil
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench  # noqa: E402
import system_bench  # noqa: E402

REPO = HERE.parents[1]
PLANTED = {
    'cardtag.dll': 'tests/planted/cardtag.dll',
    'nvapi.dll': 'tests/planted/nvapi.dll',
    'HWAX.DLL': 'tests/planted/HWAX.DLL',
    'atipdlxx.dll': 'tests/planted/atipdlxx.dll',
    'loadspin.exe': 'tests/planted/loadspin.exe',
}
CWD_FOLDER = 'planted-cwd'
PATH_FOLDER = 'planted-path'
TRACE_SUFFIXES = ('.loaded', '.started')


class PlantedWine(bench.Wine):
    """The bench's Wine, but the program under test starts in another current directory."""

    cwd = None

    def popen(self, args, out_path, cwd=None, env=None):
        if self.cwd is not None and cwd == self.program_dir:
            cwd = self.cwd
        return super().popen(args, out_path, cwd=cwd, env=env)


def folders(wine):
    drive_c = wine.prefix / 'drive_c'
    return drive_c / CWD_FOLDER, drive_c / PATH_FOLDER


def plant(wine, build):
    """Both folders hold exactly the five planted copies, no traces."""
    for folder in folders(wine):
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        bench.install(PLANTED, folder, build)


def traces(wine):
    """'<folder>\\<file>: <what loaded or started it>' for every trace left."""
    found = []
    for folder in folders(wine):
        for f in sorted(folder.iterdir()):
            if f.name.endswith(TRACE_SUFFIXES):
                who = f.read_bytes().decode('latin-1').strip().replace('\r\n', '; ')
                found.append('%s\\%s: %s' % (folder.name, f.name, who))
    return found


def with_planted_path(case):
    case.scenario.env['WINEPATH'] = 'C:\\' + PATH_FOLDER
    return case


def load_cases(path):
    """The scenarios of planted_scenarios.json, read as system_bench reads its own, with the
    defaults and shared settings of system_scenarios.json and scenarios.json."""
    with open(path, encoding='utf-8') as f:
        planted = json.load(f)
    with open(HERE / 'system_scenarios.json', encoding='utf-8') as f:
        system = json.load(f)
    with open(HERE / 'scenarios.json', encoding='utf-8') as f:
        shared = json.load(f)
    config = {k: shared[k] for k in system_bench.SHARED_CONFIG_KEYS}
    config['defaults'] = system['system_defaults']
    config['library_defaults'] = system['library_defaults']
    cases = [with_planted_path(system_bench.system_case(r, config)) for r in planted['system']]
    cases += [with_planted_path(system_bench.library_case(r, config)) for r in planted['library']]
    return config, cases


def run_controls(wine, build):
    """Problems with the plant itself: a bare-name load from the current directory and one
    through PATH must reach the planted copies, and each kind of copy must leave its trace."""
    host = str(build / 'tests/hostprog/cardhost.exe')
    cwd_folder, path_folder = folders(wine)
    neutral = wine.work / 'control'
    neutral.mkdir(parents=True, exist_ok=True)
    out = bench.winpath(neutral / 'host.out')
    env = wine.env({'WINEPATH': 'C:\\' + PATH_FOLDER})
    controls = [
        ('bare-name load from the current directory', [host, '-o', out, '-l', 'HWAX.DLL'],
         cwd_folder, cwd_folder / 'HWAX.DLL.loaded'),
        ('bare-name load through PATH', [host, '-o', out, '-l', 'cardtag.dll'],
         neutral, path_folder / 'cardtag.dll.loaded'),
        ('planted program started', ['C:\\%s\\loadspin.exe' % CWD_FOLDER],
         neutral, cwd_folder / 'loadspin.exe.started'),
    ]
    problems = []
    for about, args, cwd, trace in controls:
        plant(wine, build)
        wine.run(['wine'] + args, timeout=60, cwd=cwd, env=env)
        if not trace.exists():
            problems.append('control "%s": no trace %s' % (about, trace.name))
    plant(wine, build)
    return problems


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--build', default=str(REPO / 'build' / 'win'),
                    help='Windows build tree (default: build/win)')
    ap.add_argument('--work', help='folder of the Wine prefix and the runs '
                    '(default: <build>/planted-bench)')
    ap.add_argument('--scenarios', default=str(HERE / 'planted_scenarios.json'))
    ap.add_argument('--only', action='append', default=[], help='run only this scenario')
    args = ap.parse_args(argv[1:])

    build = Path(args.build).resolve()
    config, cases = load_cases(args.scenarios)
    unknown = set(args.only) - {c.name for c in cases}
    if unknown:
        print('unknown scenario(s): %s' % ', '.join(sorted(unknown)), file=sys.stderr)
        return 2
    if args.only:
        cases = [c for c in cases if c.name in args.only]
    if not os.environ.get('DISPLAY'):
        print('planted bench: no X display; message boxes would not block. '
              'Run it under xvfb-run -a.', file=sys.stderr)
        return 2

    wine = PlantedWine(Path(args.work).resolve() if args.work else build / 'planted-bench')
    wine.start()
    passed = failed = 0
    try:
        try:
            problems = run_controls(wine, build)
        except RuntimeError as e:   # a planted copy is not built
            problems = [str(e)]
        if problems:
            failed += 1
            print('FAIL controls: %s' % '; '.join(problems), flush=True)
        else:
            passed += 1
            print('PASS controls: bare names reach both folders, the copies leave traces', flush=True)
        wine.cwd = folders(wine)[0]
        for case in cases:
            try:
                plant(wine, build)
                res, hwax, host, problems = system_bench.run_case(wine, build, case, config)
                problems = ['planted copy used: %s' % t for t in traces(wine)] + problems
            except RuntimeError as e:
                res, problems = bench.Result(), [str(e)]
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
    print('%d passed, %d failed' % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv))
