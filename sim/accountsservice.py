'''AccountsService stand-in for the test buses (python3-dbusmock template).

Parameters (JSON, all optional):
  "users": [[uid, "name"], ...]     users known to the log-in screen, in this order
  "automatic_login": uid           the user that logs in automatically

The Mock interface gets AddUser(t uid, s name) -> o, so that a test can add users later.
Every user object has "org.freedesktop.Accounts.User" with the properties Uid (t), UserName (s),
AutomaticLogin (b) and the method SetAutomaticLogin(b), which updates AutomaticLogin.
'''

import dbus

from dbusmock import MOCK_IFACE, mockobject

BUS_NAME = 'org.freedesktop.Accounts'
MAIN_OBJ = '/org/freedesktop/Accounts'
MAIN_IFACE = 'org.freedesktop.Accounts'
USER_IFACE = 'org.freedesktop.Accounts.User'
SYSTEM_BUS = True


def load(mock, parameters):
    mock.user_paths = []
    mock.AddProperties(MAIN_IFACE, {'DaemonVersion': '0.6.55', 'HasNoUsers': False})
    automatic = parameters.get('automatic_login')
    for uid, name in parameters.get('users', []):
        add_user(mock, uid, name, uid == automatic)


def user_path(uid):
    return f'{MAIN_OBJ}/User{uid}'


def add_user(mock, uid, name, automatic_login=False):
    path = user_path(uid)
    if path in mockobject.objects:
        raise dbus.exceptions.DBusException(f'User {uid} already exists', name=MOCK_IFACE + '.UserExists')
    mock.AddObject(path, USER_IFACE,
                   {
                       'Uid': dbus.UInt64(uid),
                       'UserName': dbus.String(name),
                       'RealName': dbus.String(name),
                       'AutomaticLogin': dbus.Boolean(automatic_login),
                   },
                   [
                       ('SetAutomaticLogin', 'b', '',
                        f'self.UpdateProperties("{USER_IFACE}", {{"AutomaticLogin": dbus.Boolean(args[0])}})'),
                   ])
    mock.user_paths.append(path)
    return path


@dbus.service.method(MOCK_IFACE, in_signature='ts', out_signature='o')
def AddUser(self, uid, name):
    '''Adds a cached user and answers its object path.'''
    return dbus.ObjectPath(add_user(self, int(uid), str(name)))


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='ao')
def ListCachedUsers(self):
    return dbus.Array([dbus.ObjectPath(p) for p in self.user_paths], signature='o')


@dbus.service.method(MAIN_IFACE, in_signature='x', out_signature='o')
def FindUserById(self, uid):
    path = user_path(int(uid))
    if path not in self.user_paths:
        raise dbus.exceptions.DBusException(f'Failed to look up user with uid {uid}.',
                                            name='org.freedesktop.Accounts.Error.Failed')
    return dbus.ObjectPath(path)


@dbus.service.method(MAIN_IFACE, in_signature='s', out_signature='o')
def FindUserByName(self, name):
    for path in self.user_paths:
        if mockobject.objects[path].Get(USER_IFACE, 'UserName') == name:
            return dbus.ObjectPath(path)
    raise dbus.exceptions.DBusException(f'Failed to look up user with name {name}.',
                                        name='org.freedesktop.Accounts.Error.Failed')
