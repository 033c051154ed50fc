"""Free loopback ports for the programs a test starts."""

import socket

_handed_out = set()


def free_port():
    # Ports handed out in this run stay distinct: a port just closed may come
    # back from the next bind, and two servers of one program must not share it.
    while True:
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        if port not in _handed_out:
            _handed_out.add(port)
            return port
