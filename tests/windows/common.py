"""Helpers for the tests of the Windows program under Wine: a Wine prefix of its own, the server
folder and registry value of the job, and checks of the archive it writes."""
import os
import random
import shutil
import subprocess
import zipfile

REGISTRY_KEY = r'HKLM\SOFTWARE\Data Access Corporation\Visual DataFlex\7\Workspaces\Vandrel'


class Prefix:
    """A Wine prefix; C: is its drive_c folder. The loader is MAILBALE_WINE (Wine's 64-bit loader
    /usr/lib/wine/wine64 or its 32-bit one /usr/lib/wine/wine, called directly: Debian's wine
    wrapper picks the 32-bit one whenever it is installed) and the prefix's kind WINEARCH."""

    def __init__(self, folder):
        self.folder = os.path.abspath(folder)
        self.loader = os.environ.get('MAILBALE_WINE', '/usr/lib/wine/wine64')
        arch = os.environ.get('WINEARCH', 'win64' if self.loader.endswith('64') else 'win32')
        self.env = dict(os.environ, WINEARCH=arch, WINEPREFIX=self.folder, WINEDEBUG='-all')
        if not os.path.isdir(os.path.join(self.folder, 'drive_c')):
            subprocess.run([self.loader, 'wineboot', '-i'], env=self.env, check=True, capture_output=True, timeout=600)
        self.c = os.path.join(self.folder, 'drive_c')

    def command(self, args):
        return [self.loader] + args

    def wine(self, args, extra_env=None, timeout=300, **kwargs):
        env = dict(self.env, **(extra_env or {}))
        return subprocess.run(self.command(args), env=env, capture_output=True, timeout=timeout, **kwargs)

    def set_server_folder(self, value):
        self.wine(['reg', 'delete', REGISTRY_KEY, '/f'])
        if value is not None:
            result = self.wine(['reg', 'add', REGISTRY_KEY, '/v', 'Srvr_Path', '/t', 'REG_SZ', '/d', value, '/f'])
            assert result.returncode == 0, result.stderr

    def remove_folder(self, name):
        """Removes a folder a test made on C:, so that no later test finds it."""
        shutil.rmtree(os.path.join(self.c, name), ignore_errors=True)
        self.set_server_folder(None)

    def fresh_folder(self, name):
        path = os.path.join(self.c, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(os.path.join(path, 'LOG_EML'))
        return path


def write_mixed_mail(logs, big_megabytes=3.2, extra_megabytes=0):
    """Text mails, a file larger than two deflate blocks, an empty, a hidden and an accented one,
    a subfolder, and as many incompressible files of 0.9 MB as fill extra_megabytes. Returns
    {stored name: source path}."""
    rnd = random.Random(7)
    files = {}

    def put(name, data, sub=None):
        folder = os.path.join(logs, sub) if sub else logs
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name)
        with open(path, 'wb') as f:
            f.write(data)
        files[name] = path

    put('text.eml', ''.join('Subject: order %d\r\n' % i for i in range(20000)).encode())
    put('two-blocks.eml', bytes(rnd.getrandbits(8) for _ in range(int(big_megabytes * 1000000))))
    put('zero.eml', b'')
    put('.hidden.eml', b'hidden')
    put('inside.eml', b'inside', sub='sub')
    put('Caf\u00e9 M\u00fcller.eml', 'accented'.encode())
    for i in range(int(extra_megabytes / 0.9)):
        put('attachment%d.eml' % i, bytes(rnd.getrandbits(8) for _ in range(900000)))
    return files


def check_archive(server, files, volumes, folders=frozenset({'sub/'})):
    """The volumes are full but the last, begin with a local header, carry no data descriptors,
    and 7-Zip and Info-ZIP (after zip -s 0) read them back; every file equals its source. (Info-ZIP's
    zip -s 0 cuts an entry that runs over three volumes or more, its own archives' too, so the
    files here are sized to cross one volume boundary at most.)"""
    names = ['Kelmail.z%02d' % i for i in range(1, volumes)] + ['Kelmail.zip']
    for name in names[:-1]:
        assert os.path.getsize(os.path.join(server, name)) == 2097152, name
    with open(os.path.join(server, names[0]), 'rb') as f:
        assert f.read(4) == b'PK\x03\x04'
    work = os.path.join(server, 'check')
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    # The volumes as the program wrote them, under the same names: no renaming.
    for name in names:
        shutil.copy(os.path.join(server, name), os.path.join(work, name))
    seven = subprocess.run(['7z', 't', 'Kelmail.zip'], cwd=work, capture_output=True, encoding='latin-1',
                           stdin=subprocess.DEVNULL)
    assert seven.returncode == 0 and 'Everything is Ok' in seven.stdout, seven.stdout
    # Info-ZIP asks for a volume it misses until it is told to quit.
    joined = subprocess.run(['zip', '-q', '-s', '0', 'Kelmail.zip', '--out', 'joined.zip'], cwd=work, capture_output=True,
                            input=b'q\n')
    assert joined.returncode == 0, joined.stderr
    tested = subprocess.run(['unzip', '-t', 'joined.zip'], cwd=work, capture_output=True, encoding='latin-1')
    assert tested.returncode == 0, tested.stdout
    archive = zipfile.ZipFile(os.path.join(work, 'joined.zip'))
    seen = set()
    for info in archive.infolist():
        assert info.flag_bits & 8 == 0, info.filename
        seen.add(info.filename)
        if info.is_dir():
            continue
        with open(files[info.filename], 'rb') as f:
            assert archive.read(info) == f.read(), info.filename
    assert seen == set(files) | set(folders), seen
