"""Exit stress: N runs of start, one message, the web mail list with and
without a cookie, a second's wait, SIGTERM; each must exit 0 within 10 s
with nothing from the allocator or the sanitizers on stderr. Prints the
count of good runs per kind of stop and the failures.

  /usr/bin/python3 bench/exit_stress.py [--runs N] [--display offscreen|xvfb|both]
      [--modes idle,sendrecv,upload] path/to/tarnwick

--display xvfb runs on a private X server with a window manager and a tray
host (openbox, trayer) when they are installed."""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "peers"))
import pop3_server_test  # noqa: E402
import peers_exit  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--display", default="both", choices=("offscreen", "xvfb", "both"))
    parser.add_argument("--modes", default="idle")
    args = parser.parse_args()
    pop3_server_test.BIN = os.path.abspath(args.binary)

    displays = ["offscreen", "xvfb"] if args.display == "both" else [args.display]
    failed = False
    for where in displays:
        display = peers_exit.Display(tray=True) if where == "xvfb" else None
        try:
            label = where + (" with a tray host" if display is not None and display.tray else "")
            for mode in args.modes.split(","):
                good, failures, start = 0, [], time.monotonic()
                for i in range(args.runs):
                    ok, text = peers_exit.one_stop(mode, display)
                    if ok:
                        good += 1
                    else:
                        failures.append("run %d: %s" % (i + 1, text))
                print("%s, %s: %d of %d runs exited 0 in time and clean (%.0f s)"
                      % (label, mode, good, args.runs, time.monotonic() - start), flush=True)
                for line in failures:
                    print("  " + line, flush=True)
                failed = failed or bool(failures)
        finally:
            if display is not None:
                display.stop()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
