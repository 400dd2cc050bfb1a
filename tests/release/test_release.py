#!/usr/bin/env python3
"""Tests of the release command (scripts/release.sh) on the working tree:

- two unsigned releases, built in different folders at least a second apart and under
  another time zone and umask, are byte-identical; the package holds what it should, with
  matching versions, hashes and a readme that quotes the programs' own texts;
- a half-given signing setup is refused before anything is built;
- a release signed with a throwaway certificate and time-stamped by a local time-stamp
  server verifies with osslsigncode, and its vrmset.exe passes the Wine bench's eligible-card
  scenario.

    test_release.py [--bench-build DIR]   (Windows build tree with the bench programs;
                                           default build/win)

Prints one line per check and a closing line "N passed, M failed"; exits 1 on any failure.
Works in build-release-test/ (emptied first). Needs git, the MinGW toolchain, python3,
openssl and osslsigncode; the bench needs Wine and an X display (or xvfb-run).
"""
import argparse
import hashlib
import http.server
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import threading
import time
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
RELEASE = REPO / 'scripts' / 'release.sh'
WORK = REPO / 'build-release-test'
BINARIES = ('vrmset.exe', 'cardtag.dll')
# The identity library's one box that a user of vrmset may meet.
CARDTAG_BOX_TEXT = 'ULPS Mode Enable'
SIGNER_CN = 'vrmset release test signer'
TSA_CN = 'vrmset release test TSA'


class Checks:
    def __init__(self):
        self.passed = self.failed = 0

    def report(self, label, ok, detail=''):
        print('%s %s%s' % ('PASS' if ok else 'FAIL', label, (': ' + detail) if detail else ''),
              flush=True)
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok


def release(out, work, extra_args=(), env=None, umask=None):
    """Runs the release command on the working tree; (exit code, output)."""
    full_env = {k: v for k, v in os.environ.items() if not k.startswith('RELEASE_')}
    full_env.update(env or {})
    r = subprocess.run(['bash', str(RELEASE), '--worktree', '--out', str(out), '--work',
                        str(work)] + list(extra_args), cwd=REPO, env=full_env,
                       stdin=subprocess.DEVNULL, capture_output=True, text=True,
                       preexec_fn=(lambda: os.umask(umask)) if umask is not None else None)
    return r.returncode, r.stdout + r.stderr


def the_zip(out):
    zips = sorted(Path(out).glob('*.zip'))
    return zips[0] if len(zips) == 1 else None


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def parse_sums(text):
    """{name: hash} of a sha256sum file; None when a line does not read."""
    sums = {}
    for line in text.splitlines():
        m = re.fullmatch(r'([0-9a-f]{64})  (\S+)', line)
        if not m:
            return None
        sums[m.group(2)] = m.group(1)
    return sums


# -- PE details ---------------------------------------------------------------------------------
def coff_symbols(data):
    """(PointerToSymbolTable, NumberOfSymbols) of a PE file: both 0 when stripped."""
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    return struct.unpack_from('<II', data, pe + 4 + 8)


def certificate_table_size(data):
    """Size of the data directory entry 4 (the Authenticode signature), 0 when unsigned."""
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    opt = pe + 24
    return struct.unpack_from('<I', data, opt + 96 + 8 * 4 + 4)[0]


def load_check_pe():
    sys.path.insert(0, str(REPO / 'tests' / 'pe'))
    import check_pe
    return check_pe


def resource_version(check_pe, path):
    """(fixed FILEVERSION as 'a.b.c.d', FileVersion string) of a PE file."""
    pe = check_pe.PeFile(str(path))
    fixed, strings = check_pe.parse_version_info(pe.resource(check_pe.RT_VERSION, 1))
    return '.'.join(map(str, check_pe.version_of(fixed[2], fixed[3]))), strings.get('FileVersion')


# -- a release unpacked -------------------------------------------------------------------------
class Package:
    def __init__(self, out):
        self.out = Path(out)
        self.zip_path = the_zip(out)
        self.files = {}
        self.entries = []
        if self.zip_path is None:
            return
        self.name = self.zip_path.name[:-len('.zip')]
        with zipfile.ZipFile(self.zip_path) as z:
            self.entries = z.infolist()
            for info in self.entries:
                self.files[info.filename.split('/', 1)[-1]] = z.read(info)
        self.unpacked = self.out / 'unpacked'
        self.unpacked.mkdir(exist_ok=True)
        for name, data in self.files.items():
            (self.unpacked / name).write_bytes(data)

    def readme(self):
        return self.files.get('README.txt', b'').decode('ascii', 'replace')


def check_package_contents(checks, pkg, check_pe, signed, build_dirs):
    """What every release holds, signed or not."""
    tag = 'signed' if signed else 'unsigned'
    names = [e.filename for e in pkg.entries]
    want = ['%s/%s' % (pkg.name, n) for n in BINARIES + ('README.txt', 'SHA256SUMS')]
    dates = {e.date_time for e in pkg.entries}
    checks.report('%s: zip holds the two binaries, README.txt and SHA256SUMS under %s/, in '
                  'that order, with one fixed date' % (tag, pkg.name),
                  names == want and dates == {(1980, 1, 1, 0, 0, 0)},
                  'entries %s, dates %s' % (names, sorted(dates)))

    inner = parse_sums(pkg.files.get('SHA256SUMS', b'').decode('ascii', 'replace')) or {}
    inner_want = {n: sha256(pkg.files[n]) for n in BINARIES + ('README.txt',) if n in pkg.files}
    outer = parse_sums((pkg.out / 'SHA256SUMS').read_text()) if (pkg.out / 'SHA256SUMS').exists() \
        else None
    checks.report('%s: SHA256SUMS in the zip matches the shipped files, the one beside it the '
                  'zip' % tag,
                  inner == inner_want and len(inner) == 3 and
                  outer == {pkg.zip_path.name: sha256(pkg.zip_path.read_bytes())},
                  'inner %s, outer %s' % (sorted(inner), outer))

    # Versions: the package name, the resources and the readme say the same.
    versions = {n: resource_version(check_pe, pkg.unpacked / n) for n in BINARIES}
    readme = pkg.readme()
    vrmset_v, cardtag_v = versions['vrmset.exe'][0], versions['cardtag.dll'][0]
    checks.report('%s: package name, version resources and readme agree' % tag,
                  pkg.name == 'vrmset-' + vrmset_v and versions['vrmset.exe'][1] == vrmset_v
                  and versions['cardtag.dll'][1] == cardtag_v.replace('.', ', ')
                  and 'Version %s\r\n' % vrmset_v in readme
                  and re.search(r'cardtag\.dll .*version %s\r\n' % re.escape(cardtag_v), readme)
                  is not None,
                  '%s; resources %s' % (pkg.name, versions))

    bins = {n: pkg.files.get(n, b'') for n in BINARIES}
    leaks = [(n, d) for n, b in bins.items() for d in build_dirs + [str(REPO)]
             if d.encode() in b]
    symbols = {n: coff_symbols(b) for n, b in bins.items() if b}
    checks.report('%s: binaries stripped, no build or source path in them' % tag,
                  not leaks and set(symbols.values()) == {(0, 0)} and len(symbols) == 2,
                  'leaks %s, symbol tables %s' % (leaks, symbols))

    # The readme quotes the programs' texts exactly: each quoted text is a whole string in
    # one of the binaries, and every box the user can meet is there.
    quoted = {re.sub(r'\s+', ' ', q) for q in re.findall(r'"([^"]+)"', readme)}
    foreign = sorted(q for q in quoted
                     if not any(q.encode('ascii') + b'\0' in b for b in bins.values()))
    with open(REPO / 'tests' / 'wine' / 'scenarios.json', encoding='utf-8') as f:
        boxes = list(json.load(f)['messages'].values()) + [CARDTAG_BOX_TEXT]
    missing = [t for t in boxes if t not in quoted]
    bare_lf = readme.count('\n') - readme.count('\r\n')
    needs = [w for w in ('HWAX.DLL', 'administrator', 'NVIDIA display driver')
             if w not in re.sub(r'\s+', ' ', readme)]
    checks.report('%s: readme quotes every message box exactly, names its needs, CRLF lines'
                  % tag, not foreign and not missing and not needs and bare_lf == 0 and readme,
                  'not in the binaries %s; boxes missing %s; needs missing %s; %d bare LF'
                  % (foreign, missing, needs, bare_lf))


# -- time-stamp server --------------------------------------------------------------------------
class TimeStampServer:
    """An RFC 3161 time-stamp authority on localhost, answering with `openssl ts -reply`."""

    def __init__(self, folder):
        self.folder = folder
        self.key, self.cert = folder / 'tsa-key.pem', folder / 'tsa-cert.pem'
        self.requests = 0
        openssl(['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
                 '-subj', '/CN=' + TSA_CN, '-keyout', str(self.key), '-out', str(self.cert),
                 '-addext', 'extendedKeyUsage=critical,timeStamping',
                 '-addext', 'keyUsage=critical,digitalSignature'])
        (folder / 'tsa-serial').write_text('01\n')
        self.config = folder / 'tsa.cnf'
        self.config.write_text(
            '[ tsa ]\ndefault_tsa = tsa_config\n[ tsa_config ]\n'
            'serial = %s\nsigner_digest = sha256\ndefault_policy = 1.2.3.4.1\n'
            'digests = sha256, sha1\nordering = no\ntsa_name = no\n'
            'ess_cert_id_chain = no\ness_cert_id_alg = sha256\n' % (folder / 'tsa-serial'))
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers.get('Content-Length', 0)))
                reply = server.reply(query)
                self.send_response(200 if reply else 500)
                self.send_header('Content-Type', 'application/timestamp-reply')
                self.send_header('Content-Length', str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.httpd = http.server.HTTPServer(('127.0.0.1', 0), Handler)
        self.url = 'http://127.0.0.1:%d/' % self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def reply(self, query):
        self.requests += 1
        q, r = self.folder / 'query.tsq', self.folder / 'reply.tsr'
        q.write_bytes(query)
        res = subprocess.run(['openssl', 'ts', '-reply', '-config', str(self.config),
                              '-queryfile', str(q), '-inkey', str(self.key),
                              '-signer', str(self.cert), '-out', str(r)], capture_output=True)
        return r.read_bytes() if res.returncode == 0 else b''

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def openssl(args):
    subprocess.run(['openssl'] + args, check=True, capture_output=True)


def verify(path, cafile, tsa_cafile):
    r = subprocess.run(['osslsigncode', 'verify', '-in', str(path), '-CAfile', str(cafile),
                        '-TSA-CAfile', str(tsa_cafile)], capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


# -- the tests ----------------------------------------------------------------------------------
def test_reproducible(checks, check_pe):
    a, b = WORK / 'a', WORK / 'second-build'
    rc_a, log_a = release(a / 'dist', a / 'work')
    t_a = time.time()
    time.sleep(1.1)
    rc_b, log_b = release(b / 'dist', b / 'work', env={'TZ': 'Asia/Tokyo'}, umask=0o077)
    ok = rc_a == 0 and rc_b == 0
    checks.report('two unsigned releases build, saying they are unsigned',
                  ok and all('NOT signed' in log for log in (log_a, log_b)),
                  'exit %d/%d\n%s\n%s' % (rc_a, rc_b, log_a[-2000:], log_b[-2000:]) if not ok
                  else '')
    if not ok:
        return None
    za, zb = the_zip(a / 'dist'), the_zip(b / 'dist')
    same = za is not None and zb is not None and za.name == zb.name and \
        za.read_bytes() == zb.read_bytes() and \
        (a / 'dist' / 'SHA256SUMS').read_bytes() == (b / 'dist' / 'SHA256SUMS').read_bytes()
    detail = ''
    if not same and za and zb:
        pa, pb = Package(a / 'dist'), Package(b / 'dist')
        differ = sorted(n for n in set(pa.files) | set(pb.files)
                        if pa.files.get(n) != pb.files.get(n))
        detail = ('differing files: %s' % differ) if differ else \
            'same files, the zips differ in their entries\' metadata'

    checks.report('two releases of one tree, in other folders, %.1f s apart, other TZ and umask,'
                  ' are byte-identical' % (time.time() - t_a), same, detail)

    pkg = Package(a / 'dist')
    if pkg.zip_path is None:
        checks.report('unsigned: one zip', False)
        return None
    check_package_contents(checks, pkg, check_pe, False,
                           [str(a), str(b), str(a.resolve()), str(b.resolve())])
    sizes = {n: certificate_table_size(pkg.files.get(n, b'')) for n in BINARIES}
    checks.report('unsigned: no signature in either binary; readme says it is not signed',
                  set(sizes.values()) == {0} and 'not digitally signed' in pkg.readme(),
                  'certificate tables %s' % sizes)
    return pkg


def test_refused_signing(checks, keys):
    """A release meant to be signed never comes out unsigned: refused before the build."""
    cases = [
        ('certificate without key', ['--cert', str(keys['cert'])], {}),
        ('key without certificate', [], {'RELEASE_KEY': str(keys['key'])}),
        ('unreadable key file', ['--cert', str(keys['cert']), '--key', str(WORK / 'no-key')], {}),
        ('time-stamp server without certificate', ['--timestamp-url', 'http://127.0.0.1:9/'],
         {}),
    ]
    wrong = []
    for label, args, env in cases:
        out, work = WORK / 'refused' / 'dist', WORK / 'refused' / 'work'
        t0 = time.monotonic()
        rc, log = release(out, work, args, env)
        built = (work / 'build').exists() or (out.exists() and any(out.iterdir()))
        if rc == 0 or built or time.monotonic() - t0 > 5:
            wrong.append('%s: exit %d, built %s: %s' % (label, rc, built, log.strip()[-300:]))
    checks.report('half-given signing setups refused before building (%d cases)' % len(cases),
                  not wrong, '; '.join(wrong))


def test_signed(checks, check_pe, keys, bench_build):
    tsa = TimeStampServer(WORK / 'keys')
    try:
        out, work = WORK / 'signed' / 'dist', WORK / 'signed' / 'work'
        rc, log = release(out, work, env={
            'RELEASE_CERT': str(keys['cert']), 'RELEASE_KEY': str(keys['key']),
            'RELEASE_KEY_PASS': keys['pass'], 'RELEASE_TIMESTAMP_URL': tsa.url})
    finally:
        tsa.stop()
    if not checks.report('signed release builds with certificate, encrypted key and '
                         'time-stamp server from the environment',
                         rc == 0 and 'NOT signed' not in log and tsa.requests == 2,
                         '%d time-stamp requests' % tsa.requests + (
                             '' if rc == 0 else ', exit %d\n%s' % (rc, log[-3000:]))):
        return
    pkg = Package(out)
    check_package_contents(checks, pkg, check_pe, True, [str(out.parent)])

    problems = []
    for name in BINARIES:
        rc, text = verify(pkg.unpacked / name, keys['cert'], tsa.cert)
        wants = ['Message digest algorithm  : SHA256', 'Signature verification: ok',
                 'Subject: /CN=' + SIGNER_CN, 'Timestamp Server Signature verification: ok',
                 'Issuer: /CN=' + TSA_CN]
        missing = [w for w in wants if w not in text]
        if rc != 0 or missing:
            problems.append('%s: exit %d, missing %s' % (name, rc, missing))
    # The verification is not a formality: it rejects the binaries against another root.
    rc_other, _ = verify(pkg.unpacked / 'vrmset.exe', tsa.cert, tsa.cert)
    checks.report('signed: both binaries verify (SHA-256, our signer, time-stamped); another '
                  'root is rejected', not problems and rc_other != 0,
                  '; '.join(problems) + ('' if rc_other else '; verified against another root'))
    checks.report('signed: readme says the binaries are signed',
                  'carry an Authenticode signature' in pkg.readme())

    # The signed program still does its job: the Wine bench's eligible-card scenario.
    exe = pkg.unpacked / 'vrmset.exe'
    cmd = [sys.executable, str(REPO / 'tests' / 'wine' / 'bench.py'), '--build',
           str(bench_build), '--vrmset', str(exe), '--only', 'eligible']
    if not os.environ.get('DISPLAY'):
        cmd = ['xvfb-run', '-a'] + cmd
    if not (Path(bench_build) / 'tests' / 'tools' / 'boxwatch.exe').is_file():
        checks.report('signed vrmset.exe passes the Wine bench (eligible card)', False,
                      'no bench programs in %s: build the Windows tree first '
                      '(scripts/build.sh win)' % bench_build)
        return
    r = subprocess.run(cmd, cwd=REPO, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                       timeout=300)
    checks.report('signed vrmset.exe passes the Wine bench (eligible card)',
                  r.returncode == 0 and 'PASS eligible' in r.stdout,
                  (r.stdout + r.stderr).strip().splitlines()[-1] if r.returncode == 0 else
                  (r.stdout + r.stderr)[-2000:])


def make_keys(folder):
    """A throwaway self-signed code-signing certificate with a passphrase-protected key."""
    folder.mkdir(parents=True, exist_ok=True)
    keys = {'cert': folder / 'cert.pem', 'key': folder / 'key.pem', 'pass': 'throwaway pass'}
    openssl(['req', '-x509', '-newkey', 'rsa:2048', '-days', '2', '-subj', '/CN=' + SIGNER_CN,
             '-keyout', str(keys['key']), '-out', str(keys['cert']),
             '-passout', 'pass:' + keys['pass'],
             '-addext', 'extendedKeyUsage=codeSigning', '-addext', 'keyUsage=digitalSignature'])
    return keys


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--bench-build', default=str(REPO / 'build' / 'win'))
    args = ap.parse_args(argv[1:])
    for tool in ('git', 'openssl', 'osslsigncode', 'i686-w64-mingw32-g++-posix'):
        if not shutil.which(tool):
            print('test_release: %s is not installed (scripts/setup.sh)' % tool, file=sys.stderr)
            return 2
    shutil.rmtree(WORK, ignore_errors=True)
    WORK.mkdir()
    checks = Checks()
    check_pe = load_check_pe()
    t0 = time.monotonic()
    test_reproducible(checks, check_pe)
    keys = make_keys(WORK / 'keys')
    test_refused_signing(checks, keys)
    test_signed(checks, check_pe, keys, Path(args.bench_build).resolve())
    print('release tests took %.0f s' % (time.monotonic() - t0))
    print('%d passed, %d failed' % (checks.passed, checks.failed))
    return 0 if checks.failed == 0 else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv))
