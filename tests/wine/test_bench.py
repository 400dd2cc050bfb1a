#!/usr/bin/env python3
"""Checks that the Wine bench's verdict catches the faults it exists for, from logs shaped
like real ones (no Wine needed). Each case spoils a good run of the "eligible" scenario in one
way and names a word that the first reported problem must contain."""
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench  # noqa: E402

RECORD = ('ver=0x0003002C mask=0 ddc=0 addr=0x88 cmd={cmd} regsize=3 cb=2 speed={speed} '
          'khz=6 port=1 portset=1 arg3=1,0 status={status} resp={resp}')
DNTO = 'Do not turn off or restart your computer during firmware update.'
DONE = 'Firmware update completed, we will now restart your system.'


def i2c(t, cmd, resp, speed=0, status=0, gpu=0):
    return ('sim', '%.3f i2c gpu=%d handle=0x4E560000 %s regptr=0x0068FE01 dataptr=0x0068FDFF'
            % (t, gpu, RECORD.format(cmd=cmd, speed=speed, status=status, resp=resp)))


def box(t, text, caption='OK', dismissed=40, extra='owner=0 icon=0 buttons="OK"'):
    return ('box', '%.3f box dismissed=%.3f %s caption="%s" text="%s"'
            % (t, t + dismissed, extra, caption, text))


def good_run():
    return [
        ('box', '1000.000 ready'),
        i2c(1100, 'D1,1A,97', '5A,00'),
        box(1150, DNTO),
        box(1200, DNTO),
        i2c(1300, 'D0,1A,97', '5A,97'),
        i2c(1302, 'D0,23,78', '5A,78'),
        i2c(1304, 'D0,1D,50', '5A,50'),
        i2c(1306, 'D0,80,04', '5A,04'),
        i2c(1458, 'D0,80,80', '5A,80'),
        i2c(2010, 'D0,80,40', '5A,40'),
        i2c(3512, 'D1,80,00', '5A,00', speed=20),
        box(3550, DONE),
        ('reboot', '3650.000 args="--kill" cmdline="C:\\\\windows\\\\system32\\\\wineboot.exe --kill"'),
    ]


def result_of(lines, exit_code=0):
    res = bench.Result()
    res.exit_code = exit_code
    add = {'box': res.add_box_line, 'sim': res.add_sim_line, 'reboot': res.add_reboot_line}
    for kind, line in lines:
        add[kind](line)
    return res


def replace(index, new):
    def edit(lines):
        lines[index] = new
        return lines
    return edit


def shift(index, ms):
    """Moves every event from `index` on by `ms` milliseconds."""
    def edit(lines):
        out = lines[:index]
        for kind, line in lines[index:]:
            t, rest = line.split(' ', 1)
            if rest.startswith('box dismissed='):
                d, rest2 = rest[len('box dismissed='):].split(' ', 1)
                rest = 'box dismissed=%.3f %s' % (float(d) + ms, rest2)
            out.append((kind, '%.3f %s' % (float(t) + ms, rest)))
        return out
    return edit


def drop(index):
    def edit(lines):
        del lines[index]
        return lines
    return edit


class Verdict(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.config, scenarios = bench.load_scenarios(bench.HERE / 'scenarios.json')
        cls.eligible = next(s for s in scenarios if s.name == 'eligible')

    def problems(self, lines, exit_code=0):
        return bench.evaluate(self.eligible, result_of(lines, exit_code), self.config)

    def test_good_run_passes(self):
        self.assertEqual(self.problems(good_run()), [])

    def test_faults_are_reported(self):
        cases = [
            ('warning box missing', drop(3), 'event 3'),
            ('completion box with the wrong caption', replace(11, box(3550, DONE, caption='Ok')),
             'event 11'),
            ('a write before the state check', replace(1, i2c(1100, 'D0,1A,97', '5A,97')),
             'cmd=D0,1A,97'),
            ('completion check at the programming speed', replace(10, i2c(3512, 'D1,80,00',
                                                                           '5A,00')),
             'speed=0'),
            ('command sent to the second GPU', replace(4, i2c(1300, 'D0,1A,97', '5A,97', gpu=1)),
             'gpu=1'),
            ('no reboot request', drop(12), 'missing reboot'),
            ('reboot without force', replace(12, ('reboot', '3650.000 args="--end-session '
                                                            '--shutdown" cmdline="x"')),
             'reboot arguments'),
            ('reboot before the completion box', replace(12, ('reboot', '3540.000 args="--kill"'
                                                                         ' cmdline="x"')),
             'event 11'),
            ('first write while the warning is up', replace(3, box(1200, DNTO, dismissed=150)),
             'still up'),
            ('wait after 04 too short', replace(8, i2c(1406, 'D0,80,80', '5A,80')),
             'wait after D0 80 04'),
            ('wait after 40 too long', shift(10, 300), 'wait after D0 80 40'),
            ('wait after 80 too long', shift(9, 260), 'wait after D0 80 80'),
            ('box with an icon', replace(11, box(3550, DONE, extra='owner=0 icon=1 buttons="OK"')),
             'MB_OK'),
            ('box with two buttons', replace(2, box(1150, DNTO,
                                                    extra='owner=0 icon=0 buttons="OK,Cancel"')),
             'MB_OK'),
        ]
        for about, edit, word in cases:
            with self.subTest(about):
                problems = self.problems(edit(good_run()))
                self.assertTrue(problems, 'not noticed')
                self.assertIn(word, problems[0])

    def test_exit_code_and_simulator_errors(self):
        self.assertIn('exit code 5', self.problems(good_run(), exit_code=5)[0])
        lines = good_run() + [('sim', '999.000 error scenario line=2 unknown key')]
        self.assertIn('simulator', self.problems(lines)[0])


class Logs(unittest.TestCase):
    def test_box_texts_round_trip_through_the_watchers_escapes(self):
        line = ('5.000 box dismissed=6.000 owner=0 icon=0 buttons="OK" '
                'caption="a \\"b\\" \\\\c" text="x\\ny\\tz\\xE9\\x01"')
        b = result_of([('box', line)]).boxes[0]
        self.assertEqual((b.caption, b.text), ('a "b" \\c', 'x\ny\tz\u00e9\x01'))

    def test_ppid_forms(self):
        cases = [
            ('1402221898', b'1402221898'),
            ('\u00e9\u0080', b'\xe9\x80'),
            ({'fill': 'ab', 'length': 7, 'end': 'XY'}, b'ababaXY'),
        ]
        for value, want in cases:
            with self.subTest(value=value):
                self.assertEqual(bench.ppid_bytes(value), want)
        with self.assertRaises(bench.ScenarioError):
            bench.ppid_bytes('\u20ac')


if __name__ == '__main__':
    unittest.main()
