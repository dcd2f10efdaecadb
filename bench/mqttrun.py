#!/usr/bin/env python3
"""Publishing's cost on the real narwickpanel binary under Xvfb, fed by narwickpanel-sim, with a
private mosquitto on 127.0.0.1 (a free port, its own configuration; never the system service).

  mqttrun.py nominal [--seconds S] [--rounds R] [--before BIN]
        10 + 8 lines/s, Save all, in turns within one run: without --mqtt, with --mqtt to a
        local broker (a subscriber counts the readings), and with --mqtt to a black hole (a
        listener that accepts and never answers). CPU % of the program (user + system).
        With --before, the binary BIN (say, a build from before a change) with --mqtt to a local
        broker takes the black hole's turn.
  mqttrun.py flood [--rate R] [--lines N]
        R readings/s (default 20,000) with --mqtt to a local broker: lines saved, messages
        counted at a subscriber, CPU seconds of the program and of the broker.

The program's CPU is the scheduler's run time of its threads in nanoseconds
(/proc/PID/task/*/schedstat), not the 10 ms ticks of /proc/PID/stat, so that a few tenths of a
point can be told apart; the publisher's thread (np-publish) is also given alone.

The ports and the save mode come from the command line (--port 7 --secondary 2 --save all).
NP_BUILD names the build (default /work/build-bench), as for realrun.py.
"""
import argparse
import os
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import realrun as rr  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    def __init__(self, world):
        self.port = free_port()
        d = os.path.join(world.root, "broker-%d" % self.port)
        os.makedirs(d)
        conf = os.path.join(d, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n%s"
                    % (self.port, "user root\n" if os.geteuid() == 0 else ""))
        self.log = os.path.join(d, "log")
        self.proc = subprocess.Popen(["mosquitto", "-c", conf], stdout=open(self.log, "wb"),
                                     stderr=subprocess.STDOUT)
        for _ in range(200):
            if " running" in open(self.log, errors="replace").read():
                break
            time.sleep(0.02)
        self.out = os.path.join(d, "sub.out")
        self.sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port),
                                     "-q", "1", "-t", "narwickpanel/+/reading/#", "-F", "r"],
                                    stdout=open(self.out, "wb"))
        time.sleep(0.5)

    def received(self):
        with open(self.out, "rb") as f:
            return f.read().count(b"\n")

    def stop(self):
        rr.stop(self.sub)
        rr.stop(self.proc)


class BlackHole:
    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.conns = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                self.conns.append(self.sock.accept()[0])
            except OSError:
                return

    def stop(self):
        self.sock.close()


def thread_cpu(pid, name=None):
    """CPU seconds, to the nanosecond (the scheduler's run time in /proc/PID/task/*/schedstat,
    not its 10 ms ticks), of the program's thread called `name`, or of all its threads."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            if name is not None:
                with open(f"/proc/{pid}/task/{tid}/comm") as f:
                    if f.read().strip() != name:
                        continue
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def start_app(world, display, args, app=None):
    env = dict(world.env, DISPLAY=display)
    proc = subprocess.Popen([app or rr.APP, "--port", "7", "--secondary", "2", "--save", "all", *args],
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    rr.wait_window(display, "^NarwickPanel$", pid=proc.pid)
    return proc


def run_nominal(a):
    x = rr.Xvfb(":94")
    world = rr.World()
    sim = None
    figures = {"without --mqtt": [], "--mqtt, local broker": [], "--mqtt, black hole": []}
    if a.before:
        # Another build of the program (one from before a change) takes the black hole's turn.
        figures = {"without --mqtt": [], "--mqtt, local broker, before": [],
                   "--mqtt, local broker": []}
    try:
        sim, _ = rr.start_sim(world, "--instrument-com", "7", "--gauge-com", "2", "--rate", "10",
                              "--gauge-rate", "8")
        for r in range(a.rounds):
            for mode in figures:
                broker = hole = None
                args = []
                if mode.startswith("--mqtt, local broker"):
                    broker = Broker(world)
                    args = ["--mqtt", "mqtt://127.0.0.1:%d" % broker.port, "--mqtt-station", "b"]
                elif mode == "--mqtt, black hole":
                    hole = BlackHole()
                    args = ["--mqtt", "mqtt://127.0.0.1:%d" % hole.port]
                app = start_app(world, x.display, args,
                                a.before if mode.endswith("before") else None)
                time.sleep(a.warmup)
                c0, t0 = thread_cpu(app.pid), time.monotonic()
                p0 = thread_cpu(app.pid, "np-publish")
                n0 = broker.received() if broker else 0
                b0 = rr.cpu_seconds(broker.proc.pid) if broker else 0
                time.sleep(a.seconds)
                c1, t1 = thread_cpu(app.pid), time.monotonic()
                p1 = thread_cpu(app.pid, "np-publish")
                pct = 100 * (c1 - c0) / (t1 - t0)
                extra = "; publisher thread %.3f s = %.3f %%" % (p1 - p0, 100 * (p1 - p0) / (t1 - t0)) if args else ""
                if broker:
                    got = broker.received() - n0
                    extra += "; %d readings at the subscriber (%.1f/s); broker CPU %.2f s" % (
                        got, got / (t1 - t0), rr.cpu_seconds(broker.proc.pid) - b0)
                figures[mode].append(pct)
                print(f"round {r + 1}, {mode}: CPU {c1 - c0:.3f} s in {t1 - t0:.0f} s = "
                      f"{pct:.3f} % of a core{extra}", flush=True)
                t_stop = time.monotonic()
                rr.stop(app)
                if hole:
                    print(f"  ended {time.monotonic() - t_stop:.2f} s after SIGTERM", flush=True)
                    hole.stop()
                if broker:
                    broker.stop()
        for mode, v in figures.items():
            print(f"{mode}: mean {sum(v) / len(v):.3f} % of a core over {len(v)} rounds "
                  f"({', '.join('%.3f' % p for p in v)})")
    finally:
        rr.stop(sim)
        x.stop()
        world.cleanup()


def run_flood(a):
    x = rr.Xvfb(":95")
    world = rr.World()
    sim = app = broker = None
    try:
        broker = Broker(world)
        sim, report = rr.start_sim(world, "--instrument-com", "7", "--no-gauge", "--rate",
                                   str(a.rate), "--count", str(a.lines), "--linger", "5")
        sim.stdin.write("stop\n")
        sim.stdin.flush()
        app = start_app(world, x.display, ["--mqtt", "mqtt://127.0.0.1:%d" % broker.port,
                                           "--mqtt-station", "flood"])
        time.sleep(1)
        c0, t0 = thread_cpu(app.pid), time.monotonic()
        b0 = rr.cpu_seconds(broker.proc.pid)
        sim.stdin.write("start\n")
        sim.stdin.flush()
        sim.wait(a.lines / a.rate + 60)
        t_sent = time.monotonic()
        sent = int(rr.sim_report(report).get("instrument.lines", 0))
        last, same = -1, 0
        while same < 40 and broker.received() < sent:
            n = broker.received()
            same = same + 1 if n == last else 0
            last = n
            time.sleep(0.05)
        c1, t1 = thread_cpu(app.pid), time.monotonic()
        got = broker.received()
        print(f"flood at {a.rate}/s: sim sent {sent} readings in {t_sent - t0:.1f} s "
              f"({sent / (t_sent - t0):.0f}/s); saved {world.file_lines()}; subscriber counted "
              f"{got} ({sent - got} missing), the last {t1 - t_sent:.1f} s after the sim ended")
        print(f"  program CPU {c1 - c0:.2f} s = {(c1 - c0) * 1e6 / max(sent, 1):.1f} s per million "
              f"readings; broker CPU {rr.cpu_seconds(broker.proc.pid) - b0:.2f} s")
    finally:
        rr.stop(app)
        rr.stop(sim)
        if broker:
            broker.stop()
        x.stop()
        world.cleanup()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("mode", choices=["nominal", "flood"])
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--warmup", type=float, default=5)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--rate", type=int, default=20000)
    ap.add_argument("--lines", type=int, default=200000)
    ap.add_argument("--before", metavar="BIN",
                    help="nominal: a second program binary, in turns with NP_BUILD's")
    a = ap.parse_args()
    {"nominal": run_nominal, "flood": run_flood}[a.mode](a)


if __name__ == "__main__":
    main()
