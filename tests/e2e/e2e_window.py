#!/usr/bin/env python3
"""The built program on a private X display, driven by keyboard and mouse as a person would.

    e2e_window.py check PROGRAM OUTPUT_DIR    type a path, press Test Logon, read the one box, close
    e2e_window.py discard PROGRAM OUTPUT_DIR  keys and clicks made while a slow bind blocks are dropped

The directory is the throwaway slapd of the test fixture (QUORVANE_TEST_DIRECTORY). Screenshots
go to OUTPUT_DIR. Exit 77 means skipped (only outside CI).
"""

import os
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import desktop as d

USERS = "OU=Users,OU=HQ,DC=example,DC=com"
BUTTON_CENTRE = (184 + 81 // 2, 168 + 33 // 2)  # Command1, in window coordinates
BIND_DELAY = 3.0


def test_directory():
    state = os.environ.get("QUORVANE_TEST_DIRECTORY", "")
    env_file = Path(state) / "env"
    if not state or (Path(state) / "unavailable").exists() or not env_file.exists():
        d.skip_or_fail("no test directory")
    return dict(line.split("=", 1) for line in env_file.read_text().splitlines() if "=" in line)


class DelayingProxy:
    """Forwards loopback connections to the directory and holds each one's first answer back."""

    def __init__(self, target_port, delay):
        self.target_port = target_port
        self.delay = delay
        self.connections = 0
        self.held_answers_sent = 0
        self.errors = []
        self.stopping = threading.Event()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def close(self):
        self.stopping.set()
        for thread in self.threads:
            thread.join(5)
        self.listener.close()

    def _accept(self):
        while not self.stopping.is_set():
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            self.connections += 1
            try:
                server = socket.create_connection(("127.0.0.1", self.target_port), timeout=5)
            except OSError as error:
                self.errors.append(f"the directory refused the proxy: {error}")
                client.close()
                continue
            for source, sink, delay in ((client, server, 0), (server, client, self.delay)):
                thread = threading.Thread(target=self._pump, args=(source, sink, delay), daemon=True)
                thread.start()
                self.threads.append(thread)

    def _pump(self, source, sink, delay):
        source.settimeout(0.2)
        while not self.stopping.is_set():
            try:
                data = source.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                break
            if not data:
                break
            if delay:
                self.stopping.wait(delay)
                delay = 0
                self.held_answers_sent += 1
            try:
                sink.sendall(data)
            except OSError:
                break
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


class Session:
    """One running program: its main window and its controls, by accessible name."""

    def __init__(self, screen, program, path_port, ca, arguments=()):
        self.screen = screen
        self.path = f"LDAP://127.0.0.1:{path_port}/{USERS}"
        self.app = screen.start([program, *arguments], {"LDAPTLS_CACERT": ca})
        self.window = screen.wait_window(self.app.pid, "Test LDAP Connection")[0]
        expect(len(screen.windows(self.app.pid)) == 1, "the program shows more than one window")
        self.accessible = screen.accessible_app(self.app.pid)
        form = [w for w in self.accessible if w.name == "Test LDAP Connection"]
        expect(len(form) == 1, "the window is not on the accessibility bus")
        self.controls = d.named_children(form[0])

    def text(self, name):
        return d.text_of(self.controls[name])

    def texts(self):
        return [self.text(name) for name in ("User logon name", "LDAP path", "Bind flags")]

    def wait_focus(self, name):
        expect(d.wait_until(lambda: d.focused(self.controls[name]), 5), f"{name} did not get the focus")

    def enter_path(self):
        self.screen.focus(self.window)
        self.wait_focus("User logon name")
        self.screen.key("Tab", "Tab")
        self.wait_focus("LDAP path")
        # Tab into a field selects its text, so typing replaces it.
        self.screen.type(self.path)
        expect(d.wait_until(lambda: self.text("LDAP path") == self.path, 5), "the typed path did not arrive")

    def button_centre(self):
        x, y = self.screen.origin(self.window)
        return x + BUTTON_CENTRE[0], y + BUTTON_CENTRE[1]

    def press_test_logon(self):
        self.screen.click(*self.button_centre())

    def boxes(self):
        return self.screen.windows(self.app.pid, "Tarvine")

    def box_text(self):
        alerts = [a for a in self.accessible if a.getRoleName() == "alert" and a.name == "Tarvine"]
        expect(len(alerts) == 1, f"{len(alerts)} message boxes on the accessibility bus")
        # The icon is an empty label beside the one holding the text.
        labels = [c.name for c in alerts[0] if c.getRoleName() == "label" and c.name]
        return labels, alerts[0]

    def close_and_expect_end(self):
        self.screen.close(self.window)
        started = time.monotonic()
        try:
            self.app.wait(5)
        except subprocess.TimeoutExpired:
            pass
        elapsed = time.monotonic() - started
        output = (self.screen.log_dir / "desktop-program.log").read_bytes()
        expect(self.app.returncode is not None and elapsed <= 1.0,
               f"the process did not end within a second of the close ({elapsed:.2f} s)")
        expect(self.app.returncode == 0,
               f"exit status {self.app.returncode}: {output.decode(errors='replace')}")
        expect(b"marigold" not in output, "the password appeared in the program's output")
        print(f"e2e: process ended {elapsed * 1000:.0f} ms after the close")


def check(screen, program, out, directory):
    # Qt would act on these arguments; the program must not.
    session = Session(screen, program, directory["LDAP_PORT"], directory["CA_CERT"],
                      ["-platform", "offscreen", "-qwindowtitle", "Wrong"])
    expect(session.text("User logon name") == "sampleusr", "Text1 does not start with the sample user")
    expect(session.text("Password") == "", "the password field gives its text away")
    expect(session.text("Bind flags") == "5", "Text4 does not start with 5")
    session.enter_path()
    before = session.texts()
    screen.screenshot(session.window, str(out / "e2e-window.png"))

    session.press_test_logon()
    screen.wait_window(session.app.pid, "Tarvine", 30)
    time.sleep(0.5)
    expect(len(session.boxes()) == 1, f"{len(session.boxes())} windows titled Tarvine")
    labels, alert = session.box_text()
    expect(labels == ["User is valid"], f"the box says {labels}")
    screen.screenshot(session.boxes()[0], str(out / "e2e-result.png"))

    import pyatspi

    ok = d.descendants_with_role(alert, "push button")
    expect(len(ok) == 1, f"the box has {len(ok)} buttons")
    extents = ok[0].queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    screen.click(extents.x + extents.width // 2, extents.y + extents.height // 2)
    expect(d.wait_until(lambda: not session.boxes(), 5), "clicking OK did not dismiss the box")

    expect(session.texts() == before, f"the fields changed: {before} -> {session.texts()}")
    # No window manager gives the window back its activation; the focus must still be where it was.
    screen.focus(session.window)
    session.wait_focus("Test Logon")
    session.close_and_expect_end()


def discard(screen, program, out, directory):
    proxy = DelayingProxy(int(directory["LDAP_PORT"]), BIND_DELAY)
    try:
        session = Session(screen, program, proxy.port, directory["CA_CERT"])
        session.enter_path()
        before = session.texts()

        screen.xdotool("mousemove", "--sync", *map(str, session.button_centre()))
        arrow = screen.cursor_image()
        session.press_test_logon()
        pressed = time.monotonic()
        time.sleep(0.3)
        busy = screen.cursor_image()
        # Return would dismiss the box, Space or a click would start a second check, and Tab 7 7
        # would replace the bind flags, were any of them delivered after the open.
        screen.key("space", "Return", "Tab", "7", "7")
        session.press_test_logon()
        expect(not proxy.errors, "; ".join(proxy.errors))
        expect(proxy.held_answers_sent == 0 and not session.boxes(),
               "the directory answered before the input was made; the test proves nothing")
        expect(time.monotonic() - pressed < BIND_DELAY, "the input took longer than the delay")

        expect(busy != arrow, "the pointer did not turn busy while the directory was opened")

        screen.wait_window(session.app.pid, "Tarvine", 30)
        time.sleep(1.0)
        expect(len(session.boxes()) == 1, "the box was dismissed by a key typed before it appeared")
        labels, _ = session.box_text()
        expect(labels == ["User is valid"], f"the box says {labels}")

        screen.key("Return")
        expect(d.wait_until(lambda: not session.boxes(), 5), "Return did not dismiss the box")
        time.sleep(1.5)
        expect(not session.boxes(), "a second check ran from input made during the first")
        expect(proxy.connections == 1, f"{proxy.connections} connections to the directory")
        expect(session.texts() == before, f"the fields changed: {before} -> {session.texts()}")
        screen.focus(session.window)
        session.wait_focus("Test Logon")
        session.close_and_expect_end()
    finally:
        proxy.close()


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("check", "discard"):
        raise SystemExit(__doc__)
    scenario, program, out = sys.argv[1], sys.argv[2], Path(sys.argv[3])
    directory = test_directory()
    (out / scenario).mkdir(parents=True, exist_ok=True)
    with d.Desktop(out / scenario) as screen:
        (check if scenario == "check" else discard)(screen, program, out, directory)
    print(f"e2e: {scenario} passed")


if __name__ == "__main__":
    main()
