#!/usr/bin/env python3
"""Holds many open descriptors in other processes, as a busy machine's other programs do.

    fdhog.py [--fds N] [--ptys K] [--per-process M]

Opens N descriptors on /dev/null spread over processes of at most M descriptors each (one
process when it may raise its own limit that far, else as many as the limit needs), plus K
pseudo-terminal slaves held open without any lock, as a terminal program that takes none
would. Prints "ready <pts paths>" once all are
open and holds them until its standard input closes or it is ended.
"""
import argparse
import os
import resource
import signal
import sys


def hold(count, ready_w):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = count + 64
    if want > hard:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (want, want))
        except (ValueError, OSError):
            pass
    elif want > soft:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
    fd = os.open("/dev/null", os.O_RDONLY)
    for _ in range(count - 1):
        os.dup(fd)
    os.write(ready_w, b"1")
    signal.pause()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--fds", type=int, default=400000)
    ap.add_argument("--ptys", type=int, default=4)
    ap.add_argument("--per-process", type=int, default=0,
                    help="descriptors a process (default: all in one as root, else the limit)")
    args = ap.parse_args()
    per = args.per_process
    if per <= 0:
        # One process when the limit may be raised that far, else as many as the limit needs.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        per = hard - 64
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (args.fds + 64, args.fds + 64))
            per = args.fds
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        except (ValueError, OSError):
            pass
    children = []
    left = args.fds
    while left > 0:
        n = min(per, left)
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(r)
            os.setsid()
            hold(n, w)
            os._exit(0)
        os.close(w)
        if os.read(r, 1) != b"1":
            sys.exit("a holder failed to open %d descriptors" % n)
        os.close(r)
        children.append(pid)
        left -= n
    ptys = []
    for _ in range(args.ptys):
        master, slave = os.openpty()
        ptys.append((master, slave, os.ttyname(slave)))
        os.chmod(os.ttyname(slave), 0o666)
    print("ready", " ".join(p[2] for p in ptys), flush=True)
    try:
        sys.stdin.read()
    except KeyboardInterrupt:
        pass
    finally:
        for pid in children:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)


if __name__ == "__main__":
    main()
