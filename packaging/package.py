#!/usr/bin/env python3
"""Packs a release from its final binaries: checks them, writes README.txt and SHA256SUMS and
the zip, byte for byte the same for the same inputs.

    package.py --stage DIR --out DIR --name NAME --vrmset-version V --cardtag-version V
               (--signed | --unsigned) --readme TEMPLATE --pe-checks check_pe.py

--stage holds vrmset.exe and cardtag.dll as they ship (signed already, when signed). Writes
OUT/NAME.zip, whose entries lie under NAME/, and OUT/SHA256SUMS with the zip's hash.
Standard library only.
"""
import argparse
import hashlib
import importlib.util
import io
import os
import re
import sys
import zipfile

BINARIES = ('vrmset.exe', 'cardtag.dll')
# Fixed date and mode of every zip entry: nothing of the build's time or umask gets in.
ZIP_DATE = (1980, 1, 1, 0, 0, 0)
ZIP_MODE = 0o100644

SIGNATURE_NOTES = {
    'signed': 'vrmset.exe and cardtag.dll carry an Authenticode signature; Windows shows\n'
              'its publisher when it asks for administrator rights.',
    'unsigned': 'This copy is not digitally signed: when Windows asks for administrator\n'
                'rights, it shows the publisher as unknown.',
}


class PackError(Exception):
    pass


def load_pe_checks(path):
    loader_spec = importlib.util.spec_from_file_location('check_pe', path)
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


def file_version(pe_checks, path):
    """The FILEVERSION numbers of a PE file's version resource, as 'a.b.c.d'."""
    pe = pe_checks.PeFile(path)
    blob = pe.resource(pe_checks.RT_VERSION, 1)
    if blob is None:
        raise PackError('%s has no version resource' % path)
    fixed, _ = pe_checks.parse_version_info(blob)
    if fixed is None:
        raise PackError('%s has no fixed version info' % path)
    return '.'.join(map(str, pe_checks.version_of(fixed[2], fixed[3])))


def readme_text(template, values):
    text = template
    for key, value in values.items():
        text = text.replace('@%s@' % key, value)
    left = sorted(set(re.findall(r'@[A-Z_]+@', text)))
    if left:
        raise PackError('README template has unknown placeholders %s' % ', '.join(left))
    try:
        text.encode('ascii')
    except UnicodeEncodeError as e:
        raise PackError('README is not plain ASCII: %s' % e)
    # Read on Windows: CRLF line ends.
    return text.replace('\r\n', '\n').replace('\n', '\r\n').encode('ascii')


def sha256sums(files):
    """sha256sum's format: '<hex>  <name>' per line, in the given order."""
    return ''.join('%s  %s\n' % (hashlib.sha256(data).hexdigest(), name)
                   for name, data in files).encode('ascii')


def zip_bytes(folder, files):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w') as z:
        for name, data in files:
            info = zipfile.ZipInfo('%s/%s' % (folder, name), date_time=ZIP_DATE)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3
            info.external_attr = ZIP_MODE << 16
            z.writestr(info, data, compresslevel=9)
    return buf.getvalue()


def write_atomic(path, data):
    tmp = path + '.tmp'
    with open(tmp, 'wb') as f:
        f.write(data)
    os.replace(tmp, path)


def package(args, out=sys.stdout):
    pe_checks = load_pe_checks(args.pe_checks)
    # The shipped files must pass the same PE checks as the development build.
    checks = {'vrmset.exe': pe_checks.VRMSET_CHECKS, 'cardtag.dll': pe_checks.CARDTAG_CHECKS}
    report = io.StringIO()
    ok = pe_checks.run(args.stage, [(n, '', checks[n]) for n in BINARIES], out=report)
    lines = report.getvalue().splitlines()
    print('package: PE checks: %s' % lines[-1], file=out)
    if not ok:
        print('\n'.join(l for l in lines if not l.startswith('PASS ')), file=out)
        raise PackError('the PE checks failed')
    for name, want in (('vrmset.exe', args.vrmset_version),
                       ('cardtag.dll', args.cardtag_version)):
        got = file_version(pe_checks, os.path.join(args.stage, name))
        if got != want:
            raise PackError('%s has version %s, the build set %s' % (name, got, want))

    with open(args.readme, encoding='ascii') as f:
        template = f.read()
    files = []
    for name in BINARIES:
        with open(os.path.join(args.stage, name), 'rb') as f:
            files.append((name, f.read()))
    files.append(('README.txt', readme_text(template, {
        'VRMSET_VERSION': args.vrmset_version,
        'CARDTAG_VERSION': args.cardtag_version,
        'SIGNATURE_NOTE': SIGNATURE_NOTES[args.signing]})))
    files.append(('SHA256SUMS', sha256sums(files)))

    os.makedirs(args.out, exist_ok=True)
    zip_name = args.name + '.zip'
    data = zip_bytes(args.name, files)
    write_atomic(os.path.join(args.out, zip_name), data)
    write_atomic(os.path.join(args.out, 'SHA256SUMS'), sha256sums([(zip_name, data)]))


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--stage', required=True)
    ap.add_argument('--out', required=True)
    ap.add_argument('--name', required=True)
    ap.add_argument('--vrmset-version', required=True)
    ap.add_argument('--cardtag-version', required=True)
    sign = ap.add_mutually_exclusive_group(required=True)
    sign.add_argument('--signed', dest='signing', action='store_const', const='signed')
    sign.add_argument('--unsigned', dest='signing', action='store_const', const='unsigned')
    ap.add_argument('--readme', required=True)
    ap.add_argument('--pe-checks', required=True)
    args = ap.parse_args(argv[1:])
    try:
        package(args)
    except (PackError, OSError) as e:
        print('package: %s' % e, file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
