"""What the interop tests share: a fresh machine root and queue directory per test, files to
attach, and `larkq add`. The larkq program is the first command-line argument."""
import os
import random
import subprocess
import sys
import tempfile
import unittest

LARKQ = sys.argv.pop(1) if len(sys.argv) > 1 else "build/default/tools/larkq"


class LarkqCase(unittest.TestCase):
    seed = 1

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.queue = os.path.join(self.dir.name, "queue")
        os.makedirs(self.queue)
        self.env = dict(os.environ, LARKPOST_ROOT=os.path.join(self.dir.name, "root"))
        self.random = random.Random(self.seed)

    def tearDown(self):
        self.dir.cleanup()

    def file(self, name, data: bytes) -> str:
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def larkq(self, *args, body=b""):
        return subprocess.run([LARKQ, *args], input=body, capture_output=True, env=self.env)

    def add(self, *options, body):
        """Queues a message from shop@example.com; returns the path of its .ini."""
        added = self.larkq("add", "--from", "shop@example.com", "--from-name", "Web Shop",
                           *options, self.queue, body=body)
        self.assertEqual(added.returncode, 0, added.stderr.decode())
        return added.stdout.decode().strip()
