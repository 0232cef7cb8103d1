'''Security center stand-in for the test buses (python3-dbusmock template).

Run as:
    /usr/bin/python3 -m dbusmock --system --template sim/securitycenter.py [-p JSON]

Parameters (JSON, all optional):
  "enabled": true|false     the firewall's state at start (default true)
  "level": N                the firewall's level at start (default 1)

The object "/SecuritySetting/firewall" has the interface "com.kiv.securitycenter.firewallsetting":
  GetFirewallStatus() -> b, GetFirewallLevel() -> i
  SetFirewallStatus(b)      stores the state and emits FirewallStatusChanged(b) with it
  SetFirewallLevel(i)       stores the level and emits FirewallLevelChanged(i) with it
Signals can also be sent without a change of state through the Mock interface's EmitSignal.
'''

import dbus

BUS_NAME = 'com.kiv.securitycenter'
MAIN_OBJ = '/SecuritySetting/firewall'
MAIN_IFACE = 'com.kiv.securitycenter.firewallsetting'
SYSTEM_BUS = True


def load(mock, parameters):
    mock.firewall_enabled = bool(parameters.get('enabled', True))
    mock.firewall_level = int(parameters.get('level', 1))


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='b')
def GetFirewallStatus(self):
    return dbus.Boolean(self.firewall_enabled)


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='i')
def GetFirewallLevel(self):
    return dbus.Int32(self.firewall_level)


@dbus.service.method(MAIN_IFACE, in_signature='b', out_signature='')
def SetFirewallStatus(self, enabled):
    self.firewall_enabled = bool(enabled)
    self.EmitSignal(MAIN_IFACE, 'FirewallStatusChanged', 'b', [dbus.Boolean(self.firewall_enabled)])


@dbus.service.method(MAIN_IFACE, in_signature='i', out_signature='')
def SetFirewallLevel(self, level):
    self.firewall_level = int(level)
    self.EmitSignal(MAIN_IFACE, 'FirewallLevelChanged', 'i', [dbus.Int32(self.firewall_level)])
