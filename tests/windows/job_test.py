"""The Windows program runs the whole job under Wine without a display (MAILBALE_UI=headless):
its report, exit statuses and split archive."""
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
import common  # noqa: E402

REPORT = ('== Information ==\nVandrel SPAM has been zipped into: \n\n'
          '        C:\\Vandrel\\Kelmail.zip\n        C:\\Vandrel\\Kelmail.z01\n        C:\\Vandrel\\Kelmail.z02\n\n'
          'Please send as attachments to separate emails.\n-> OK\n')


def run(prefix, exe, answers=''):
    result = prefix.wine([exe], extra_env={'MAILBALE_UI': 'headless', 'MAILBALE_ANSWERS': answers})
    return result.returncode, result.stdout.decode('cp1252').replace('\r\n', '\n')


def main():
    exe, prefix_folder = sys.argv[1], sys.argv[2]
    prefix = common.Prefix(prefix_folder)
    passed = failed = 0

    def check(name, test):
        nonlocal passed, failed
        try:
            test()
            passed += 1
            print('[  PASSED  ] ' + name)
        except AssertionError as e:
            failed += 1
            print('[  FAILED  ] %s: %s' % (name, e))

    def whole_job():
        server = prefix.fresh_folder('Vandrel')
        files = common.write_mixed_mail(os.path.join(server, 'LOG_EML'), big_megabytes=3.2, extra_megabytes=2.7)
        with open(os.path.join(server, 'Kelmail.z20'), 'wb') as f:
            f.write(b'old volume twenty stays')
        prefix.set_server_folder('C:\\Vandrel')
        status, output = run(prefix, exe)
        assert status == 0, (status, output)
        assert output == REPORT, repr(output)
        assert os.path.exists(os.path.join(server, 'Kelmail.z20'))
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

    check('WindowsProgram.WholeJobUnderWine', whole_job)
    check('WindowsProgram.FolderThatCannotBeLocated', not_located)
    check('WindowsProgram.RegistryValueOfTheWrongType', wrong_type)
    print('%d passed, %d failed' % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == '__main__':
    sys.exit(main())
