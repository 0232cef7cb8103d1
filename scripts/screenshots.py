'''Screenshots of the dialogs in one language, for docs/screenshots/: the install prompt, the
progress dialog and the reboot count-down, drawn by the real agent in the demo's sandbox
with the locale given and the dialogs' catalogues installed.

    scripts/with-test-env.sh build/schemas /usr/bin/python3 scripts/screenshots.py LOCALE PREFIX
    (for example en_US.UTF-8 docs/screenshots/en-   or   zh_CN.UTF-8 docs/screenshots/zh_CN-)

Needs the build's agent and catalogues (scripts/build.sh kiv-domain-session-agent translations).
'''

import glob
import importlib.util
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def _load(name):
    spec = importlib.util.spec_from_file_location(name.replace('-', '_'), os.path.join(HERE, name + '.py'))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


sandbox = _load('demo-sandbox')
screen = _load('demo-screen')


def main(locale, prefix):
    top = os.path.dirname(HERE)
    out = os.path.dirname(os.path.abspath(prefix + 'x')) or '.'
    box = sandbox.Sandbox(top, '/tmp')
    try:
        eyes = screen.Screen(box.start_display())
        box.start_domain_server()
        box.make_root()
        for catalogue in glob.glob(os.path.join(top, 'build/translations/*.qm')):
            os.makedirs(box.path('/usr/share/kiv-domain-client/translations'), exist_ok=True)
            shutil.copy(catalogue, box.path('/usr/share/kiv-domain-client/translations'))
        box.start_daemon()
        box.start_logind()
        os.environ['LC_ALL'] = locale
        os.environ.pop('LANGUAGE', None)
        box.start_agent()
        known = {w['id'] for w in eyes.windows()}
        shots = [('install-prompt', 'InstallNotify', 'ssbbi', [sandbox.TASK_ID, sandbox.TASK_NAME, False, True, 5]),
                 ('install-progress', 'ShowProgress', 'ss', [sandbox.TASK_ID, sandbox.TASK_NAME]),
                 ('reboot-countdown', 'RebootNotify', 'ss', [sandbox.TASK_ID, sandbox.TASK_NAME])]
        for name, signal, signature, args in shots:
            box.emit_task_signal(signal, signature, args)
            window = sandbox.wait_for(lambda: next((w for w in eyes.windows() if w['id'] not in known), None),
                                      10, f'the {name} did not show')
            known.add(window['id'])
            sandbox.time.sleep(1)  # painted
            if not eyes.save(window, f'{prefix}{name}.png'):
                raise sandbox.DemoError(f'no screenshot of the {name}')
            print(f'{prefix}{name}.png', flush=True)
    finally:
        box.stop()


if __name__ == '__main__':
    main(sys.argv[1], sys.argv[2])
