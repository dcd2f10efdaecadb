#!/usr/bin/python3
"""End-to-end tests of `narwickpanel --headless`, with no display server at all.

Each run has its own HOME, runtime and COM folders and the simulator (or its own
pseudo-terminals) as devices. Nothing of Qt's Gui may start: QT_QPA_PLATFORM names no plugin
that exists, so a QGuiApplication would end the program at once. The service manager is the
test's own datagram socket, given as NOTIFY_SOCKET.

  headless.py --bin narwickpanel --sim narwickpanel-sim --source SOURCE_DIR --run RUN

Exit status: 0 passed, 1 failed.
"""
import argparse
import os
import re
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing is written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
from checks import check, equal, wait_for  # noqa: E402
from sim import Sim  # noqa: E402

STAMP = re.compile(r"^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(?:Z|[+-]\d\d:\d\d)) (.*)$")
READING_LINE = re.compile(r"^R:0,S1\d\d,[A-Z]+\d,2(,-?\d+\.\d+,[^,]+){2},0$")
OPEN_7 = "COM 7: 9600,n,8,1 - Open"
REFUSAL = "Brindlecast's NarwickPanel is already running. Cannot load program again"


class World:
    """A private HOME, runtime, COM and lock folder; processes started in their own groups."""

    def __init__(self, args, name):
        self.args = args
        self.root = tempfile.mkdtemp(prefix="narwickpanel-headless-%s-" % name)
        self.home = self._dir("home")
        self.runtime = self._dir("runtime")
        os.chmod(self.runtime, 0o700)
        self.com_dir = self._dir("com")
        self.lock_dir = self._dir("lock")
        self.data_folder = os.path.join(self.home, "Documents", "Brindlecast", "NarwickPanel")
        self.procs = []
        self.env = {k: v for k, v in os.environ.items()
                    if k in ("PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")}
        self.env.update(HOME=self.home, XDG_RUNTIME_DIR=self.runtime,
                        XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                        NARWICKPANEL_COM_DIR=self.com_dir, NARWICKPANEL_LOCK_DIRS=self.lock_dir,
                        LC_ALL="C.UTF-8", TZ="UTC", QT_QPA_PLATFORM="no-such-platform")
        self.env.setdefault("PATH", "/usr/bin:/bin")

    def _dir(self, name):
        path = os.path.join(self.root, name)
        os.makedirs(path, exist_ok=True)
        return path

    def spawn(self, name, argv, env=None, **kw):
        p = subprocess.Popen(argv, env=env or self.env, start_new_session=True, **kw)
        self.procs.append(p)
        return p

    def stop(self, proc, timeout=5):
        """Stops a process and its group: SIGTERM, then SIGKILL."""
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGTERM)
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()

    def start_sim(self, *args):
        return Sim(self, self.args.sim, *args)

    def start(self, args, env=None, name="narwickpanel", argv0=None):
        return Program(self, [argv0 or self.args.bin, *args], env, name)

    def stream_of(self, name):
        """JOURNAL_STREAM for the standard error of the program started as `name` next."""
        path = os.path.join(self.root, name + ".err")
        open(path, "wb").close()
        st = os.stat(path)
        return "%d:%d" % (st.st_dev, st.st_ino)

    def records(self, folder=None):
        """{sensor: [record fields]} of every readings file."""
        folder = folder or self.data_folder
        out = {}
        for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
            out[name[:-4]] = [l.decode("cp1252").split(",") for l in data.split(b"\r\n") if l]
        return out

    def close(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                p.wait()
        shutil.rmtree(self.root, ignore_errors=True)


class Program:
    """One headless copy: its standard output and error go to files of the world's."""

    def __init__(self, world, argv, env, name):
        self.world = world
        self.err_path = os.path.join(world.root, name + ".err")
        self.out_path = os.path.join(world.root, name + ".out")
        self._err = open(self.err_path, "wb")
        self._out = open(self.out_path, "wb")
        self.env = env or world.env
        self.proc = world.spawn(name, argv, env=self.env, stdin=subprocess.DEVNULL,
                                stdout=self._out, stderr=self._err)

    def _lines(self, path):
        with open(path, "rb") as f:
            return f.read().decode(errors="replace").splitlines()

    def err_lines(self):
        return self._lines(self.err_path)

    def out_lines(self):
        return self._lines(self.out_path)

    def messages(self):
        """The texts of standard error's lines, each checked for its stamp."""
        texts = []
        for line in self.err_lines():
            m = STAMP.match(line)
            check(m, "a message without an ISO 8601 stamp: %r" % line)
            texts.append(m.group(2))
        return texts

    def said(self, text):
        return any(text in m for m in self.messages())

    def wait(self, timeout=20):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("narwickpanel did not end within %d s" % timeout)

    def terminate(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        return self.wait()

    def check_clean(self):
        text = "\n".join(self.err_lines())
        check("Sanitizer" not in text and "runtime error:" not in text,
              "narwickpanel reported:\n%s" % text[-4000:])


class Notify:
    """The service manager's socket: every datagram with the kernel's time of its arrival."""

    def __init__(self, world):
        self.path = os.path.join(world.root, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.setsockopt(socket.SOL_SOCKET, 35, 1)  # SO_TIMESTAMPNS
        self.sock.settimeout(0.2)
        self.received = []  # (seconds, {name: value})
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                data, anc, _, _ = self.sock.recvmsg(4096, 1024)
            except socket.timeout:
                continue
            when = time.time()
            for level, kind, value in anc:
                if level == socket.SOL_SOCKET and kind == 35:
                    sec, nsec = struct.unpack("qq", value[:16])
                    when = sec + nsec / 1e9
            fields = dict(l.split("=", 1) for l in data.decode().split("\n") if "=" in l)
            with self.lock:
                self.received.append((when, fields))

    def all(self, name=None):
        with self.lock:
            return [(t, f) for t, f in self.received if name is None or name in f]

    def times(self, name, value=None):
        return [t for t, f in self.all(name) if value is None or f[name] == value]

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()


def gaps(times):
    return [b - a for a, b in zip(times, times[1:])]


# ---------------------------------------------------------------------------------------------

def logging_run(w):
    """Both links and "Save all readings" with no display: the records, the stamped messages,
    the echo, and SIGTERM with every record read in its file."""
    sim = w.start_sim("--sensors", "2", "--channels", "2", "--rate", "20", "--random", "5")
    os.makedirs(w.data_folder)
    p = w.start(["--headless", "--port", "7", "--secondary", "8", "--save", "all", "--echo"])
    wait_for(lambda: p.said("Picked from the command line"), "the picks to be said")
    equal(p.messages()[:8], [
        "Scanning available COM hardware...", "COM scan complete", "Secondary COM scan complete",
        "2 port(s) found", OPEN_7, "COM8 set", "Status 0",
        "Picked from the command line: gauge COM8, instrument COM 7, Save all readings"],
        "the start-up messages")

    def with_pressure():
        recs = [r for rs in w.records().values() for r in rs]
        return len([r for r in recs if r[-2].strip()]) >= 20
    wait_for(with_pressure, "records carrying the pressure", 20)
    # Stopped while the instrument still sends: every line the program took is in its file.
    equal(p.terminate(), 0, "the exit status after SIGTERM")
    echoed = p.out_lines()
    lines = []
    for l in echoed:
        m = STAMP.match(l)
        check(m and READING_LINE.match(m.group(2)), "an echoed reading line: %r" % l)
        lines.append(m.group(2))
    records = w.records()
    for sensor in ("S100", "S101"):
        want = [l.split(",")[1:-1] for l in lines if l.split(",")[1] == sensor]
        equal([r[1:-2] for r in records.get(sensor, [])], want, "the records of " + sensor)
    for r in (r for rs in records.values() for r in rs):
        check(r[-1] == "psi" and (r[-2] == "" or abs(float(r[-2]) - 14.7) < 0.5),
              "a record's pressure: %r" % ",".join(r))
    check(p.messages()[-1].startswith("Stopped"), "the last message: %r" % p.messages()[-1])
    check(not os.listdir(w.lock_dir), "port lock files left: %r" % os.listdir(w.lock_dir))
    check(not os.path.exists(os.path.join(w.runtime, "narwickpanel.lock")),
          "the single-instance lock was left")
    p.check_clean()
    sent, _ = sim.sent()
    check(sent >= len(lines), "the program read %d lines of %d sent" % (len(lines), sent))
    _, report = sim.finish()
    equal(report.get("received_bytes"), "0", "bytes the program wrote to the devices")
    print("PASS %d records saved, every message stamped, SIGTERM ends with 0" % len(lines))


def refusals_run(w):
    """Bad combinations (2), a missing data folder (1), a second copy (1), a late port."""
    lock = os.path.join(w.runtime, "narwickpanel.lock")
    for args, message in [
            (["--headless", "--save", "all"], "--headless needs --port"),
            (["--headless", "--port", "7"], "--headless needs --save all or --mqtt, or nothing would be kept"),
            (["--headless", "--port", "7", "--save", "current"],
             "--save current needs someone at the window, not --headless"),
            (["--echo", "--port", "7"], "--echo needs --headless")]:
        p = w.start(args)
        equal(p.wait(), 2, "the exit status of %r" % args)
        equal(p.err_lines(), ["narwickpanel: " + message, "Try 'narwickpanel --help'."],
              "the message for %r" % args)
        check(not os.path.exists(lock), "%r took the single-instance lock" % args)

    p = w.start(["--headless", "--port", "12", "--save", "all"])
    equal(p.wait(), 1, "the exit status without a data folder")
    equal(p.messages(), ["Readings cannot be saved: the data folder %s does not exist"
                         % w.data_folder], "the message without a data folder")
    print("PASS bad options end with 2, a missing data folder with 1")

    os.makedirs(w.data_folder)
    first = w.start(["--headless", "--port", "12", "--save", "all"], name="first")
    wait_for(lambda: first.said("COM 12 is not there yet"), "the wait for COM 12 to be said")
    second = w.start(["--headless", "--port", "7", "--save", "all"], name="second")
    equal(second.wait(), 1, "the exit status of a second copy")
    equal(second.messages(), [REFUSAL], "the second copy's message")
    # Standard error as the journal's stream: the journal stamps lines itself.
    journal = w.start(["--headless", "--port", "7", "--save", "all"], name="journal",
                      env=dict(w.env, JOURNAL_STREAM=w.stream_of("journal")))
    equal(journal.wait(), 1, "the exit status of a second copy writing to the journal")
    equal(journal.err_lines(), [REFUSAL], "a message to the journal")
    print("PASS a second copy is refused with 1; no stamps for the journal")

    m, s = os.openpty()
    os.symlink(os.ttyname(s), os.path.join(w.com_dir, "com12"))
    os.close(s)  # nobody holds the adapter's device
    try:
        wait_for(lambda: first.said("COM 12 is there now: picked from the command line"),
                 "COM 12 to be picked once it is there")
        wait_for(lambda: first.said("COM 12: 9600,n,8,1 - Open"), "COM 12 to open")
        os.write(m, b"R:0,S1,TC4,1,21.5,C\r\nR:0,S1,TC4,1,21.6,C\r\n")
        wait_for(lambda: len(w.records().get("S1", [])) == 2, "the late port's records")
        equal(first.terminate(signal.SIGINT), 0, "the exit status after SIGINT")
    finally:
        os.close(m)
    first.check_clean()
    print("PASS a port that appears after the start is opened and its readings saved")


def notify_run(w):
    """The service manager's protocol: READY after the port opened, the watchdog's pace, the
    status line following the count at most once a second, a stalled loop missing pings."""
    usec = 2_000_000
    stall_after, stall_for = 4000, 3000
    sim = w.start_sim("--sensors", "2", "--channels", "2", "--rate", "20", "--random", "7")
    os.makedirs(w.data_folder)
    n = Notify(w)
    try:
        env = dict(w.env, NOTIFY_SOCKET=n.path, WATCHDOG_USEC=str(usec),
                   NARWICKPANEL_TEST_STALL="%d,%d" % (stall_after, stall_for))
        p = w.start(["--headless", "--port", "7", "--secondary", "8", "--save", "all"], env=env)
        wait_for(lambda: n.times("READY"), "READY=1")
        check(p.said(OPEN_7), "READY=1 came before the port opened: %r" % p.messages())
        equal(len(n.times("READY")), 1, "READY=1 messages")
        # Pings go on after the stall.
        wait_for(lambda: len([t for t in n.times("WATCHDOG") if t > n.times("READY")[0] +
                              (stall_after + stall_for) / 1000]) >= 3, "pings after the stall", 25)
        sim.command("stop")
        sent, _ = sim.sent()
        status = re.compile(r"^COM 7 open, (\d+) readings?, gauge COM 8$")

        def last_count():
            s = n.all("STATUS")
            m = status.match(s[-1][1]["STATUS"]) if s else None
            return m and int(m.group(1)) == sent
        try:
            wait_for(last_count, "STATUS to reach the %d lines sent" % sent)
        except AssertionError:
            raise AssertionError("the last status lines: %r" % n.all("STATUS")[-3:])
        equal(p.terminate(), 0, "the exit status after SIGTERM")
        stopping = n.times("STOPPING")
        check(len(stopping) == 1, "STOPPING=1 messages: %d" % len(stopping))

        pings = n.times("WATCHDOG", "1")
        d = gaps(pings)
        long = [g for g in d if g >= stall_for / 1000]
        equal(len(long), 1, "gaps of the stall's length between pings (%r)" % d)
        rest = [g for g in d if g < stall_for / 1000]
        check(rest and max(rest) < usec / 1e6,
              "a ping came later than WATCHDOG_USEC after the one before: %r" % d)
        check(min(d) >= usec / 4e6, "pings faster than at half WATCHDOG_USEC: %r" % d)
        check(all(t < stopping[0] for t in pings), "a ping after STOPPING=1")

        statuses = n.all("STATUS")
        counts = []
        for _, f in statuses:
            m = status.match(f["STATUS"])
            check(m, "a status line: %r" % f["STATUS"])
            counts.append(int(m.group(1)))
        check(counts == sorted(counts) and len(set(counts)) == len(counts) and len(counts) >= 4,
              "the counts in the status lines: %r" % counts)
        d = gaps([t for t, _ in statuses])
        check(min(d) >= 0.99, "status lines less than a second apart: %r" % d)
        p.check_clean()
        print("PASS READY=1, %d pings at their pace with one stall, %d status lines, "
              "STOPPING=1" % (len(pings), len(counts)))
    finally:
        n.close()
        sim.finish()


def unit_values(path):
    """The [Service] section's assignments as (key, value), in order."""
    out, section = [], None
    for line in open(path):
        line = line.strip()
        if not line or line[0] in "#;":
            continue
        if line.startswith("["):
            section = line
            continue
        key, _, value = line.partition("=")
        if section == "[Service]":
            out.append((key.strip(), value.strip()))
    return out


def unit_run(w):
    """The program started as the unit starts it: its ExecStart line, its Environment= values
    and the options file it names, all read from the files the package installs."""
    source = w.args.source
    unit = os.path.join(source, "data", "narwickpanel.service")
    values = unit_values(unit)
    get = lambda k: [v for key, v in values if key == k]  # noqa: E731
    equal(get("Type"), ["notify"], "Type=")
    equal(get("EnvironmentFile"), ["-/etc/default/narwickpanel"], "EnvironmentFile=")
    # /var/lib and the runtime folder %t lie under the test's root.
    state = lambda v: v.replace("/var/lib/", w.root + "/var/lib/").replace(  # noqa: E731
        "%t", w.root + "/run")
    for folders in get("StateDirectory"):
        for f in folders.split():
            os.makedirs(os.path.join(w.root, "var", "lib", f), exist_ok=True)
    for f in " ".join(get("RuntimeDirectory")).split():
        os.makedirs(os.path.join(w.root, "run", f), mode=0o755)
    env = dict(w.env)
    for key in ("HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"):
        env.pop(key)
    for assignment in get("Environment"):
        for word in shlex.split(assignment):
            k, _, v = word.partition("=")
            env[k] = state(v)
    # The options file as the package installs it.
    defaults = {}
    for word in shlex.split(open(os.path.join(source, "data", "narwickpanel.default")).read(),
                            comments=True):
        k, _, v = word.partition("=")
        defaults[k] = v
    argv = []
    for word in shlex.split(get("ExecStart")[0]):
        if word.startswith("$"):
            argv += defaults[word[1:]].split()  # an unbraced $NAME splits into words
        else:
            argv.append(word)
    equal(argv[0], "/usr/bin/narwickpanel", "the program the unit starts")

    if shutil.which("systemd-analyze"):
        checked = os.path.join(w.root, "narwickpanel.service")
        with open(unit) as f, open(checked, "w") as g:
            g.write(f.read().replace("/usr/bin/narwickpanel", os.path.abspath(w.args.bin)))
        out = subprocess.run(["systemd-analyze", "verify", checked], capture_output=True,
                             text=True, timeout=60)
        equal((out.returncode, out.stdout + out.stderr), (0, ""), "systemd-analyze verify")
        print("PASS systemd-analyze verify accepts the unit")

    sim = w.start_sim("--sensors", "2", "--channels", "2", "--rate", "20", "--random", "9")
    n = Notify(w)
    try:
        env.update(NOTIFY_SOCKET=n.path,
                   WATCHDOG_USEC=str(int(get("WatchdogSec")[0]) * 1_000_000))
        # As under the service manager: standard error is the journal's stream.
        env["JOURNAL_STREAM"] = w.stream_of("service")
        p = w.start(argv[1:], env=env, name="service")
        wait_for(lambda: n.times("READY"), "READY=1", 20)
        data = os.path.join(w.root, "var/lib/narwickpanel/Brindlecast/NarwickPanel")
        wait_for(lambda: sum(len(r) for r in w.records(data).values()) >= 10,
                 "records in /var/lib/narwickpanel/Brindlecast/NarwickPanel")
        equal(p.terminate(), 0, "the exit status after SIGTERM")
        lines = p.err_lines()
        check(OPEN_7 in lines and not any(STAMP.match(l) for l in lines),
              "the journal's lines (unstamped, COM 7 opened): %r" % lines)
        check(n.times("STOPPING"), "no STOPPING=1")
        p.check_clean()
        print("PASS the unit's ExecStart and Environment= start a logging service")
    finally:
        n.close()
        sim.finish()


def publish_run(w):
    """--mqtt alone keeps the readings of a headless run: every reading reaches a subscriber,
    in order and fitting the schema, the broker's state is said and is in STATUS=, no record
    file is written, and SIGTERM leaves "offline" as the retained status."""
    import broker as mqtt
    if mqtt.missing():
        print("SKIP: missing %s" % ", ".join(mqtt.missing()))
        sys.exit(77)
    b = mqtt.Broker(w)
    b.start()
    sub = mqtt.Subscriber(w, b)
    sim = w.start_sim("--sensors", "2", "--channels", "2", "--rate", "20", "--random", "3")
    n = Notify(w)
    try:
        p = w.start(["--headless", "--port", "7", "--secondary", "8", "--mqtt",
                     "mqtt://127.0.0.1:%d" % b.port, "--mqtt-station", "bench 1/a", "--echo"],
                    env=dict(w.env, NOTIFY_SOCKET=n.path))
        wait_for(lambda: p.said("MQTT: connected to mqtt://127.0.0.1:%d" % b.port),
                 "the broker's connection to be said")
        readings = lambda: [m for m in sub.messages() if "/reading/" in m[1]]
        wait_for(lambda: len(readings()) >= 30, "30 readings at the subscriber", 20)
        wait_for(lambda: any("MQTT connected" in f["STATUS"] for _, f in n.all("STATUS")),
                 "the broker's state in STATUS=")
        equal(p.terminate(), 0, "the exit status after SIGTERM")
        echoed = [STAMP.match(l).group(2) for l in p.out_lines()]
        got = mqtt.check_messages(sub.messages(), check)
        equal(len(got), len(echoed), "readings published against lines read")
        check(all(t.startswith("narwickpanel/bench 1%2Fa/reading/S10") for t, _ in got),
              "the topics: %r" % sorted({t for t, _ in got}))
        equal([d["seq"] for _, d in got], list(range(1, len(got) + 1)), "the readings' order")
        equal([d["channels"][0]["text"] for _, d in got],
              [l.split(",")[4] for l in echoed], "the readings' first channels")
        check(not os.path.exists(w.data_folder), "a headless run without --save wrote records")
        wait_for(lambda: [m[2] for m in sub.messages() if m[1].endswith("/status")][-1:] ==
                 ["offline"], "the retained status to read offline")
        p.check_clean()
        print("PASS %d readings published from a headless run, in order, then offline" % len(got))
    finally:
        n.close()
        sub.stop()
        b.stop()
        sim.finish()


RUNS = {"logging": logging_run, "refusals": refusals_run, "notify": notify_run,
        "unit": unit_run, "publish": publish_run}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--bin", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--run", choices=sorted(RUNS), required=True)
    args = ap.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    w = World(args, args.run)
    try:
        RUNS[args.run](w)
        return 0
    except Exception:
        traceback.print_exc()
        for p in [q for q in os.listdir(w.root) if q.endswith((".err", ".out"))]:
            with open(os.path.join(w.root, p), errors="replace") as f:
                print("--- %s:\n%s" % (p, f.read()[-3000:]))
        return 1
    finally:
        w.close()


if __name__ == "__main__":
    sys.exit(main())
