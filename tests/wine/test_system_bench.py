#!/usr/bin/env python3
"""Checks, without Wine, that the system bench's own checks catch what they are there for
(each case spoils a good library run in one way and names a word of the first problem), and
that every scenario of system_scenarios.json reads."""
import sys
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench  # noqa: E402
import system_bench  # noqa: E402

GOOD_HWAX = [
    '100 hwax call DllMain attach',
    '200 hwax call FindVGAChip vendor=0x1002 size=256 -> 2 written=2',
    '300 atipdl call ATIDL_GetPMCurrentActivity display=0 size=40 query=5,0,0 -> 0 activity=0',
    '400 loadspin call loadspin run cmdline="C:\\vrmset\\loadspin.exe" wakes',
    '1500 hwax call GetVGAMMIOAddress bus=3 device=0 slot=0 -> adapter 0',
    '1600 hwax call GetVGAMMIOAddress bus=5 device=0 slot=1 -> adapter 1',
    '1700 hwax note WriteMMIODword adapter 1 asleep: write to 0x1C0 dropped',
    '1800 hwax count GetVGAMMIOAddress 2',
    '1900 hwax call DllMain detach',
]
GOOD_HOST = ['library C:\\vrmset\\cardtag.dll', 'load ok', 'load_ms 1180',
             'GetTELOVGACard = 2', 'GetVGAPPID_Num = "ATI-WOKEN-0002"']
RAW = {
    'name': 'woken', 'hwax': [], 'calls': ['GetTELOVGACard', 'GetVGAPPID_Num'],
    'expect': {
        'output': ['GetTELOVGACard = 2', 'GetVGAPPID_Num = "ATI-WOKEN-0002"'],
        'load_ms': [1000, 2000],
        'hwax_log': [' loadspin call loadspin run cmdline="+C:\\\\vrmset\\\\loadspin\\.exe\\b',
                     ' hwax call GetVGAMMIOAddress bus=5 .*slot=1 '],
        'hwax_absent': [' atipdl call ATIDL_EnumPhysicalAdapters '],
        'hwax_lines': {' hwax call GetVGAMMIOAddress ': 2},
        'hwax_notes': ['asleep: write to 0x[0-9A-F]+ dropped'],
    },
}


def config():
    cfg, _, _ = system_bench.load_cases(HERE / 'system_scenarios.json', HERE / 'scenarios.json')
    return cfg


def verdict(tmp, hwax_lines, host_lines, leftovers=()):
    case = system_bench.library_case(RAW, config())
    (tmp / 'hwax.log').write_text('\r\n'.join(hwax_lines) + '\r\n', encoding='latin-1')
    (tmp / 'host.out').write_text('\n'.join(host_lines) + '\n', encoding='latin-1')
    hwax = system_bench.HwaxLog(tmp / 'hwax.log')
    host = system_bench.read_host_output(tmp / 'host.out')
    return system_bench.check_case(case, hwax, host, list(leftovers))


def replaced(lines, old, new):
    return [new if ln == old else ln for ln in lines]


class Verdict(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory()
        self.tmp = Path(self._dir.name)

    def tearDown(self):
        self._dir.cleanup()

    def test_good_run_passes(self):
        self.assertEqual(verdict(self.tmp, GOOD_HWAX, GOOD_HOST), [])

    def test_each_fault_is_reported(self):
        start_line = GOOD_HWAX[3]
        cases = [
            ('a result line differs', GOOD_HWAX,
             replaced(GOOD_HOST, GOOD_HOST[4], 'GetVGAPPID_Num = ""'), 'output line 2'),
            ('a result is missing', GOOD_HWAX, GOOD_HOST[:4], 'output line 2'),
            ('the load failed', GOOD_HWAX, GOOD_HOST[:1] + ['load failed error=126'], 'load'),
            ('the wait did not happen', GOOD_HWAX,
             replaced(GOOD_HOST, 'load_ms 1180', 'load_ms 180'), 'load took'),
            ('wake-up program by bare name', replaced(GOOD_HWAX, start_line, start_line.replace(
                'C:\\vrmset\\loadspin.exe', 'loadspin.exe')), GOOD_HOST, 'in order'),
            ('events out of order', [GOOD_HWAX[0], GOOD_HWAX[5], GOOD_HWAX[3]], GOOD_HOST,
             'in order'),
            ('a call that must not happen',
             GOOD_HWAX + ['2000 atipdl call ATIDL_EnumPhysicalAdapters display=0 -> 0'],
             GOOD_HOST, 'unexpected'),
            ('an adapter mapped once more',
             GOOD_HWAX + ['2000 hwax call GetVGAMMIOAddress bus=5 device=0 slot=2 -> adapter 1'],
             GOOD_HOST, '3 lines'),
            ('an unexpected simulator note',
             GOOD_HWAX + ['2000 hwax note GetBYTEVGAMMIOData slot 3 not mapped'], GOOD_HOST,
             'noted'),
        ]
        for what, hwax, host, word in cases:
            with self.subTest(what):
                problems = verdict(self.tmp, hwax, host)
                self.assertTrue(problems, 'not reported')
                self.assertIn(word, problems[0])

    def test_leftover_wakeup_program_is_reported(self):
        problems = verdict(self.tmp, GOOD_HWAX, GOOD_HOST, leftovers=['loadspin.exe'])
        self.assertEqual(len(problems), 1)
        self.assertIn('still running', problems[0])


class Measure(unittest.TestCase):
    def test_difference_of_counts_and_stated_total(self):
        with tempfile.TemporaryDirectory() as d:
            (Path(d) / 'b').write_text('1 hwax count FindVGAChip 2\n'
                                       '2 hwax count GetDWORDVGAMMIOData 14\n'
                                       '3 atipdl count ATIDL_EnumPhysicalAdapters 1\n')
            (Path(d) / 'r').write_text('1 hwax count FindVGAChip 2\n'
                                       '2 hwax count GetDWORDVGAMMIOData 18\n'
                                       '3 hwax count GetBYTEVGAMMIOData 9\n')
            base, run = system_bench.HwaxLog(Path(d) / 'b'), system_bench.HwaxLog(Path(d) / 'r')
        m = {'about': 'x', 'baseline': 'b', 'run': 'r'}
        ok, text = system_bench.measure(dict(m, total=13), {'b': base, 'r': run})
        self.assertTrue(ok)
        self.assertEqual(text, 'total 13: GetBYTEVGAMMIOData 9, GetDWORDVGAMMIOData 4')
        ok, _ = system_bench.measure(dict(m, total=12), {'b': base, 'r': run})
        self.assertFalse(ok)


class Scenarios(unittest.TestCase):
    def test_every_scenario_reads(self):
        cfg, cases, measures = system_bench.load_cases(HERE / 'system_scenarios.json',
                                                       HERE / 'scenarios.json')
        self.assertTrue(any(c.kind == 'system' for c in cases))
        self.assertTrue(any(c.kind == 'library' for c in cases))
        for c in cases:
            # Every text a run will compare is in a form the verdict can meet.
            for e in c.scenario.expect:
                self.assertIn(e[0], ('box', 'i2c', 'reboot'), c.name)
            for ln in c.output or []:
                self.assertRegex(ln, r'^\S+ = |^unload ', c.name)

    def test_unknown_keys_are_refused(self):
        cfg = config()
        with self.assertRaises(bench.ScenarioError):
            system_bench.library_case(dict(RAW, loadspn=False), cfg)
        with self.assertRaises(bench.ScenarioError):
            system_bench.library_case(dict(RAW, expect=dict(RAW['expect'], boxs=[])), cfg)


if __name__ == '__main__':
    unittest.main()
