#!/usr/bin/env python3
"""Start-up time and memory of the program against the toolkit's floor, under Xvfb.

    bench_startup.py QUORVANE BENCH_EMPTY_WINDOW STATE_DIR [RUNS]

Time: from just before exec to the MapNotify of the program's first top-level window, the two
programs alternating, RUNS each (default 15); medians are reported. Memory: peak RSS (VmHWM) of
Quorvane after one successful check against the throwaway directory in STATE_DIR (started by
tests/integration/directory/fixture.sh), and of the empty window once it is mapped and idle.
"""

import select
import statistics
import sys
import tempfile
import time
from pathlib import Path

import desktop as d

USERS = "OU=Users,OU=HQ,DC=example,DC=com"


def time_to_map(screen, argv, env):
    from Xlib import X, display

    watcher = display.Display(screen.display)
    root = watcher.screen().root
    root.change_attributes(event_mask=X.SubstructureNotifyMask)
    watcher.sync()
    pid_atom = watcher.intern_atom("_NET_WM_PID")
    started = time.perf_counter()
    process = screen.start(argv, env)
    mapped = None
    deadline = time.monotonic() + 30
    while mapped is None and time.monotonic() < deadline:
        if not watcher.pending_events():
            select.select([watcher.fileno()], [], [], 0.5)
        while watcher.pending_events():
            event = watcher.next_event()
            if event.type != X.MapNotify:
                continue
            owner = event.window.get_full_property(pid_atom, X.AnyPropertyType)
            if owner is not None and owner.value[0] == process.pid:
                mapped = time.perf_counter()
                break
    watcher.close()
    if mapped is None:
        raise SystemExit(f"bench: {argv[0]} mapped no window within 30 s")
    return process, mapped - started


def peak_rss_kib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    raise SystemExit("bench: no VmHWM")


def end(screen, process):
    for window in screen.windows(process.pid):
        screen.close(window)
    process.wait(10)


def one_check(screen, process, port):
    window = screen.wait_window(process.pid, "Test LDAP Connection")[0]
    screen.focus(window)
    time.sleep(0.2)
    screen.key("Tab", "Tab")
    screen.type(f"LDAP://127.0.0.1:{port}/{USERS}")
    x, y = screen.origin(window)
    screen.click(x + 184 + 40, y + 168 + 16)
    screen.wait_window(process.pid, "Tarvine", 30)
    time.sleep(0.3)
    rss = peak_rss_kib(process.pid)
    screen.key("Return")
    d.wait_until(lambda: not screen.windows(process.pid, "Tarvine"), 5)
    return rss


def main():
    if len(sys.argv) not in (4, 5):
        raise SystemExit(__doc__)
    quorvane, empty, state = sys.argv[1], sys.argv[2], Path(sys.argv[3])
    runs = int(sys.argv[4]) if len(sys.argv) == 5 else 15
    directory = dict(line.split("=", 1) for line in (state / "env").read_text().splitlines() if "=" in line)
    env = {"LDAPTLS_CACERT": directory["CA_CERT"]}
    times = {quorvane: [], empty: []}
    with tempfile.TemporaryDirectory() as logs, d.Desktop(logs, accessibility=False) as screen:
        for _ in range(runs):
            for program in (quorvane, empty):
                process, seconds = time_to_map(screen, [program], env)
                times[program].append(seconds)
                end(screen, process)
        process, _ = time_to_map(screen, [quorvane], env)
        quorvane_rss = one_check(screen, process, directory["LDAP_PORT"])
        end(screen, process)
        process, _ = time_to_map(screen, [empty], env)
        time.sleep(0.5)
        empty_rss = peak_rss_kib(process.pid)
        end(screen, process)

    q_ms, e_ms = (statistics.median(times[p]) * 1000 for p in (quorvane, empty))
    print(f"runs: {runs} each, alternating")
    print(f"exec to window mapped, median: Quorvane {q_ms:.1f} ms, empty window {e_ms:.1f} ms, "
          f"ratio {q_ms / e_ms:.3f}")
    print(f"  Quorvane all runs (ms): {' '.join(f'{t * 1000:.0f}' for t in times[quorvane])}")
    print(f"  empty    all runs (ms): {' '.join(f'{t * 1000:.0f}' for t in times[empty])}")
    print(f"peak RSS: Quorvane after one check {quorvane_rss} KiB, empty window {empty_rss} KiB, "
          f"ratio {quorvane_rss / empty_rss:.3f}")


if __name__ == "__main__":
    main()
