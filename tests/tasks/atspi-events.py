#!/usr/bin/python3
'''What a screen reader hears from the agent's windows and widgets: a JSON line per AT-SPI event (showing, focus).
Prints "ready" once listening and "agent" once the agent has joined the screen reader's desktop; runs until ended.'''
import json

import pyatspi
from gi.repository import GLib

AGENT = 'kiv-domain-session-agent'


def heard(event):
    try:
        if event.source.getApplication().name == AGENT and event.detail1:
            print(json.dumps({'event': event.type, 'role': event.source.getRoleName(), 'name': event.source.name,
                              'description': event.source.description}, ensure_ascii=False), flush=True)
    except Exception:  # the object went away meanwhile
        pass


def agent_joined():
    try:
        joined = any(app is not None and app.name == AGENT for app in pyatspi.Registry.getDesktop(0))
    except Exception:
        joined = False
    if joined:
        print('agent', flush=True)
    return not joined


pyatspi.Registry.registerEventListener(heard, 'object:state-changed:showing', 'object:state-changed:focused')
print('ready', flush=True)
GLib.timeout_add(50, agent_joined)
pyatspi.Registry.start()
