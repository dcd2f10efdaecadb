"""The device simulator as the tests use it: started, commanded through its standard input,
asked for its delivery report, and ended."""
import os
import re
import subprocess

from checks import wait_for

_END = re.compile(r"received \d+ bytes from the program[^\n]*\n\Z")
_SENT = re.compile(r"instrument COM\d+: (\d+) reading lines sent(?: \(([^)]*)\))?")


class Sim:
    def __init__(self, desktop, binary, *args):
        self.desktop = desktop
        self.out_path = os.path.join(desktop.root, "sim.out")
        self.report_path = os.path.join(desktop.root, "sim.report")
        self._out = open(self.out_path, "wb")
        argv = [binary, "--com-dir", desktop.com_dir, "--report", self.report_path, "--strict",
                *args]
        self.proc = desktop.spawn("narwickpanel-sim", argv, stdin=subprocess.PIPE,
                                  stdout=self._out, stderr=subprocess.STDOUT)
        wait_for(lambda: "links in" in self.output(), "the simulator to publish its ports")

    def output(self):
        self._out.flush()
        with open(self.out_path, "rb") as f:
            return f.read().decode(errors="replace")

    def command(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def sent(self):
        """Reading lines sent so far: (total, {sensor: count})."""
        before = self.output().count("narwickpanel-sim report")
        self.command("status")
        wait_for(lambda: self.output().count("narwickpanel-sim report") > before
                 and _END.search(self.output()), "the simulator's report")
        m = _SENT.findall(self.output())[-1]
        per = {}
        if m[1]:
            for part in m[1].split(", "):
                sensor, n = part.split(" ")
                per[sensor] = int(n)
        return int(m[0]), per

    def finish(self, timeout=10):
        """Ends the simulator and returns its final report as a dict."""
        self.command("quit")
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("the simulator did not end on 'quit'")
        report = {}
        with open(self.report_path) as f:
            for line in f:
                key, _, value = line.strip().partition(" ")
                report[key] = value
        return self.proc.returncode, report
