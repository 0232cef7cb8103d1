'''Session manager stand-in on the session bus (python3-dbusmock template).

    /usr/bin/python3 -m dbusmock --session --template sim/sessionmanager.py

"/org/gnome/SessionManager", interface "org.gnome.SessionManager":
  Logout(u mode)   records the call
  Reboot()         records the call
'''

BUS_NAME = 'org.gnome.SessionManager'
MAIN_OBJ = '/org/gnome/SessionManager'
MAIN_IFACE = 'org.gnome.SessionManager'
SYSTEM_BUS = False


def load(mock, parameters):
    mock.AddMethods(MAIN_IFACE, [('Logout', 'u', '', ''), ('Reboot', '', '', '')])
