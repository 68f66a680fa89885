"""The Windows program runs the whole job under Wine without a display (MAILBALE_UI=headless):
its report, exit statuses and split archive."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
import common  # noqa: E402

REPORT = ('== Information ==\nVandrel SPAM has been zipped into: \n\n'
          '        C:\\Vandrel\\Kelmail.zip\n        C:\\Vandrel\\Kelmail.z01\n        C:\\Vandrel\\Kelmail.z02\n\n'
          'Please send as attachments to separate emails.\n-> OK\n')


FAILED = '== Error ==\nZip of Vandrel SPAM failed!\n-> OK\n'
HEADLESS = {'MAILBALE_UI': 'headless', 'MAILBALE_ANSWERS': ''}


def run(prefix, exe, answers=''):
    result = prefix.wine([exe], extra_env=dict(HEADLESS, MAILBALE_ANSWERS=answers))
    return result.returncode, text(result.stdout)


def text(output):
    return output.decode('cp1252').replace('\r\n', '\n')


def leftovers(prefix, server):
    """The archive files in the server folder and the temporary files anywhere on C:."""
    left = [n for n in os.listdir(server) if n.lower().startswith('kelmail')]
    for folder, _, names in os.walk(prefix.c):
        left += [os.path.join(folder, n) for n in names if n.startswith('FC') and n.endswith('.tmp')]
    return left


def incompressible_mail(server, count, size=1500000):
    for i in range(count):
        with open(os.path.join(server, 'LOG_EML', 'attachment%02d.eml' % i), 'wb') as f:
            f.write(os.urandom(size))


def windows_path(prefix, host_path):
    return 'C:\\' + os.path.relpath(host_path, prefix.c).replace('/', '\\')


class Holder:
    """Another Windows process holding a file open, allowing no sharing or reading only."""

    def __init__(self, prefix, helper, path, share):
        self.ready, self.stop = os.path.join(prefix.c, 'holder.ready'), os.path.join(prefix.c, 'holder.release')
        self.process = subprocess.Popen(prefix.command([helper, 'hold', windows_path(prefix, path), share,
                                                        windows_path(prefix, self.ready),
                                                        windows_path(prefix, self.stop)]), env=prefix.env)
        end = time.time() + 60
        while not os.path.exists(self.ready):
            assert self.process.poll() is None and time.time() < end, 'the file could not be held'
            time.sleep(0.05)

    def release(self):
        open(self.stop, 'w').close()
        assert self.process.wait(timeout=60) == 0
        os.remove(self.ready)
        os.remove(self.stop)


def main():
    exe, prefix_folder = sys.argv[1], sys.argv[2]
    helper = os.path.join(os.path.dirname(exe), 'tests', 'test_helper.exe')
    prefix = common.Prefix(prefix_folder)
    passed = failed = 0

    def check(name, test):
        nonlocal passed, failed
        try:
            test()
            passed += 1
            print('[  PASSED  ] ' + name)
        except Exception as e:  # noqa: BLE001 - any error fails this test and lets the others run
            failed += 1
            print('[  FAILED  ] %s: %s' % (name, e))

    def whole_job():
        server = prefix.fresh_folder('Vandrel')
        files = common.write_mixed_mail(os.path.join(server, 'LOG_EML'), big_megabytes=3.2, extra_megabytes=2.7)
        # Old volumes of a larger earlier run go, however many there were.
        for old in ('Kelmail.z20', 'Kelmail.Z116'):
            with open(os.path.join(server, old), 'wb') as f:
                f.write(b'old volume')
        prefix.set_server_folder('C:\\Vandrel')
        status, output = run(prefix, exe)
        assert status == 0, (status, output)
        assert output == REPORT, repr(output)
        assert sorted(n for n in os.listdir(server) if n.startswith('Kelmail')) == \
            ['Kelmail.z01', 'Kelmail.z02', 'Kelmail.zip'], os.listdir(server)
        common.check_archive(server, files, 3)

    def not_located():
        prefix.set_server_folder(None)
        status, output = run(prefix, exe)
        assert status == 2, status
        assert output == '== Error ==\nUnable to locate Vandrel SPAM folder!\n-> OK\n', repr(output)

    def wrong_type():
        prefix.set_server_folder(None)
        r = prefix.wine(['reg', 'add', common.REGISTRY_KEY, '/v', 'Srvr_Path', '/t', 'REG_DWORD', '/d', '1', '/f'])
        assert r.returncode == 0
        status, output = run(prefix, exe)
        assert status == 2, status
        assert output.startswith('== Error ==\nException "ERegistryException: Invalid data type for \'Srvr_Path\'" '
                                 'on Registry access!\n-> OK\n'), repr(output)

    def empty_value():
        prefix.set_server_folder('')
        assert run(prefix, exe) == (2, '== Error ==\nUnable to locate Vandrel SPAM folder!\n-> OK\n')

    def held_file():
        # Another process holds a mail: headless, the prompt is answered Retry three times (the
        # holder may let go meanwhile), then Abort, never Ignore; the job fails and leaves nothing.
        # A mail held for reading only is read and packed as any other.
        server = prefix.fresh_folder('Vandrel')
        mail = os.path.join(server, 'LOG_EML', 'held.eml')
        with open(mail, 'wb') as f:
            f.write(b'held mail')
        prefix.set_server_folder('C:\\Vandrel')
        holder = Holder(prefix, helper, mail, 'none')
        try:
            status, output = run(prefix, exe)
        finally:
            holder.release()
        prompt = ('== Confirm ==\nZipArchiver: Cannot open file "C:\\Vandrel\\LOG_EML\\held.eml" - Native error: ')
        answers = [block.split('\n-> ', 1)[1].split('\n')[0] for block in output.split(prompt)[1:]]
        assert (status, answers) == (1, ['Retry', 'Retry', 'Retry', 'Abort']), (status, output)
        assert output.endswith(FAILED) and leftovers(prefix, server) == [], output
        holder = Holder(prefix, helper, mail, 'read')
        try:
            status, output = run(prefix, exe)
        finally:
            holder.release()
        assert status == 0, output
        common.check_archive(server, {'held.eml': mail}, 1, folders=set())

    def name_outside_code_page():
        # A name the ANSI code page cannot spell is listed but cannot be opened, never taken for the
        # look-alike beside it ("\u03a9mega.eml" is not "Omega.eml"): headless, the job fails rather
        # than leave it out unseen; answered Ignore, the other mails are packed.
        server = prefix.fresh_folder('Vandrel')
        logs = os.path.join(server, 'LOG_EML')
        files = {name: os.path.join(logs, name) for name in ('plain.eml', 'Omega.eml')}
        outside = ['\u03a9\u03bc\u03ad\u03b3\u03b1 \u4e2d.eml', '\u03a9mega.eml']
        for name in list(files) + outside:
            with open(os.path.join(logs, name), 'wb') as f:
                f.write(name.encode() * 100)
        prefix.set_server_folder('C:\\Vandrel')
        status, output = run(prefix, exe)
        assert status == 1 and '-> Ignore' not in output and output.endswith(FAILED), output
        assert leftovers(prefix, server) == []
        status, output = run(prefix, exe, 'Ignore,Ignore')
        assert status == 0 and output.count('-> Ignore') == 2, output
        common.check_archive(server, files, 1, folders=set())

    def second_run():
        # While one run writes the archive, a second run on the same server folder fails at once and
        # touches nothing: the first one ends with its complete archive.
        server = prefix.fresh_folder('Vandrel')
        incompressible_mail(server, 12)
        files = {n: os.path.join(server, 'LOG_EML', n) for n in os.listdir(os.path.join(server, 'LOG_EML'))}
        prefix.set_server_folder('C:\\Vandrel')
        first = subprocess.Popen(prefix.command([exe]), env=dict(prefix.env, **HEADLESS), stdout=subprocess.PIPE)
        try:
            end = time.time() + 120
            while not os.path.exists(os.path.join(server, 'Kelmail.z01')):
                assert first.poll() is None and time.time() < end, 'the first run wrote no volume'
                time.sleep(0.02)
            status, output = run(prefix, exe)
            assert status == 1, (status, output)
            assert output == ('== Error ==\nException "EOSError: Folder "C:\\Vandrel\\" is in use by another run of this '
                              'program" during zipping!\n-> OK\n' + FAILED), repr(output)
            assert first.wait(timeout=300) == 0
        finally:
            if first.poll() is None:
                first.kill()
            first.wait()
        volumes = len([n for n in os.listdir(server) if n.startswith('Kelmail.z') and n != 'Kelmail.zip']) + 1
        assert volumes == 9, os.listdir(server)
        common.check_archive(server, files, volumes, folders=set())

    def console_events():
        # Ctrl+C, Ctrl+Break and closing the console stop a headless job cleanly: rolled back,
        # nothing left, and the status says which event it was.
        for event, expected in (('c', 130), ('break', 149), ('close', 129)):
            server = prefix.fresh_folder('Vandrel')
            incompressible_mail(server, 16)
            prefix.set_server_folder('C:\\Vandrel')
            result = prefix.wine([helper, 'console-event', event, 'C:\\Vandrel\\Kelmail.z01', exe], extra_env=HEADLESS)
            output = text(result.stdout)
            assert result.returncode == expected, (event, result.returncode, output, result.stderr[-500:])
            assert output.endswith(FAILED), (event, output)
            assert leftovers(prefix, server) == [], (event, leftovers(prefix, server))

    check('WindowsProgram.WholeJobUnderWine', whole_job)
    check('WindowsProgram.FolderThatCannotBeLocated', not_located)
    check('WindowsProgram.RegistryValueOfTheWrongType', wrong_type)
    check('WindowsProgram.EmptyRegistryValue', empty_value)
    check('WindowsProgram.HeldFileRetriedThenAbortedHeadless', held_file)
    check('WindowsProgram.NameOutsideTheAnsiCodePage', name_outside_code_page)
    check('WindowsProgram.SecondRunOnTheSameFolder', second_run)
    check('WindowsProgram.ConsoleEventsStopTheJobCleanly', console_events)
    prefix.remove_folder('Vandrel')
    print('%d passed, %d failed' % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == '__main__':
    sys.exit(main())
