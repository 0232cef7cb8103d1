'''Session manager stand-in on the session bus (python3-dbusmock template).

    /usr/bin/python3 -m dbusmock --session --template sim/sessionmanager.py

"/org/gnome/SessionManager", interface "org.gnome.SessionManager":
  Logout(u mode)                      records the call
  Reboot()                            records the call
  RegisterClient(s app_id, s startup_id) -> o
                                      records the call, answers the one client's object path
"/org/gnome/SessionManager/Client1", interface "org.gnome.SessionManager.ClientPrivate":
  EndSessionResponse(b is_ok, s reason)  records the call
  the signals QueryEndSession(u), EndSession(u), Stop() are sent with the object's Mock EmitSignal
'''

BUS_NAME = 'org.gnome.SessionManager'
MAIN_OBJ = '/org/gnome/SessionManager'
MAIN_IFACE = 'org.gnome.SessionManager'
SYSTEM_BUS = False
CLIENT_OBJ = MAIN_OBJ + '/Client1'


def load(mock, parameters):
    mock.AddMethods(MAIN_IFACE, [('Logout', 'u', '', ''), ('Reboot', '', '', ''),
                                 ('RegisterClient', 'ss', 'o', f'ret = dbus.ObjectPath("{CLIENT_OBJ}")')])
    mock.AddObject(CLIENT_OBJ, MAIN_IFACE + '.ClientPrivate', {}, [('EndSessionResponse', 'bs', '', '')])
