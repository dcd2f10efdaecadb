#!/usr/bin/env python3
"""Drives the real narwickpanel binary under Xvfb with xdotool, fed by narwickpanel-sim.

The program has no command line, so the ports are picked and "Save all readings" is clicked
the way an operator does it: a click into the combo box, then the Down key. The gauge sits on
COM 2 and the instrument on COM 7, so the secondary list's first entry is the gauge and the
primary list reaches the instrument after the gauge (which the secondary link holds, so the
primary pick of it is refused and logged, no dialog).

  realrun.py startup   [--ptys N]          launch -> window mapped (scans run before the show)
  realrun.py idle      [--seconds S]       both ports open, both devices silent: CPU %
  realrun.py nominal   [--seconds S]       10 + 8 lines/s, Save all: CPU %, RSS, wake-ups
                       [--warmup S]        seconds after the picks before measuring (3)
                       [--callgrind FILE]  under callgrind: instruction counts of the window
  realrun.py trend     [--seconds S] [--rounds N] [--warmup S] [--callgrind FILE]
                                           nominal load, the trend window closed and open
                                           (Ctrl+T, default span) by turns: program and Xvfb
                                           CPU % per round
  realrun.py headless  [--seconds S]       nominal load (10 + 8 lines/s, both links, Save all)
                       [--rounds N]        with no window (--headless, no display) and in the
                                           window (picks from the command line, under Xvfb),
                                           alternately, N rounds each, in the same run: process
                                           CPU time (user + system) per second
  realrun.py flood     [--lines N]         --rate max, Save all: lines/s, CPU s per million,
                                           RSS at 10,000 lines and at the end, lines lost
  realrun.py peer      [--rate R] [--seconds S] [--peer gtkterm|picocom]
                                           the same stream at the same rate to NarwickPanel
                                           (Save all) and to gtkterm (or picocom in an xterm:
                                           process and terminal counted together), each on its
                                           own Xvfb, in the same run: CPU s per million lines
                                           and RSS

Every run lives in a temporary HOME / runtime / COM directory. CPU figures come from
/proc/PID/stat (user + system, 10 ms ticks).
"""
import argparse
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("NP_BUILD", "/work/build-bench")
APP = os.path.join(BUILD, "app", "narwickpanel")
SIM = os.path.join(BUILD, "tools", "narwickpanel-sim")
TICK = os.sysconf("SC_CLK_TCK")
STEP = 0.15  # seconds after each click or key, for the window to take it

# Window coordinates (device-independent pixels, from the layout's twips / 15).
CBO_PORT = (230, 37)
CBO_STEPPER = (620, 485)
OPT_SAVE_ALL = (60, 520)


def cpu_seconds(pid, part=None):
    """User + system CPU seconds of the process; part "user" or "system" for one of them."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    user, system = int(fields[11]), int(fields[12])
    if part == "faults":
        return int(fields[7])  # minor page faults
    return {"user": user, "system": system}.get(part, user + system) / TICK


def wakeups(pid, per_thread=None):
    """Context switches of all the process's threads: voluntary (it slept) and involuntary.
    per_thread, a dict, gets each thread's voluntary ones under its name."""
    vol = invol = 0
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        tasks = []
    for task in tasks:
        name = task
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                for line in f:
                    if line.startswith("Name:") and per_thread is not None:
                        name = f"{line.split(None, 1)[1].strip()}[{task}]"
                    elif line.startswith("voluntary_ctxt_switches:"):
                        vol += int(line.split()[1])
                        if per_thread is not None:
                            per_thread[name] = int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches:"):
                        invol += int(line.split()[1])
        except (OSError, ValueError, IndexError):
            pass  # the thread ended meanwhile
    return vol, invol


def threads(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


class Xvfb:
    def __init__(self, display):
        # Another run (another developer's) may hold the display: take the next free one.
        n = int(display[1:])
        while os.path.exists(f"/tmp/.X11-unix/X{n}") or os.path.exists(f"/tmp/.X{n}-lock"):
            n += 1
        display = f":{n}"
        self.display = display
        self.proc = subprocess.Popen(
            ["Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if os.path.exists(f"/tmp/.X11-unix/X{display[1:]}"):
                break
            time.sleep(0.02)
        time.sleep(0.2)

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


class World:
    def __init__(self, map_com=True):
        self.root = tempfile.mkdtemp(prefix="np-real-")
        self.home = self.root
        self.runtime = os.path.join(self.root, "runtime")
        os.makedirs(self.runtime, mode=0o700)
        self.com = os.path.join(self.root, "com")
        os.makedirs(self.com)
        self.data = os.path.join(self.root, "Documents", "Brindlecast", "NarwickPanel")
        os.makedirs(self.data)
        self.env = dict(os.environ)
        self.env.update(HOME=self.home, XDG_RUNTIME_DIR=self.runtime,
                        XDG_CONFIG_HOME=os.path.join(self.root, "config"),
                        QT_QPA_PLATFORM="xcb")
        if map_com:
            self.env["NARWICKPANEL_COM_DIR"] = self.com
        else:
            self.env.pop("NARWICKPANEL_COM_DIR", None)

    def file_lines(self):
        n = 0
        for p in glob.glob(os.path.join(self.data, "*.txt")):
            with open(p, "rb") as f:
                n += f.read().count(b"\r\n")
        return n

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


def xdo(display, *args):
    return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display),
                          capture_output=True, text=True).stdout.strip()


def wait_window(display, name, timeout=10.0, pid=None):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        cmd = ["search", "--onlyvisible"]
        cmd += ["--pid", str(pid)] if pid else []
        out = xdo(display, *cmd, "--name", name)
        if out:
            return out.split()[0]
        time.sleep(0.005)
    return None


def click(display, wid, xy):
    xdo(display, "mousemove", "--window", wid, str(xy[0]), str(xy[1]))
    xdo(display, "click", "1")
    time.sleep(STEP)


def key(display, k, times=1):
    for _ in range(times):
        xdo(display, "key", k)
        time.sleep(STEP)


def start_app(world, display, wrap=(), args=()):
    env = dict(world.env, DISPLAY=display)
    t0 = time.monotonic()
    proc = subprocess.Popen([*wrap, APP, *args], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    wid = wait_window(display, "^NarwickPanel$", pid=proc.pid, timeout=120 if wrap else 10)
    return proc, wid, time.monotonic() - t0


def start_sim(world, *args):
    report = os.path.join(world.root, "sim-report.txt")
    proc = subprocess.Popen([SIM, "--com-dir", world.com, "--report", report, "--random", "1",
                             *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    for _ in range(200):
        if glob.glob(os.path.join(world.com, "com*")):
            break
        time.sleep(0.02)
    time.sleep(0.2)
    return proc, report


def sim_report(path):
    keys = {}
    if os.path.exists(path):
        for line in open(path):
            parts = line.split()
            if len(parts) == 2:
                keys[parts[0]] = parts[1]
    return keys


def pick_ports(display, wid, gauge=True, save_all=True):
    # "Save all readings" first, so that every line the instrument sends is saved.
    if save_all:
        click(display, wid, OPT_SAVE_ALL)
    if gauge:
        click(display, wid, CBO_STEPPER)
        key(display, "Down")          # "2": the gauge
        click(display, wid, CBO_PORT)
        key(display, "Down", 2)       # " 2" (held by the secondary link, refused), then " 7"
    else:
        click(display, wid, CBO_PORT)
        key(display, "Down")          # " 7"


def stop(proc):
    if proc and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def end_run(app, sim, world, report):
    """Lets the devices fall silent first, so that no line is in flight when the program ends,
    then ends the program and the simulator: (lines in the record files, the simulator's
    report)."""
    sim.stdin.write("stop\n")
    sim.stdin.flush()
    time.sleep(1.5)
    lines = world.file_lines()
    stop(app)
    sim.stdin.write("quit\n")
    sim.stdin.flush()
    sim.wait(10)
    return lines, sim_report(report)


def run_startup(a):
    x = Xvfb(":91")
    try:
        for ptys in ([0, a.ptys] if a.ptys else [0]):
            times = []
            for _ in range(a.repeat):
                world = World(map_com=ptys > 0)
                fds = []
                for i in range(1, ptys + 1):
                    m, s = os.openpty()
                    fds += [m, s]
                    os.symlink(os.ttyname(s), os.path.join(world.com, f"com{i}"))
                proc, wid, secs = start_app(world, x.display)
                times.append(secs * 1000)
                stop(proc)
                for fd in fds:
                    os.close(fd)
                world.cleanup()
            what = f"{ptys} mapped ptys" if ptys else "default COM table"
            times.sort()
            print(f"start-up ({what}), launch -> window mapped: median {times[len(times)//2]:.0f} "
                  f"ms, min {times[0]:.0f}, max {times[-1]:.0f} over {len(times)} launches")
    finally:
        x.stop()


def run_load(a, silent):
    x = Xvfb(":92")
    world = World()
    sim = app = None
    try:
        sim, report = start_sim(world, "--instrument-com", "7", "--gauge-com", "2",
                                "--rate", "10", "--gauge-rate", "8")
        if silent:
            sim.stdin.write("stop\n")
            sim.stdin.flush()
        global STEP
        wrap = ()
        if a.callgrind:
            STEP = 2.0  # the program runs many times slower under valgrind
            # Instructions, not seconds: what is counted is the steady state alone (the counts
            # are zeroed once the ports are open and dumped at the end of the window).
            wrap = ("valgrind", "--tool=callgrind", f"--callgrind-out-file={a.callgrind}",
                    "--dump-instr=no", "--separate-threads=no")
        app, wid, _ = start_app(world, x.display, wrap)
        pick_ports(x.display, wid)
        time.sleep(max(a.warmup, 10) if wrap else a.warmup)
        if wrap:
            subprocess.run(["callgrind_control", "--zero", str(app.pid)], capture_output=True)
        c0, t0 = cpu_seconds(app.pid), time.monotonic()
        s0 = cpu_seconds(app.pid, "system")
        f0 = cpu_seconds(app.pid, "faults")
        x0 = cpu_seconds(x.proc.pid)
        pt0, pt1 = {}, {}
        w0 = wakeups(app.pid, pt0)
        time.sleep(a.seconds)
        w1 = wakeups(app.pid, pt1)
        if wrap:
            subprocess.run(["callgrind_control", "--dump=window", str(app.pid)],
                           capture_output=True)
        c1, t1 = cpu_seconds(app.pid), time.monotonic()
        s1 = cpu_seconds(app.pid, "system")
        f1 = cpu_seconds(app.pid, "faults")
        x1 = cpu_seconds(x.proc.pid)
        pct = 100 * (c1 - c0) / (t1 - t0)
        what = "idle, both ports open and silent" if silent else "nominal 10 + 8 lines/s, Save all"
        print(f"real binary, {what}: {t1 - t0:.0f} s, CPU {c1 - c0:.2f} s = {pct:.3f} % of a "
              f"core; RSS {rss_kib(app.pid)} KiB; Xvfb CPU {x1 - x0:.2f} s")
        print(f"  of which system (kernel) {s1 - s0:.2f} s; page faults {(f1 - f0) / (t1 - t0):.1f}/s;",
              end="")
        print(f" {threads(app.pid)} threads; context switches {(w1[0] - w0[0]) / (t1 - t0):.1f}/s "
              f"voluntary (wake-ups), {(w1[1] - w0[1]) / (t1 - t0):.1f}/s involuntary; by thread: "
              + ", ".join(f"{n} {(pt1[n] - pt0.get(n, 0)) / (t1 - t0):.1f}" for n in pt1))
        lines, k = end_run(app, sim, world, report)
        app = None
        if not silent:
            print(f"  sim sent {k.get('instrument.lines')} lines, dropped busy "
                  f"{k.get('instrument.dropped_busy')}, no reader "
                  f"{k.get('instrument.dropped_no_reader')}; file lines {lines}; "
                  f"bytes the program wrote to devices "
                  f"{int(k.get('instrument.received_bytes', 0)) + int(k.get('gauge.received_bytes', 0))}")
    finally:
        stop(app)
        stop(sim)
        x.stop()
        world.cleanup()


def run_trend(a):
    """The trend window's own cost: rounds with it closed and open (Ctrl+T, default span) by
    turns, in one run of the program at the nominal 10 + 8 lines/s with "Save all readings"."""
    x = Xvfb(":94")
    world = World()
    sim = app = None
    try:
        sim, report = start_sim(world, "--instrument-com", "7", "--gauge-com", "2",
                                "--rate", "10", "--gauge-rate", "8")
        global STEP
        wrap = ()
        if a.callgrind:
            STEP = 2.0
            wrap = ("valgrind", "--tool=callgrind", f"--callgrind-out-file={a.callgrind}",
                    "--dump-instr=no", "--separate-threads=no")
        # The picks from the command line: clicks go astray on a busy machine.
        app, wid, _ = start_app(world, x.display, wrap,
                                ("--secondary", "2", "--port", "7", "--save", "all"))
        time.sleep(max(a.warmup, 10) if wrap else a.warmup)
        results = {"closed": [], "open": []}
        for r in range(a.rounds):
            for state in ("closed", "open"):
                if state == "open":
                    xdo(x.display, "windowactivate", "--sync", wid)
                    key(x.display, "ctrl+t")
                    tw = wait_window(x.display, "^NarwickPanel Trend$", pid=app.pid,
                                     timeout=60 if wrap else 10)
                    if not tw:
                        sys.exit("the trend window did not open")
                    time.sleep(10 if wrap else 2)  # its first picture and the window manager
                if wrap:
                    subprocess.run(["callgrind_control", "--zero", str(app.pid)],
                                   capture_output=True)
                c0, x0, t0 = cpu_seconds(app.pid), cpu_seconds(x.proc.pid), time.monotonic()
                time.sleep(a.seconds)
                c1, x1, t1 = cpu_seconds(app.pid), cpu_seconds(x.proc.pid), time.monotonic()
                if wrap:
                    subprocess.run(["callgrind_control", f"--dump=trend-{state}-{r}",
                                    str(app.pid)], capture_output=True)
                pct, xpct = 100 * (c1 - c0) / (t1 - t0), 100 * (x1 - x0) / (t1 - t0)
                results[state].append((pct, xpct))
                load = os.getloadavg()[0]
                print(f"round {r + 1}, trend window {state}: program {pct:.2f} % of a core, "
                      f"Xvfb {xpct:.2f} % ({t1 - t0:.0f} s, load average {load:.1f})", flush=True)
                if state == "open":
                    xdo(x.display, "windowactivate", "--sync", tw)
                    key(x.display, "ctrl+w")
                    time.sleep(2)
        for state in ("closed", "open"):
            v = results[state]
            print(f"mean, {state}: program {sum(p for p, _ in v) / len(v):.2f} %, "
                  f"Xvfb {sum(q for _, q in v) / len(v):.2f} %")
        end_run(app, sim, world, report)
        app = None
    finally:
        stop(app)
        stop(sim)
        x.stop()
        world.cleanup()


def run_flood(a):
    x = Xvfb(":93")
    world = World()
    sim = app = None
    try:
        sim, report = start_sim(world, "--instrument-com", "7", "--no-gauge", "--rate", "max",
                                "--count", str(a.lines), "--linger", "5")
        app, wid, _ = start_app(world, x.display)
        click(x.display, wid, OPT_SAVE_ALL)  # saving on before the first line arrives
        c0, t0 = cpu_seconds(app.pid), time.monotonic()
        click(x.display, wid, CBO_PORT)
        xdo(x.display, "key", "Down")
        rss10k = None
        while sim.poll() is None:
            if rss10k is None and world.file_lines() >= 10000:
                rss10k = rss_kib(app.pid)
            time.sleep(0.05)
        # The sim ends once the reader took the last line; the program may still be saving.
        target = int(sim_report(report).get("instrument.lines", a.lines))
        last, same = -1, 0
        while same < 10:
            n = world.file_lines()
            same = same + 1 if n == last else 0
            last = n
            if n >= target:
                break
            time.sleep(0.05)
        c1, t1 = cpu_seconds(app.pid), time.monotonic()
        rss_end = rss_kib(app.pid)
        k = sim_report(report)
        sent = int(k.get("instrument.lines", 0))
        lines = world.file_lines()
        secs = t1 - t0
        print(f"real binary flood: sim sent {sent} lines (dropped busy {k.get('instrument.dropped_busy')}, "
              f"no reader {k.get('instrument.dropped_no_reader')}), file lines {lines}, lost "
              f"{sent - lines}")
        print(f"  {secs:.1f} s wall (from the pick, incl. ~0.2 s of driving), {lines / secs:.0f} lines/s; "
              f"CPU {c1 - c0:.2f} s = {(c1 - c0) * 1e6 / max(lines, 1):.2f} s per million lines")
        print(f"  RSS after 10,000 lines {rss10k} KiB, after {lines} lines {rss_end} KiB, growth "
              f"{(rss_end - (rss10k or 0)) / 1024:+.1f} MB; bytes written to the device "
              f"{k.get('instrument.received_bytes')}")
    finally:
        stop(app)
        stop(sim)
        x.stop()
        world.cleanup()


def nominal_round(headless, a, display=None):
    """One nominal-load round of the window or of the headless run, both links picked from the
    command line and saving every reading: (CPU seconds, wall seconds, RSS KiB, file lines,
    lines sent)."""
    world = World()
    sim = app = None
    try:
        sim, report = start_sim(world, "--instrument-com", "7", "--gauge-com", "2",
                                "--rate", "10", "--gauge-rate", "8")
        picks = ["--port", "7", "--secondary", "2", "--save", "all"]
        env = dict(world.env)
        if headless:
            for k in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
                env.pop(k, None)
            argv = [APP, "--headless", *picks]
        else:
            env["DISPLAY"] = display
            argv = [APP, *picks]
        app = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        time.sleep(a.warmup)
        c0, t0 = cpu_seconds(app.pid), time.monotonic()
        time.sleep(a.seconds)
        c1, t1 = cpu_seconds(app.pid), time.monotonic()
        rss = rss_kib(app.pid)
        lines, k = end_run(app, sim, world, report)
        app = None
        sent = int(k.get("instrument.lines", 0))
        return c1 - c0, t1 - t0, rss, lines, sent
    finally:
        stop(app)
        stop(sim)
        world.cleanup()


def run_headless(a):
    x = Xvfb(":96")
    try:
        figures = {True: [], False: []}
        for r in range(a.rounds):
            for headless in (True, False):
                figures[headless].append(nominal_round(headless, a, x.display))
        print(f"nominal 10 + 8 lines/s, both links, Save all; {a.rounds} rounds of {a.seconds} s "
              f"each, alternating, in one run:")
        totals = {}
        for headless, name in ((False, "window (Xvfb)"), (True, "headless (no display)")):
            rows = figures[headless]
            cpu = sum(r[0] for r in rows)
            wall = sum(r[1] for r in rows)
            totals[headless] = cpu / wall
            per = ", ".join(f"{100 * r[0] / r[1]:.3f}" for r in rows)
            print(f"  {name}: CPU {cpu:.2f} s in {wall:.0f} s = {100 * cpu / wall:.3f} % of a core "
                  f"(rounds: {per} %); RSS {max(r[2] for r in rows)} KiB; file lines "
                  f"{sum(r[3] for r in rows)} of {sum(r[4] for r in rows)} sent")
        if totals[False] > 0:
            print(f"  headless / window: {totals[True] / totals[False]:.2f}")
    finally:
        x.stop()


SHARED_BENCH = os.environ.get(
    "NP_SHARED_BENCH", os.path.join(os.path.dirname(os.path.dirname(HERE)), "shared", "bench"))


def build_ptyshim(folder):
    src = os.path.join(SHARED_BENCH, "ptyshim.c")
    if not os.path.exists(src):
        sys.exit(f"{src} not found (set NP_SHARED_BENCH to the folder with ptyshim.c and "
                 "gtktermrc)")
    out = os.path.join(folder, "ptyshim.so")
    subprocess.run(["gcc", "-shared", "-fPIC", "-O2", "-o", out, src, "-ldl"], check=True)
    return out


def run_peer(a):
    xa, xb = Xvfb(":94"), Xvfb(":95")
    wa, wb = World(), World()
    sa = sb = app = term = None
    try:
        count = str(int(a.rate * a.seconds))
        common = ["--instrument-com", "7", "--no-gauge", "--rate", str(a.rate), "--count", count,
                  "--linger", "3"]
        sa, ra = start_sim(wa, *common)
        sb, rb = start_sim(wb, *common)
        app, wid, _ = start_app(wa, xa.display)
        if wid is None:
            sys.exit("NarwickPanel's window did not appear")
        click(xa.display, wid, OPT_SAVE_ALL)
        pty = os.path.realpath(os.path.join(wb.com, "com7"))
        os.makedirs(os.path.join(wb.home, ".config"), exist_ok=True)
        env = dict(os.environ, DISPLAY=xb.display, HOME=wb.home)
        if a.peer == "gtkterm":
            # gtkterm gives up on a pty by itself (no udev device, ENOTTY for the modem
            # lines): the shim from the shared bench folder answers both, and gtkterm opens
            # the port named by --port only when it has a settings file.
            shim = build_ptyshim(wb.root)
            shutil.copy(os.path.join(SHARED_BENCH, "gtktermrc"),
                        os.path.join(wb.home, ".config", ".gtktermrc"))
            env["LD_PRELOAD"] = shim
            cmd = ["gtkterm", "--port", pty, "--speed", "9600"]
        else:
            # A plain terminal: picocom in an xterm (both from Debian; install them by hand).
            cmd = ["xterm", "-geometry", "100x30", "-e", "picocom", "-b", "9600", "-q", "-r",
                   "-l", pty]
        term = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(3)
        peers = [term.pid] + [int(c) for c in open(f"/proc/{term.pid}/task/{term.pid}/children")
                              .read().split()]
        held = any(os.path.realpath(f"/proc/{pid}/fd/{f}") == pty
                   for pid in peers for f in os.listdir(f"/proc/{pid}/fd"))
        if not held:
            # Without the shim gtkterm 1.2.1 closes a pty at once: "No open port".
            print(f"  {a.peer} did not keep {pty} open: no peer figures in this run",
                  file=sys.stderr, flush=True)
            stop(sb)
        ca0, t0 = cpu_seconds(app.pid), time.monotonic()
        click(xa.display, wid, CBO_PORT)
        xdo(xa.display, "key", "Down")
        # picocom ends (and its xterm with it) when the simulator hangs up at the end: the
        # last reading taken while it ran counts.
        cpu_b = {pid: cpu_seconds(pid) for pid in peers}
        cb0 = sum(cpu_b.values())
        xa0, xb0 = cpu_seconds(xa.proc.pid), cpu_seconds(xb.proc.pid)
        rss_a = rss_b = 0
        deadline = time.monotonic() + a.seconds + 30
        while (sa.poll() is None or (held and sb.poll() is None)) and time.monotonic() < deadline:
            time.sleep(0.5)
            rss_a = max(rss_a, rss_kib(app.pid))
            try:
                rss_b = max(rss_b, sum(rss_kib(pid) for pid in peers))
                cpu_b = {pid: cpu_seconds(pid) for pid in peers}
            except OSError:
                pass
        time.sleep(1)
        ca, cb = cpu_seconds(app.pid) - ca0, sum(cpu_b.values()) - cb0
        xa1, xb1 = cpu_seconds(xa.proc.pid) - xa0, cpu_seconds(xb.proc.pid) - xb0
        ka, kb = sim_report(ra), sim_report(rb)
        na, nb = int(ka.get("instrument.lines", 0)), int(kb.get("instrument.lines", 0))
        print(f"peer run, {a.rate} lines/s for {a.seconds} s, same stream (random start 1), each on its own Xvfb:")
        print(f"  NarwickPanel (Save all): {na} lines sent, dropped busy {ka.get('instrument.dropped_busy')}, "
              f"file lines {wa.file_lines()}; CPU {ca:.2f} s = {ca * 1e6 / max(na, 1):.1f} s per million "
              f"lines; peak RSS {rss_a} KiB; its Xvfb {xa1:.2f} s")
        print(f"  {a.peer} (display only):  {nb} lines sent, dropped busy {kb.get('instrument.dropped_busy')}; "
              f"CPU {cb:.2f} s = {cb * 1e6 / max(nb, 1):.1f} s per million lines; peak RSS {rss_b} KiB; "
              f"its Xvfb {xb1:.2f} s")
    finally:
        for p in (app, term, sa, sb):
            stop(p)
        xa.stop()
        xb.stop()
        wa.cleanup()
        wb.cleanup()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("mode", choices=["startup", "idle", "nominal", "headless", "flood", "peer",
                                    "trend"])
    p.add_argument("--rounds", type=int, default=3, help="trend, headless: rounds of each kind")
    p.add_argument("--ptys", type=int, default=30)
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--seconds", type=int, default=60)
    p.add_argument("--lines", type=int, default=1000000)
    p.add_argument("--rate", type=int, default=1000)
    p.add_argument("--peer", choices=["gtkterm", "picocom"], default="gtkterm")
    p.add_argument("--warmup", type=float, default=3,
                   help="idle/nominal: seconds between the port picks and the measured window "
                        "(60 or more: the log's scroll bar handle has reached its smallest size)")
    p.add_argument("--callgrind", metavar="FILE",
                   help="idle/nominal: run the program under callgrind; the measured window's "
                        "counts go to FILE.N")
    a = p.parse_args()
    {"startup": run_startup, "idle": lambda a: run_load(a, True),
     "nominal": lambda a: run_load(a, False), "headless": run_headless, "flood": run_flood,
     "peer": run_peer, "trend": run_trend}[a.mode](a)


if __name__ == "__main__":
    main()
