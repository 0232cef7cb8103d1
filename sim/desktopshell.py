'''Desktop shell stand-in on the session bus (python3-dbusmock template).

    /usr/bin/python3 -m dbusmock --session --template sim/desktopshell.py

"/org/freedesktop/Desktop", interface "org.freedesktop.Desktop":
  AppSwitcherSetEnable(b enable) -> b   shows or hides the task view; answers true
'''

BUS_NAME = 'org.freedesktop.Desktop'
MAIN_OBJ = '/org/freedesktop/Desktop'
MAIN_IFACE = 'org.freedesktop.Desktop'
SYSTEM_BUS = False


def load(mock, parameters):
    mock.AddMethods(MAIN_IFACE, [('AppSwitcherSetEnable', 'b', 'b', 'ret = True')])
