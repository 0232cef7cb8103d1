'''systemd stand-in for the test buses (python3-dbusmock template): dbusmock's own systemd template,
with job signals sent as systemd sends them.

Run as:
    /usr/bin/python3 -m dbusmock --system --template sim/systemd.py

systemd sends "JobNew" and "JobRemoved" only to the clients that called the manager's
Subscribe() and have not called Unsubscribe() or left the bus, each as a signal addressed to
that client. So does this stand-in, also for the ones sent through the Mock interface's
EmitSignal; every other signal goes to everyone.
'''

import dbus

from dbusmock.templates.systemd import (AddMockUnit, GetUnit, StartTransientUnit, StartUnit,  # noqa: F401
                                        StopUnit)
from dbusmock.templates.systemd import load as load_systemd

BUS_NAME = 'org.freedesktop.systemd1'
MAIN_OBJ = '/org/freedesktop/systemd1'
MAIN_IFACE = 'org.freedesktop.systemd1.Manager'
SYSTEM_BUS = True

JOB_SIGNALS = ('JobNew', 'JobRemoved')


def load(mock, parameters):
    load_systemd(mock, parameters)
    mock.subscribers = set()
    emit = mock._emit_signal  # pylint: disable=protected-access

    def emit_to_subscribers(interface, name, signature, sigargs, details):
        if (interface or MAIN_IFACE) != MAIN_IFACE or name not in JOB_SIGNALS:
            emit(interface, name, signature, sigargs, details)
            return
        for subscriber in sorted(mock.subscribers):
            emit(interface, name, signature, sigargs, dict(details, destination=subscriber))

    mock._emit_signal = emit_to_subscribers  # pylint: disable=protected-access

    def left(name, _old, new):
        if not new:
            mock.subscribers.discard(name)

    mock.connection.add_signal_receiver(left, 'NameOwnerChanged', 'org.freedesktop.DBus', 'org.freedesktop.DBus',
                                        '/org/freedesktop/DBus')


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='', sender_keyword='sender')
def Subscribe(self, sender=None):
    self.subscribers.add(str(sender))


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='', sender_keyword='sender')
def Unsubscribe(self, sender=None):
    self.subscribers.discard(str(sender))
