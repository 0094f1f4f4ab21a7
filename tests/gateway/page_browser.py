#!/usr/bin/python3
"""Drives a headless chromium through its DevTools protocol against a
running gateway and checks the status page as a user would see it.

  page_browser.py CHROMIUM URL CONTROL SCREENSHOT PROFILE

CONTROL is the simulator's control pipe; the units 1.2.3 (value 12.5) and
1.2.4 (named with markup) are expected. With CONTROL "-" the page is only
photographed."""
import base64
import json
import os
import subprocess
import sys
import time

import websocket

chromium, url, control, screenshot, profile = sys.argv[1:6]


def fail(why):
    print("FAIL: " + why)
    sys.exit(1)


browser = subprocess.Popen(
    [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
     "--disable-background-networking", "--disable-component-update", "--disable-sync",
     "--user-data-dir=" + profile, "--remote-debugging-port=0", "--window-size=" + os.environ.get("WINDOW", "1100,700"),
     "about:blank"],
    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    # Chromium writes the port it took, and its socket's path, into the profile.
    port_file = os.path.join(profile, "DevToolsActivePort")
    deadline = time.monotonic() + 30
    while not os.path.exists(port_file) or len(open(port_file).read().split()) < 2:
        if time.monotonic() > deadline or browser.poll() is not None:
            fail("chromium did not start")
        time.sleep(0.1)
    port, path = open(port_file).read().split()[:2]
    ws = websocket.create_connection("ws://127.0.0.1:%s%s" % (port, path), timeout=30)
    ids = [0]
    events = []

    def call(method, params=None, session=None):
        ids[0] += 1
        message = {"id": ids[0], "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        ws.send(json.dumps(message))
        while True:
            reply = json.loads(ws.recv())
            if reply.get("id") == ids[0]:
                if "error" in reply:
                    fail("%s: %s" % (method, reply["error"]))
                return reply.get("result", {})
            events.append(reply)

    target = call("Target.createTarget", {"url": "about:blank"})["targetId"]
    s = call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
    for domain in ("Network", "Page", "Runtime"):
        call(domain + ".enable", session=s)
    call("Page.navigate", {"url": url}, session=s)

    def js(expression):
        r = call("Runtime.evaluate", {"expression": expression, "returnByValue": True}, session=s)
        return r.get("result", {}).get("value")

    def wait_for(what, expression, seconds=20):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if js(expression):
                return
            time.sleep(0.2)
        fail("the page never showed: %s (body: %s)" % (what, js("document.body.innerText")))

    def row(address):
        return ("[...document.querySelectorAll('tr')].find(r => r.cells[0] && "
                "r.cells[0].textContent === '%s')" % address)

    if control == "-":
        # Only a picture (the README's, against the demo units).
        wait_for("the units", "document.querySelectorAll('tbody tr').length > 2 && "
                 "document.getElementById('link').textContent.includes('live')")
        time.sleep(3)
        shot = call("Page.captureScreenshot", {"format": "png"}, session=s)
        with open(screenshot, "wb") as f:
            f.write(base64.b64decode(shot["data"]))
        sys.exit(0)
    wait_for("1.2.3 with its value", "(%s)?.cells[2].textContent === '12.5 %%LEL'" % row("1.2.3"))
    wait_for("a live stream", "document.getElementById('link').textContent.includes('live')")
    print("ok: the units' values appear")

    js("window.sameDocument = true")
    with open(control, "w") as pipe:
        pipe.write("set 1.2.3 measure 42.5 31 6\n")
    wait_for("the changed value", "(%s)?.cells[2].textContent === '42.5 %%LEL'" % row("1.2.3"))
    if js("window.sameDocument") is not True:
        fail("the page was loaded again")
    print("ok: a changed value appears without reload")

    markup = "<img src=x onerror=alert(1)>"
    wait_for("the name with markup as text", "(%s)?.cells[1].textContent === %s"
             % (row("1.2.4"), json.dumps(markup)))
    if js("document.querySelectorAll('img').length") != 0:
        fail("a unit's text became an element")
    print("ok: a text with markup shows literally")

    with open(control, "w") as pipe:
        pipe.write("fault 1.2.3 silent\n")
    wait_for("1.2.3 offline", "(%s)?.className === 'offline' && (%s).cells[4].textContent.includes('offline')"
             % (row("1.2.3"), row("1.2.3")), seconds=30)
    print("ok: a silent unit shows offline")

    time.sleep(0.5)
    shot = call("Page.captureScreenshot", {"format": "png"}, session=s)
    with open(screenshot, "wb") as f:
        f.write(base64.b64decode(shot["data"]))
    js("1")  # takes in the events that arrived meanwhile

    origin = url.rstrip("/")
    requests = [e["params"]["request"]["url"] for e in events
                if e.get("method") == "Network.requestWillBeSent"]
    if not requests:
        fail("no requests recorded")
    foreign = [r for r in requests if not r.startswith(origin + "/")]
    if foreign:
        fail("requests left the gateway's origin: %s" % foreign)
    dialogs = [e for e in events if e.get("method") == "Page.javascriptDialogOpening"]
    if dialogs:
        fail("a dialog opened: %s" % dialogs)
    errors = [e["params"] for e in events if e.get("method") == "Runtime.exceptionThrown"]
    if errors:
        fail("the script raised: %s" % errors)
    print("ok: %d requests, all to %s; no dialog, no script error" % (len(requests), origin))
    ws.close()
finally:
    browser.terminate()
    try:
        browser.wait(10)
    except subprocess.TimeoutExpired:
        browser.kill()
        browser.wait()
