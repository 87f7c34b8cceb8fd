"""The delivery service end to end: the real larkpost, installed with -INSTALL and run by the
control manager (larkctl service), in a fresh machine root and queue directory, delivering what
`larkq add` queues to a scripted relay or a real SMTP server (aiosmtpd).

Most tests shorten the timing through the tuning values (PollInterval 100 ms, SettleTime 0);
TheFixedTiming runs with the defaults (a 5 s poll, a 15 s settle). A sanitizer build's reports
from the detached service land in the test's directory and fail the test.

Arguments: larkpost larkctl larkq (paths), then unittest's own.
"""
import fcntl
import glob
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "interop"))
from relay import REFUSAL, Relay  # noqa: E402
from smtp_sink import Sink  # noqa: E402

LARKPOST, LARKCTL, LARKQ = (os.path.abspath(p) for p in sys.argv[1:4])
del sys.argv[1:4]

SETTINGS = r"HKLM\SOFTWARE\Quobex\LRKP"
INFORMATION, ERROR, FAILURE = 0x40000101, 0xC0000103, 0xC0000100
STAMP = re.compile(r"^\d\d/\d\d/\d\d \d\d:\d\d:\d\d  ")


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


def received_subjects(directory):
    """The subjects of the messages the sink has finished writing (each .envelope follows its
    .eml)."""
    subjects = []
    for envelope in glob.glob(os.path.join(directory, "*.envelope")):
        with open(envelope[:-len(".envelope")] + ".eml", "rb") as f:
            subjects.append(re.search(rb"Subject:\s+(\S+)", f.read()).group(1).decode())
    return subjects


def held(path):
    """Whether another process holds a lock on the file."""
    with open(path, "rb") as f:
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return True
    return False


def instances(root):
    """The live processes of the service whose machine root is `root`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                ours = b"LARKPOST_ROOT=" + root.encode() + b"\0" in f.read()
            if ours and os.readlink("/proc/%s/exe" % pid) == LARKPOST:
                found.append(int(pid))
        except OSError:
            pass  # ended meanwhile
    return found


class ServiceCase(unittest.TestCase):
    tuned = True

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.root = os.path.join(self.dir.name, "root")
        self.queue = os.path.join(self.dir.name, "queue")
        os.makedirs(os.path.join(self.queue, "Failed"))
        reports = os.path.join(self.dir.name, "sanitizer")
        self.env = dict(os.environ, LARKPOST_ROOT=self.root)
        for name in ("TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
            self.env[name] = (os.environ.get(name, "") + ":log_path=" + reports).lstrip(":")
        self.reports = reports
        self.reg("QuePath", self.queue)
        if self.tuned:
            self.reg("PollInterval", 100)
            self.reg("SettleTime", 0)
        self.call_ok([LARKPOST, "-INSTALL"])

    def tearDown(self):
        self.call([LARKCTL, "service", "stop"])
        self.assertEqual(self.state(), 1, "the service is still there")
        reports = []
        for path in glob.glob(self.reports + "*"):
            with open(path, errors="replace") as f:
                reports.append("".join(f.readlines()[:40]))
        self.dir.cleanup()
        self.assertEqual(reports, [], "sanitizer reports (the first lines of each)")

    # --- the programs ---------------------------------------------------------------------

    def call(self, args, **kwargs):
        return subprocess.run(args, env=self.env, capture_output=True, text=True, timeout=120,
                              **kwargs)

    def call_ok(self, args, **kwargs):
        done = self.call(args, **kwargs)
        self.assertEqual(done.returncode, 0, "%s: %s%s" % (args, done.stdout, done.stderr))
        return done.stdout

    def reg(self, name, value):
        kind = ["/t", "REG_DWORD"] if isinstance(value, int) else []
        self.call_ok([LARKCTL, "reg", "add", SETTINGS, "/v", name, *kind, "/d", str(value), "/f"])

    def start(self):
        self.call_ok([LARKCTL, "service", "start"])

    def stop(self):
        self.call_ok([LARKCTL, "service", "stop"])

    def state(self):
        text = self.call_ok([LARKCTL, "service", "query"])
        return int(re.search(r"STATE\s*:\s*(\d+)", text).group(1))

    def pid(self):
        with open(os.path.join(self.root, "run/services/Larkpost/status")) as f:
            return int(f.read().split()[7])

    def add(self, relay, subject="Order", body="Hello Ann,\r\nyour order is on its way.\r\n"):
        out = self.call_ok([LARKQ, "add", "--from", "shop@example.com", "--to",
                           "Ann <ann@example.org>", "--subject", subject, "--relay", relay,
                           self.queue], input=body)
        return os.path.basename(out.strip())

    # --- what came out ----------------------------------------------------------------------

    def events(self):
        path = os.path.join(self.root, "eventlog", "Application.jsonl")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [(r["id"], r["strings"][0]) for r in map(json.loads, f) if r["source"] == "Larkpost"]

    def log_lines(self):
        path = os.path.join(self.queue, "larkq.log")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            text = f.read().decode()
        self.assertTrue(text.endswith("\r\n") or text == "")
        return text.split("\r\n")[:-1]

    def queued(self):
        return sorted(n for n in os.listdir(self.queue) if n.endswith((".ini", ".tmp")))


class Deliveries(ServiceCase):
    def test_three_workers_take_three_messages_per_poll(self):
        self.reg("Threads", 3)
        with Relay("hold") as relay:
            names = [self.add(relay.address, "m%d" % i) for i in range(10)]
            self.start()
            wait_for(lambda: relay.holding == 3, 20, "three held deliveries")
            time.sleep(1)  # ten polls: the held workers keep every index busy
            self.assertEqual(relay.connections, 3)
            relay.release()
            wait_for(lambda: relay.count() == 10, 30, "ten deliveries")
            wait_for(lambda: self.queued() == [], 10, "an empty queue")
        lines = self.log_lines()
        self.assertEqual(len(lines), 10)
        for line in lines:
            self.assertRegex(line, STAMP)
        self.assertEqual(sorted(re.search(r"Success: \((\S+)\)", l).group(1) for l in lines),
                         sorted(names))

    def test_a_log_line_is_stamped_with_the_local_time(self):
        with Relay() as relay:
            self.start()
            before = time.localtime()
            name = self.add(relay.address)
            wait_for(lambda: len(self.log_lines()) == 1, 20, "the outcome line")
            after = time.localtime()
        line = self.log_lines()[0]
        stamp = line[:17]
        self.assertIn(stamp[:8], {time.strftime("%y/%m/%d", before), time.strftime("%y/%m/%d", after)})
        self.assertTrue(time.strftime("%y/%m/%d %H:%M:%S", before) <= stamp <=
                        time.strftime("%y/%m/%d %H:%M:%S", after), line)
        self.assertTrue(line[17:].startswith("  Success: (%s) shop@example.com" % name), line)

    def test_a_relay_that_always_refuses(self):
        self.reg("MaxMsgRetries", 2)
        with Relay("refuse") as relay:
            self.start()
            name = self.add(relay.address)
            base = name[:-4]
            wait_for(lambda: os.path.exists(os.path.join(self.queue, "Failed", base + ".tmp")), 20,
                     "the move into Failed")
        self.assertEqual(self.queued(), [])
        with open(os.path.join(self.queue, "Failed", name), newline="") as f:
            self.assertIn("\r\nFailures=2\r\n", f.read())
        self.assertEqual([l[19:] for l in self.log_lines()],
                         ["Send Failure (%s) Reason: %s" % (name, REFUSAL)] * 2)

    def test_a_message_removed_by_hand_before_its_turn(self):
        self.reg("SettleTime", 3)
        with Relay() as relay:
            gone = self.add(relay.address, "gone")
            self.start()  # the start-up scan finds it; it is ready three seconds later
            for ext in (".ini", ".tmp"):
                os.remove(os.path.join(self.queue, gone[:-4] + ext))
            kept = self.add(relay.address, "kept")
            wait_for(lambda: relay.count() == 1, 20, "the other message")
            time.sleep(0.5)  # five polls more
            self.assertEqual(relay.count(), 1)
        self.assertEqual(len(self.log_lines()), 1)
        self.assertIn("(%s)" % kept, self.log_lines()[0])
        self.assertEqual(os.listdir(os.path.join(self.queue, "Failed")), [])

    def test_the_event_log_takes_only_failures(self):
        self.reg("EventLogging", "NT Event Log")
        self.reg("MaxMsgRetries", 1)
        with Relay() as good, Relay("refuse") as bad:
            self.start()
            self.add(good.address)
            wait_for(lambda: good.count() == 1, 20, "the delivery")
            refused = self.add(bad.address)
            wait_for(lambda: os.path.exists(os.path.join(self.queue, "Failed", refused)), 20,
                     "the failure")
        self.stop()
        self.assertFalse(os.path.exists(os.path.join(self.queue, "larkq.log")))
        self.assertEqual(self.events(), [
            (INFORMATION, "Larkpost Service Started"),
            (ERROR, "Send Failure (%s) Reason: %s" % (refused, REFUSAL)),
            (INFORMATION, "Larkpost Service Stopped"),
        ])


class StartAndStop(ServiceCase):
    def test_without_a_queue_directory(self):
        self.reg("QuePath", "")
        done = self.call([LARKCTL, "service", "start"])
        wait_for(lambda: self.state() == 1, 20, "the refused service to stop")
        self.assertEqual(self.events(), [(FAILURE, "Larkpost could not start. QueuePath has not "
                                                   "been set. Run Wrenset to configure Larkpost.")],
                         done.stdout + done.stderr)

    def test_no_workers(self):
        self.reg("Threads", 0)
        with Relay() as relay:
            self.start()
            name = self.add(relay.address)
            time.sleep(1)  # ten polls
            self.assertEqual(relay.connections, 0)
        self.assertEqual(self.queued(), [name, name[:-4] + ".tmp"])
        self.assertEqual(self.log_lines(), [])

    def test_a_stop_while_two_deliveries_hang(self):
        self.reg("Threads", 2)
        with Relay("hang") as relay:
            names = [self.add(relay.address, s) for s in ("one", "two")]
            self.start()
            pid = self.pid()
            wait_for(lambda: relay.connections == 2, 20, "two hanging deliveries")
            began = time.monotonic()
            self.stop()
            took = time.monotonic() - began
            wait_for(lambda: not os.path.exists("/proc/%d" % pid), 10, "the process to end")
        self.assertLess(took, 5, "the stop waited for the deliveries")
        self.assertEqual(self.events()[-1], (INFORMATION, "Larkpost Service Stopped"))
        self.assertEqual(self.queued(), sorted(names + [n[:-4] + ".tmp" for n in names]))
        self.assertEqual(self.log_lines(), [])

    def test_read_only_locks_of_a_local_user_stall_nothing(self):
        if os.geteuid() != 0:
            self.skipTest("locking as the user nobody needs root")
        with Relay() as relay:
            self.start()  # a first run leaves the event log, the message log and the run state
            self.add(relay.address, "first")
            wait_for(lambda: relay.count() == 1 and self.queued() == [], 20, "the first delivery")
            self.stop()
            self.add(relay.address, "second")
            os.chmod(self.dir.name, 0o755)
            holders = []
            try:
                for top in (self.root, self.queue):
                    for where, _, names in os.walk(top):
                        for name in names:
                            path = os.path.join(where, name)
                            holders.append((path, subprocess.Popen(
                                ["runuser", "-u", "nobody", "--", "flock", "-o", path, "cat"],
                                stdin=subprocess.PIPE, stderr=subprocess.DEVNULL)))
                wait_for(lambda: all(p.poll() is not None or held(path) for path, p in holders), 10,
                         "nobody's locks")
                self.assertTrue(held(os.path.join(self.root, "eventlog", "Application.jsonl")))
                self.reg("Threads", 2)
                self.start()
                wait_for(lambda: relay.count() == 2 and self.queued() == [], 20,
                         "the delivery beside nobody's locks")
                began = time.monotonic()
                self.stop()
                took = time.monotonic() - began
                self.assertEqual(instances(self.root), [], "a process outlived its STOPPED")
            finally:
                for _, p in holders:
                    p.stdin.close()
                    p.wait(10)
        self.assertLess(took, 5, "the stop waited on nobody's locks")

    def test_killed_during_deliveries_then_started_again(self):
        received = os.path.join(self.dir.name, "received")
        os.makedirs(received)
        with Sink(received) as sink:
            relay = "127.0.0.1:%d" % sink.port
            subjects = ["k%02d" % i for i in range(40)]
            for subject in subjects:
                self.add(relay, subject)
            self.start()
            wait_for(lambda: len(received_subjects(received)) >= 5, 30, "the first deliveries")
            os.kill(self.pid(), signal.SIGKILL)
            wait_for(lambda: self.state() == 1, 10, "the killed service to show stopped")
            self.start()
            wait_for(lambda: self.queued() == [], 60, "an empty queue")
            got = received_subjects(received)
        # A delivery cut off after the relay took it may come twice; none is lost.
        self.assertEqual(set(got), set(subjects))

    def test_install_registers_the_full_path(self):
        out = self.call_ok([LARKCTL, "reg", "query", r"HKLM\SYSTEM\CurrentControlSet\Services\Larkpost",
                           "/v", "ImagePath"])
        self.assertIn(LARKPOST, out)

    def test_debug_runs_in_the_foreground_until_ctrl_c(self):
        with Relay() as relay:
            name = self.add(relay.address)
            service = subprocess.Popen([LARKPOST, "-DEBUG"], env=self.env, stdout=subprocess.PIPE,
                                       stderr=subprocess.STDOUT, text=True)
            try:
                wait_for(lambda: relay.count() == 1 and self.queued() == [], 20, "the delivery")
                service.send_signal(signal.SIGINT)
                out, _ = service.communicate(timeout=20)
            finally:
                service.kill()
        self.assertEqual(service.returncode, 0, out)
        lines = out.splitlines()
        self.assertEqual(lines[:3], ["Starting Larkpost", "Press <Ctrl>-Break to terminate",
                                     "Larkpost Service Started"])
        self.assertRegex(lines[3], STAMP.pattern + re.escape("Success: (%s)" % name))
        self.assertEqual(lines[-2:], ["Stopping Larkpost", "Larkpost Service Stopped"])


class Durability(ServiceCase):
    def test_a_move_into_failed_is_synced_before_the_mover_goes_on(self):
        self.assertIsNotNone(shutil.which("strace"), "strace is missing: run scripts/bootstrap")
        self.reg("MaxMsgRetries", 1)
        trace = os.path.join(self.dir.name, "trace")
        with socket.socket() as dead:  # bound, never listening: every connection is refused
            dead.bind(("127.0.0.1", 0))
            name = self.add("127.0.0.1:%d" % dead.getsockname()[1])
            # The leak checker of a sanitizer build cannot run under a tracer.
            env = dict(self.env, ASAN_OPTIONS=self.env["ASAN_OPTIONS"] + ":detect_leaks=0")
            tracer = subprocess.Popen(["strace", "-f", "-y", "-o", trace, "-e",
                                       "trace=renameat2,renameat,rename,fsync,fdatasync,write",
                                       LARKPOST, "-DEBUG"], env=env,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                moved = os.path.join(self.queue, "Failed", name[:-4] + ".tmp")
                wait_for(lambda: os.path.exists(moved), 20, "the move into Failed")
                with open("/proc/%d/task/%d/children" % (tracer.pid, tracer.pid)) as f:
                    os.kill(int(f.read().split()[0]), signal.SIGINT)
                tracer.wait(20)
            finally:
                tracer.kill()
        calls = {}  # each thread's calls in order, as "call path-of-each-fd names"
        with open(trace) as f:
            for line in f:
                call = re.match(r"(\d+)\s+(\w+)\((.*)", line)
                if call and "resumed>" not in line:
                    what = re.findall(r'\d+<([^>]*)>|"([^"]*)"', call.group(3))
                    calls.setdefault(call.group(1), []).append(
                        " ".join([call.group(2)] + [a or b for a, b in what]))
        failed = os.path.join(self.queue, "Failed")
        ini = "renameat2 %s %s %s %s" % (self.queue, name, failed, name)
        mover = [c for c in calls.values() if ini in c]
        self.assertEqual(len(mover), 1, "no single move of %s into Failed in the trace" % name)
        at = mover[0].index(ini)
        tmp = name[:-4] + ".tmp"
        self.assertEqual(mover[0][at:at + 2],
                         [ini, "renameat2 %s %s %s %s" % (self.queue, tmp, failed, tmp)])
        self.assertEqual(sorted(mover[0][at + 2:at + 4]),
                         ["fsync " + self.queue, "fsync " + failed],
                         "both directories are not synced before the mover goes on")


class TheFixedTiming(ServiceCase):
    tuned = False

    def test_delivered_after_the_settle_time_at_a_poll(self):
        with Relay() as relay:
            self.start()
            queued_at = time.monotonic()
            self.add(relay.address)
            wait_for(lambda: relay.count() == 1, 40, "the delivery")
            waited = time.monotonic() - queued_at
            wait_for(lambda: self.queued() == [], 10, "an empty queue")
        # Ready 15 s after it was found, and taken at the next 5-second poll.
        self.assertGreaterEqual(waited, 14)
        self.assertLess(waited, 25)


if __name__ == "__main__":
    unittest.main()
