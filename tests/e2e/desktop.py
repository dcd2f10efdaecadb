"""A private desktop for driving NarwickPanel: Xvfb, a D-Bus session and the accessibility bus.

Every process is started in its own process group, tracked by PID and stopped at the end;
every folder lives under one temporary root that is removed at the end.
"""
import atexit
import ctypes
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

REQUIRED_TOOLS = ["Xvfb", "xdotool", "dbus-daemon", "import"]
AT_SPI_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"


PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36


def become_subreaper():
    """Orphans of our processes (the buses' own children) come back to us to be reaped,
    instead of lingering under init."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def _die_with_parent():
    """Runs in each child before exec: if the test driver is killed, the child goes too."""
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def own_children():
    """PIDs whose parent is this process: what we started, and orphans handed back to us."""
    me = os.getpid()
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == me:
                pids.append(int(entry))
    return pids


def reap_orphans(timeout=5):
    """Ends and waits for every remaining child; returns how many there were."""
    for pid in own_children():
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    reaped = 0
    deadline = time.monotonic() + timeout
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return reaped
        if pid:
            reaped += 1
        elif time.monotonic() > deadline:
            return reaped
        else:
            time.sleep(0.05)


def missing_tools():
    """The tools this desktop needs that are not installed."""
    missing = [t for t in REQUIRED_TOOLS if shutil.which(t) is None]
    if not os.access(AT_SPI_LAUNCHER, os.X_OK):
        missing.append(AT_SPI_LAUNCHER)
    try:
        import gi

        gi.require_version("Atspi", "2.0")  # loads the typelib only; no bus is touched
    except (ImportError, ValueError) as e:
        missing.append("the AT-SPI GObject bindings (%s)" % e)
    return missing


def _read_line(fd, timeout, what):
    """Reads one line from a pipe, or fails after timeout seconds."""
    data = b""
    deadline = time.monotonic() + timeout
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise RuntimeError("%s did not answer in %d s" % (what, timeout))
        chunk = os.read(fd, 256)
        if not chunk:
            raise RuntimeError("%s ended before answering" % what)
        data += chunk
    return data.decode().strip()


class Desktop:
    """Xvfb + D-Bus session + AT-SPI bus, plus a private HOME, runtime dir and COM dir."""

    def __init__(self, name="e2e"):
        become_subreaper()
        self.root = tempfile.mkdtemp(prefix="narwickpanel-%s-" % name)
        self.procs = []  # (name, Popen), stopped in reverse order
        self.home = self._dir("home")
        self.runtime = self._dir("runtime")
        os.chmod(self.runtime, 0o700)
        self.com_dir = self._dir("com")
        self.lock_dir = self._dir("lock")  # UUCP lock files: never the machine's /run/lock
        self.env = None
        self.display = None
        # A janitor outlives us if we are killed outright, and then cleans up.
        self._janitor = subprocess.Popen(
            [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                          "janitor.py"), self.root],
            stdin=subprocess.PIPE, start_new_session=True, text=True)
        atexit.register(self.close)

    def _dir(self, name):
        path = os.path.join(self.root, name)
        os.makedirs(path, exist_ok=True)
        return path

    @property
    def data_folder(self):
        return os.path.join(self.home, "Documents", "Brindlecast", "NarwickPanel")

    def spawn(self, name, argv, env=None, **kw):
        """Starts a process in a new process group and tracks it."""
        p = subprocess.Popen(argv, env=env or self.env, start_new_session=True,
                             preexec_fn=_die_with_parent, **kw)
        self.procs.append((name, p))
        self._janitor.stdin.write("pgid %d\n" % p.pid)
        self._janitor.stdin.flush()
        return p

    def start(self):
        base = {k: v for k, v in os.environ.items()
                if k in ("PATH", "LANG", "LC_ALL", "TZ", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        base.update(HOME=self.home, XDG_RUNTIME_DIR=self.runtime,
                    XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                    XDG_DATA_HOME=os.path.join(self.home, ".local", "share"),
                    XDG_CACHE_HOME=os.path.join(self.home, ".cache"),
                    XDG_DOCUMENTS_DIR=os.path.join(self.home, "Documents"),
                    NARWICKPANEL_COM_DIR=self.com_dir, NARWICKPANEL_LOCK_DIRS=self.lock_dir,
                    LC_ALL="C.UTF-8", TZ="UTC")
        base.setdefault("PATH", "/usr/bin:/bin")

        # Xvfb picks a free display itself and writes its number to the pipe.
        r, w = os.pipe()
        self.spawn("Xvfb", ["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x800x24",
                            "-nolisten", "tcp", "-noreset"], env=base, pass_fds=(w,),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        try:
            self.display = ":" + _read_line(r, 20, "Xvfb")
        finally:
            os.close(r)
        base["DISPLAY"] = self.display

        # A private session bus; its address is always set so nothing autolaunches another.
        r, w = os.pipe()
        self.spawn("dbus-daemon", ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                                   "--print-address=%d" % w], env=base, pass_fds=(w,),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        try:
            base["DBUS_SESSION_BUS_ADDRESS"] = _read_line(r, 20, "dbus-daemon")
        finally:
            os.close(r)

        self.spawn("at-spi-bus-launcher", [AT_SPI_LAUNCHER, "--launch-immediately"], env=base,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.env = base
        # This process is the assistive technology: it joins the same buses.
        for k in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"):
            os.environ[k] = base[k]
        os.environ.pop("AT_SPI_BUS_ADDRESS", None)
        self._wait_for_a11y_bus()
        return self

    def _wait_for_a11y_bus(self):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            out = subprocess.run(
                ["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                 "org.a11y.Bus.GetAddress"], env=self.env, capture_output=True, text=True)
            if out.returncode == 0 and "unix:" in out.stdout:
                return
            time.sleep(0.1)
        raise RuntimeError("the accessibility bus did not start")

    def stop(self, proc, timeout=5):
        """Stops a tracked process and its process group: SIGTERM, then SIGKILL."""
        if proc.poll() is None:
            try:
                os.killpg(proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                pass
        try:
            os.killpg(proc.pid, signal.SIGKILL)  # whatever the group started
        except ProcessLookupError:
            pass
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            pass

    def close(self):
        while self.procs:
            _, p = self.procs.pop()
            self.stop(p)
        if self.root and os.path.isdir(self.root):
            shutil.rmtree(self.root, ignore_errors=True)
        self.root = None
        if self._janitor.stdin and not self._janitor.stdin.closed:
            self._janitor.stdin.write("done\n")
            self._janitor.stdin.close()
            try:
                self._janitor.wait(5)
            except subprocess.TimeoutExpired:
                pass
        reap_orphans()
