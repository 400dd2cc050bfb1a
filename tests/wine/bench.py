#!/usr/bin/env python3
"""Wine bench: runs the Windows build of vrmset.exe against the simulated driver library in a
32-bit Wine prefix, with a watcher program as the user who presses OK, and checks each
scenario's whole timeline: message boxes, I2C transactions, waits and the reboot request.

    bench.py [--build DIR] [--scenarios FILE] [--only NAME ...] [--vrmset FILE]
    bench.py --show NAME [--build DIR]

Needs an X display (run it under `xvfb-run -a`). Standard library only.
The scenarios are data (scenarios.json beside this file); see its "about" text.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]

RUN_TIMEOUT_S = 30
WATCHER_DEADLINE_MS = 120000
WATCHER_DELAY_MS = 30        # how long the "user" looks at a box before pressing OK
REBOOT_GRACE_S = 0.5         # how long an unexpected reboot request gets to show up
REBOOT_WAIT_S = 5.0          # how long an expected one may take

# No Mono or Gecko installers in the prefix, no menu entries written into the user's home.
BASE_OVERRIDES = 'mscoree,mshtml=;winemenubuilder.exe=d'
VRMSET_EXE = 'C:\\vrmset\\vrmset.exe'


def winpath(path):
    """Windows name of a Unix path through Wine's Z: drive."""
    return 'Z:' + str(Path(path).resolve()).replace('/', '\\')


# -- scenarios ------------------------------------------------------------------------------------
class ScenarioError(Exception):
    pass


EXPECT_I2C = re.compile(r'^(check|set|verify) (-?\d+): ((?:[0-9A-Fa-f]{2} ?)+)-> (-?\d+) '
                        r'((?:[0-9A-Fa-f]{2} ?)+|-)$')
EXPECT_BOX = re.compile(r'^box "([^"]*)" (?:(\w+)|"(.*)")$')
EXPECT_REBOOT = re.compile(r'^reboot(?: (.*))?$')


def hexbytes(text):
    """'5A 00' or '5A,00' -> '5A,00'; '-' stays '-'."""
    text = text.strip()
    if text == '-':
        return '-'
    return ','.join(b.upper() for b in re.split(r'[ ,]+', text) if b)


def parse_expect(line, messages, i2c_fields):
    m = EXPECT_I2C.match(line)
    if m:
        kind, gpu, cmd, status, resp = m.groups()
        fields = dict(i2c_fields[kind])
        fields.update(gpu=gpu, cmd=hexbytes(cmd), status=status, resp=hexbytes(resp))
        return ('i2c', kind, fields)
    m = EXPECT_BOX.match(line)
    if m:
        caption, name, literal = m.groups()
        if name is not None and name not in messages:
            raise ScenarioError('unknown message %r' % name)
        return ('box', caption, messages[name] if name is not None else literal)
    m = EXPECT_REBOOT.match(line)
    if m:
        return ('reboot', (m.group(1) or '').strip())
    raise ScenarioError('cannot read expectation %r' % line)


def text_bytes(value):
    """A JSON text whose characters stand for bytes 0..255."""
    try:
        return value.encode('latin-1')
    except UnicodeEncodeError:
        raise ScenarioError('text %r has characters above U+00FF' % value)


def ppid_bytes(value):
    if isinstance(value, str):
        return text_bytes(value)
    if isinstance(value, dict) and set(value) <= {'fill', 'length', 'end'}:
        end = text_bytes(value.get('end', ''))
        fill = text_bytes(value.get('fill', 'x')) or b'x'
        body_len = value['length'] - len(end)
        return (fill * (body_len // len(fill) + 1))[:body_len] + end
    raise ScenarioError('cannot read ppid %r' % (value,))


SCENARIO_KEYS = {'name', 'about', 'program', 'system32', 'env', 'nvsim', 'ppid', 'inputs',
                 'args', 'expect', 'exit'}


class Scenario:
    def __init__(self, raw, config):
        unknown = set(raw) - SCENARIO_KEYS
        if unknown:
            raise ScenarioError('%s: unknown keys %s' % (raw.get('name'), sorted(unknown)))
        d = config['defaults']
        self.name = raw['name']
        self.about = raw.get('about', '')
        self.program = dict(d.get('program', {}), **raw.get('program', {}))
        self.system32 = dict(d.get('system32', {}), **raw.get('system32', {}))
        self.env = dict(d.get('env', {}), **raw.get('env', {}))
        self.args = list(raw.get('args', d.get('args', [])))
        self.exit_code = raw.get('exit', 0)
        self.inputs = {}
        nvsim = raw.get('nvsim', d.get('nvsim', ''))
        self.inputs['nvsim.txt'] = (nvsim if isinstance(nvsim, str) else '\n'.join(nvsim)) \
            .encode('ascii') + b'\n'
        if 'ppid' not in raw:
            raise ScenarioError('%s: no ppid (use null for a null pointer)' % self.name)
        if raw['ppid'] is not None:
            self.inputs['ppid.bin'] = ppid_bytes(raw['ppid'])
        for name, value in raw.get('inputs', {}).items():
            self.inputs[name] = text_bytes(value)
        self.expect_lines = list(raw['expect'])
        self.expect = [parse_expect(e, config['messages'], config['i2c_fields'])
                       for e in self.expect_lines]
        self.reboot_expected = any(e[0] == 'reboot' for e in self.expect)


def load_scenarios(path):
    with open(path, encoding='utf-8') as f:
        config = json.load(f)
    scenarios = [Scenario(raw, config) for raw in config['scenarios']]
    names = [s.name for s in scenarios]
    dupes = {n for n in names if names.count(n) > 1}
    if dupes:
        raise ScenarioError('scenario names used twice: %s' % sorted(dupes))
    return config, scenarios


# -- logs ---------------------------------------------------------------------------------------
QUOTED = r'"((?:[^"\\]|\\.)*)"'
BOX_LINE = re.compile(r'^(\S+) box dismissed=(\S+) owner=(\d) icon=(\d) buttons=' + QUOTED +
                      ' caption=' + QUOTED + ' text=' + QUOTED + '$')
REBOOT_LINE = re.compile(r'^(\S+) args=' + QUOTED + ' cmdline=' + QUOTED + '$')


def unescape(s):
    out = bytearray()
    i = 0
    while i < len(s):
        c = s[i]
        if c == '\\' and i + 1 < len(s):
            n = s[i + 1]
            if n == 'x':
                out.append(int(s[i + 2:i + 4], 16))
                i += 4
                continue
            out.extend({'n': b'\n', 'r': b'\r', 't': b'\t'}.get(n, n.encode('latin-1')))
            i += 2
            continue
        out.extend(c.encode('latin-1'))
        i += 1
    return out.decode('latin-1')


class Box:
    def __init__(self, m):
        self.t = float(m.group(1))
        self.dismissed = float(m.group(2))
        self.owned = m.group(3) == '1'
        self.icon = m.group(4) == '1'
        self.buttons = unescape(m.group(5))
        self.caption = unescape(m.group(6))
        self.text = unescape(m.group(7))

    def describe(self):
        return 'box "%s" "%s"' % (self.caption, self.text)


I2C_KEYS = ('gpu', 'ver', 'mask', 'ddc', 'addr', 'cmd', 'regsize', 'cb', 'speed', 'khz',
            'port', 'portset', 'arg3', 'status', 'resp')


class I2c:
    def __init__(self, t, fields):
        self.t = t
        self.fields = fields

    def kind(self, i2c_fields):
        cmd = self.fields.get('cmd', '')
        if cmd.startswith('D0'):
            return 'set'
        if self.fields.get('speed') == i2c_fields['verify']['speed']:
            return 'verify'
        return 'check'

    def describe(self, i2c_fields=None):
        f = self.fields
        text = '%s: %s -> %s %s' % (f.get('gpu'), f.get('cmd', '-').replace(',', ' '),
                                    f.get('status'), f.get('resp', '-').replace(',', ' '))
        if i2c_fields is None:
            return 'i2c ' + text
        kind = self.kind(i2c_fields)
        odd = ['%s=%s' % (k, f.get(k)) for k, v in i2c_fields[kind].items() if f.get(k) != v]
        return '%s %s%s' % (kind, text, (' [' + ' '.join(odd) + ']') if odd else '')


class Reboot:
    def __init__(self, m):
        self.t = float(m.group(1))
        self.args = unescape(m.group(2))
        self.cmdline = unescape(m.group(3))

    def describe(self):
        return 'reboot %s' % self.args


def parse_nvsim_line(line):
    """(time, kind, {key: value}) of a simulator log line, or None."""
    parts = line.split()
    if len(parts) < 2:
        return None
    try:
        t = float(parts[0])
    except ValueError:
        return None
    fields = {}
    for p in parts[2:]:
        k, sep, v = p.partition('=')
        if sep:
            fields[k] = v
    return t, parts[1], fields


class LogTail:
    """New complete lines of a file that another process appends to."""

    def __init__(self, path):
        self.path = path
        self.pos = 0
        self.partial = b''

    def lines(self):
        try:
            with open(self.path, 'rb') as f:
                f.seek(self.pos)
                data = f.read()
        except FileNotFoundError:
            return []
        self.pos += len(data)
        data = self.partial + data
        *complete, self.partial = data.split(b'\n')
        return [c.decode('latin-1').rstrip('\r') for c in complete]


# -- Wine ---------------------------------------------------------------------------------------
class Wine:
    """A 32-bit prefix under the build tree with one persistent wineserver for the whole run.
    Every Wine command writes its output to a file: a wineserver started from a command whose
    output is a pipe would keep that pipe open."""

    def __init__(self, work):
        self.work = work
        self.prefix = work / 'prefix'
        self.log = work / 'wine.log'
        self.system32 = self.prefix / 'drive_c' / 'windows' / 'system32'
        self.program_dir = self.prefix / 'drive_c' / 'vrmset'

    def env(self, extra=None, overrides=BASE_OVERRIDES):
        env = dict(os.environ)
        env.update(WINEPREFIX=str(self.prefix), WINEARCH='win32', WINEDLLOVERRIDES=overrides)
        env.setdefault('WINEDEBUG', '-all')
        for k, v in (extra or {}).items():
            if v is None:
                env.pop(k, None)
            else:
                env[k] = v
        return env

    def run(self, args, timeout=120, **kw):
        with open(self.log, 'ab') as out:
            out.write(('$ %s\n' % ' '.join(args)).encode())
            out.flush()
            return subprocess.run(args, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.STDOUT, env=kw.pop('env', self.env()),
                                  timeout=timeout, **kw).returncode

    def start(self):
        self.work.mkdir(parents=True, exist_ok=True)
        self.run(['wineserver', '-k'], timeout=30)   # a server left over by an earlier run
        ready = self.prefix / '.bench-ready'
        if not ready.exists():
            t0 = time.monotonic()
            shutil.rmtree(self.prefix, ignore_errors=True)
            if self.run(['wine', 'wineboot', '--init'], timeout=300) != 0:
                raise RuntimeError('creating the prefix failed; see %s' % self.log)
            # Boxes close at once without a window manager; a crash ends the program
            # instead of opening a dialog.
            self.run(['wine', 'reg', 'add', 'HKCU\\Software\\Wine\\X11 Driver', '/v', 'Managed',
                      '/d', 'N', '/f'])
            self.run(['wine', 'reg', 'add', 'HKCU\\Software\\Wine\\WineDbg', '/v',
                      'ShowCrashDialog', '/t', 'REG_DWORD', '/d', '0', '/f'])
            self.run(['wineserver', '-w'], timeout=120)
            ready.write_text('')
            print('prefix created in %.1f s' % (time.monotonic() - t0), flush=True)
        self.run(['wineserver', '-p'], timeout=30)
        self.program_dir.mkdir(parents=True, exist_ok=True)

    def restart_server(self):
        self.run(['wineserver', '-k'], timeout=30)
        self.run(['wineserver', '-p'], timeout=30)

    def stop(self):
        self.run(['wineserver', '-k'], timeout=30)

    def popen(self, args, out_path, cwd=None, env=None):
        out = open(out_path, 'ab')
        try:
            return subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, cwd=cwd, env=env or self.env())
        finally:
            out.close()


def install(files, folder, build):
    """Lays the files of a scenario into a folder: name -> build path, or None for absent."""
    for name, rel in files.items():
        dest = folder / name
        if rel is None:
            if dest.exists() or dest.is_symlink():
                dest.unlink()
            continue
        src = build / rel
        if not src.is_file():
            raise RuntimeError('%s is not built (%s)' % (rel, src))
        shutil.copyfile(src, dest)


# -- one run ------------------------------------------------------------------------------------
class Result:
    def __init__(self):
        self.exit_code = None
        self.timed_out = False
        self.boxes = []
        self.i2c = []
        self.reboots = []
        self.sim_errors = []
        self.problems = []   # failures of the bench itself (watcher did not start, ...)
        self.t0 = None
        self.seconds = 0.0
        self.launched = None  # wine_clock_ms() when the program was started

    def timeline(self):
        events = self.boxes + self.i2c + self.reboots
        return sorted(events, key=lambda e: e.t)

    # One line of each log; each returns the event it added, if any.
    def add_box_line(self, line):
        if line.endswith(' ready') and self.t0 is None:
            self.t0 = float(line.split()[0])
            return None
        m = BOX_LINE.match(line)
        if not m:
            return None
        self.boxes.append(Box(m))
        return self.boxes[-1]

    def add_sim_line(self, line):
        parsed = parse_nvsim_line(line)
        if not parsed:
            return None
        t, kind, fields = parsed
        if kind == 'error':
            self.sim_errors.append(line)
        if kind != 'i2c':
            return None
        self.i2c.append(I2c(t, fields))
        return self.i2c[-1]

    def add_reboot_line(self, line):
        m = REBOOT_LINE.match(line)
        if not m:
            return None
        self.reboots.append(Reboot(m))
        return self.reboots[-1]


class Printer:
    """Prints a run as it happens (--show)."""

    def __init__(self, result, config):
        self.result = result
        self.config = config
        self.last_record = None   # the record's other fields, printed when they change

    def rel(self, t):
        return t - (self.result.t0 or t)

    def box(self, b):
        print('%9.3f s  BOX     caption "%s"' % (self.rel(b.t) / 1000, b.caption))
        print('%9s    text    "%s"' % ('', b.text))
        print('%9s    (OK pressed after %.0f ms)' % ('', b.dismissed - b.t))

    def i2c(self, e):
        f = e.fields
        kind = {'set': 'set register', 'check': 'state query',
                'verify': 'completion check'}[e.kind(self.config['i2c_fields'])]
        print('%9.3f s  I2C     GPU %s %-16s command %s -> status %s, read %s' % (
            self.rel(e.t) / 1000, f.get('gpu'), kind, f.get('cmd', '-').replace(',', ' '),
            f.get('status'), f.get('resp', '-').replace(',', ' ')))
        record = ' '.join('%s=%s' % (k, f.get(k)) for k in I2C_KEYS
                          if k not in ('gpu', 'cmd', 'status', 'resp'))
        if record != self.last_record:
            print('%9s    record  %s' % ('', record))
            self.last_record = record

    def reboot(self, r):
        print('%9.3f s  REBOOT  requested: wineboot %s%s' % (
            self.rel(r.t) / 1000, r.args,
            '  (EWX_REBOOT|EWX_FORCE: forced restart)' if r.args == '--kill' else ''))


def run_folder(wine, scenario):
    """Where a scenario's inputs, logs and outputs lie."""
    return wine.work / 'runs' / scenario.name


def run_scenario(wine, build, scenario, config, show=False, exe=VRMSET_EXE):
    """Runs `exe` (a program in wine.program_dir) with the scenario's files, environment and
    arguments ({run} in them is the run folder), the box watcher as the user."""
    res = Result()
    run_dir = run_folder(wine, scenario)
    shutil.rmtree(run_dir, ignore_errors=True)
    run_dir.mkdir(parents=True)
    for name, data in scenario.inputs.items():
        (run_dir / name).write_bytes(data)
    install(scenario.system32, wine.system32, build)
    # The program folder holds exactly this scenario's files.
    for old in wine.program_dir.iterdir():
        if old.name not in scenario.program:
            old.unlink()
    install(scenario.program, wine.program_dir, build)

    box_log, stop_file = run_dir / 'boxes.log', run_dir / 'stop'
    watcher = wine.popen(['wine', str(build / 'tests/tools/boxwatch.exe'), winpath(box_log),
                          winpath(stop_file), str(WATCHER_DELAY_MS), str(WATCHER_DEADLINE_MS)],
                         run_dir / 'boxwatch.out')
    boxes, sim, reboots = LogTail(box_log), LogTail(run_dir / 'nvsim.log'), \
        LogTail(run_dir / 'wineboot.log')
    printer = Printer(res, config) if show else None

    def collect():
        for line in boxes.lines():
            event = res.add_box_line(line)
            if event and printer:
                printer.box(event)
        for line in sim.lines():
            event = res.add_sim_line(line)
            if event and printer:
                printer.i2c(event)
        for line in reboots.lines():
            event = res.add_reboot_line(line)
            if event and printer:
                printer.reboot(event)

    try:
        deadline = time.monotonic() + 30
        while res.t0 is None and time.monotonic() < deadline and watcher.poll() is None:
            collect()
            time.sleep(0.02)
        if res.t0 is None:
            res.problems.append('the box watcher did not start (see %s)' % run_dir)
            return res

        env = wine.env(
            {k: (None if v is None else v.replace('{run}', winpath(run_dir)))
             for k, v in scenario.env.items()},
            overrides=BASE_OVERRIDES + ';wineboot.exe=n')
        args = [a.replace('{run}', winpath(run_dir)) for a in scenario.args]
        start = time.monotonic()
        res.launched = wine_clock_ms()
        prog = wine.popen(['wine', exe] + args, run_dir / 'vrmset.out',
                          cwd=wine.program_dir, env=env)
        while prog.poll() is None:
            collect()
            if time.monotonic() - start > RUN_TIMEOUT_S:
                res.timed_out = True
                prog.kill()
                prog.wait()
                break
            time.sleep(0.02)
        res.seconds = time.monotonic() - start
        res.exit_code = prog.returncode
        # ExitWindowsEx starts the recorder detached; give it time to write.
        wait_until = time.monotonic() + (REBOOT_WAIT_S if scenario.reboot_expected
                                         else REBOOT_GRACE_S)
        while time.monotonic() < wait_until:
            collect()
            if scenario.reboot_expected and res.reboots:
                break
            time.sleep(0.02)
    finally:
        stop_file.write_bytes(b'')
        try:
            watcher.wait(timeout=15)
        except subprocess.TimeoutExpired:
            watcher.kill()
            watcher.wait()
            res.problems.append('the box watcher did not stop')
        collect()
        if res.timed_out:
            wine.restart_server()   # ends whatever the hung program left behind
    return res


# -- measurements (tests/perf/wine_perf.py) ------------------------------------------------------
def wine_clock_ms():
    """Now, on the clock of the logs: under Wine, QueryPerformanceCounter counts
    CLOCK_MONOTONIC_RAW, so a time taken here lines up with the boxes and the simulators."""
    return time.clock_gettime(time.CLOCK_MONOTONIC_RAW) * 1000.0


def start_to_first_box_ms(result):
    """From the start of the program (the `wine` command) to its first message box, or None."""
    if result.launched is None or not result.boxes:
        return None
    return result.boxes[0].t - result.launched


def programming_ms(result, config):
    """From the first set command to the completion check after it, or None."""
    kinds = [(e.kind(config['i2c_fields']), e.t) for e in result.i2c]
    first_set = next((t for k, t in kinds if k == 'set'), None)
    if first_set is None:
        return None
    return next((t - first_set for k, t in kinds if k == 'verify' and t > first_set), None)


# -- verdict ------------------------------------------------------------------------------------
def describe_expected(e):
    if e[0] == 'i2c':
        f = e[2]
        return '%s %s: %s -> %s %s' % (e[1], f['gpu'], f['cmd'].replace(',', ' '), f['status'],
                                        f['resp'].replace(',', ' '))
    if e[0] == 'box':
        return 'box "%s" "%s"' % (e[1], e[2])
    return 'reboot %s' % e[1]


def describe_actual(a, config):
    return a.describe(config['i2c_fields']) if isinstance(a, I2c) else a.describe()


def compare_event(exp, act, config):
    """None when the actual event matches the expected one, else what differs."""
    if exp[0] == 'i2c' and isinstance(act, I2c):
        diffs = ['%s=%s (want %s)' % (k, act.fields.get(k), v) for k, v in exp[2].items()
                 if act.fields.get(k) != v]
        return ', '.join(diffs) or None
    if exp[0] == 'box' and isinstance(act, Box):
        if (act.caption, act.text) == (exp[1], exp[2]):
            return None
        return 'got %s' % act.describe()
    if exp[0] == 'reboot' and isinstance(act, Reboot):
        return None if act.args == exp[1] else 'reboot arguments %r' % act.args
    return 'got %s' % describe_actual(act, config)


def gaps(result, config):
    """(command, ms to the next I2C transaction) for every command that must be followed by a
    wait."""
    waits = config['waits_after_ms']
    out = []
    for a, b in zip(result.i2c, result.i2c[1:]):
        cmd = a.fields.get('cmd', '').replace(',', ' ')
        if a.fields.get('cmd', '').startswith('D0') and cmd in waits:
            out.append((cmd, b.t - a.t))
    return out


def evaluate(scenario, result, config):
    """Every problem found, most telling first; empty when the run matches."""
    problems = list(result.problems)
    if result.timed_out:
        problems.append('vrmset did not end within %d s' % RUN_TIMEOUT_S)
    problems += ['simulator: %s' % e for e in result.sim_errors]
    timeline = result.timeline()
    for i in range(max(len(timeline), len(scenario.expect))):
        if i >= len(timeline):
            problems.append('event %d: missing %s' % (i + 1, describe_expected(scenario.expect[i])))
            break
        if i >= len(scenario.expect):
            problems.append('event %d: unexpected %s' % (i + 1, describe_actual(timeline[i], config)))
            break
        diff = compare_event(scenario.expect[i], timeline[i], config)
        if diff:
            problems.append('event %d (%s): %s' % (i + 1, describe_expected(scenario.expect[i]),
                                                   diff))
            break
    if result.exit_code != scenario.exit_code and not result.timed_out:
        problems.append('exit code %s, want %s' % (result.exit_code, scenario.exit_code))
    for n, box in enumerate(result.boxes, 1):
        if box.buttons != 'OK' or box.icon or box.owned:
            problems.append('box %d is not a plain MB_OK box without owner: buttons %r%s%s' % (
                n, box.buttons, ', icon' if box.icon else '', ', owner' if box.owned else ''))
    # Nothing happens while a box is up: the program blocks until the user presses OK.
    for a, b in zip(timeline, timeline[1:]):
        if isinstance(a, Box) and b.t < a.dismissed:
            problems.append('%s happened while %s was still up' % (
                describe_actual(b, config), a.describe()))
    tolerance = config['wait_tolerance_ms']
    for cmd, gap in gaps(result, config):
        want = config['waits_after_ms'][cmd]
        if not want <= gap <= want + tolerance:
            problems.append('wait after %s was %.1f ms, want %d..%d' % (cmd, gap, want,
                                                                        want + tolerance))
    return problems


def format_gaps(result, config):
    g = gaps(result, config)
    return ', '.join('%s -> next %.1f ms' % (c.split()[-1], ms) for c, ms in g)


# -- main ---------------------------------------------------------------------------------------
def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--build', default=str(REPO / 'build' / 'win'),
                    help='Windows build tree (default: build/win)')
    ap.add_argument('--scenarios', default=str(HERE / 'scenarios.json'))
    ap.add_argument('--only', action='append', default=[], help='run only this scenario')
    ap.add_argument('--show', metavar='NAME', help='run one scenario and show what happens')
    ap.add_argument('--vrmset', metavar='FILE',
                    help="run this vrmset.exe instead of the build tree's (a release's)")
    args = ap.parse_args(argv[1:])

    build = Path(args.build).resolve()
    config, scenarios = load_scenarios(args.scenarios)
    if args.vrmset:
        for s in scenarios:
            if s.program.get('vrmset.exe'):
                s.program['vrmset.exe'] = str(Path(args.vrmset).resolve())  # build / abs = abs
    wanted = [args.show] if args.show else args.only
    unknown = set(wanted) - {s.name for s in scenarios}
    if unknown:
        print('unknown scenario(s): %s; known: %s' % (
            ', '.join(sorted(unknown)), ', '.join(s.name for s in scenarios)), file=sys.stderr)
        return 2
    if wanted:
        scenarios = [s for s in scenarios if s.name in wanted]
    if not os.environ.get('DISPLAY'):
        print('bench: no X display; message boxes would not block. Run it under xvfb-run -a.',
              file=sys.stderr)
        return 2
    for tool in ('wine', 'wineserver'):
        if not shutil.which(tool):
            print('bench: %s is not installed (scripts/setup.sh installs it)' % tool,
                  file=sys.stderr)
            return 2

    # A timeout's SIGTERM still ends the wineserver (through the finally below).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(124))
    wine = Wine(build / 'bench')
    passed = failed = 0
    try:
        wine.start()
        for s in scenarios:
            if args.show:
                print('scenario %s: %s' % (s.name, s.about))
                if s.args:
                    print('command line: vrmset.exe %s' % ' '.join(s.args))
            try:
                res = run_scenario(wine, build, s, config, show=bool(args.show))
                problems = evaluate(s, res, config)
            except RuntimeError as e:   # a file of the scenario is not built
                res, problems = Result(), [str(e)]
            g = format_gaps(res, config)
            if args.show:
                if not res.reboots:
                    print('%9s    no reboot requested' % '')
                print('vrmset.exe ended with exit code %s after %.1f s' % (res.exit_code,
                                                                        res.seconds))
            if problems:
                failed += 1
                print('FAIL %s: %s' % (s.name, problems[0]), flush=True)
                for p in problems[1:]:
                    print('     %s' % p)
            else:
                passed += 1
                print('PASS %s (%.1f s)%s' % (s.name, res.seconds,
                                              ('  waits: ' + g) if g else ''), flush=True)
    finally:
        wine.stop()
    print('%d passed, %d failed' % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv))
