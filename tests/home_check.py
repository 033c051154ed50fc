#!/usr/bin/python3
"""Checks that a test run leaves the home's autostart and systemd folders as
it found them: "snapshot FILE" records them before the tests, "check FILE"
compares them afterwards and fails on any file added, removed or changed."""
import hashlib
import os
import sys


def folders():
    home = os.path.expanduser("~")
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.join(home, ".config")
    if not os.path.isabs(config):
        config = os.path.join(home, ".config")
    return sorted({os.path.join(base, name) for base in (config, os.path.join(home, ".config"))
                   for name in ("autostart", "systemd")})


def state():
    lines = []
    for top in folders():
        if not os.path.lexists(top):
            lines.append(top + " absent")
            continue
        for root, dirs, files in os.walk(top):
            dirs.sort()
            for name in sorted(dirs + files):
                path = os.path.join(root, name)
                if os.path.islink(path):
                    lines.append(path + " link " + os.readlink(path))
                elif os.path.isfile(path):
                    with open(path, "rb") as f:
                        lines.append(path + " file " + hashlib.sha256(f.read()).hexdigest())
                elif os.path.isdir(path):
                    lines.append(path + " folder")
    return lines


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("snapshot", "check"):
        sys.exit("usage: home_check.py snapshot|check FILE")
    mode, record = sys.argv[1], sys.argv[2]
    now = state()
    if mode == "snapshot":
        with open(record, "w") as f:
            f.write("\n".join(now) + "\n")
        return
    with open(record) as f:
        before = f.read().splitlines()
    gone = sorted(set(before) - set(now))
    came = sorted(set(now) - set(before))
    if gone or came:
        for line in gone:
            print("before the tests: " + line)
        for line in came:
            print("after the tests:  " + line)
        sys.exit("the tests changed the home's autostart or systemd folders")
    print("home's autostart and systemd folders unchanged")


if __name__ == "__main__":
    main()
