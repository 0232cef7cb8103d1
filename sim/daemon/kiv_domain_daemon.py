'''Stand-in for the domain client daemon "com.kiv.domain" on the system bus.

Run as a python3-dbusmock template:
    /usr/bin/python3 -m dbusmock --system --template sim/daemon/kiv_domain_daemon.py [-p JSON]

It serves the daemon's objects, methods and signals as daemon/com.kiv.domain.xml describes
them, each method with its own argument and reply signature. Every call lands in dbusmock's
call log of its object (GetCalls / GetMethodCalls / ClearCalls on that object's path). A call
whose arguments do not match the method's signature is refused with
org.freedesktop.DBus.Error.InvalidArgs; so is an EmitSignal of a signal that the object does not
have, or with another signature.

Parameters (-p JSON, every key optional), all keyed by D-Bus method name:
    "replies": {"is_domain_online": false, "get_hostname": "pc-7", ...}
               the reply value, in the method's own reply type
    "errors":  {"UpdateConfig": "com.kiv.domain.Error.Failed", ...}
               answer with this D-Bus error instead
    "delays":  {"syncAll": 1.5, ...}
               seconds to wait before answering (the whole stand-in waits with it)
Without a reply of its own a method answers the value of DEFAULT_REPLIES, else the zero of its
reply type.

Knobs at run time, on the interface "org.freedesktop.DBus.Mock" of "/com/domain/agent":
    SetReply(s method, s signature, v value)   answer with value as D-Bus type signature; a
                                               signature other than the method's own gives a
                                               reply of the wrong type, "" a reply without
                                               arguments
    SetError(s method, s name, s message)      answer with this D-Bus error
    SetDelay(s method, d seconds)              wait this long before answering
    SetVanish(s method)                        on the next call of method, leave the bus at
                                               once without answering (a daemon that dies
                                               in the middle of a call)
    ResetReplies()                             back to the defaults and the -p parameters
The knob calls themselves show in the call log of "/com/domain/agent": read a method's calls
with GetMethodCalls, or ClearCalls after setting the knobs.

Signals: EmitSignal on the object that carries them, for example "/com/domain/taskmanager"
"com.domain.taskmanager" "InstallNotify" "ssbbi".
'''

import os
import time
import xml.etree.ElementTree as ElementTree

import dbus

from dbusmock import MOCK_IFACE, mockobject

BUS_NAME = 'com.kiv.domain'
MAIN_OBJ = '/com/domain/agent'
MAIN_IFACE = 'com.kiv.domain.agent'
SYSTEM_BUS = True

CONTRACT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'daemon', 'com.kiv.domain.xml')

# What the daemon answers when no test says otherwise (other methods: the zero of their type).
DEFAULT_REPLIES = {
    'is_domain_online': True,
    'recover_pam': True,
    'add_windows_domain': True,
    'execLogin': True,
    'modify_resolv_config': True,
    'get_domain_info': '{}',
    'add_domain': '0',
    'add_domain3': '0',
    'get_add_domain_status': '0',
    'get_hostname': 'kiv-terminal',
    'modify_password': '0',
    'modify_localpassword': '0',
    'policy_info': b'{}',
}
ZEROS = {'b': False, 's': '', 'i': 0, 'as': [], 'ay': b''}


def _signature(element, direction=None):
    return ''.join(arg.get('type') for arg in element.findall('arg')
                   if direction is None or arg.get('direction', 'in') == direction)


def _read_contract():
    '''{path: (interface, [(method, in sig, out sig)], {signal: sig})} from the contract.'''
    root = ElementTree.parse(CONTRACT).getroot()
    objects = {}
    for node in root.findall('node'):
        interface = node.find('interface')
        methods = [(m.get('name'), _signature(m, 'in'), _signature(m, 'out')) for m in interface.findall('method')]
        signals = {s.get('name'): _signature(s) for s in interface.findall('signal')}
        objects[root.get('name') + '/' + node.get('name')] = (interface.get('name'), methods, signals)
    return objects


OBJECTS = _read_contract()

# What each method answers: {'sig': .., 'value': .., 'error': (name, message) or None,
# 'delay': seconds, 'vanish': bool}, rebuilt by _reset_behaviour().
_behaviour = {}
_parameters = {}


def _coerce(signature, value):
    '''JSON gives text where the daemon sends bytes.'''
    if signature == 'ay' and isinstance(value, str):
        return value.encode('UTF-8')
    return value


def _method_table():
    for path, (interface, methods, _signals) in OBJECTS.items():
        for method in methods:
            yield path, interface, method


def _reset_behaviour():
    _behaviour.clear()
    replies = _parameters.get('replies', {})
    errors = _parameters.get('errors', {})
    delays = _parameters.get('delays', {})
    for _path, _interface, (name, _in_sig, out_sig) in _method_table():
        error = errors.get(name)
        default = DEFAULT_REPLIES.get(name, ZEROS.get(out_sig))
        _behaviour[name] = {
            'sig': out_sig,
            'value': _coerce(out_sig, replies.get(name, default)),
            'error': (error, 'stand-in daemon failure') if error else None,
            'delay': float(delays.get(name, 0)),
            'vanish': False,
        }


def _answer(name):
    '''The body of method name: wait, fail, vanish or reply as its behaviour says.'''

    def body(_self, *_args):
        behaviour = _behaviour[name]
        if behaviour['vanish']:
            os._exit(0)
        if behaviour['delay'] > 0:
            time.sleep(behaviour['delay'])
        if behaviour['error']:
            error_name, message = behaviour['error']
            raise dbus.exceptions.DBusException(message, name=error_name)
        if behaviour['sig'] == '':
            return None
        return behaviour['value']

    return body


def _register(name, out_sig):
    '''(Re)declares method name on its object with the reply signature out_sig.'''
    for path, interface, (method, in_sig, _out_sig) in _method_table():
        if method == name:
            mockobject.objects[path].AddMethod(interface, name, in_sig, out_sig, _answer(name))
            return
    raise dbus.exceptions.DBusException(f'no such daemon method: {name}',
                                        name='org.freedesktop.DBus.Mock.NameError')


def _register_all():
    for _path, _interface, (name, _in_sig, _out_sig) in _method_table():
        _register(name, _behaviour[name]['sig'])


def _checked_emit_signal():
    '''EmitSignal that sends only the signals of the contract, with their own signatures.'''

    @dbus.service.method(MOCK_IFACE, in_signature='sssav', out_signature='')
    def EmitSignal(self, interface, name, signature, args):
        own_interface, _methods, signals = OBJECTS[self.path]
        if (interface or own_interface) != own_interface or signals.get(name) != signature:
            raise dbus.exceptions.DBusException(
                f'the daemon has no signal {interface}.{name} ({signature}) on {self.path}',
                name='org.freedesktop.DBus.Error.InvalidArgs')
        self._emit_signal(own_interface, name, signature, args, {})

    return EmitSignal


def load(mock, parameters):
    _parameters.clear()
    _parameters.update(parameters or {})
    mockobject.objects[MAIN_OBJ] = mock  # dbusmock records the main object only after load()
    emit = _checked_emit_signal()
    for path, (interface, _methods, _signals) in OBJECTS.items():
        if path != MAIN_OBJ and path not in mockobject.objects:
            mock.AddObject(path, interface, {}, [])
        # dbusmock looks an object's methods up in its own table before the class's.
        mockobject.objects[path].methods.setdefault(MOCK_IFACE, {})['EmitSignal'] = ('sssav', '', '', emit)
    _reset_behaviour()
    _register_all()


def _known(name):
    if name not in _behaviour:
        raise dbus.exceptions.DBusException(f'no such daemon method: {name}',
                                            name='org.freedesktop.DBus.Mock.NameError')
    return _behaviour[name]


@dbus.service.method(MOCK_IFACE, in_signature='ssv', out_signature='')
def SetReply(self, method, signature, value):
    behaviour = _known(method)
    behaviour.update(sig=str(signature), value=_coerce(str(signature), value), error=None)
    _register(method, behaviour['sig'])


@dbus.service.method(MOCK_IFACE, in_signature='sss', out_signature='')
def SetError(self, method, name, message):
    _known(method)['error'] = (str(name), str(message))


@dbus.service.method(MOCK_IFACE, in_signature='sd', out_signature='')
def SetDelay(self, method, seconds):
    _known(method)['delay'] = float(seconds)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def SetVanish(self, method):
    _known(method)['vanish'] = True


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='')
def ResetReplies(self):
    _reset_behaviour()
    _register_all()
