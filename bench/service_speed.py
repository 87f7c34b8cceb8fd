"""The delivery service under load: messages queued with `larkq add`, delivered by the real
larkpost (installed and started through the control manager) to a fast local SMTP sink.

Two runs, each in a fresh machine root and queue directory (on /dev/shm when there is one, so
that queueing is not held up by the disk):
  tuned    2000 small messages, Threads 16, PollInterval 100, SettleTime 0, DispatchOnFinish 1;
  default  50 small messages, Threads 16 and the fixed timing (5 s poll, 15 s settle).
Both queue everything first, then start the service and time it from the start until the queue
is empty. Prints messages per second, the service's CPU seconds (and per message) and peak memory, the
sink's CPU, its resident memory over the run (first and last quarter), and its CPU use while
idle afterwards.

Usage: /usr/bin/python3 bench/service_speed.py [BUILD_DIR] [MESSAGES]
BUILD_DIR defaults to build/default (service/larkpost, tools/larkctl, tools/larkq).
"""
import asyncio
import concurrent.futures
import os
import subprocess
import sys
import tempfile
import threading
import time

SETTINGS = r"HKLM\SOFTWARE\Quobex\LRKP"
TUNED = {"PollInterval": 100, "SettleTime": 0, "DispatchOnFinish": 1}
TICK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")


class SinkProtocol(asyncio.Protocol):
    """One SMTP conversation, parsed straight from the received bytes: a stream reader and a
    coroutine per line would cost the sink more CPU than the service spends per message."""

    def __init__(self, sink):
        self.sink = sink
        self.buffer = b""
        self.in_data = False

    def connection_made(self, transport):
        self.transport = transport
        transport.write(b"220 sink\r\n")

    def data_received(self, data):
        self.buffer += data
        replies = []
        while True:
            if self.in_data:
                end = self.buffer.find(b"\r\n.\r\n")
                if end < 0:
                    break
                self.buffer = self.buffer[end + 5:]
                self.in_data = False
                self.sink.count += 1
                replies.append(b"250 queued\r\n")
                continue
            end = self.buffer.find(b"\r\n")
            if end < 0:
                break
            verb = self.buffer[:4].upper()
            # The end of the text is looked for from the CR LF that ends the DATA line.
            self.buffer = self.buffer[end + 2 if verb != b"DATA" else end:]
            if verb == b"DATA":
                self.in_data = True
                replies.append(b"354 go\r\n")
            elif verb == b"QUIT":
                replies.append(b"221 bye\r\n")
                self.transport.write(b"".join(replies))
                self.transport.close()
                return
            else:
                replies.append(b"250 ok\r\n")
        if replies:
            self.transport.write(b"".join(replies))


class Sink:
    """A fast SMTP sink on 127.0.0.1 (asyncio, many connections at once) that counts messages."""

    def __init__(self):
        self.count = 0
        self.loop = asyncio.new_event_loop()
        ready = threading.Event()
        threading.Thread(target=self.run, args=(ready,), daemon=True).start()
        ready.wait()

    def run(self, ready):
        asyncio.set_event_loop(self.loop)
        server = self.loop.run_until_complete(self.loop.create_server(
            lambda: SinkProtocol(self), "127.0.0.1", 0, backlog=128))
        self.port = server.sockets[0].getsockname()[1]
        ready.set()
        self.loop.run_forever()


def process_stats(pid):
    """(CPU seconds, resident MB, peak resident MB) of a process."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / TICK
    peak = rss = 0.0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                peak = int(line.split()[1]) / 1024
            elif line.startswith("VmRSS:"):
                rss = int(line.split()[1]) / 1024
    return cpu, rss, peak


def measure(label, messages, tuning, base, build, idle_seconds=5):
    """Delivers messages queued first through a freshly installed service and returns what it
    took: queued (s), took (s), cpu (s), peak (MB), first and last (resident MB in the first and
    last quarter of the run) and idle (CPU s in idle_seconds afterwards)."""
    larkpost = os.path.abspath(os.path.join(build, "service", "larkpost"))
    larkctl = os.path.abspath(os.path.join(build, "tools", "larkctl"))
    larkq = os.path.abspath(os.path.join(build, "tools", "larkq"))
    with tempfile.TemporaryDirectory(dir=base) as work:
        env = dict(os.environ, LARKPOST_ROOT=os.path.join(work, "root"))
        queue = os.path.join(work, "queue")
        os.makedirs(os.path.join(queue, "Failed"))

        def call(*args, **kwargs):
            return subprocess.run(args, env=env, check=True, capture_output=True, **kwargs)

        def reg(name, value):
            kind = ["/t", "REG_DWORD"] if isinstance(value, int) else []
            call(larkctl, "reg", "add", SETTINGS, "/v", name, *kind, "/d", str(value), "/f")

        sink = Sink()
        reg("QuePath", queue)
        reg("Threads", 16)
        for name, value in tuning.items():
            reg(name, value)
        call(larkpost, "-INSTALL")

        def add(n):
            call(larkq, "add", "--from", "shop@example.com", "--to", "Ann <ann@example.org>",
                 "--subject", "Order %d" % n, "--relay", "127.0.0.1:%d" % sink.port, queue,
                 input=b"Hello Ann,\r\nyour order %d is on its way.\r\n" % n)

        began = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            list(pool.map(add, range(messages)))
        queued = time.monotonic() - began

        began = time.monotonic()
        before = os.times()
        call(larkctl, "service", "start")
        # A service left running would outlive its machine root, so it is stopped and removed
        # however the run ends.
        try:
            with open(os.path.join(work, "root", "run", "services", "Larkpost", "status")) as f:
                pid = int(f.read().split()[7])
            samples = []
            while sink.count < messages or any(n.endswith(".ini") for n in os.listdir(queue)):
                time.sleep(0.1)
                samples.append(process_stats(pid)[1])
                if time.monotonic() - began > 600:
                    raise SystemExit("%s: only %d of %d delivered in 10 minutes"
                                     % (label, sink.count, messages))
            took = time.monotonic() - began
            after = os.times()
            cpu, _, peak = process_stats(pid)
            time.sleep(idle_seconds)
            idle = process_stats(pid)[0] - cpu
        finally:
            call(larkctl, "service", "stop")
            call(larkpost, "-REMOVE")
        quarter = max(1, len(samples) // 4)
        # The sink shares the machine with the service: its CPU (this process's, the sink being a
        # thread of it) shows whether it held the service back.
        sink_cpu = after.user + after.system - before.user - before.system
        return {"queued": queued, "took": took, "cpu": cpu, "peak": peak, "sink_cpu": sink_cpu,
                "first": sum(samples[:quarter]) / quarter,
                "last": sum(samples[-quarter:]) / quarter, "idle": idle}


def run(label, messages, tuning, base, build):
    figures = measure(label, messages, tuning, base, build)
    print("%s: %d messages queued in %.1f s" % (label, messages, figures["queued"]))
    print("  %d delivered in %.2f s: %.0f messages a second"
          % (messages, figures["took"], messages / figures["took"]))
    print("  service CPU %.2f s, peak memory %.1f MB; resident %.1f MB in the first quarter,"
          " %.1f MB in the last" % (figures["cpu"], figures["peak"], figures["first"],
                                   figures["last"]))
    print("  service CPU %.2f ms a message; the sink's CPU %.2f s"
          % (figures["cpu"] * 1000 / messages, figures["sink_cpu"]))
    print("  idle afterwards: %.2f CPU seconds in 5 s" % figures["idle"])


def shared_memory():
    """Where the runs keep their queues: /dev/shm when there is one."""
    return "/dev/shm" if os.path.isdir("/dev/shm") else None


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/default"
    messages = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    run("tuned", messages, TUNED, shared_memory(), build)
    run("default timing", 50, {}, shared_memory(), build)


if __name__ == "__main__":
    main()
