"""The Windows build's delivery service under Wine's own service control manager: larkpost.exe
-INSTALL registers it, `net start` starts it, a message `larkq.exe add` queues is delivered to an
SMTP server (aiosmtpd) on 127.0.0.1, `net stop` stops it and -REMOVE unregisters it.

Everything runs in a fresh Wine prefix whose wineserver is kept alive for the test: Wine ends
services once no other program runs. Arguments: larkpost.exe larkctl.exe larkq.exe (paths),
the wine-run script, then unittest's own.
"""
import email
import email.policy
import os
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "interop"))
from smtp_sink import Sink  # noqa: E402

LARKPOST, LARKCTL, LARKQ, WINE_RUN = (os.path.abspath(p) for p in sys.argv[1:5])
del sys.argv[1:5]
SETTINGS = r"HKLM\SOFTWARE\Quobex\LRKP"
EVENT_SOURCE = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Larkpost"
WINESERVER = "/usr/lib/wine/wineserver"


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.2)


class ServiceUnderWine(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="larkpost-wine-")
        self.env = dict(os.environ, WINEPREFIX=os.path.join(self.work, "prefix"))
        self.env.pop("LARKPOST_ROOT", None)  # the service reads the prefix's own registry
        self.run_wine(LARKCTL, "--version")  # makes the prefix
        subprocess.run([WINESERVER, "-w"], env=self.env, timeout=60, check=True)
        subprocess.run([WINESERVER, "-p"], env=self.env, timeout=60, check=True)
        self.addCleanup(subprocess.run, [WINESERVER, "-k"], env=self.env)
        self.queue = os.path.join(self.env["WINEPREFIX"], "drive_c", "larkqueue")
        os.makedirs(self.queue)

    def run_wine(self, *args, check=True, stdin=None):
        # Output through a file, not a pipe: the programs Wine starts on the way (the control
        # manager among them) keep what they inherit open for as long as they run.
        with tempfile.TemporaryFile("w+") as out:
            done = subprocess.run([WINE_RUN, *args], env=self.env, stdout=out, stderr=out,
                                  text=True, input=stdin, timeout=120)
            out.seek(0)
            text = out.read()
        if check and done.returncode != 0:
            self.fail("%s: exit %d\n%s" % (args, done.returncode, text))
        return text

    def setting(self, name, value):
        kind = ["/t", "REG_DWORD"] if isinstance(value, int) else []
        self.run_wine(LARKCTL, "reg", "add", SETTINGS, "/v", name, *kind, "/d", str(value), "/f")

    def state(self):
        return self.run_wine(LARKCTL, "service", "query", "Larkpost", check=False)

    def test_installed_started_delivering_stopped_removed(self):
        self.setting("QuePath", r"C:\larkqueue")
        self.setting("SettleTime", 0)
        self.setting("PollInterval", 200)
        self.assertIn("Larkpost installed.", self.run_wine(LARKPOST, "-INSTALL"))
        # An event viewer finds the entries' texts in the program's message table.
        source = self.run_wine(LARKCTL, "reg", "query", EVENT_SOURCE)
        self.assertRegex(source, r"EventMessageFile +REG_EXPAND_SZ +\S*larkpost\.exe")
        self.assertIn("STOPPED", self.state())
        os.makedirs(os.path.join(self.work, "received"))
        with Sink(os.path.join(self.work, "received")) as sink:
            self.assertIn("started successfully", self.run_wine("net", "start", "Larkpost"))
            self.assertIn("RUNNING", self.state())
            self.run_wine(LARKQ, "add", "--from", "ann@example.org", "--to",
                          "Bob <bob@example.org>", "--subject", "From Windows", "--relay",
                          "127.0.0.1:%d" % sink.port, r"C:\larkqueue",
                          stdin="Hello from the Windows build.\r\n")
            wait_for(lambda: sink.messages(), 60, "the delivery")
            wait_for(lambda: sorted(os.listdir(self.queue)) == ["Failed", "larkq.log"], 30,
                     "the queued pair to go")
            (envelope, data), = sink.messages()
            message = email.message_from_bytes(data, policy=email.policy.default)
            self.assertEqual(message["Subject"], "From Windows")
            self.assertEqual(message.defects, [])
            self.assertIn("Hello from the Windows build.", message.get_content())
            with open(os.path.join(self.queue, "larkq.log")) as log:
                self.assertRegex(log.read(), r"^\d\d/\d\d/\d\d \d\d:\d\d:\d\d  Success: "
                                             r"\(msg[0-9A-Fa-f]{1,4}\.ini\) ann@example\.org +"
                                             r"From Windows .*bob@example\.org\n\Z")
            self.assertIn("stopped successfully", self.run_wine("net", "stop", "Larkpost"))
            self.assertIn("STOPPED", self.state())
        self.assertIn("Larkpost removed.", self.run_wine(LARKPOST, "-REMOVE"))
        self.assertNotIn("SERVICE_NAME", self.state())


if __name__ == "__main__":
    unittest.main()
