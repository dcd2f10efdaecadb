#!/usr/bin/env python3
"""The longest freeze of the real program's window while other processes hold many descriptors.

    freeze.py --bin narwickpanel --ping np_pingwin [--fds N] [--ports 30] [--seconds S]
              [--rounds R] [-- PROGRAM OPTIONS]

Starts a private Xvfb (no window manager), bench/fdhog.py holding N descriptors on /dev/null
and a few pseudo-terminals, and maps --ports COM numbers to pseudo-terminals (four of them held
open by fdhog, the rest free). Then np_pingwin starts the program in a private HOME, runtime
folder, COM folder and lock folder, times its window's appearance and pings the window for S
seconds. Default program options: --port 3 --secondary 4, so that start-up scans both lists
and then opens two ports.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--bin", required=True)
    ap.add_argument("--ping", required=True)
    ap.add_argument("--fds", type=int, default=400000)
    ap.add_argument("--ports", type=int, default=30)
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--rounds", type=int, default=1)
    ap.add_argument("options", nargs="*", default=["--port", "3", "--secondary", "4"])
    args = ap.parse_args()

    root = tempfile.mkdtemp(prefix="np-freeze-")
    dirs = {}
    for name in ("home", "runtime", "com", "lock"):
        dirs[name] = os.path.join(root, name)
        os.makedirs(dirs[name])
    os.chmod(dirs["runtime"], 0o700)
    os.makedirs(os.path.join(dirs["home"], "Documents"))

    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x800x24",
                             "-nolisten", "tcp"], pass_fds=(w,), stdout=subprocess.DEVNULL,
                            stderr=open(os.path.join(root, "xvfb.log"), "w"))
    os.close(w)
    number = b""
    while not number.endswith(b"\n"):  # the number and its line break come in two writes
        chunk = os.read(r, 64)
        if not chunk:
            break
        number += chunk
    display = ":" + number.decode().strip()
    os.close(r)
    hog = subprocess.Popen([sys.executable, os.path.join(HERE, "fdhog.py"), "--fds",
                            str(args.fds), "--ptys", "4"], stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, text=True)
    ready = hog.stdout.readline().split()
    if not ready or ready[0] != "ready":
        sys.exit("fdhog did not start")
    held = ready[1:]
    free = []
    for n in range(1, args.ports + 1):
        if n in (5, 9, 13, 17) and held:
            target = held.pop()
        else:
            master, slave = os.openpty()
            target = os.ttyname(slave)
            os.close(slave)
            free.append(master)
        os.symlink(target, os.path.join(dirs["com"], "com%d" % n))

    if xvfb.poll() is not None:
        sys.exit("Xvfb ended: " + open(os.path.join(root, "xvfb.log")).read()[-500:])
    env = {k: v for k, v in os.environ.items() if k in ("PATH", "LANG", "LC_ALL")}
    env.update(DISPLAY=display, HOME=dirs["home"], XDG_RUNTIME_DIR=dirs["runtime"],
               XDG_DOCUMENTS_DIR=os.path.join(dirs["home"], "Documents"),
               NARWICKPANEL_COM_DIR=dirs["com"], NARWICKPANEL_LOCK_DIRS=dirs["lock"],
               QT_QPA_PLATFORM="xcb", LC_ALL="C.UTF-8")
    try:
        for k in range(args.rounds):
            # The command line's two ports are open once both their lock files are there.
            start = time.monotonic()
            ping = subprocess.Popen([args.ping, "--seconds", str(args.seconds), "--", args.bin,
                                     *args.options], env=env, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, text=True)
            opened = None
            while ping.poll() is None:
                if opened is None and len(os.listdir(dirs["lock"])) >= 2:
                    opened = time.monotonic() - start
                time.sleep(0.02)
            print("%d descriptors, round %d: %s; both ports open after %s" % (
                args.fds, k + 1, ping.stdout.read().strip().split("\n")[-1],
                "%.1f s" % opened if opened is not None else "never"), flush=True)
    finally:
        hog.stdin.close()
        hog.wait()
        xvfb.terminate()
        xvfb.wait()
        subprocess.run(["rm", "-rf", root])


if __name__ == "__main__":
    main()
