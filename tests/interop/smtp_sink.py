"""A real SMTP server (aiosmtpd) on 127.0.0.1 that keeps every message it accepts.

Run as a program: `smtp_sink.py DIR` writes the chosen port to DIR/port, then each message as
DIR/N.eml (the text as received) and DIR/N.envelope (the sender, then one recipient a line),
until it is terminated. Tests import `Sink` instead.
"""
import os
import signal
import socket
import sys
import threading

from aiosmtpd.controller import Controller


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Recorder:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0
        self.lock = threading.Lock()

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        """Refuses every mailbox whose local part begins with "refused"."""
        if address.startswith("refused"):
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            base = os.path.join(self.directory, str(self.count))
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".envelope", "w") as f:
            f.write("\n".join([envelope.mail_from] + list(envelope.rcpt_tos)) + "\n")
        return "250 Message accepted for delivery"


class Sink:
    """An aiosmtpd server recording into a directory; a context manager."""

    def __init__(self, directory):
        self.directory = directory
        self.port = free_port()
        self.controller = Controller(Recorder(directory), hostname="127.0.0.1", port=self.port,
                                     data_size_limit=64 * 1024 * 1024)

    def __enter__(self):
        self.controller.start()
        return self

    def __exit__(self, *exc):
        self.controller.stop()

    def messages(self):
        """(envelope lines, message bytes) of every message received, in order."""
        found = []
        n = 1
        while os.path.exists(os.path.join(self.directory, "%d.eml" % n)):
            with open(os.path.join(self.directory, "%d.envelope" % n)) as f:
                envelope = f.read().splitlines()
            with open(os.path.join(self.directory, "%d.eml" % n), "rb") as f:
                found.append((envelope, f.read()))
            n += 1
        return found


def main():
    directory = sys.argv[1]
    with Sink(directory) as sink:
        with open(os.path.join(directory, "port.tmp"), "w") as f:
            f.write(str(sink.port))
        os.rename(os.path.join(directory, "port.tmp"), os.path.join(directory, "port"))
        stop = threading.Event()
        signal.signal(signal.SIGTERM, lambda *_: stop.set())
        signal.signal(signal.SIGINT, lambda *_: stop.set())
        stop.wait()


if __name__ == "__main__":
    main()
