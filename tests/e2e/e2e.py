#!/usr/bin/python3
"""End-to-end tests of the real narwickpanel binary, driven as an operator would.

Each run starts its own Xvfb, D-Bus session and accessibility bus, the simulator or its own
pseudo-terminals as devices, and the program with a private HOME and runtime folder. Controls
are read through AT-SPI and clicked with real pointer clicks.

  e2e.py --bin narwickpanel --sim narwickpanel-sim --out BUILD_DIR --run RUN

Exit status: 0 passed, 1 failed, 77 a required tool is missing (the test is skipped).
"""
import argparse
import fcntl
import os
import re
import signal
import subprocess
import sys
import termios
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # nothing is written into the source tree

import desktop as desktop_mod  # noqa: E402
from checks import check, equal  # noqa: E402

try:  # importing touches no bus; the buses are those of each run's own desktop
    from panel import (children, do_action, extents, find_apps, Panel, states, text_of,
                       wait_for, walk)
    from gi.repository import Atspi, GLib
    from sim import Sim
    from broker import (BlackHole, Broker, Subscriber, check_messages, persistent_session,
                        missing as broker_missing)
    IMPORT_ERROR = None
except (ImportError, ValueError) as e:  # reported as a missing tool
    IMPORT_ERROR = e

SKIP = 77
LOG_START = "Scanning available COM hardware..."
SECONDARY_START = "Scanning available Secondary COM hardware..."
SETTINGS = "9600,n,8,1"
PRESSURE_LINE = re.compile(r"^P:(\d+\.\d+),psi\r?\n?$")  # the box shows the line as received
# The general date form under the C.UTF-8 locale the tests use ("7 Dec 2026 12:52:22"), or the
# date alone at midnight.
STAMP = re.compile(r"^(\d{1,2} [A-Z][a-z]{2} \d{4})( \d{2}:\d{2}:\d{2})?$")
# A reading line of the simulator with three channels.
READING_LINE = re.compile(r"^R:0,S1\d\d,[A-Z]+\d,3(,-?\d+\.\d+,[^,]+){3},0$")


def today():
    """Today's date as the stamps write it (the program runs in UTC)."""
    t = time.gmtime()
    return "%d %s %d" % (t.tm_mday, time.strftime("%b", t), t.tm_year)



class OwnPort:
    """A pseudo-terminal of the test's own, published as COM n. hold: "exclusive" keeps the
    device open with the exclusive flag set, "plain" keeps it open without any lock (as a
    terminal program that takes none), None leaves it free."""

    def __init__(self, desk, number, hold="exclusive"):
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        self.slave = None
        if hold == "exclusive":
            fcntl.ioctl(slave, termios.TIOCEXCL)
        if hold:
            self.slave = slave
        else:
            os.close(slave)
        self.link = os.path.join(desk.com_dir, "com%d" % number)
        os.symlink(self.path, self.link)

    def lock_file(self, desk):
        """The UUCP lock file of this device in the run's lock folder."""
        return os.path.join(desk.lock_dir, "LCK.." + os.path.basename(self.path))

    def close(self):
        if self.slave is not None:
            os.close(self.slave)
        os.close(self.master)


def expected_record_tail(line):
    """The record a reading line gives, without its stamp and pressure, as a list of fields."""
    fields = line.split(":", 1)[1].split(",")
    ident, kind, number = fields[1], fields[2], int(fields[3])
    pairs = []
    for k in range(1, number + 1):
        if 2 * k + 3 < len(fields):
            pairs += [fields[2 * k + 2], fields[2 * k + 3]]
    return [ident, kind, str(number)] + pairs


def read_records(folder):
    """{sensor: [record fields]} of every readings file, checking the file's line ends."""
    out = {}
    for name in sorted(os.listdir(folder)):
        check(name.endswith(".txt"), "unexpected file %r in the data folder" % name)
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        check(data.endswith(b"\r\n"), "%s does not end with CR LF" % name)
        lines = data[:-2].split(b"\r\n")
        check(all(b"\n" not in l and b"\r" not in l for l in lines),
              "%s holds a record split across lines" % name)
        out[name[:-4]] = [l.decode("cp1252").split(",") for l in lines]
    return out


class Run:
    def __init__(self, args, name):
        self.args = args
        self.name = name
        # The trend run shows both windows side by side.
        self.desk = desktop_mod.Desktop(
            name, screen="1920x1080x24" if name == "trend" else "1280x800x24")
        self.panels = []
        self.sim = None
        self.ports = []
        self.failures = []

    def soft(self, condition, message):
        """A failed check that does not stop the later scenarios; the run still fails."""
        if not condition:
            self.failures.append(message)
            print("[%s] FAIL %s" % (self.name, message), flush=True)

    def step(self, text):
        print("[%s] %s" % (self.name, text), flush=True)

    def start_desktop(self, data_folder=True):
        self.desk.start()
        if data_folder:
            os.makedirs(self.desk.data_folder)

    def start_sim(self, *args):
        self.sim = Sim(self.desk, self.args.sim, *args)
        return self.sim

    def start_panel(self, name="narwickpanel", args=()):
        p = Panel(self.desk, self.args.bin, name, args)
        self.panels.append(p)
        return p

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", path], env=self.desk.env, check=True,
                       timeout=30, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def diagnose(self):
        try:
            self.screenshot(os.path.join(self.args.out, "e2e-failure-%s.png" % self.name))
        except Exception:
            pass
        for p in self.panels:
            print("--- narwickpanel (pid %d) output:\n%s" % (p.pid, p.output()))
            try:
                print("--- log box:\n%s" % p.text("txtIncoming")[-3000:])
                print("--- status bar: %r" % [p.status(i) for i in range(1, 6)])
            except Exception:
                pass
        if self.sim:
            print("--- simulator output:\n%s" % self.sim.output()[-3000:])

    def check_outputs(self):
        """No sanitizer report from any copy of the program."""
        for p in self.panels:
            out = p.output()
            check("Sanitizer" not in out and "runtime error:" not in out,
                  "narwickpanel (pid %d) reported:\n%s" % (p.pid, out[-4000:]))

    def result(self):
        self.check_outputs()
        return 1 if self.failures else 0

    def close(self):
        for port in self.ports:
            port.close()
        self.desk.close()


# ---------------------------------------------------------------------------------------------
# Scenarios of the operator run: one window, the simulator on COM7 and COM8, a port held by
# another program on COM3.

READING_BOXES = ["txtSensorID", "txtSensorType"] + ["txtChannel(%d)" % k for k in range(1, 11)]

CONTROLS = (["txtIncoming", "cboPort", "Command2", "Command3", "cboStepperPort", "txtStream2",
             "txtPressure", "txtZero", "cmdZero", "Command1", "lblOpenCom", "Label1",
             "optSave(0)", "optSave(1)", "optSave(2)", "sbStatusBar"]
            + READING_BOXES + ["lblSensor(%d)" % i for i in range(14)]
            + ["sbStatusBar panel %d" % i for i in range(1, 6)])


# The focus order; the three option buttons form one group, which Tab enters at its selected
# button (the arrow keys move within it).
TAB_ORDER = (["txtIncoming", "cboPort", "Command2", "txtSensorID", "txtSensorType"]
             + ["txtChannel(%d)" % k for k in range(1, 11)]
             + ["optSave(0)", "Command3", "cboStepperPort", "txtStream2", "txtPressure", "txtZero",
                "cmdZero", "Command1", "txtIncoming"])


def startup_state(run, p):
    """Scenario 1: start-up state and scan log; the window's accessibility."""
    equal(p.frame.get_name(), "NarwickPanel", "window title")
    equal(p.text("txtIncoming"),
          "\n".join([LOG_START, "COM 3 already open", "COM scan complete",
                     "Secondary COM scan complete", " 2 port(s) found"]), "start-up log")
    equal(p.items("cboPort"), ["none", " 3", " 7", " 8"], "cboPort entries")
    equal(p.items("cboStepperPort"), ["none", "7", "8"], "cboStepperPort entries")
    equal(p.text("cboPort"), "none", "cboPort text")
    equal(p.text("cboStepperPort"), "none", "cboStepperPort text")
    equal(p.status(1), "COM 11: %s - Closed" % SETTINGS, "panel 1")
    equal(p.status(2), "Reading #", "panel 2")
    equal(p.status(3), "", "panel 3")
    check(re.search(r"\d", p.status(4)) and re.search(r"\d+:\d\d", p.status(5)),
          "panels 4 and 5 should show the date and time, got %r, %r" % (p.status(4), p.status(5)))
    for box in READING_BOXES + ["txtPressure", "txtStream2"]:
        equal(p.text(box), "", box + " at start")
    equal(p.text("txtZero"), "0", "txtZero at start")
    equal([p.checked("optSave(%d)" % i) for i in range(3)], [True, False, False],
          "optSave selection at start")

    # Names a screen reader speaks are human; the description carries the control's name.
    found = p.all_controls()
    missing = [c for c in CONTROLS if c not in found]
    check(not missing, "controls without their name in the accessible description: %r" % missing)
    for c in CONTROLS:
        if c.startswith("sbStatusBar panel"):
            continue  # a panel speaks its text
        name = found[c].get_name()
        check(name and name != c and not re.match(r"^(txt|cbo|opt|cmd|lbl|sb)[A-Z]", name)
              and not re.match(r"^(Command|Label)\d", name),
              "%s has no human accessible name (%r)" % (c, name))
    equal(found["txtSensorID"].get_name(), "Sensor ID", "txtSensorID's spoken name")
    equal(found["txtChannel(10)"].get_name(), "Channel 10", "txtChannel(10)'s spoken name")
    equal(found["cboPort"].get_name(), "none", "cboPort's name (its current text)")
    equal(found["lblSensor(13)"].get_name(), "PRESSURE (psi)", "lblSensor(13)")

    # Every control is reached with the Tab key, in order.
    p.click("txtIncoming")
    order = [wait_for(p.focus_owner, "the focus in the log")]
    while len(order) < len(TAB_ORDER):
        p.key("Tab")
        order.append(wait_for(lambda: p.focus_owner() not in (None, order[-1]) and
                              p.focus_owner(), "the focus to move on from " + order[-1], 5))
    equal(order, TAB_ORDER, "the Tab order")


def wait_delivered(p, sim, count0, sent0, what):
    """After the simulator stopped: waits until panel 3 counts every line sent since
    (count0, sent0); returns (count, per-sensor sent)."""
    total, per = sim.sent()
    want = count0 + (total - sent0)
    try:
        wait_for(lambda: p.count() == want, "%s: panel 3 to reach %d" % (what, want), 15)
    except AssertionError:
        raise AssertionError("%s: the simulator sent %d lines, panel 3 counts %s" % (
            what, total - sent0, (p.count() or 0) - count0))
    return want, per


def pick_instrument(run, p, sim):
    """Scenario 2: picking the instrument's port fills the boxes; the count rises."""
    sim.command("stop")
    sent0, _ = sim.sent()
    p.pick("cboPort", " 7")
    equal(p.status(1), "COM 7: %s - Open" % SETTINGS, "panel 1 after the pick")
    equal(p.status(3), "0", "panel 3 after the pick")
    equal(p.text("txtIncoming"), "", "the log after the pick")
    sim.command("start")
    first = wait_for(lambda: p.count() if (p.count() or 0) >= 3 else None, "lines to arrive")
    wait_for(lambda: p.count() > first, "the count to rise")
    sim.command("stop")
    count, _ = wait_delivered(p, sim, 0, sent0, "after the pick")
    lines = p.log_lines()
    equal(len(lines), count, "lines in the log against the count in panel 3")
    check(all(l.startswith("R:0,S") for l in lines), "unexpected log lines: %r" % lines[:5])
    # The boxes show the last reading.
    last = lines[-1].split(":", 1)[1].split(",")
    n = int(last[3])
    equal(p.text("txtSensorID"), last[1], "txtSensorID")
    equal(p.text("txtSensorType"), "%s  (%d)" % (last[2], n), "txtSensorType")
    for k in range(1, 11):
        want = "%s %s" % (last[2 * k + 2], last[2 * k + 3]) if k <= n else ""
        equal(p.text("txtChannel(%d)" % k), want, "txtChannel(%d)" % k)
    return count


def save_all(run, p, sim, count0):
    """Scenario 3: "Save all readings" saves exactly what the instrument sent."""
    folder = run.desk.data_folder
    equal(os.listdir(folder), [], "the data folder before saving")
    sent0, per0 = sim.sent()
    log0 = len(p.log_lines())
    days = {today()}
    p.click("optSave(1)")
    wait_for(lambda: p.checked("optSave(1)") and not p.checked("optSave(0)"),
             "\"Save all readings\" to be chosen")
    sim.command("start")
    wait_for(lambda: p.count() >= count0 + 40, "40 more readings", 20)
    sim.command("stop")
    count, per = wait_delivered(p, sim, count0, sent0, "while saving all")
    p.click("optSave(0)")
    wait_for(lambda: p.checked("optSave(0)"), "\"Do not save readings\" to be chosen")
    days.add(today())

    records = read_records(folder)
    sent_now = {s: per.get(s, 0) - per0.get(s, 0) for s in per}
    saved = {s: len(r) for s, r in records.items()}
    equal(saved, {s: n for s, n in sent_now.items() if n}, "records per sensor against lines sent")
    new_lines = p.log_lines()[log0:]
    equal(len(new_lines), count - count0, "new log lines")
    bad = [l for l in new_lines if not READING_LINE.match(l)]
    check(not bad, "the log shows lines the instrument did not send: %r" % bad[:3])
    for sensor, recs in records.items():
        expected = [expected_record_tail(l) for l in new_lines
                    if l.split(",")[1] == sensor]
        for rec in recs:
            stamp = STAMP.match(rec[0])
            check(stamp and stamp.group(1) in days, "bad time stamp %r in %s.txt (today is %s)"
                  % (rec[0], sensor, " or ".join(sorted(days))))
            equal(rec[-2:], ["", "psi"], "pressure of a record without a gauge")
        equal([r[1:-2] for r in recs], expected, "records of %s against the log" % sensor)
    return count, records


def save_current(run, p, sim, count0, records0):
    """Scenario 4: "Save current reading" saves exactly one record, then the choice returns."""
    sent0, _ = sim.sent()
    log0 = len(p.log_lines())
    p.click("optSave(2)")
    wait_for(lambda: p.checked("optSave(2)") and not p.checked("optSave(0)"),
             "\"Save current reading\" to be chosen")
    sim.command("start")
    wait_for(lambda: p.checked("optSave(0)") and not p.checked("optSave(2)"),
             "the choice to return to \"Do not save readings\"")
    wait_for(lambda: p.count() >= count0 + 10, "more readings")
    sim.command("stop")
    count, _ = wait_delivered(p, sim, count0, sent0, "after saving one")
    check(p.focused("optSave(0)"), "\"Do not save readings\" should have the keyboard focus")
    records = read_records(run.desk.data_folder)
    added = {s: r[len(records0.get(s, [])):] for s, r in records.items()}
    added = {s: r for s, r in added.items() if r}
    equal(sum(len(r) for r in added.values()), 1, "records written by \"Save current reading\"")
    (sensor, [rec]), = added.items()
    first = p.log_lines()[log0]
    equal(rec[1:-2], expected_record_tail(first), "the saved record against the first new line")
    return count


def check_log_end_in_view(run, p, after):
    """With the devices quiet, the log shows its newest line (its scroll bar is at the end)."""
    try:
        wait_for(lambda: p.log_scroll()[0] >= p.log_scroll()[1], "the log's end in view", 3)
    except AssertionError:
        run.soft(False, "the log no longer scrolls to the newest line after %s (scroll bar at "
                 "%d of %d)" % ((after,) + p.log_scroll()))


def pressure(run, p, sim, count0):
    """Scenario 5: the pressure shows, cmdZero zeroes it, saved records carry it."""
    log0 = p.text("txtIncoming")
    sim.command("start")
    p.pick("cboStepperPort", "8")
    check(p.text("txtIncoming").startswith(log0), "the secondary open should only append")
    wait_for(lambda: "\nCOM8 set\nStatus 0\n" in p.text("txtIncoming"),
             "\"COM8 set\" and \"Status 0\" in the log")
    raw = wait_for(lambda: PRESSURE_LINE.match(p.text("txtStream2")), "a pressure line")
    shown = wait_for(lambda: p.text("txtPressure"), "the pressure")
    check(abs(float(shown) - 14.7) < 0.5, "the pressure %r is not the gauge's" % shown)
    check(abs(float(raw.group(1)) - 14.7) < 0.5, "the gauge line %r" % raw.group(0))

    p.press("cmdZero")
    zero = wait_for(lambda: p.text("txtZero") if p.text("txtZero") != "0" else None,
                    "cmdZero to set the zero")
    check(abs(float(zero) - 14.7) < 0.5, "the zero %r is not a gauge reading" % zero)
    wait_for(lambda: abs(float(p.text("txtPressure"))) < 0.2, "the zeroed pressure")

    # Saved records carry the zeroed pressure; the demo runs while the screenshot is taken.
    records0 = read_records(run.desk.data_folder)
    p.click("optSave(1)")
    wait_for(lambda: p.checked("optSave(1)"), "\"Save all readings\" to be chosen")
    wait_for(lambda: p.count() >= count0 + 40, "more readings")
    shot = os.path.join(run.args.out, "e2e-demo.png")
    run.screenshot(shot)
    run.step("screenshot of the running demo: %s" % shot)
    # The operator keeps seeing the newest readings after the secondary port's lines.
    sim.command("stop")
    check_log_end_in_view(run, p, "the secondary port's \"COM8 set\" lines")
    p.click("optSave(0)")
    wait_for(lambda: p.checked("optSave(0)"), "\"Do not save readings\" to be chosen")
    records = read_records(run.desk.data_folder)
    new = [r for s, recs in records.items() for r in recs[len(records0.get(s, [])):]]
    check(len(new) >= 10, "only %d records saved with the pressure" % len(new))
    for r in new:
        check(r[-1] == "psi" and r[-2].strip() and abs(float(r[-2])) < 0.3,
              "a record should carry the zeroed pressure: %r" % ",".join(r))


def rescans(run, p, sim):
    """Scenario 6: Command2 and Command3 rescan, with a new port appearing."""
    run.ports.append(OwnPort(run.desk, 12, hold=None))
    sim.command("start")
    count = p.count()
    p.press("Command2")
    want = "\n".join([LOG_START, "COM 3 already open", "COM 8 already open", "COM scan complete"])
    wait_for(lambda: p.text("txtIncoming") == want, "the rescan's log %r" % want)
    equal(p.items("cboPort"), ["none", " 3", " 7", " 8", " 12"], "cboPort after the rescan")
    equal(p.text("cboPort"), "none", "cboPort after the rescan")
    equal(p.status(1), "COM 7: %s - Closed" % SETTINGS, "panel 1 after the rescan")
    # Lines may still be counted between the simulator's start and the port's release;
    # the rescan itself does not restart the count.
    check(p.count() >= count, "panel 3 went back from %d to %d on the rescan" % (count, p.count()))
    count = p.count()

    p.press("Command3")
    want = "\n".join([SECONDARY_START, "Secondary COM scan complete", " 3 port(s) found"])
    wait_for(lambda: p.text("txtIncoming") == want, "the secondary rescan's log %r" % want)
    equal(p.items("cboStepperPort"), ["none", "7", "8", "12"], "cboStepperPort after the rescan")
    equal(p.text("cboStepperPort"), "none", "cboStepperPort after the rescan")
    # Both ports were released while the devices still talk: nothing more is counted or shown.
    stream = p.text("txtStream2")
    sim.command("stop")
    equal(p.count(), count, "panel 3 with both ports released")
    equal(p.text("txtStream2"), stream, "txtStream2 with both ports released")


def operator(run):
    run.ports.append(OwnPort(run.desk, 3))
    sim = run.start_sim("--sensors", "3", "--channels", "3", "--rate", "25", "--random", "7")
    p = run.start_panel().wait_for_window()
    startup_state(run, p)
    run.step("PASS 1 start-up state, scan log and accessible names")
    count = pick_instrument(run, p, sim)
    run.step("PASS 2 picking COM 7 fills the boxes; panel 3 counts %d lines" % count)
    count, records = save_all(run, p, sim, count)
    run.step("PASS 3 save all: %s records, as sent" % {s: len(r) for s, r in records.items()})
    count = save_current(run, p, sim, count, records)
    run.step("PASS 4 save current: one record, the choice returns")
    pressure(run, p, sim, count)
    run.step("PASS 5 pressure, zero, records carry it; 9 screenshot")
    rescans(run, p, sim)
    run.step("PASS 6 rescans")
    run.desk.stop(p.proc)
    rc, report = sim.finish()
    equal(report.get("received_bytes"), "0", "bytes the program wrote to the devices")
    equal(rc, 0, "the simulator's exit status")
    run.step("PASS the program wrote nothing to either device")


# ---------------------------------------------------------------------------------------------
# Scenario 7: hang-up and return under the same COM number; the watchdog reopens the port.

def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def watchdog(run):
    sim = run.start_sim("--no-gauge", "--rate", "20", "--random", "3")
    p = run.start_panel().wait_for_window()
    # This time the operator picks the port with the keyboard: focus the list, arrow down.
    p.click("cboPort")
    wait_for(lambda: p.focused("cboPort"), "the focus in cboPort")
    p.key("Down")
    wait_for(lambda: p.text("cboPort") == " 7", "the arrow key to choose \" 7\"")
    # Enough lines that the log scrolls.
    wait_for(lambda: (p.count() or 0) >= 40, "lines to arrive")
    equal(p.status(1), "COM 7: %s - Open" % SETTINGS, "panel 1 after the keyboard pick")
    sim.command("hangup 4 instrument")
    wait_for(lambda: "the port is closed until the device returns" in p.text("txtIncoming"),
             "the hang-up to be reported in the log")
    before = p.count()
    cpu0, t0 = cpu_seconds(p.pid), time.monotonic()
    # The device returns after 4 s; the watchdog's next tick reopens the port.
    wait_for(lambda: p.count() >= before + 5, "lines to flow again after the return", 30)
    cpu, wall = cpu_seconds(p.pid) - cpu0, time.monotonic() - t0
    check(cpu < 0.5 * wall, "the program used %.1f s of CPU in %.1f s after the hang-up"
          % (cpu, wall))
    equal(p.status(1), "COM 7: %s - Open" % SETTINGS, "panel 1 after the return")
    check(p.log_lines()[-1].startswith("R:0,S"), "the log should end with a reading")
    sim.command("stop")
    check_log_end_in_view(run, p, "the hang-up message")
    run.step("PASS 7 the watchdog reopened COM 7 after a hang-up (%d lines before, %d now; "
             "%.2f s CPU while waiting)" % (before, p.count(), cpu))
    run.desk.stop(p.proc)
    rc, report = sim.finish()
    equal(report.get("instrument.hangups"), "1", "hang-ups")
    equal(report.get("received_bytes"), "0", "bytes the program wrote to the devices")
    equal(rc, 0, "the simulator's exit status")


# ---------------------------------------------------------------------------------------------
# Ports held by programs that take no lock of ours: one just has the device open, one names it
# in a UUCP lock file. Both are listed as already open and refused; a free port carries the
# program's own lock file while it is open.

def write_lock(path, pid):
    with open(path, "w") as f:
        f.write("%10d\n" % pid)


def read_lock(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return None


def held(run):
    desk = run.desk
    plain = OwnPort(desk, 3, hold="plain")
    locked = OwnPort(desk, 4, hold=None)
    free = OwnPort(desk, 5, hold=None)
    run.ports += [plain, locked, free]
    write_lock(locked.lock_file(desk), os.getpid())  # this test is the live holder
    gone = subprocess.Popen(["true"])
    gone.wait()
    write_lock(free.lock_file(desk), gone.pid)  # left by a program that is gone: stale

    p = run.start_panel().wait_for_window()
    equal(p.text("txtIncoming"),
          "\n".join([LOG_START, "COM 3 already open", "COM 4 already open", "COM scan complete",
                     "Secondary COM scan complete", " 1 port(s) found"]), "start-up log")
    equal(p.items("cboPort"), ["none", " 3", " 4", " 5"], "cboPort entries")
    equal(p.items("cboStepperPort"), ["none", "5"], "cboStepperPort entries")
    # The secondary scan's probe may take the stale lock over, but leaves no lock of its own.
    check(read_lock(free.lock_file(desk)) in (None, "%10d\n" % gone.pid),
          "COM 5's lock file after the scans: %r" % read_lock(free.lock_file(desk)))
    run.step("PASS the scans see COM 3 (open, no lock) and COM 4 (lock file) as already open")

    for number, port in ((3, plain), (4, locked)):
        p.pick("cboPort", " %d" % number)
        wait_for(lambda: p.status(1).startswith("COM %d:" % number),
                 "panel 1 to name COM %d" % number)
        equal(p.status(1), "COM %d: %s - Closed" % (number, SETTINGS),
              "panel 1 after picking the held COM %d" % number)
    equal(read_lock(locked.lock_file(desk)), "%10d\n" % os.getpid(), "the other program's lock")
    equal(read_lock(plain.lock_file(desk)), None, "a lock file for the refused COM 3")
    run.step("PASS picking either held port leaves it closed")

    p.pick("cboPort", " 5")
    wait_for(lambda: p.status(1) == "COM 5: %s - Open" % SETTINGS, "COM 5 to open")
    equal(read_lock(free.lock_file(desk)), "%10d\n" % p.pid,
          "the program's lock file while it holds COM 5")
    p.pick("cboPort", "none")
    wait_for(lambda: p.status(1).endswith(" - Closed"), "the port to close on \"none\"")
    wait_for(lambda: read_lock(free.lock_file(desk)) is None,
             "the program's lock file to go with the port")
    run.step("PASS the program's own lock file lives exactly as long as it holds the port")
    # The session ends (SIGTERM): the program quits as if closed and lets go of its port.
    p.pick("cboPort", " 5")
    wait_for(lambda: read_lock(free.lock_file(desk)) == "%10d\n" % p.pid, "COM 5's lock again")
    p.proc.send_signal(signal.SIGTERM)
    equal(p.proc.wait(20), 0, "the exit status after SIGTERM")
    equal(read_lock(free.lock_file(desk)), None, "COM 5's lock file after SIGTERM")
    run.step("PASS SIGTERM ends the program cleanly, its lock file gone")
    run.desk.stop(p.proc)


# ---------------------------------------------------------------------------------------------
# Scenario 8: a second copy is refused with a message box and ends; the first runs on.

def instance(run):
    first = run.start_panel("first").wait_for_window()
    second = run.start_panel("second")

    def refusal():
        for app in find_apps(second.pid):
            for w in children(app):
                if w is not None and w.get_role() in (Atspi.Role.ALERT, Atspi.Role.DIALOG):
                    return w
        return None

    box = wait_for(refusal, "the second copy's message box", 20)
    equal(box.get_name(), "Brindlecast's NarwickPanel", "the box's title")
    texts = [text_of(a) for a in walk(box) if a.get_role() == Atspi.Role.LABEL]
    check("Brindlecast's NarwickPanel is already running\nCannot load program again" in texts,
          "the box's text: %r" % texts)
    windows = [w.get_name() for app in find_apps(second.pid) for w in children(app)]
    check("NarwickPanel" not in windows, "the second copy showed its window: %r" % windows)
    ok = [a for a in walk(box) if a.get_role() == Atspi.Role.PUSH_BUTTON]
    equal([b.get_name() for b in ok], ["OK"], "the box's buttons")
    do_action(ok[0], "Press")
    wait_for(lambda: second.proc.poll() is not None, "the second copy to end")
    equal(second.proc.returncode, 0, "the second copy's exit status")

    # The first copy runs on and still answers the operator.
    check(first.proc.poll() is None, "the first copy ended")
    first.press("Command3")
    wait_for(lambda: first.text("txtIncoming").startswith(SECONDARY_START),
             "the first copy to answer a click")
    run.step("PASS 8 a second copy is refused and ends; the first runs on")

    # The refusal box ends on the signals that end the window.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        other = run.start_panel("refused-%d" % sig)
        wait_for(lambda: any(w is not None and w.get_role() in (Atspi.Role.ALERT,
                                                                   Atspi.Role.DIALOG)
                             for app in find_apps(other.pid) for w in children(app)),
                 "the refusal box", 20)
        other.proc.send_signal(sig)
        equal(other.proc.wait(20), 0, "the exit status of a refused copy after %s" % sig.name)
    run.step("PASS the refusal box ends on SIGTERM and SIGHUP")

    # A copy that died leaves a stale lock, which does not block the next start.
    first.proc.send_signal(signal.SIGKILL)
    first.proc.wait(10)
    third = run.start_panel("third").wait_for_window()
    run.step("PASS a stale lock from a killed copy does not block the next start")
    run.desk.stop(third.proc)
    no_session_bus(run)


def own_dbus_children():
    """This run's processes named dbus-*, the desktop's own bus left out: a subreaper adopts
    whatever an autolaunch left running."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as f:
                stat = f.read()
        except OSError:
            continue
        comm = stat[stat.index("(") + 1:stat.rindex(")")]
        ppid = int(stat[stat.rindex(")") + 2:].split()[1])
        if comm.startswith("dbus-") and ppid == os.getpid():
            found.append(int(pid))
    return found


def no_session_bus(run):
    """Started without a session bus (from cron, sudo or ssh), the program runs without D-Bus
    and starts nothing: no bus autolaunched, no folder made for one."""
    desk = run.desk
    before = set(own_dbus_children())
    # A home and runtime folder of its own: the desktop's bus keeps its files in the other.
    home, runtime = desk._dir("no-bus-home"), desk._dir("no-bus-runtime")
    os.chmod(runtime, 0o700)
    env = {k: v for k, v in desk.env.items() if k != "DBUS_SESSION_BUS_ADDRESS"}
    env.update(QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", HOME=home,
               XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=os.path.join(home, ".config"),
               XDG_DATA_HOME=os.path.join(home, ".local", "share"),
               XDG_CACHE_HOME=os.path.join(home, ".cache"))
    env.pop("XDG_DOCUMENTS_DIR", None)
    proc = desk.spawn("no-bus", [run.args.bin], env=env, stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL)

    def shown():
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(proc.pid),
                              "--name", "^NarwickPanel$"], env=env, capture_output=True)
        return out.returncode == 0 and out.stdout.strip()

    wait_for(shown, "the window of a copy without a session bus", 20)
    proc.send_signal(signal.SIGTERM)
    equal(proc.wait(20), 0, "the exit status without a session bus")
    for folder in (home, runtime):
        equal(os.listdir(folder), [], "what was made in %s without a session bus" % folder)
    left = set(own_dbus_children()) - before
    check(not left, "D-Bus processes left running: %r" % sorted(left))
    run.step("PASS without a session bus nothing is launched and no bus folder is made")

# ---------------------------------------------------------------------------------------------
# Scenario 9: the command line. Bad input ends at once; good options make the operator's
# picks; a port that appears late is opened when it does.

CLI_PICKS = ["--port", "7", "--secondary", "8", "--save", "all"]


def run_plain(run, args):
    """The program with `args`, expected to end by itself: (exit status, stdout, stderr)."""
    env = dict(run.desk.env, QT_QPA_PLATFORM="xcb")
    out = subprocess.run([run.args.bin, *args], env=env, capture_output=True, timeout=20)
    return out.returncode, out.stdout.decode(errors="replace"), out.stderr.decode(errors="replace")


def cli_bad_input(run):
    lock = os.path.join(run.desk.runtime, "narwickpanel.lock")
    for args, message in [
            (["--port", "31"], "--port needs a COM number from 1 to 30, not '31'"),
            (["--secondary", "257", "--port", "7"],
             "--secondary needs a COM number from 1 to 256, not '257'"),
            (["--save", "sometimes"], "--save needs all, current or none, not 'sometimes'"),
            (["--port"], "--port needs a COM number from 1 to 30"),
            (["--colour", "blue"], "unknown option '--colour'")]:
        rc, out, err = run_plain(run, args)
        equal(rc, 2, "exit status of %r" % args)
        equal(err, "narwickpanel: %s\nTry 'narwickpanel --help'.\n" % message,
              "the message for %r" % args)
        equal(out, "", "standard output for %r" % args)
        check(not os.path.exists(lock), "%r took the single-instance lock" % args)
    rc, out, err = run_plain(run, ["--help"])
    check(rc == 0 and out.startswith("Usage: narwickpanel [--port N]") and err == "",
          "--help: %r %r %r" % (rc, out[:80], err))
    rc, out, err = run_plain(run, ["--version"])
    check(rc == 0 and re.match(r"^NarwickPanel \d+\.\d+\.\d+\n$", out), "--version: %r %r" % (rc, out))


def cli_picks(run, sim):
    p = run.start_panel("picks", CLI_PICKS).wait_for_window()
    wait_for(lambda: "Picked from the command line: gauge COM8, instrument COM 7, Save all "
             "readings" in p.text("txtIncoming"), "the log to say what the command line picked")
    equal(p.text("cboPort"), " 7", "cboPort")
    equal(p.text("cboStepperPort"), "8", "cboStepperPort")
    equal([p.checked("optSave(%d)" % i) for i in range(3)], [False, True, False], "optSave")
    equal(p.status(1), "COM 7: %s - Open" % SETTINGS, "panel 1")
    wait_for(lambda: p.text("txtPressure"), "the pressure")
    wait_for(lambda: (p.count() or 0) >= 30, "readings", 20)

    def carried():
        recs = [r for rs in read_records(run.desk.data_folder).values() for r in rs]
        return recs if len([r for r in recs if r[-2].strip()]) >= 10 else None
    recs = wait_for(carried, "records with the pressure", 20)
    for r in recs:
        check(r[-1] == "psi" and (r[-2] == "" or abs(float(r[-2]) - 14.7) < 0.5),
              "a record's pressure: %r" % ",".join(r))
    check("Reset Error" not in p.text("txtIncoming"), "an open failed")
    run.desk.stop(p.proc)


def cli_late_port(run):
    t0 = time.monotonic()
    p = run.start_panel("late", ["--port", "12"]).wait_for_window()
    wait_for(lambda: "COM 12 is not there yet" in p.text("txtIncoming"), "the wait to be logged")
    equal(p.text("cboPort"), " 12", "cboPort while COM 12 is not there")
    time.sleep(max(0.0, 7 - (time.monotonic() - t0)))  # the adapter appears 7 s after the start
    port = OwnPort(run.desk, 12, hold=None)
    run.ports.append(port)
    wait_for(lambda: p.status(1) == "COM 12: %s - Open" % SETTINGS, "COM 12 to be opened", 15)
    log = p.text("txtIncoming")
    check("COM 12 is there now: picked from the command line" in log, "the log: %r" % log)
    os.write(port.master, b"R:0,S1,TC4,1,21.5,C\r\nR:0,S1,TC4,1,21.6,C\r\n")
    wait_for(lambda: p.count() == 2, "the late port's readings")
    equal(p.text("txtChannel(1)"), "21.6 C", "txtChannel(1)")
    run.desk.stop(p.proc)


def cli(run):
    cli_bad_input(run)
    run.step("PASS 9a bad options end with 2 and a message; no window, no lock")
    sim = run.start_sim("--sensors", "2", "--channels", "2", "--rate", "20", "--random", "5")
    cli_picks(run, sim)
    run.step("PASS 9b --port, --secondary and --save all: readings saved without a click")
    sim.command("stop")
    cli_late_port(run)
    run.step("PASS 9c a command-line port that appears 7 s after the start is opened")
    rc, report = sim.finish()
    equal(report.get("received_bytes"), "0", "bytes the program wrote to the devices")


# ---------------------------------------------------------------------------------------------
# Scenario 10: the gauge goes away and comes back by itself; a pressure that cannot be
# computed empties the box. Records never carry a pressure that is no longer true.

def new_records(folder, before):
    now = read_records(folder)
    return [r for s, rs in now.items() for r in rs[len(before.get(s, [])):]]


def gauge(run):
    sim = run.start_sim("--sensors", "2", "--channels", "2", "--rate", "20", "--random", "9")
    own = OwnPort(run.desk, 9, hold=None)
    run.ports.append(own)
    p = run.start_panel("gauge", CLI_PICKS).wait_for_window()
    wait_for(lambda: p.text("txtPressure"), "the pressure")
    folder = run.desk.data_folder

    sim.command("hangup 4 gauge")
    wait_for(lambda: "COM8: the pressure device went away" in p.text("txtIncoming"),
             "the hang-up in the log")
    # The box shows what its link says within a frame of the log's message.
    wait_for(lambda: p.text("txtPressure") == "", "txtPressure to empty with the gauge away")
    before = read_records(folder)
    wait_for(lambda: len(new_records(folder, before)) >= 10, "records while the gauge is away")
    away = new_records(folder, before)
    check(all(r[-2:] == ["", "psi"] for r in away),
          "records saved while the gauge is away: %r" % [",".join(r) for r in away][:3])
    run.step("PASS 10a the hang-up empties the pressure; %d records carry none" % len(away))

    wait_for(lambda: "COM8: the pressure device is back" in p.text("txtIncoming"),
             "the gauge to come back by itself", 20)
    wait_for(lambda: p.text("txtPressure"), "the pressure after the return")
    before = read_records(folder)
    wait_for(lambda: len(new_records(folder, before)) >= 5, "records after the return")
    check(all(r[-2].strip() for r in new_records(folder, before)), "records after the return")
    equal(p.text("txtIncoming").count("went away"), 1, "hang-ups logged")
    run.step("PASS 10b the gauge came back by itself and records carry its pressure again")

    # A gauge that says something out of range: the test's own port plays it.
    p.pick("cboStepperPort", "9")
    os.write(own.master, b"P:5,psi\r\n")
    wait_for(lambda: p.text("txtPressure") == "5", "the pressure 5")
    os.write(own.master, b"P:1e309,psi\r\nP:" + b"9" * 400 + b",psi\r\nP:1e309\r\n")
    wait_for(lambda: p.text("txtStream2").rstrip("\r\n") == "P:1e309", "the last out-of-range line")
    wait_for(lambda: p.text("txtPressure") == "", "txtPressure to empty after out-of-range lines")
    equal(p.text("txtIncoming").count("cannot be computed"), 1, "out-of-range runs logged")
    os.write(own.master, b"P:6,psi\r\n")
    wait_for(lambda: p.text("txtPressure") == "6", "the pressure 6")
    run.step("PASS 10c out-of-range lines empty the pressure and are logged once")
    sim.command("stop")
    run.desk.stop(p.proc)
    rc, report = sim.finish()
    equal(report.get("gauge.hangups"), "1", "hang-ups")
    equal(report.get("received_bytes"), "0", "bytes the program wrote to the devices")
    equal(rc, 0, "the simulator's exit status")


# ---------------------------------------------------------------------------------------------
# Scenario 11: what a screen reader gets: the status bar is a status bar, a box's new text is
# announced, and the log is heard past a reading that holds a NUL byte (D-Bus strings end at a
# NUL; the log gives it as U+2400).

def a11y(run):
    port = OwnPort(run.desk, 5, hold=None)
    run.ports.append(port)
    # Listening before the start: the program sends only the events someone listens for.
    heard = []

    def on_text_changed(event):
        try:
            heard.append((event.source.get_description(), event.type, str(event.any_data)))
        except Exception:
            pass

    listener = Atspi.EventListener.new(on_text_changed)
    listener.register("object:text-changed:insert")

    def pump():
        context = GLib.MainContext.default()
        while context.pending():
            context.iteration(False)
        return True

    p = run.start_panel().wait_for_window()
    bar = p.control("sbStatusBar")
    equal(bar.get_role(), Atspi.Role.STATUS_BAR, "the status bar's role")
    equal(bar.get_name(), "Status bar", "the status bar's name")
    run.step("PASS the status bar is a status bar")

    p.pick("cboPort", " 5")
    equal(p.status(1), "COM 5: %s - Open" % SETTINGS, "panel 1 after the pick")
    os.write(port.master, b"R:0,S1\x004,TC4,1,21.7,C,0\r\n")
    wait_for(lambda: p.count() == 1, "the line with a NUL to be counted")
    os.write(port.master, b"R:0,S105,TC4,1,22.5,C,0\r\n")
    wait_for(lambda: p.count() == 2, "the later line to be counted")
    log = wait_for(lambda: "R:0,S105,TC4,1,22.5,C,0" in p.text("txtIncoming") and
                   p.text("txtIncoming"), "the later line in the log's text")
    check("\x00" not in log, "the log's text holds a NUL: %r" % log)
    check("R:0,S1\u24004,TC4,1,21.7,C,0\nR:0,S105,TC4,1,22.5,C,0" in log,
          "the log's text should show the NUL as U+2400, then the later line: %r" % log)
    equal(p.text("txtChannel(1)"), "22.5 C", "txtChannel(1)")
    run.step("PASS the log is heard past a NUL, shown as U+2400")

    wait_for(lambda: pump() and any(d == "sbStatusBar panel 3" and data == "2"
                                    for d, _, data in heard),
             "the count's new text to be announced (heard: %r)" % heard[-5:])
    wait_for(lambda: pump() and any(d == "txtChannel(1)" and data == "22.5 C"
                                    for d, _, data in heard),
             "txtChannel(1)'s new text to be announced")
    wait_for(lambda: pump() and any(d == "txtIncoming" and "S1\u24004,TC4" in data
                                    for d, _, data in heard),
             "the log's new line to be announced, its NUL as U+2400")
    run.step("PASS a new text in a box and a new line in the log are announced")
    listener.deregister("object:text-changed:insert")


# ---------------------------------------------------------------------------------------------
# Scenario 12: the trend window. A double click on a channel box opens it, points arrive in its
# picture, a PNG is saved through its own save dialog (filled in through AT-SPI, as a screen
# reader would), Ctrl+W closes it and Ctrl+T in the main window opens it again. The desktop is
# wide enough for both windows side by side: the screenshot for the README.

TREND = "NarwickPanel Trend"


def combo_items(acc):
    lists = [c for c in children(acc) if c is not None and c.get_role() == Atspi.Role.LIST]
    return [i.get_name() for i in children(lists[0]) if i is not None] if lists else []


def trend(run):
    sim = run.start_sim("--sensors", "1", "--channels", "3", "--rate", "10", "--random", "11")
    p = run.start_panel().wait_for_window()
    p.pick("cboPort", " 7")
    p.pick("cboStepperPort", "8")
    wait_for(lambda: (p.count() or 0) >= 5, "readings to arrive")
    wait_for(lambda: p.text("txtPressure"), "the pressure")
    check(p.window(TREND) is None, "the trend window is open before it was asked for")

    p.double_click("txtChannel(1)")
    frame = wait_for(lambda: p.window(TREND), "the trend window after a double click")
    controls = wait_for(lambda: (lambda c: c if "lblTrendPoints" in c else None)(
        p.controls_of(frame)), "the trend window's controls")

    def points():
        return int(text_of(p.controls_of(frame)["lblTrendPoints"]).split()[0])

    first = wait_for(lambda: points() > 0 and points(), "points in the picture")
    wait_for(lambda: points() > first, "the picture to take new points", 15)
    run.step("PASS 9 a double click opens the trend window; its picture grows (%d, then %d "
             "points)" % (first, points()))
    sensors = combo_items(controls["cboTrendSensor"])
    equal(sensors, [p.text("txtSensorID")], "the sensor list")
    plot = [a for a in walk(frame) if a.get_name() == "Trend plot"]
    check(plot and plot[0].get_description(), "the plot's accessible name and description")
    check(all(("optSpan(%d)" % i) in controls for i in range(4)) and "chkPressure" in controls,
          "the span buttons and the pressure switch: %r" % sorted(controls))

    # Saving the picture through the window's own save dialog.
    x, y, w, h = extents(plot[0])
    p.click_at(x + w // 2, y + h // 2)  # the keyboard focus in the plot
    p.keys("ctrl+s")

    def dialog():
        for w in children(p.app):
            if w is not None and w.get_name() == "Save Picture as PNG" and extents(w)[2] > 0:
                return w
        return None

    box = wait_for(dialog, "the save dialog")
    edit = wait_for(lambda: next((a for a in walk(box) if a.get_role() == Atspi.Role.TEXT and
                                  states(a).contains(Atspi.StateType.FOCUSED)), None),
                    "the dialog's file name box with the focus")
    target = os.path.join(run.desk.data_folder, "trend-e2e.png")
    Atspi.EditableText.set_text_contents(edit, target)
    wait_for(lambda: text_of(edit) == target, "the file name typed in")
    save = [a for a in walk(box) if a.get_role() == Atspi.Role.PUSH_BUTTON
            and a.get_name() == "Save"]
    check(save, "the dialog's Save button")
    do_action(save[0], "Press")
    wait_for(lambda: os.path.exists(target) and os.path.getsize(target) > 0, "the saved PNG")
    with open(target, "rb") as f:
        equal(f.read(8), b"\x89PNG\r\n\x1a\n", "the saved file's signature")
    info = subprocess.run(["identify", target], capture_output=True, text=True, timeout=30)
    check(info.returncode == 0 and " PNG " in info.stdout, "identify: %r" % info.stdout)
    run.step("PASS 10 the picture saved as PNG through the save dialog: %s"
             % info.stdout.split(" ", 1)[1].strip())

    # Both windows side by side for the README, the last minute in the picture.
    main_width = extents(p.frame)[2]
    for title, x in (("NarwickPanel", 0), (TREND, main_width + 8)):
        subprocess.run(["xdotool", "search", "--name", "^%s$" % title, "windowmove", str(x), "0"],
                       env=run.desk.env, check=True, timeout=10)
    wait_for(lambda: extents(frame)[0] > main_width and extents(p.frame)[0] == 0,
             "the windows to move")
    x, y, w, h = extents(controls["optSpan(0)"])
    p.click_at(x + w // 2, y + h // 2)
    wait_for(lambda: points() >= 300, "a picture with 300 points", 40)
    shot = os.path.join(run.args.out, "e2e-trend-demo.png")
    run.screenshot(shot)
    right = extents(frame)[0] + extents(frame)[2]
    bottom = max(extents(frame)[1] + extents(frame)[3], extents(p.frame)[1] + extents(p.frame)[3])
    subprocess.run(["convert", shot, "-crop", "%dx%d+0+0" % (right, bottom), "+repage", shot],
                   env=run.desk.env, check=True, timeout=30)
    run.step("screenshot of both windows: %s" % shot)

    # Ctrl+W closes the trend window; Ctrl+T in the main window opens it again.
    x, y, w, h = extents(plot[0])
    p.click_at(x + w // 2, y + h // 2)
    p.keys("ctrl+w")
    wait_for(lambda: p.window(TREND) is None, "the trend window to close")
    p.click("txtStream2")
    p.keys("ctrl+t")
    wait_for(lambda: p.window(TREND), "Ctrl+T to open the trend window again")
    run.step("PASS 11 Ctrl+W closes the trend window and Ctrl+T opens it again")
    run.desk.stop(p.proc)
    rc, report = sim.finish()
    equal(report.get("received_bytes"), "0", "bytes the program wrote to the devices")


def scenario(args, name, steps):
    """Runs one scenario on its own desktop; a failure prints its diagnosis."""
    run = Run(args, name)
    try:
        run.start_desktop()
        steps(run)
        return run.result()
    except Exception:
        traceback.print_exc()
        run.diagnose()
        return 1
    finally:
        run.close()


# ---------------------------------------------------------------------------------------------
# Typing in the port lists picks nothing, choosing with the arrow keys does.

def edit_text(p, combo):
    """The text part of a combo list, as a screen reader reads it."""
    for c in children(p.control(combo)):
        if c is not None and "Text" in c.get_interfaces():
            return text_of(c)
    raise AssertionError("%s has no text part" % combo)


def clear_text(p, combo):
    """Empties the text part of a combo list that has the focus, as an operator would."""
    p.key("End")
    for _ in range(len(edit_text(p, combo))):
        p.key("BackSpace")
    wait_for(lambda: edit_text(p, combo) == "", "%s's text part to be empty" % combo)


def typing(run):
    desk = run.desk
    device = OwnPort(desk, 12, hold=None)
    run.ports.append(device)
    run.ports.append(OwnPort(desk, 3, hold=None))
    p = run.start_panel().wait_for_window()
    p.pick("cboPort", " 12")
    wait_for(lambda: p.status(1) == "COM 12: %s - Open" % SETTINGS, "COM 12 to open")
    os.write(device.master, b"R:0,S1,T,0\r\n")
    wait_for(lambda: p.count() == 1, "the first line")

    log = p.text("txtIncoming")
    p.click("cboPort", dx=8)
    wait_for(lambda: p.focused("cboPort"), "the focus in cboPort")
    clear_text(p, "cboPort")
    p.key("n")
    wait_for(lambda: edit_text(p, "cboPort") == "n", "the typed text in cboPort")
    p.key("Tab")
    wait_for(lambda: not p.focused("cboPort"), "Tab to move the focus on")
    equal(edit_text(p, "cboPort"), "n", "cboPort's text after Tab")
    equal(p.status(1), "COM 12: %s - Open" % SETTINGS, "panel 1 after typing n and Tab")
    equal(p.count(), 1, "panel 3 after typing n and Tab")
    equal(p.text("txtIncoming"), log, "the log after typing n and Tab")
    entries = p.items("cboStepperPort")
    p.click("cboStepperPort", dx=8)
    wait_for(lambda: p.focused("cboStepperPort"), "the focus in cboStepperPort")
    clear_text(p, "cboStepperPort")
    p.key("3")
    wait_for(lambda: edit_text(p, "cboStepperPort") == "3",
             "the typed text in cboStepperPort")
    p.key("Return")
    p.key("Tab")  # keys are taken in order: once the focus moved on, Enter was handled
    wait_for(lambda: not p.focused("cboStepperPort"), "Tab to move the focus on")
    check("COM3 set" not in p.text("txtIncoming"), "typing 3 and Enter opened COM3")
    equal(p.items("cboStepperPort"), entries, "cboStepperPort's entries after typing")
    run.step("PASS typing into the port lists picked nothing")
    p.click("cboStepperPort", dx=14)  # not where the pointer is: xdotool waits for a move
    wait_for(lambda: p.focused("cboStepperPort"), "the focus in cboStepperPort")
    # The text part is emptied first, so that the entry the arrow key picks shows in it; each
    # step waits for what the program shows, however slowly a loaded machine gets there.
    clear_text(p, "cboStepperPort")
    p.key("Down")
    wait_for(lambda: edit_text(p, "cboStepperPort") == "3", "the arrow key to show entry 3", 30)
    wait_for(lambda: "COM3 set" in p.text("txtIncoming"), "the arrow key to pick COM3", 30)
    run.step("PASS choosing an entry with the arrow keys picks it")
    run.desk.stop(p.proc)



# ---------------------------------------------------------------------------------------------
# Publishing to a broker: a private mosquitto on 127.0.0.1, subscribers with persistent
# sessions, a broker stopped for 10 s, a black hole, topics escaped, SIGKILL.

def leading_number(text):
    m = re.match(r"^\s*([+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?)", text)
    return float(m.group(1)) if m else None


def retained_status(run, broker, topic):
    out = subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-t", topic,
                          "-C", "1", "-W", "10", "-F", "%r %p"], env=run.desk.env,
                         capture_output=True, timeout=20)
    return out.stdout.decode().strip()


def check_readings(run, readings, lines, station):
    """The readings, by seq, against the log's lines; each seq at least once, first arrivals
    in order; returns how many arrived more than once."""
    seqs = [r["seq"] for _, r in readings]
    first = []
    seen = set()
    for s in seqs:
        if s not in seen:
            seen.add(s)
            first.append(s)
    equal(first, list(range(1, len(lines) + 1)), "the readings' seq in order of arrival")
    for topic, r in readings:
        fields = lines[r["seq"] - 1].split(":", 1)[1].split(",")
        n = int(fields[3])
        equal(topic, "narwickpanel/%s/reading/%s" % (station, fields[0 + 1]), "the topic")
        equal((r["count"], r["sensor"], r["type"], r["typeNumber"]),
              (r["seq"], fields[1], fields[2], n), "reading %d" % r["seq"])
        want = [{"text": fields[4 + 2 * k], "unit": fields[5 + 2 * k],
                 "value": leading_number(fields[4 + 2 * k])} for k in range(n)]
        equal(r["channels"], want, "the channels of reading %d" % r["seq"])
        check(r["pressure"] is None or abs(r["pressure"] - 14.7) < 0.5,
              "reading %d's pressure %r" % (r["seq"], r["pressure"]))
    return len(seqs) - len(first)


def mqtt(run):
    broker = Broker(run.desk)
    broker.start()
    persistent_session(run.desk, broker, "e2e-watch")
    sub = Subscriber(run.desk, broker, "e2e-watch")
    sim = run.start_sim("--sensors", "2", "--channels", "3", "--rate", "20", "--random", "3")
    url = "mqtt://127.0.0.1:%d" % broker.port
    p = run.start_panel("mqtt", CLI_PICKS + ["--mqtt", url, "--mqtt-station", "e2e"])
    p.wait_for_window()
    wait_for(lambda: "MQTT: connected to " + url in p.text("txtIncoming"), "the connection")
    wait_for(lambda: p.status(6) == "MQTT: connected", "panel 6 to say connected")
    wait_for(lambda: (p.count() or 0) >= 40, "readings", 20)
    run.step("PASS 12a connected; panel 6 says so")

    sub.stop()
    broker.stop()
    wait_for(lambda: "MQTT: connection to %s lost" % url in p.text("txtIncoming"), "the loss")
    wait_for(lambda: re.match(r"^MQTT: \d+ waiting$", p.status(6)), "panel 6 to count")
    time.sleep(10)  # the broker stays away for 10 s
    broker.start()
    sub = Subscriber(run.desk, broker, "e2e-watch")
    wait_for(lambda: "MQTT: connection to %s is back" % url in p.text("txtIncoming"),
             "the connection to come back", 30)
    sim.command("stop")
    count, _ = wait_delivered(p, sim, 0, 0, "after the outage")
    wait_for(lambda: p.status(6) == "MQTT: connected", lambda: "the queue to drain (panel 6: %r)"
             % p.status(6), 20)
    wait_for(lambda: len({m[2] for m in sub.messages() if "/reading/" in m[1]}) >= count,
             "every reading at the subscriber", 30)
    log = p.text("txtIncoming")
    equal([l for l in log.split("\n") if l.startswith("MQTT:")][1:],
          ["MQTT: connected to " + url,
           "MQTT: connection to %s lost (closed: the broker closed the connection); messages wait and "
           "the connection is tried again" % url,
           "MQTT: connection to %s is back" % url], "the log's MQTT lines %r" % [l for l in log.split("\n") if "MQTT" in l])
    readings = check_messages(sub.messages(), check)
    twice = check_readings(run, readings, [l for l in p.log_lines() if l.startswith("R:")], "e2e")
    check(any(m[1] == "narwickpanel/e2e/pressure" for m in sub.messages()), "no pressure message")
    run.step("PASS 12b %d readings, none lost across a 10 s outage (%d twice), all fit the schema"
             % (count, twice))

    os.kill(p.pid, signal.SIGKILL)
    wait_for(lambda: ("narwickpanel/e2e/status", "offline") in
             [(m[1], m[2]) for m in sub.messages()], "the last will")
    try:
        wait_for(lambda: retained_status(run, broker, "narwickpanel/e2e/status") == "1 offline",
                 "the retained offline")
    except AssertionError:
        print("--- broker log:\n" + broker.log()[-3000:])
        raise
    run.step("PASS 12c a killed program leaves offline as the retained status")
    sim.finish()


def mqtt_faults(run):
    hole = BlackHole()
    sim = run.start_sim("--sensors", "2", "--channels", "2", "--rate", "20", "--random", "4")
    p = run.start_panel("hole", CLI_PICKS + ["--mqtt", "mqtt://127.0.0.1:%d" % hole.port])
    p.wait_for_window()
    wait_for(lambda: (p.count() or 0) >= 60, "readings beside a black-hole broker", 20)
    sim.command("stop")
    count, _ = wait_delivered(p, sim, 0, 0, "beside a black hole")
    equal(sum(len(r) for r in read_records(run.desk.data_folder).values()), count,
          "records beside a black hole")
    check(re.match(r"^MQTT: \d+ waiting$", p.status(6)), "panel 6: %r" % p.status(6))
    run.desk.stop(p.proc)
    equal(p.proc.returncode, 0, "the exit status on SIGTERM beside a black hole")
    hole.close()
    run.step("PASS 13a a black-hole broker: every reading shown and saved; a clean exit")

    broker = Broker(run.desk)
    broker.start()
    persistent_session(run.desk, broker, "e2e-esc")
    broker.stop()
    own = OwnPort(run.desk, 12, hold=None)
    run.ports.append(own)
    url = "mqtt://127.0.0.1:%d" % broker.port
    p = run.start_panel("absent", ["--port", "12", "--mqtt", url, "--mqtt-station", "st/1"])
    p.wait_for_window()
    wait_for(lambda: "MQTT: cannot connect to %s (refused: nothing listens" % url
             in p.text("txtIncoming"), "the refusal")
    equal(p.status(6), "MQTT: connecting…", "panel 6 while the broker is absent")
    ids = ["a/b", "c+d", "e#f", "g%h", "plain"]
    os.write(own.master, "".join("R:0,%s,T,1,1.5,V\r\n" % i for i in ids).encode())
    wait_for(lambda: p.count() == 5, "the readings")
    wait_for(lambda: p.status(6) == "MQTT: 5 waiting", "panel 6 to count 5")
    broker.start()
    wait_for(lambda: "MQTT: connected to " + url in p.text("txtIncoming"), "the connection", 40)
    sub = Subscriber(run.desk, broker, "e2e-esc")
    wait_for(lambda: len(check_messages(sub.messages(), check)) >= 5, "the readings", 20)
    readings = check_messages(sub.messages(), check)
    equal([t for t, _ in readings],
          ["narwickpanel/st%2F1/reading/" + t for t in ["a%2Fb", "c%2Bd", "e%23f", "g%25h", "plain"]],
          "the escaped topics")
    equal([r["sensor"] for _, r in readings], ids, "the sensors in the payloads")
    equal(p.text("txtIncoming").count("MQTT: cannot connect"), 1, "refusals said")
    run.step("PASS 13b absent at start, connected when the broker appears; topics escaped")
    os.kill(p.pid, signal.SIGKILL)
    wait_for(lambda: retained_status(run, broker, "narwickpanel/st%2F1/status") == "1 offline",
             "the retained offline")
    run.step("PASS 13c SIGKILL leaves offline")
    sim.finish()


RUNS = {"mqtt": mqtt, "mqtt_faults": mqtt_faults, "operator": operator, "watchdog": watchdog, "instance": instance, "held": held,
        "typing": typing, "a11y": a11y, "trend": trend, "cli": cli, "gauge": gauge}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--bin", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--deadline", type=int, default=100, help="seconds the run may take")
    # One run per process: the accessibility library keeps its bus connection for life.
    ap.add_argument("--run", choices=sorted(RUNS), required=True)
    args = ap.parse_args()
    # A test runner's SIGTERM still runs the clean-up below, and a run that hangs fails with
    # its diagnosis before the runner's own time-out kills it.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    def deadline(*_):
        raise AssertionError("the run did not finish within %d s" % args.deadline)

    signal.signal(signal.SIGALRM, deadline)
    signal.alarm(args.deadline)
    missing = desktop_mod.missing_tools()
    if IMPORT_ERROR:
        missing.append(str(IMPORT_ERROR))
    elif args.run.startswith("mqtt"):
        missing += broker_missing()
    if missing:
        print("SKIP: missing %s (scripts/install-deps.sh --test installs them)" % ", ".join(missing))
        return SKIP
    return scenario(args, args.run, RUNS[args.run])


if __name__ == "__main__":
    sys.exit(main())
