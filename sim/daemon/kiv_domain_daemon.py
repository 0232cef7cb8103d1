'''Stand-in for the domain client daemon "com.kiv.domain" on the system bus.

Run as a python3-dbusmock template:
    /usr/bin/python3 -m dbusmock --system --template sim/daemon/kiv_domain_daemon.py [-p JSON]

It serves the six objects of the daemon with every method the session agent calls, each with
the daemon's own argument and reply signature. Every call lands in dbusmock's call log of its
object (GetCalls / GetMethodCalls / ClearCalls on that object's path). A call whose arguments
do not match the method's signature is refused with org.freedesktop.DBus.Error.InvalidArgs.

Parameters (-p JSON, every key optional), all keyed by D-Bus method name:
    "replies": {"is_domain_online": false, "get_hostname": "pc-7", ...}
               the reply value, in the method's own reply type
    "errors":  {"UpdateConfig": "com.kiv.domain.Error.Failed", ...}
               answer with this D-Bus error instead
    "delays":  {"syncAll": 1.5, ...}
               seconds to wait before answering (the whole stand-in waits with it)

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

Signals: EmitSignal on the object that carries them, for example
    "/com/domain/agent"       com.kiv.domain.agent    addDomainStatus (bs), smsStatus (ss),
                              domainServerStatus (b), exitDomainStatus (bs), userInfo (s),
                              joinDomainVerifyResult (ssss)
    "/com/domain/taskmanager" com.domain.taskmanager  InstallNotify (ssbbi), RebootNotify (ss),
                                                      ShowProgress (ss)
'''

import os
import time

import dbus

from dbusmock import MOCK_IFACE, mockobject

BUS_NAME = 'com.kiv.domain'
MAIN_OBJ = '/com/domain/agent'
MAIN_IFACE = 'com.kiv.domain.agent'
SYSTEM_BUS = True

# Per object: its interface and its methods as (name, in signature, out signature, default reply).
OBJECTS = {
    '/com/domain/agent': ('com.kiv.domain.agent', [
        ('usbInit', '', '', None),
        ('setHeartBeat', 'i', '', None),
        ('sendWebSet', 's', '', None),
        ('is_domain_online', '', 'b', True),
        ('addSystem', 'i', '', None),
        ('set_process_restart', '', '', None),
        ('clear_rc_deb', '', '', None),
        ('get_domain_user_prefix', '', 's', ''),
        ('recover_pam', '', 'b', True),
        ('post_equipment_setting', 'sssii', '', None),
        ('set_salt_minion', 'ss', '', None),
        ('getUserInfo', 's', '', None),
        ('add_windows_domain', 'ssss', 'b', True),
        ('execLogin', 'ss', 'b', True),
        ('modify_resolv_config', 's', 'b', True),
        ('get_domain_info', 'ss', 's', '{}'),
        ('add_domain', 'ssss', 's', '0'),
        ('add_domain3', 'ssss', 's', '0'),
        ('get_add_domain_status', 'ss', 's', '0'),
        ('get_hostname', 's', 's', 'kiv-terminal'),
        ('modify_password', 'sss', 's', '0'),
        ('modify_localpassword', 's', 's', '0'),
        ('policy_info', 'sss', 'ay', b'{}'),
        ('run_pre_add_domain', 's', 'i', 0),
    ]),
    '/com/domain/sync': ('com.domain.sync', [
        ('sync', 'ss', '', None),
        ('syncAll', '', '', None),
    ]),
    '/com/domain/config': ('com.domain.config', [
        ('CheckUpdateCli', '', 'b', False),
        ('UpdateConfig', 'ss', '', None),
        ('RecordEvent', 'is', '', None),
    ]),
    '/com/domain/events': ('com.domain.events', [
        ('GetAllEvents', '', 'as', []),
        ('GetEventRecord', 's', 's', ''),
    ]),
    '/com/domain/taskmanager': ('com.domain.taskmanager', [
        ('Init', '', '', None),
        ('InstallRequest', 'si', '', None),
    ]),
    '/com/domain/remoteassist': ('com.domain.remoteassist', [
        ('sendWebset', 's', 's', ''),
    ]),
}

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
    for path, (interface, methods) in OBJECTS.items():
        for method in methods:
            yield path, interface, method


def _reset_behaviour():
    _behaviour.clear()
    replies = _parameters.get('replies', {})
    errors = _parameters.get('errors', {})
    delays = _parameters.get('delays', {})
    for _path, _interface, (name, _in_sig, out_sig, default) in _method_table():
        error = errors.get(name)
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
    for path, interface, (method, in_sig, _out_sig, _default) in _method_table():
        if method == name:
            mockobject.objects[path].AddMethod(interface, name, in_sig, out_sig, _answer(name))
            return
    raise dbus.exceptions.DBusException(f'no such daemon method: {name}',
                                        name='org.freedesktop.DBus.Mock.NameError')


def _register_all():
    for _path, _interface, (name, _in_sig, _out_sig, _default) in _method_table():
        _register(name, _behaviour[name]['sig'])


def load(mock, parameters):
    _parameters.clear()
    _parameters.update(parameters or {})
    mockobject.objects[MAIN_OBJ] = mock  # dbusmock records the main object only after load()
    for path, (interface, _methods) in OBJECTS.items():
        if path != MAIN_OBJ and path not in mockobject.objects:
            mock.AddObject(path, interface, {}, [])
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
