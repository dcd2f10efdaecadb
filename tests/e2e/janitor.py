"""Cleans up after a test driver that was killed outright (SIGKILL leaves no time for finally).

Started by Desktop with a pipe on its standard input. The driver writes one line per process
group it starts, "pgid N", and "done" when it has cleaned up itself. When the pipe reaches its
end without "done", the janitor kills the groups it was told about and removes the root folder.
"""
import os
import shutil
import signal
import sys


def main():
    root = sys.argv[1]
    groups = []
    done = False
    for line in sys.stdin:
        word, _, value = line.strip().partition(" ")
        if word == "pgid":
            groups.append(int(value))
        elif word == "done":
            done = True
    if done:
        return
    for pgid in reversed(groups):
        try:
            os.killpg(pgid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
    shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    main()
