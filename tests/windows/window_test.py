"""The Windows program with its real window under Wine on a virtual X display: the window is 300 x 112
and centred, its bar moves during the job (screenshots under the build folder), the report box
takes a key press, and the program ends with status 0 and a complete archive."""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
import common  # noqa: E402

SCREEN = (1024, 768)
# The frame Wine gives an ordinary resizable window with a caption: the X window is its client area.
FRAME_X, FRAME_TOP, FRAME_BOTTOM = 4, 23, 4


def wait_for(what, timeout, step=0.25):
    end = time.time() + timeout
    while time.time() < end:
        value = what()
        if value:
            return value
        time.sleep(step)
    return None


def find_window(env, name):
    result = subprocess.run(['xdotool', 'search', '--name', name], env=env, capture_output=True, text=True)
    ids = result.stdout.split()
    return ids[0] if ids else None


def geometry(env, window):
    out = subprocess.run(['xdotool', 'getwindowgeometry', '--shell', window], env=env, capture_output=True,
                         text=True).stdout
    values = dict(line.split('=', 1) for line in out.split() if '=' in line)
    return int(values['X']), int(values['Y']), int(values['WIDTH']), int(values['HEIGHT'])


def raw_pixels(env, png):
    return subprocess.run(['convert', png, '-depth', '8', 'rgb:-'], env=env, capture_output=True).stdout


def picture_size(env, png):
    out = subprocess.run(['identify', '-format', '%w %h', png], env=env, capture_output=True, text=True).stdout
    width, height = out.split()
    return int(width), int(height)


# Where the window's parts lie in its client area: the label "Please wait while files are
# zipped..." in bold along the top, on the window's face; the waiting bar inside the lowered panel
# below it.
LABEL_ROWS = (0, 24)
BAR_BOX = (6, 38, 286, 66)


def region(pixels, width, box):
    left, top, right, bottom = box
    return b''.join(pixels[(row * width + left) * 3:(row * width + right) * 3] for row in range(top, bottom))


def shows_label(pixels, width):
    """Whether the label's text is there: on a face that is not black, enough pixels of another
    colour along the top for a line of bold text. A black or blank picture has none."""
    strip = region(pixels, width, (0, LABEL_ROWS[0], width, LABEL_ROWS[1]))
    colours = [strip[i:i + 3] for i in range(0, len(strip), 3)]
    if not colours:
        return False
    face = max(set(colours), key=colours.count)
    text = sum(1 for c in colours if max(abs(c[k] - face[k]) for k in range(3)) > 64)
    return face != b'\x00\x00\x00' and text >= 150


def attempt(exe, prefix, out_dir, display):
    env = dict(prefix.env, DISPLAY=display)
    env.pop('MAILBALE_UI', None)
    server = prefix.fresh_folder('Vandrel')
    logs = os.path.join(server, 'LOG_EML')
    # Enough incompressible mail, packed by one thread, for the job to outlast both screenshots.
    env['MAILBALE_THREADS'] = '1'
    for i in range(40):
        with open(os.path.join(logs, 'mail%02d.eml' % i), 'wb') as f:
            f.write(os.urandom(2000000))
    prefix.set_server_folder('C:\\Vandrel')
    program = subprocess.Popen(prefix.command([exe]), env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        window = wait_for(lambda: find_window(env, '^Vandrel Mailbale$'), 90)
        assert window, 'the window did not appear'
        x, y, width, height = geometry(env, window)
        outer = (width + 2 * FRAME_X, height + FRAME_TOP + FRAME_BOTTOM)
        assert outer == (300, 112), (x, y, width, height)
        assert (x - FRAME_X, y - FRAME_TOP) == ((SCREEN[0] - 300) // 2, (SCREEN[1] - 112) // 2), (x, y)
        first = os.path.join(out_dir, 'window-during-job.png')
        second = os.path.join(out_dir, 'window-during-job-later.png')
        time.sleep(1.0)
        subprocess.run(['import', '-window', window, first], env=env, check=True, capture_output=True)
        time.sleep(0.7)
        subprocess.run(['import', '-window', window, second], env=env, check=True, capture_output=True)
        # Both pictures are of the window during the job: it still runs, and each shows the label.
        # Only then does a difference between them mean that the bar moved (a picture taken after
        # the window had gone would differ from the first, black).
        assert program.poll() is None and not find_window(env, '^Information$'), 'the job ended before the screenshots'
        pictures = []
        for png in (first, second):
            size = picture_size(env, png)
            pixels = raw_pixels(env, png)
            assert size[0] >= BAR_BOX[2] and size[1] >= BAR_BOX[3] and len(pixels) == size[0] * size[1] * 3, (png, size)
            assert shows_label(pixels, size[0]), '%s does not show the window' % png
            pictures.append((pixels, size[0]))
        bars = [region(pixels, w, BAR_BOX) for pixels, w in pictures]
        assert bars[0] != bars[1], 'the bar did not move'
        report = wait_for(lambda: find_window(env, '^Information$'), 300)
        assert report, 'the report did not appear'
        status = None
        for _ in range(30):
            subprocess.run(['xdotool', 'windowfocus', report], env=env, capture_output=True)
            subprocess.run(['xdotool', 'key', 'Return'], env=env, capture_output=True)
            try:
                status = program.wait(timeout=2)
                break
            except subprocess.TimeoutExpired:
                continue
        assert status == 0, status
        volumes = sorted(n for n in os.listdir(server) if n.startswith('Kelmail.z') and n != 'Kelmail.zip')
        assert len(volumes) >= 30 and os.path.exists(os.path.join(server, 'Kelmail.zip')), volumes
        work = os.path.join(server, 'check')
        os.makedirs(work)
        for name in volumes + ['Kelmail.zip']:
            shutil.copy(os.path.join(server, name), os.path.join(work, name))
        seven = subprocess.run(['7z', 't', 'Kelmail.zip'], cwd=work, capture_output=True, encoding='latin-1',
                               stdin=subprocess.DEVNULL)
        assert seven.returncode == 0 and 'Everything is Ok' in seven.stdout, seven.stdout[-500:]
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()


def main():
    exe, prefix_folder, out_dir = sys.argv[1], sys.argv[2], sys.argv[3]
    display = ':%d' % (90 + os.getpid() % 9)
    xvfb = subprocess.Popen(['Xvfb', display, '-screen', '0', '%dx%dx24' % SCREEN, '-nolisten', 'tcp'],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        ready = wait_for(lambda: subprocess.run(['xdpyinfo', '-display', display], capture_output=True).returncode == 0,
                         30)
        assert ready, 'Xvfb did not start'
        prefix = common.Prefix(prefix_folder)
        # Wine's desktop process keeps the display it started with: a server left from runs without
        # a display would hide the window, so the prefix starts afresh here.
        subprocess.run(['wineserver', '-k'], env=prefix.env, capture_output=True)
        subprocess.run(['wineserver', '-w'], env=prefix.env, capture_output=True)
        error = None
        # A loaded machine can be slow to show a window: one more try before failing.
        for _ in range(2):
            try:
                attempt(exe, prefix, out_dir, display)
                print('[  PASSED  ] WindowsProgram.RealWindowUnderXvfb')
                print('1 passed, 0 failed')
                return 0
            except AssertionError as e:
                error = e
                print('attempt failed: %s' % e)
                subprocess.run(['wineserver', '-k'], env=prefix.env, capture_output=True)
                subprocess.run(['wineserver', '-w'], env=prefix.env, capture_output=True)
        print('[  FAILED  ] WindowsProgram.RealWindowUnderXvfb: %s' % error)
        print('0 passed, 1 failed')
        return 1
    finally:
        common.Prefix(prefix_folder).remove_folder('Vandrel')
        xvfb.terminate()
        xvfb.wait()


if __name__ == '__main__':
    sys.exit(main())
