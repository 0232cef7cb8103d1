'''Plays the three typical roads of the session agent in the demo sandbox and says in plain words
what happened at each step, from what the stand-ins recorded and what the agent logged.

    /usr/bin/python3 scripts/demo-roads.py [--keep]

Run by scripts/demo.sh inside scripts/with-test-env.sh (private buses, settings backend and
schemas). Exits 0 when every road went as expected, 1 (naming the failed steps) when not.
With --keep the sandbox stays open until Ctrl-C, and the lines to reach it are printed.
'''

import importlib.util
import json
import os
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def _load(name):
    spec = importlib.util.spec_from_file_location(name.replace('-', '_'), os.path.join(HERE, name + '.py'))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


sandbox = _load('demo-sandbox')
screen = _load('demo-screen')
DemoError = sandbox.DemoError
wait_for = sandbox.wait_for

ORANGE = (0xff, 0xa9, 0x40)  # the "立即安装" and "立即重启" buttons
PROMPT_SIZE = (800, 85)
PROGRESS_SIZE = (436, 77)
COUNTDOWN_SIZE = (750, 50)
USER_WALLPAPER = 'file:///home/alice/Pictures/beach.jpg'
BACKGROUND = ['org.qoro.desktop.background', 'picture-uri']
COMMAND_LIMIT = 60  # seconds for one gdbus or gsettings run
NOTICE_TEXT = '欢迎使用域控客户端：本终端由域服务器管理'
NOTICE_SECONDS = 3
SETUP_LOG = 'setup.log'  # written by demo.sh before the roads


class Demo:
    '''What the steps share: the sandbox, the screen and what earlier steps found.'''

    def __init__(self, top):
        self.top = top
        self.out = os.path.join(top, 'demo-out')
        # The records of an earlier run go; the set-up log of this one (demo.sh) stays.
        os.makedirs(self.out, exist_ok=True)
        for name in os.listdir(self.out):
            if name != SETUP_LOG:
                path = os.path.join(self.out, name)
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path)
                else:
                    os.remove(path)
        self.box = sandbox.Sandbox(top, self.out)
        self.screen = None
        self.logins_seen = []
        self.notices_seen = []
        self.login_output = ''
        self.install_button = None  # screen positions of the orange buttons
        self.reboot_button = None
        self.failed = []


def say(text):
    print('     ' + text, flush=True)


def run(argv):
    '''An outside client (gdbus, gsettings): its standard output, or DemoError.'''
    try:
        result = subprocess.run(argv, capture_output=True, timeout=COMMAND_LIMIT, check=False)
    except subprocess.TimeoutExpired:
        raise DemoError(f'{argv[0]} got no answer within {COMMAND_LIMIT} s') from None
    if result.returncode != 0:
        raise DemoError(f'{" ".join(argv[:3])} failed: {result.stderr.decode(errors="replace").strip()}')
    return result.stdout.decode().strip()


def gdbus_post_login():
    return run(['gdbus', 'call', '--session', '--dest', sandbox.AGENT_NAME, '--object-path', sandbox.AGENT_PATH,
                '--method', sandbox.AGENT_IFACE + '.post_login'])


def gsettings_wallpaper():
    return run(['gsettings', 'get'] + BACKGROUND).strip("'")


def agent_line(demo, text):
    '''The message of the agent's last log line holding text (Qt's quotes around texts left out).'''
    lines = demo.box.log_lines(text)
    if not lines:
        return ''
    message = lines[-1].split('] ', 2)[-1]
    return message if '[LOG_' in lines[-1] else message.replace('"', '')


def call_text(method, args):
    return f"{method}({', '.join(repr(a) for a in args)})"


# --- the sandbox ------------------------------------------------------------------------------

def start_display(demo):
    '''A virtual display with the CJK font'''
    fonts = run(['fc-list', ':lang=zh', 'family']).splitlines()
    if not fonts:
        raise DemoError('no font with Chinese glyphs is installed (fonts-wqy-microhei)')
    demo.screen = screen.Screen(demo.box.start_display())
    say(f'Xvfb serves display {demo.box.display} ({sandbox.SCREEN_SIZE}); the agent draws on it through xcb')
    say(f'with the font {fonts[0].split(",")[0]} for the Chinese texts')


def start_domain_server(demo):
    '''The stand-in domain server'''
    say(f'listening on http://{demo.box.start_domain_server()}; the wallpaper policy is switched on with')
    say(f'"{sandbox.SERVER_WALLPAPER}", every other policy is off')


def make_root(demo):
    '''A temporary root for the agent's fixed paths'''
    say(f'{demo.box.make_root()} holds config.ini (init/ip_port = {demo.box.server_address()},')
    say('policy/items = pictureUri), an /etc/os-release of KIVDesktop 5.0 and the task store')
    say(f'tasks/{sandbox.TASK_ID}/ with {len(sandbox.TASK_PACKAGES)} *.deb files and an install.log')


def start_system_services(demo):
    '''The daemon, logind and security center stand-ins on the system bus'''
    demo.box.start_daemon()
    demo.box.start_logind()
    demo.box.start_security_center()
    say(f'{sandbox.DAEMON_NAME}, {sandbox.LOGIND_NAME} and {sandbox.SECURITY_NAME} are up (python3-dbusmock)')


def start_desktop_shell(demo):
    '''The desktop shell stand-in on the session bus'''
    demo.box.start_desktop_shell()
    say(f'{sandbox.SHELL_NAME} answers AppSwitcherSetEnable(b) -> b')


def start_agent(demo):
    '''The real kiv-domain-session-agent in its bwrap sandbox'''
    demo.box.start_agent()
    demo.box.session.add_signal_receiver(lambda: demo.logins_seen.append(time.time()), signal_name='user_login',
                                         dbus_interface=sandbox.AGENT_IFACE, path=sandbox.AGENT_PATH)
    demo.box.session.add_signal_receiver(lambda text, seconds: demo.notices_seen.append((str(text), int(seconds))),
                                         signal_name='requestShowNotify', dbus_interface=sandbox.AGENT_IFACE,
                                         path=sandbox.AGENT_PATH)
    say(f'it owns {sandbox.AGENT_NAME} and serves {sandbox.AGENT_PATH} (as user 1000 "{sandbox.USER}")')
    first = demo.box.wait_log('hello session agent')[0]
    if first != demo.box.log_text().splitlines()[0]:
        raise DemoError('the hello line is not the first line of the log')
    say(f'its first log line: {first}')
    demo.box.wait_log('start policy sync')
    say('it runs the policy engine ("start policy sync"): the system is KIVDesktop 5.0')


# --- road 1: a log-in -------------------------------------------------------------------------

def call_post_login(demo):
    '''A caller on the session bus calls "post_login" with gdbus'''
    say(f'gdbus call --session --dest {sandbox.AGENT_NAME} --object-path {sandbox.AGENT_PATH} \\')
    say(f'           --method {sandbox.AGENT_IFACE}.post_login')
    demo.login_output = gdbus_post_login()
    wait_for(lambda: demo.logins_seen, 10, 'the agent did not emit "user_login"')
    if not demo.box.daemon_calls(sandbox.AGENT_PATH, 'is_domain_online'):
        raise DemoError('the agent did not ask the daemon whether the domain server is online')
    say('the agent emitted "user_login" on the session bus and asked the daemon stand-in whether')
    say('the domain server is online (is_domain_online: true)')


def server_received_report(demo):
    '''The domain server received the log-in report'''
    reports = wait_for(lambda: demo.box.server_requests('login'), 10, 'no log-in report reached the server')
    report = reports[0]
    say(f'{report["method"]} {report["path"]}  ({report["headers"].get("Content-Type", "no content type")})')
    for line in report['body'].rstrip('\n').splitlines():
        say('    ' + line)
    expected = {'device_uuid': sandbox.HOSTNAME, 'domain_user': sandbox.USER}
    if json.loads(report['body']) != expected:
        raise DemoError(f'the report should be {expected}')
    if len(reports) != 1:
        raise DemoError(f'the server received {len(reports)} reports, not one')
    marker = demo.box.path(f'/tmp/{sandbox.USER}_post_login.txt')
    if not os.path.exists(marker):
        raise DemoError('the per-user marker file was not created')
    say(f'host name and user name as the server expects; the marker {os.path.basename(marker)} records it')


def caller_got_reply(demo):
    '''The caller got the server's reply text'''
    say(f'gdbus printed: {demo.login_output}')
    text = demo.login_output
    if not (text.startswith("('") and text.endswith("',)")):
        raise DemoError('the reply is not one text')
    if json.loads(text[2:-3]) != sandbox.LOGIN_REPLY:
        raise DemoError(f'the reply should be the server\'s {sandbox.LOGIN_REPLY}')
    say('that is the body the server answered, handed back as the method\'s result')


def notice_requested(demo):
    '''A notice requested with gdbus shows for its time, then goes'''
    before = {w['id'] for w in demo.screen.windows()}
    say(f'gdbus call --session --dest {sandbox.AGENT_NAME} --object-path {sandbox.AGENT_PATH} \\')
    say(f"           --method {sandbox.AGENT_IFACE}.showNotify '{NOTICE_TEXT}' {NOTICE_SECONDS}")
    run(['gdbus', 'call', '--session', '--dest', sandbox.AGENT_NAME, '--object-path', sandbox.AGENT_PATH,
         '--method', sandbox.AGENT_IFACE + '.showNotify', NOTICE_TEXT, str(NOTICE_SECONDS)])
    wait_for(lambda: (NOTICE_TEXT, NOTICE_SECONDS) in demo.notices_seen, 10,
             'the agent did not emit "requestShowNotify" with the same text and time')
    say(f'the agent emitted "requestShowNotify" (\'{NOTICE_TEXT}\', {NOTICE_SECONDS}) on the session bus')
    window = wait_for(lambda: next((w for w in demo.screen.windows() if w['id'] not in before), None), 10,
                      'no notice window showed')
    shown = time.monotonic()
    path = os.path.join(demo.out, 'demo-notice.png')
    if not demo.screen.save(window, path):
        raise DemoError('no screenshot of the notice')
    say(f"the notice shows: {window['width']}x{window['height']} at ({window['x']}, {window['y']}); "
        'screenshot demo-out/demo-notice.png')
    wait_for(lambda: window['id'] not in {w['id'] for w in demo.screen.windows()}, NOTICE_SECONDS + 10,
             'the notice stayed on the screen after its time')
    say(f'and it went away by itself {time.monotonic() - shown:.1f} s later')


# --- road 2: a guarded setting ----------------------------------------------------------------

def user_sets_wallpaper(demo):
    '''The user sets another wallpaper with gsettings'''
    say(f'the wallpaper was {gsettings_wallpaper()}')
    say(f"gsettings set {' '.join(BACKGROUND)} '{USER_WALLPAPER}'")
    run(['gsettings', 'set'] + BACKGROUND + [USER_WALLPAPER])
    demo.box.wait_log('onSettingsChanged pictureUri')
    say('the agent was told: "onSettingsChanged pictureUri"; the key is listed in policy/items')


def agent_asks_server(demo):
    '''The agent asks the server for the "wallpaper" policy'''
    query = wait_for(lambda: [r for r in demo.box.server_requests('policy')
                              if r['params'].get('policy_type') == 'wallpaper'],
                     10, 'the server was not asked for the wallpaper policy')[0]
    say(f'{query["method"]} {query["path"]}?{query["query"]}')
    say('the server answers: switched on, picture ' + sandbox.SERVER_WALLPAPER)


def wallpaper_put_back(demo):
    '''The agent puts the server's wallpaper back'''
    wait_for(lambda: gsettings_wallpaper() == sandbox.SERVER_WALLPAPER, 15,
             'the wallpaper was not put back to the server\'s value')
    say(f'the agent logged: {agent_line(demo, "sync policy wallpaper status from server")}')
    say(f'gsettings get {" ".join(BACKGROUND)} now answers {gsettings_wallpaper()}')


def change_back_finds_equal(demo):
    '''The change notification that follows finds the values equal'''
    answered = 'getHttpReply: server_url = ' + f'http://{demo.box.server_address()}'
    wait_for(lambda: len([l for l in demo.box.log_lines(answered) if 'policy_type=wallpaper' in l]) >= 2, 10,
             'the agent did not check the wallpaper a second time')
    # A call that the agent serves after the second answer: everything before it is handled.
    if gdbus_post_login() != "('',)":
        raise DemoError('a second post_login should answer an empty text (the log-in was reported)')
    writes = demo.box.log_lines('sync policy wallpaper status from server')
    queries = [r for r in demo.box.server_requests('policy') if r['params'].get('policy_type') == 'wallpaper']
    say(f'the server was asked {len(queries)} times; the agent wrote the wallpaper {len(writes)} time')
    if len(writes) != 1 or gsettings_wallpaper() != sandbox.SERVER_WALLPAPER:
        raise DemoError('the wallpaper should have been written back exactly once and stay at the server\'s value')


# --- road 3: an install task ------------------------------------------------------------------

def daemon_announces_task(demo):
    '''The daemon stand-in emits "InstallNotify"'''
    args = [sandbox.TASK_ID, sandbox.TASK_NAME, False, True, 5]
    demo.box.emit_task_signal('InstallNotify', 'ssbbi', args)
    say(f'{call_text("InstallNotify", args)} from {sandbox.DAEMON_NAME} {sandbox.TASK_PATH}')
    demo.box.wait_log(f'onInstallNotify: taskId({sandbox.TASK_ID})')
    say(f'the agent logged: {agent_line(demo, "onInstallNotify")}')


def shown_dialog(demo, size, name, what):
    '''Waits for the dialog of this size with its orange button painted; saves a screenshot.'''
    window = wait_for(lambda: demo.screen.dialog(*size), 10, f'the {what} did not show')
    button = wait_for(lambda: demo.screen.find_colour(window, ORANGE), 10, f'the {what} shows no orange button')
    path = os.path.join(demo.out, name + '.png')
    if not demo.screen.save(window, path):
        raise DemoError(f'no screenshot of the {what}')
    say(f'the {what} shows: {size[0]}x{size[1]} at ({window["x"]}, {window["y"]}); screenshot demo-out/{name}.png')
    return window, button


def dialog_gone(demo, size, what, timeout=10):
    wait_for(lambda: demo.screen.dialog(*size) is None, timeout, f'the {what} stayed on the screen')


def prompt_shows(demo):
    '''The install prompt shows'''
    _window, demo.install_button = shown_dialog(demo, PROMPT_SIZE, 'demo-install-prompt', 'install prompt')


def user_clicks_install_now(demo):
    '''A click on "立即安装" goes back to the daemon as InstallRequest(id, 0)'''
    if not demo.screen.click(demo.install_button):
        raise DemoError('xdotool could not click')
    say(f'xdotool clicks the orange button at {demo.install_button}')
    requests = wait_for(lambda: demo.box.daemon_calls(sandbox.TASK_PATH, 'InstallRequest'), 10,
                        'the daemon received no InstallRequest')
    say(f'the daemon stand-in recorded {call_text("InstallRequest", requests[0])}')
    if requests != [[sandbox.TASK_ID, 0]]:
        raise DemoError(f'expected one InstallRequest(\'{sandbox.TASK_ID}\', 0) (install now)')
    dialog_gone(demo, PROMPT_SIZE, 'install prompt')
    say('and the prompt is gone')


def daemon_shows_progress(demo):
    '''"ShowProgress" opens the progress dialog over the task's packages'''
    demo.box.emit_task_signal('ShowProgress', 'ss', [sandbox.TASK_ID, sandbox.TASK_NAME])
    say(call_text('ShowProgress', [sandbox.TASK_ID, sandbox.TASK_NAME]))
    packages = demo.box.wait_log('debian package: ', count=len(sandbox.TASK_PACKAGES))
    say(f'the agent counted {len(packages)} packages, e.g. {agent_line(demo, "debian package: ").split()[-1]}')
    wait_for(lambda: demo.screen.dialog(*PROGRESS_SIZE), 10, 'the progress dialog did not show')


def setup_line(package):
    name, version = package.split('_')[:2]
    return f'正在设置 {name} ({version}) ...'


def first_package_set_up(demo):
    '''A "正在设置 ..." line in install.log moves the bar to 33 %'''
    line = setup_line(sandbox.TASK_PACKAGES[0])
    window = demo.screen.dialog(*PROGRESS_SIZE)
    empty_bar = demo.screen.pixels(window) if window else None
    demo.box.append_install_log(line)
    say(f'appended to install.log: {line}')
    # The check logs each set-up line once, as it counts it; the bar is painted right after.
    demo.box.wait_log(line)
    wait_for(lambda: demo.screen.pixels(window) != empty_bar, 5, 'the progress bar did not move')
    if window is None or not demo.screen.save(window, os.path.join(demo.out, 'demo-install-progress.png')):
        raise DemoError('no screenshot of the progress dialog')
    say(f'1 of {len(sandbox.TASK_PACKAGES)} packages set up: the bar stands at '
        f'{100 // len(sandbox.TASK_PACKAGES)} %; screenshot demo-out/demo-install-progress.png')


def all_packages_set_up(demo):
    '''The last lines bring the bar to 100 %: the installation is complete'''
    for package in sandbox.TASK_PACKAGES[1:]:
        demo.box.append_install_log(setup_line(package))
        say(f'appended to install.log: {setup_line(package)}')
    demo.box.wait_log('任务安装完成隐藏状态栏')
    say(f'at 100 % the agent logged: {agent_line(demo, "任务安装完成隐藏状态栏")}')
    dialog_gone(demo, PROGRESS_SIZE, 'progress dialog')
    say('and the progress dialog closed itself two seconds later')


def daemon_asks_reboot(demo):
    '''"RebootNotify" starts the count-down'''
    demo.box.emit_task_signal('RebootNotify', 'ss', [sandbox.TASK_ID, sandbox.TASK_NAME])
    say(call_text('RebootNotify', [sandbox.TASK_ID, sandbox.TASK_NAME]))
    window, demo.reboot_button = shown_dialog(demo, COUNTDOWN_SIZE, 'demo-reboot-countdown', 'reboot count-down')
    # The banner reads "安装已完成， 180 秒后自动重启"; each second its number changes.
    first = demo.screen.pixels(window)
    wait_for(lambda: demo.screen.pixels(window) != first, 5, 'the count-down does not count')
    if not demo.screen.save(window, os.path.join(demo.out, 'demo-reboot-countdown.png')):
        raise DemoError('no screenshot of the reboot count-down')
    say('its number counts down once a second (the screenshot shows it a second or two later)')
    if demo.box.logind_calls('Reboot'):
        raise DemoError('logind was asked to reboot before the count-down ended')


def user_clicks_reboot_now(demo):
    '''A click on "立即重启" asks logind to reboot'''
    if not demo.screen.click(demo.reboot_button):
        raise DemoError('xdotool could not click')
    say(f'xdotool clicks the orange button at {demo.reboot_button}')
    calls = wait_for(lambda: demo.box.logind_calls('Reboot'), 10, 'logind received no Reboot call')
    say(f'the logind stand-in recorded {call_text("Reboot", calls[0])} (no interactive authorisation)')
    if calls != [[False]]:
        raise DemoError('expected one Reboot(false)')
    dialog_gone(demo, COUNTDOWN_SIZE, 'reboot count-down')
    if not (demo.box.log_lines('reboot now') and demo.box.log_lines('doReboot')):
        raise DemoError('the agent did not log "reboot now" and "doReboot"')
    say('the agent logged "reboot now" and "doReboot"; the count-down is gone')


ROADS = [
    ('The sandbox', [start_display, start_domain_server, make_root, start_system_services, start_desktop_shell,
                     start_agent]),
    ('Road 1: a log-in', [call_post_login, server_received_report, caller_got_reply, notice_requested]),
    ('Road 2: a guarded setting', [user_sets_wallpaper, agent_asks_server, wallpaper_put_back,
                                   change_back_finds_equal]),
    ('Road 3: an install task', [daemon_announces_task, prompt_shows, user_clicks_install_now, daemon_shows_progress,
                                 first_package_set_up, all_packages_set_up, daemon_asks_reboot,
                                 user_clicks_reboot_now]),
]


def play(demo, title, steps):
    '''Runs the steps of one road in order; the first that fails ends the road. True if all went.'''
    print(f'\n== {title}', flush=True)
    for step in steps:
        name = step.__doc__.strip()
        print(f'  - {name}', flush=True)
        try:
            step(demo)
        except DemoError as error:
            print(f'  FAILED: {name}: {error}', flush=True)
            demo.failed.append(f'{title}: {name}')
            return False
        except Exception as error:  # a broken stand-in or tool: report it as the step's failure
            print(f'  FAILED: {name}: {type(error).__name__}: {error}', flush=True)
            demo.failed.append(f'{title}: {name}')
            return False
    return True


def keep_open(demo):
    env = {
        'DBUS_SESSION_BUS_ADDRESS': os.environ['DBUS_SESSION_BUS_ADDRESS'],
        'DBUS_SYSTEM_BUS_ADDRESS': os.environ['DBUS_SYSTEM_BUS_ADDRESS'],
        'DISPLAY': demo.box.display,
        'XDG_CONFIG_HOME': os.environ['XDG_CONFIG_HOME'],
        'GSETTINGS_BACKEND': 'keyfile',
        'GSETTINGS_SCHEMA_DIR': os.environ['GSETTINGS_SCHEMA_DIR'],
    }
    print('\n== The sandbox stays open. In another shell paste:')
    for name, value in env.items():
        print(f"export {name}='{value}'")
    print('Then for example:')
    print(f'  gdbus call --session --dest {sandbox.AGENT_NAME} --object-path {sandbox.AGENT_PATH} '
          f"--method {sandbox.AGENT_IFACE}.showNotify '来自演示的通知' 10")
    print("  gsettings set org.qoro.desktop.background picture-uri 'file:///home/alice/Pictures/cat.jpg'")
    print(f'  gdbus call --system --dest {sandbox.DAEMON_NAME} --object-path {sandbox.TASK_PATH} '
          f'--method org.freedesktop.DBus.Mock.EmitSignal {sandbox.TASK_IFACE} InstallNotify ssbbi '
          f"\"[<'{sandbox.TASK_ID}'>, <'{sandbox.TASK_NAME}'>, <false>, <false>, <10>]\"")
    print(f'  import -window root /tmp/screen.png        (what the display {demo.box.display} shows)')
    print(f'The agent logs to {demo.box.path(sandbox.LOG_FILE)}')
    print(f'The domain server: http://{demo.box.server_address()} (what it received: /__sim/requests)')
    print('Ctrl-C ends the sandbox.', flush=True)
    try:
        while demo.box.agent_running():
            time.sleep(0.5)
        print('The agent ended.')
    except KeyboardInterrupt:
        print('\nInterrupted: ending the sandbox.')


def save_records(demo):
    '''Keeps what the agent logged and what the stand-ins received in demo-out/.'''
    log = demo.box.path(sandbox.LOG_FILE)
    if os.path.exists(log):
        shutil.copy(log, os.path.join(demo.out, 'agent.log'))
    try:
        with open(os.path.join(demo.out, 'server-requests.json'), 'w', encoding='utf-8') as f:
            json.dump(demo.box.server_requests('login') + demo.box.server_requests('policy'), f,
                      ensure_ascii=False, indent=2)
    except Exception as error:  # the server is gone: nothing more to keep
        print(f'(the server\'s requests were not saved: {error})')


def _interrupt(_signum, _frame):
    # Ctrl-C, and the end of the terminal or a kill, all end the sandbox the same way.
    raise KeyboardInterrupt


def main():
    keep = '--keep' in sys.argv[1:]
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _interrupt)
    demo = Demo(os.path.dirname(HERE))
    try:
        if play(demo, *ROADS[0]):
            for title, steps in ROADS[1:]:
                play(demo, title, steps)
        save_records(demo)
        if keep and demo.box.agent_running():
            keep_open(demo)
    except KeyboardInterrupt:
        print('\nInterrupted before the roads were played to the end: ending the sandbox.')
        demo.failed.append('interrupted')
    finally:
        demo.box.stop()
    if demo.failed:
        print('\nThe demo FAILED at: ' + '; '.join(demo.failed))
        return 1
    print('\nEvery road went as expected. Screenshots, the agent\'s log and the server\'s requests are in demo-out/.')
    return 0


if __name__ == '__main__':
    sys.exit(main())
