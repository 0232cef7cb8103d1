#!/usr/bin/python3
'''What a screen reader hears from the agent: one JSON line per AT-SPI event of its windows and
widgets (a window that shows, the keyboard focus), with the role, name and description of the
object. Prints "ready" once listening and "agent" once the agent has joined the screen reader's
desktop. Runs until it is ended.'''
import json

import pyatspi
from gi.repository import GLib

AGENT = 'kiv-domain-session-agent'


def heard(event):
    try:
        source = event.source
        if source.getApplication().name != AGENT or not event.detail1:
            return
        line = {'event': event.type, 'role': source.getRoleName(), 'name': source.name,
                'description': source.description}
    except Exception:  # the object went away meanwhile
        return
    print(json.dumps(line, ensure_ascii=False), flush=True)


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
