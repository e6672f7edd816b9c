"""A private X display with an accessibility bus, for driving the real program as a person would.

Xvfb picks its own free display number (-displayfd). Input goes through XTEST (xdotool), which Qt
treats like a keyboard and mouse; texts are read back over AT-SPI. Every process started here is
stopped by its PID, children first. Their output goes to desktop-*.log in the log directory.
"""

import ctypes
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SKIP = 77
ATSPI_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"


def missing_tools(accessibility):
    missing = [tool for tool in ("Xvfb", "xdotool", "import", "dbus-daemon") if not shutil.which(tool)]
    if accessibility and not os.path.exists(ATSPI_LAUNCHER):
        missing.append(ATSPI_LAUNCHER)
    for module in ("Xlib", "pyatspi") if accessibility else ("Xlib",):
        try:
            __import__(module)
        except ImportError:
            missing.append("python module " + module)
    return missing


def skip_or_fail(reason):
    """Outside CI a missing tool skips; in CI it is a failure."""
    if os.environ.get("CI"):
        raise SystemExit(f"e2e: {reason}")
    print(f"e2e: {reason}; skipping")
    raise SystemExit(SKIP)


def children(pid):
    found = []
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return found
    for task in tasks:
        try:
            with open(f"/proc/{pid}/task/{task}/children") as f:
                found += [int(c) for c in f.read().split()]
        except OSError:
            pass
    return found


def descendants(pid):
    """Deepest first."""
    found = []
    for child in children(pid):
        found += descendants(child) + [child]
    return found


def become_subreaper():
    """Daemons that detach (the accessibility registry does) stay our descendants, to be stopped."""
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def stop_orphans(grace=5.0):
    """Stops and reaps what detached from our processes; call once they have all been waited for."""
    for pid in descendants(os.getpid()):
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + grace
    while children(os.getpid()) and time.monotonic() < deadline:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            break
        if pid == 0:
            time.sleep(0.05)


def stop(process, grace=5.0):
    """Ends a process we started, and whatever it started, by PID: TERM, then KILL."""
    if process is None or process.poll() is not None:
        return
    # Deepest first, each while its parent is still there to reap it.
    for pid in descendants(process.pid):
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            continue
        wait_until(lambda: not os.path.exists(f"/proc/{pid}"), grace)
    process.terminate()
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(grace)


def wait_until(condition, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


class Desktop:
    def __init__(self, log_dir, accessibility=True):
        self.log_dir = Path(log_dir)
        self.accessibility = accessibility
        self.processes = []
        self.env = dict(os.environ)
        self.display = None
        self.x = None
        self.runtime = None

    def __enter__(self):
        missing = missing_tools(self.accessibility)
        if missing:
            skip_or_fail("missing " + ", ".join(missing))
        try:
            return self._start()
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise

    def _start(self):
        # A timeout's SIGTERM still stops everything started here.
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
        become_subreaper()
        # Private runtime directory: Qt and the accessibility bus put their sockets there.
        self.runtime = tempfile.TemporaryDirectory(prefix="quorvane-desktop-")
        self.env["XDG_RUNTIME_DIR"] = self.runtime.name
        os.environ["XDG_RUNTIME_DIR"] = self.runtime.name
        self._start_x()
        self._start_session_bus()
        if self.accessibility:
            self._start_accessibility()
        self.env["QT_QPA_PLATFORM"] = "xcb"
        from Xlib import display

        self.x = display.Display(self.display)
        self.x.xfixes_query_version()
        return self

    def __exit__(self, kind, *rest):
        if self.x is not None:
            self.x.close()
        for process in reversed(self.processes):
            stop(process)
        stop_orphans()
        if self.runtime is not None:
            self.runtime.cleanup()
        if kind is not None:
            for log in sorted(self.log_dir.glob("desktop-*.log")):
                print(f"--- {log.name}\n{log.read_text(errors='replace')[-2000:]}", file=sys.stderr)

    def _log(self, name):
        return open(self.log_dir / f"desktop-{name}.log", "w")

    def _start_x(self):
        read_end, write_end = os.pipe()
        # -noreset: otherwise the server starts afresh whenever its last client disconnects, which
        # drops connections being made and the properties other clients left on the root window.
        with self._log("xvfb") as log:
            xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                 "-noreset"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
        os.close(write_end)
        self.processes.append(xvfb)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], 0.2)
            if ready:
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            raise SystemExit("e2e: Xvfb did not report a display number")
        self.display = ":" + number.decode().strip()
        self.env["DISPLAY"] = self.display
        self.env.pop("WAYLAND_DISPLAY", None)
        os.environ["DISPLAY"] = self.display

    def _start_session_bus(self):
        # Without one, Qt's D-Bus use would autolaunch a bus that outlives the test.
        with self._log("dbus") as log:
            bus = subprocess.Popen(
                ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log, env=self.env)
        self.processes.append(bus)
        ready, _, _ = select.select([bus.stdout], [], [], 20)
        address = bus.stdout.readline().decode().strip() if ready else ""
        if not address:
            raise SystemExit("e2e: dbus-daemon did not report its address")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = address

    def _start_accessibility(self):
        with self._log("at-spi") as log:
            self.processes.append(subprocess.Popen(
                [ATSPI_LAUNCHER, "--launch-immediately"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=log, env=self.env))
        self.env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"

    def start(self, argv, extra_env=None):
        """Starts a program on this display; its output goes to desktop-program.log."""
        env = dict(self.env)
        env.update(extra_env or {})
        with self._log("program") as log:
            process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self.processes.append(process)
        return process

    # --- X windows -----------------------------------------------------------------------------

    def windows(self, pid, title=None):
        """Viewable top-level windows of process `pid`, optionally with exactly this title."""
        from Xlib import X, error

        found = []
        pid_atom = self.x.intern_atom("_NET_WM_PID")
        name_atom = self.x.intern_atom("_NET_WM_NAME")
        utf8 = self.x.intern_atom("UTF8_STRING")
        for window in self.x.screen().root.query_tree().children:
            try:
                if window.get_attributes().map_state != X.IsViewable:
                    continue
                owner = window.get_full_property(pid_atom, X.AnyPropertyType)
                if owner is None or owner.value[0] != pid:
                    continue
                name = window.get_full_property(name_atom, utf8)
                text = name.value.decode() if name else window.get_wm_name()
            except error.BadWindow:
                continue
            if title is None or text == title:
                found.append(window)
        return found

    def wait_window(self, pid, title, timeout=20):
        windows = wait_until(lambda: self.windows(pid, title), timeout)
        if not windows:
            raise AssertionError(f"no window titled {title!r} appeared within {timeout} s")
        return windows

    def origin(self, window):
        point = window.translate_coords(self.x.screen().root, 0, 0)
        return -point.x, -point.y

    def close(self, window):
        """What a window manager's close button sends."""
        from Xlib import X, protocol

        protocols = self.x.intern_atom("WM_PROTOCOLS")
        delete = self.x.intern_atom("WM_DELETE_WINDOW")
        event = protocol.event.ClientMessage(window=window, client_type=protocols,
                                             data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        window.send_event(event, event_mask=0)
        self.x.flush()

    def cursor_image(self):
        """The pointer's current shape, as pixels."""
        reply = self.x.xfixes_get_cursor_image(self.x.screen().root)
        return (reply.width, reply.height, tuple(reply.cursor_image))

    def screenshot(self, window, path):
        subprocess.run(["import", "-window", str(window.id), path], env=self.env, check=True, timeout=30)

    # --- input, through XTEST ------------------------------------------------------------------

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True, timeout=30)

    def focus(self, window):
        self.xdotool("windowfocus", "--sync", str(window.id))

    def click(self, x, y):
        # XTEST requests are handled in order, so the click lands where the pointer moved.
        self.xdotool("mousemove", str(x), str(y), "click", "1")

    def key(self, *keys):
        self.xdotool("key", "--delay", "20", *keys)

    def type(self, text):
        self.xdotool("type", "--delay", "10", text)

    # --- texts, over AT-SPI --------------------------------------------------------------------

    def accessible_app(self, pid, timeout=20):
        import pyatspi

        def find():
            for app in pyatspi.Registry.getDesktop(0):
                try:
                    if app is not None and app.get_process_id() == pid:
                        return app
                except Exception:
                    continue
            return None

        app = wait_until(find, timeout, step=0.2)
        if app is None:
            raise AssertionError("the program did not appear on the accessibility bus")
        return app


def text_of(accessible):
    try:
        return accessible.queryText().getText(0, -1)
    except NotImplementedError:
        return None


def named_children(window):
    """{accessible name: accessible} of a window's controls."""
    return {child.name: child for child in window}


def descendants_with_role(accessible, role):
    found = []
    for child in accessible:
        if child.getRoleName() == role:
            found.append(child)
        found += descendants_with_role(child, role)
    return found


def focused(accessible):
    import pyatspi

    return accessible.getState().contains(pyatspi.STATE_FOCUSED)
