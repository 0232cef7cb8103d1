'''The demo's eyes and hand on the virtual display: finds the agent's dialogs as a person would
see them (mapped windows of a given size), saves screenshots of them, and clicks a button that
it finds by its colour on the screen. Loaded by demo-roads.py.
'''

import os
import subprocess

COMMAND_LIMIT = 15  # seconds for one xdotool or import run


class Screen:
    def __init__(self, display):
        self.display = display
        self.env = dict(os.environ, DISPLAY=display)

    def _run(self, argv):
        return subprocess.run(argv, env=self.env, capture_output=True, timeout=COMMAND_LIMIT, check=False)

    def windows(self):
        '''The mapped top-level windows: [{'id', 'x', 'y', 'width', 'height'}].'''
        found = self._run(['xdotool', 'search', '--onlyvisible', '--name', '.'])
        windows = []
        for window_id in found.stdout.decode().split():
            shell = self._run(['xdotool', 'getwindowgeometry', '--shell', window_id]).stdout.decode()
            fields = dict(line.split('=', 1) for line in shell.split() if '=' in line)
            if {'X', 'Y', 'WIDTH', 'HEIGHT'} <= fields.keys():
                windows.append({'id': window_id, 'x': int(fields['X']), 'y': int(fields['Y']),
                                'width': int(fields['WIDTH']), 'height': int(fields['HEIGHT'])})
        return windows

    def dialog(self, width, height):
        '''The shown window of this size, or None.'''
        return next((w for w in self.windows() if (w['width'], w['height']) == (width, height)), None)

    def _crop(self, window):
        return ['-crop', f"{window['width']}x{window['height']}+{window['x']}+{window['y']}", '+repage']

    def save(self, window, path):
        '''What the screen shows where the window is, as a PNG file.'''
        result = self._run(['import', '-display', self.display, '-silent', '-window', 'root']
                           + self._crop(window) + [path])
        return result.returncode == 0

    def pixels(self, window):
        '''The window's pixels as rows of (r, g, b).'''
        raw = self._run(['import', '-display', self.display, '-silent', '-window', 'root']
                        + self._crop(window) + ['-depth', '8', 'rgb:-']).stdout
        width = window['width']
        rows = []
        for y in range(len(raw) // (3 * width)):
            row = raw[3 * width * y:3 * width * (y + 1)]
            rows.append([tuple(row[i:i + 3]) for i in range(0, len(row), 3)])
        return rows

    def find_colour(self, window, colour, tolerance=12, least=200):
        '''The screen position of the centre of the area painted in colour inside the window,
        or None when fewer than `least` pixels have it (not painted yet, or not there).'''
        xs, ys = [], []
        for y, row in enumerate(self.pixels(window)):
            for x, pixel in enumerate(row):
                if all(abs(a - b) <= tolerance for a, b in zip(pixel, colour)):
                    xs.append(x)
                    ys.append(y)
        if len(xs) < least:
            return None
        return (window['x'] + (min(xs) + max(xs)) // 2, window['y'] + (min(ys) + max(ys)) // 2)

    def click(self, position):
        x, y = position
        result = self._run(['xdotool', 'mousemove', '--sync', str(x), str(y), 'click', '1'])
        return result.returncode == 0
