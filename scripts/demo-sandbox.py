'''The demo's sandbox: a virtual display, the stand-ins of the daemon, logind, the security
center, the desktop shell and the domain server, and the real agent in a bwrap sandbox whose
fixed paths are bound to a temporary root. Loaded by demo-roads.py; runs inside
scripts/with-test-env.sh, which has already started the private session and system buses.

Every process started here is stopped by Sandbox.stop(), and ends by itself when the demo dies.
'''

import ctypes
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.request

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)

MOCK_IFACE = 'org.freedesktop.DBus.Mock'
AGENT_NAME = 'com.kiv.domain.session'
AGENT_PATH = '/com/domain/agent'
AGENT_IFACE = 'com.kiv.domain.agent'
DAEMON_NAME = 'com.kiv.domain'
TASK_PATH = '/com/domain/taskmanager'
TASK_IFACE = 'com.domain.taskmanager'
LOGIND_NAME = 'org.freedesktop.login1'
LOGIND_PATH = '/org/freedesktop/login1'
SHELL_NAME = 'org.freedesktop.Desktop'
SHELL_PATH = '/org/freedesktop/Desktop'
SECURITY_NAME = 'com.kiv.securitycenter'

USER = 'alice'
HOSTNAME = 'demo-term-01'
TASK_ID = 'demo-office'
TASK_NAME = '办公套件'
TASK_PACKAGES = ['kiv-office_5.2_amd64.deb', 'kiv-fonts_1.4_all.deb', 'kiv-viewer_2.0_amd64.deb']
SERVER_WALLPAPER = 'file:///usr/share/backgrounds/kiv-domain-blue.jpg'
LOGIN_REPLY = {'code': 200, 'msg': 'log-in of alice on demo-term-01 recorded'}
SCREEN_SIZE = '1280x800x24'

# Fixed paths of the client that the sandbox binds to folders of the temporary root.
BOUND_DIRS = ['/usr/share/kiv-domain-client', '/var/log/kiv-domain-client', '/etc/kiv', '/etc/kiv-security']
LOG_FILE = '/var/log/kiv-domain-client/kiv-domain-session-agent.log'
TASKS_DIR = '/usr/share/kiv-domain-client/tasks'

PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


class DemoError(Exception):
    '''A step that did not go as expected; the text says what was missing.'''


def wait_for(condition, timeout, what):
    '''Serves D-Bus signals while waiting for condition() to hold; its value, or DemoError.'''
    deadline = time.monotonic() + timeout
    context = GLib.MainContext.default()
    while True:
        while context.iteration(False):
            pass
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise DemoError(f'{what} (waited {timeout} s)')
        time.sleep(0.05)


def _die_with_demo():
    # Runs in the child: a demo killed outright still takes its stand-ins with it.
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def _scenario():
    '''What the stand-in domain server answers: the log-in is recorded, the wallpaper policy is
    switched on with the domain's picture, every other policy is off.'''
    envelope = lambda data: {'data': dict(code=200, **data)}
    return {
        'login': {'body': LOGIN_REPLY},
        'policy': {
            'wallpaper': {'body': envelope({'success': True, 'switch_status': 1, 'policy': SERVER_WALLPAPER,
                                            'wallpaper_url': 'http://127.0.0.1/wallpaper/kiv-domain-blue.jpg'})},
            '*': {'body': envelope({'success': True, 'switch_status': 0, 'policy': 0})},
        },
        'ping': {'body': 'pong'},
        'check_hostname': {'body': envelope({'msg': 'hostname accepted'})},
        'terminal_version': {'body': envelope({'kiv4-ver': '4.0.0', 'kiv5-ver': '5.0.0'})},
    }


class Sandbox:
    def __init__(self, top, out):
        self.top = top
        self.out = out
        self.work = tempfile.mkdtemp(prefix='kiv-demo.')
        self.root = os.path.join(self.work, 'root')
        self.processes = []  # (name, Popen), in start order
        self.display = None
        self.server_port = None
        self.system = dbus.SystemBus()
        self.session = dbus.SessionBus()
        self._http = urllib.request.build_opener(urllib.request.ProxyHandler({}))

    # --- processes ---------------------------------------------------------------------------

    def _start(self, name, argv, env=None, pass_fds=(), stdout=None):
        log = open(os.path.join(self.out, name + '.out'), 'wb')
        process = subprocess.Popen(argv, env=env, pass_fds=pass_fds, stdin=subprocess.DEVNULL,
                                   stdout=stdout or log, stderr=log, start_new_session=True,
                                   preexec_fn=_die_with_demo)
        log.close()
        self.processes.append((name, process))
        return process

    def _running(self, name):
        return any(n == name and p.poll() is None for n, p in self.processes)

    def _wait_owned(self, bus, name, process, timeout=20):
        def owned():
            if process.poll() is not None:
                raise DemoError(f'{name} ended at start with status {process.returncode}')
            return bool(bus.name_has_owner(name))
        wait_for(owned, timeout, f'{name} did not appear on its bus')

    def _dbusmock(self, name, args):
        return self._start(name, ['/usr/bin/python3', '-m', 'dbusmock'] + args)

    def stop(self):
        for name, process in reversed(self.processes):
            if process.poll() is not None:
                continue
            if name == 'agent':
                self._stop_agent(process)
            else:
                process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(5)
        self.processes.clear()
        shutil.rmtree(self.work, ignore_errors=True)

    # --- the virtual display -----------------------------------------------------------------

    def start_display(self):
        '''Xvfb on the first free display number, which it writes to a pipe when it is ready.'''
        read_end, write_end = os.pipe()
        self._start('xvfb', ['Xvfb', '-displayfd', str(write_end), '-screen', '0', SCREEN_SIZE,
                             '-nolisten', 'tcp', '-noreset'], pass_fds=(write_end,))
        os.close(write_end)
        number = b''
        deadline = time.monotonic() + 15
        while not number.endswith(b'\n'):
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(read_end, 16) if ready else b''
            if not chunk:
                os.close(read_end)
                raise DemoError('Xvfb did not report a display (see demo-out/xvfb.out)')
            number += chunk
        os.close(read_end)
        self.display = ':' + number.decode().strip()
        return self.display

    # --- the domain server stand-in ----------------------------------------------------------

    def start_domain_server(self):
        scenario = os.path.join(self.work, 'scenario.json')
        with open(scenario, 'w', encoding='utf-8') as f:
            json.dump(_scenario(), f, ensure_ascii=False, indent=2)
        port_file = os.path.join(self.out, 'domain-server.port')
        with open(port_file, 'wb') as port_out:
            program = os.path.join(self.top, 'build/sim/domain-server/domain-server-sim')
            process = self._start('domain-server', [program, '--scenario', scenario], stdout=port_out)

        def port():
            if process.poll() is not None:
                raise DemoError('the domain server ended at start (see demo-out/domain-server.out)')
            with open(port_file, encoding='utf-8') as f:
                line = f.readline()
            return int(line) if line.endswith('\n') else None
        self.server_port = wait_for(port, 15, 'the domain server printed no port')
        os.remove(port_file)
        return self.server_address()

    def server_address(self):
        return f'127.0.0.1:{self.server_port}'

    def server_requests(self, endpoint):
        '''What the server received at one endpoint ("login", "policy"), oldest first.'''
        with self._http.open(f'http://{self.server_address()}/__sim/requests', timeout=10) as reply:
            requests = json.load(reply)['requests']
        return [r for r in requests if r.get('endpoint') == endpoint]

    # --- the temporary root ------------------------------------------------------------------

    def path(self, fixed):
        return self.root + fixed

    def _write(self, fixed, text):
        os.makedirs(os.path.dirname(self.path(fixed)), exist_ok=True)
        with open(self.path(fixed), 'w', encoding='utf-8') as f:
            f.write(text)

    def make_root(self):
        for fixed in BOUND_DIRS + ['/tmp']:
            os.makedirs(self.path(fixed), exist_ok=True)
        self._write('/usr/share/kiv-domain-client/salt/config.ini',
                    '[init]\n'
                    f'hostname={HOSTNAME}\n'
                    f'ip_port={self.server_address()}\n'
                    'add_domain_success=true\n'
                    'auto_update_client=false\n'
                    '\n[policy]\n'
                    'items=pictureUri\n'
                    '\n[uniteauth]\n'
                    'use_security_center=true\n')
        self._write('/etc/os-release',
                    'PRETTY_NAME="KIV Desktop 5.0"\nNAME="KIV Desktop"\nNAME_EN="KIVDesktop"\n'
                    'VERSION_ID="5.0"\nID=kiv\n')
        task = f'{TASKS_DIR}/{TASK_ID}'
        for package in TASK_PACKAGES:
            self._write(f'{task}/{package}', '!<arch>\n')
        self._write(f'{task}/install.log', ''.join(f'正在解压 {p.split("_")[0]} ...\n' for p in TASK_PACKAGES))
        return self.root

    def append_install_log(self, line):
        with open(self.path(f'{TASKS_DIR}/{TASK_ID}/install.log'), 'a', encoding='utf-8') as f:
            f.write(line + '\n')

    def log_text(self):
        try:
            with open(self.path(LOG_FILE), encoding='utf-8', errors='replace') as f:
                return f.read()
        except FileNotFoundError:
            return ''

    def log_lines(self, text):
        return [line for line in self.log_text().splitlines() if text in line]

    def wait_log(self, text, timeout=10, count=1):
        return wait_for(lambda: len(self.log_lines(text)) >= count and self.log_lines(text), timeout,
                        f'the agent did not log "{text}"')

    # --- the system services -----------------------------------------------------------------

    def start_daemon(self):
        template = os.path.join(self.top, 'sim/daemon/kiv_domain_daemon.py')
        process = self._dbusmock('daemon', ['--system', '--template', template])
        self._wait_owned(self.system, DAEMON_NAME, process)

    def start_logind(self):
        process = self._dbusmock('logind', ['--system', '--template', 'logind'])
        self._wait_owned(self.system, LOGIND_NAME, process)

    def start_security_center(self):
        template = os.path.join(self.top, 'sim/securitycenter.py')
        process = self._dbusmock('securitycenter', ['--system', '--template', template])
        self._wait_owned(self.system, SECURITY_NAME, process)

    def start_desktop_shell(self):
        process = self._dbusmock('desktop-shell', ['--session', SHELL_NAME, SHELL_PATH, SHELL_NAME])
        self._wait_owned(self.session, SHELL_NAME, process)
        self.mock(self.session, SHELL_NAME, SHELL_PATH).AddMethod(
            SHELL_NAME, 'AppSwitcherSetEnable', 'b', 'b', 'ret = args[0]', timeout=10)

    def mock(self, bus, name, path):
        return dbus.Interface(bus.get_object(name, path), MOCK_IFACE)

    def daemon_calls(self, path, method):
        return [[_plain(a) for a in args] for _ts, args in
                self.mock(self.system, DAEMON_NAME, path).GetMethodCalls(method, timeout=10)]

    def logind_calls(self, method):
        return [[_plain(a) for a in args] for _ts, args in
                self.mock(self.system, LOGIND_NAME, LOGIND_PATH).GetMethodCalls(method, timeout=10)]

    def emit_task_signal(self, name, signature, args):
        '''The daemon stand-in sends one of its task signals, from the daemon's own connection.'''
        self.mock(self.system, DAEMON_NAME, TASK_PATH).EmitSignal(TASK_IFACE, name, signature, args, timeout=10)

    # --- the agent ---------------------------------------------------------------------------

    def start_agent(self):
        program = os.path.join(self.top, 'build/kiv-domain-session-agent')
        argv = ['bwrap', '--bind', '/', '/', '--dev', '/dev', '--proc', '/proc',
                '--unshare-user', '--uid', '1000', '--gid', '1000', '--die-with-parent']
        for fixed in BOUND_DIRS:
            argv += ['--bind', self.path(fixed), fixed]
        argv += ['--ro-bind', self.path('/etc/os-release'), '/etc/os-release', '--', program]
        env = dict(os.environ, HOME=f'/home/{USER}', USER=USER, LOGNAME=USER, TMPDIR=self.path('/tmp'),
                   QT_QPA_PLATFORM='xcb', DISPLAY=self.display)
        env.pop('QT_BEARER_POLL_TIMEOUT', None)  # the tests' setting; a session has none
        process = self._start('agent', argv, env=env)
        self._wait_owned(self.session, AGENT_NAME, process)

        def exported():
            # The name is claimed before the object is exported: an unknown object is "not yet".
            if process.poll() is not None:
                raise DemoError(f'the agent ended at start with status {process.returncode}')
            try:
                xml = self.session.get_object(AGENT_NAME, AGENT_PATH).Introspect(
                    dbus_interface='org.freedesktop.DBus.Introspectable', timeout=5)
            except dbus.exceptions.DBusException:
                return False
            return AGENT_IFACE in xml
        wait_for(exported, 10, f'the agent did not export {AGENT_PATH}')

    def agent_running(self):
        return self._running('agent')

    def _stop_agent(self, bwrap):
        # bwrap does not pass signals on: the agent itself gets SIGTERM.
        agent = _descendant(bwrap.pid, os.path.realpath(os.path.join(self.top, 'build/kiv-domain-session-agent')))
        if agent:
            os.kill(agent, signal.SIGTERM)
        else:
            bwrap.terminate()


def _descendant(pid, program):
    try:
        if os.path.realpath(f'/proc/{pid}/exe') == program:
            return pid
        with open(f'/proc/{pid}/task/{pid}/children') as f:
            children = f.read().split()
    except OSError:
        return None
    for child in children:
        found = _descendant(int(child), program)
        if found:
            return found
    return None


def _plain(value):
    '''A D-Bus value as plain Python (for printing and comparing).'''
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.String, dbus.ObjectPath)):
        return str(value)
    if isinstance(value, (dbus.Int16, dbus.Int32, dbus.Int64, dbus.UInt16, dbus.UInt32, dbus.UInt64, dbus.Byte)):
        return int(value)
    return value
