"""A private mosquitto for the end-to-end tests (127.0.0.1, a free port, a generated
configuration with persistence in the run's folder; never the system's service), a subscriber
that records every message, and a black-hole broker that accepts and never answers."""
import json
import os
import shutil
import socket
import subprocess
import threading

from checks import wait_for

SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                      "mqtt-payloads.schema.json")


# Debian installs the broker in /usr/sbin, which an ordinary user's PATH may lack.
MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"


def missing():
    """What the broker runs need and this machine lacks."""
    out = [t for t in ("mosquitto_sub", "mosquitto_passwd", "stdbuf") if not shutil.which(t)]
    if not os.access(MOSQUITTO, os.X_OK):
        out.append("mosquitto")
    try:
        import jsonschema  # noqa: F401
    except ImportError:
        out.append("python3-jsonschema")
    return out


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    def __init__(self, desk, name="broker", extra=""):
        self.desk = desk
        self.port = free_port()
        self.dir = os.path.join(desk.root, name)
        os.makedirs(self.dir, exist_ok=True)
        self.conf = os.path.join(self.dir, "mosquitto.conf")
        self.log_path = os.path.join(self.dir, "mosquitto.log")
        with open(self.conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence true\n"
                    "persistence_location %s/\nmax_queued_messages 0\n%s%s\n"
                    % (self.port, self.dir, "user root\n" if os.geteuid() == 0 else "", extra))
        self.proc = None

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")

    def start(self):
        out = open(self.log_path, "ab")
        before = self.log().count(" running") if os.path.exists(self.log_path) else 0
        self.proc = self.desk.spawn("mosquitto", [MOSQUITTO, "-c", self.conf, "-v"],
                                    stdout=out, stderr=subprocess.STDOUT)
        wait_for(lambda: self.log().count(" running") > before, "the broker to run")

    def stop(self):
        """A clean stop: the broker saves its persistent sessions."""
        self.desk.stop(self.proc)


class Subscriber:
    """mosquitto_sub on narwickpanel/#, QoS 1; with `ident` its session is persistent."""

    def __init__(self, desk, broker, ident=None, name="sub"):
        self.path = os.path.join(desk.root, name + ".out")
        self._out = open(self.path, "ab")
        argv = ["stdbuf", "-oL", "mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-q", "1", "-d",
                "-t", "narwickpanel/#", "-F", "MSG\t%r\t%t\t%p"]
        if ident:
            argv += ["-c", "-i", ident]
        self.proc = desk.spawn("mosquitto_sub", argv, stdout=self._out,
                               stderr=subprocess.STDOUT)
        self.desk = desk
        wait_for(lambda: "received SUBACK" in self.output(), "the subscription")

    def output(self):
        self._out.flush()
        with open(self.path, "rb") as f:
            return f.read().decode("utf-8", errors="replace")

    def messages(self):
        """[(retained, topic, payload)] in the order received."""
        out = []
        for line in self.output().split("\n"):
            if line.startswith("MSG\t"):
                _, retained, topic, payload = line.split("\t", 3)
                out.append((retained == "1", topic, payload))
        return out

    def stop(self):
        self.desk.stop(self.proc)


def persistent_session(desk, broker, ident):
    """Sets up a persistent session and leaves: messages wait for it at the broker."""
    Subscriber(desk, broker, ident, name=ident + "-setup").stop()


class BlackHole:
    """Accepts connections and never reads or answers."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.accepted = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.accepted.append(conn)

    def close(self):
        self.sock.close()
        for c in self.accepted:
            c.close()


def validator():
    import jsonschema
    with open(SCHEMA) as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


def check_messages(messages, check):
    """Every JSON message fits the schema, and the kind its topic names; returns the readings
    as (topic, parsed payload)."""
    v = validator()
    readings = []
    for retained, topic, payload in messages:
        if topic.endswith("/status"):
            check(payload in ("online", "offline") and retained in (True, False),
                  "a status message %r" % payload)
            continue
        data = json.loads(payload)
        errors = [e.message for e in v.iter_errors(data)]
        check(not errors, "%s: %s does not fit the schema: %s" % (topic, payload, errors))
        if "/reading/" in topic:
            check("seq" in data, "a reading without seq on %s" % topic)
            readings.append((topic, data))
        else:
            check(topic.endswith("/pressure") and "unit" in data, "a message on %s" % topic)
    return readings
