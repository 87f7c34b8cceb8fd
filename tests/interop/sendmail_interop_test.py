"""`larkq sendmail` as the programs that send mail through sendmail call it, and real messages
from Debian's test corpora, delivered with `larkq send` to a real SMTP server (aiosmtpd).

What the server receives must be what was submitted: the same header fields and body lines,
byte for byte, apart from the fields sendmail adds when they are missing (Message-ID, Date,
From) and the hidden-recipient fields it removes (Bcc, Resent-Bcc); line ends CR LF throughout.
"""
import email
import email.policy
import glob
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from larkq_case import LarkqCase  # noqa: E402
from smtp_sink import Sink  # noqa: E402

CORPORA = ["/usr/lib/python3.11/test/test_email/data/msg_*.txt",
           "/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/*/*.raw"]
FIELD = re.compile(rb"[\x21-\x39\x3b-\x7e]+[ \t]*:")
ADDED = {b"message-id", b"date", b"from"}
HIDDEN = {b"bcc", b"resent-bcc"}


def split(text):
    """(fields, body): the header fields, each a list of its lines, and the body lines."""
    lines = re.split(rb"\r\n|\r|\n", text)
    if lines[-1] == b"":
        lines.pop()
    if lines and lines[0].startswith(b"From "):
        lines.pop(0)
    fields, i = [], 0
    first = next((n for n, line in enumerate(lines) if line[:1] not in (b" ", b"\t")), 0)
    misplaced_fold = first > 0 and FIELD.match(lines[first])
    while i < len(lines):
        if (fields or misplaced_fold) and lines[i][:1] in (b" ", b"\t"):
            if not fields:
                fields.append([])
            fields[-1].append(lines[i])
        elif FIELD.match(lines[i]):
            fields.append([lines[i]])
        else:
            break
        i += 1
    if i < len(lines) and lines[i] == b"":
        i += 1
    return fields, lines[i:]


def name(field):
    return field[0].split(b":", 1)[0].rstrip().lower()


def unfolded(fields):
    return [b"".join(field) for field in fields]


def structure(text):
    """The MIME tree as a reader sees it: each part's type and decoded payload."""
    text = re.sub(rb"\r\n|\r", b"\n", text)
    text += b"" if text.endswith(b"\n") else b"\n"
    message = email.message_from_bytes(text, policy=email.policy.compat32)
    return [(part.get_content_type(), part.get_payload(decode=True)) for part in message.walk()]


class SendmailInterop(LarkqCase):
    def setUp(self):
        super().setUp()
        self.received = os.path.join(self.dir.name, "received")
        os.makedirs(self.received)
        self.sink = Sink(self.received).__enter__()
        self.settings()

    def tearDown(self):
        self.sink.__exit__(None, None, None)
        super().tearDown()

    def settings(self, extra=""):
        os.makedirs(os.path.join(self.env["LARKPOST_ROOT"], "registry"), exist_ok=True)
        with open(os.path.join(self.env["LARKPOST_ROOT"], "registry",
                               "HKEY_LOCAL_MACHINE.reg"), "w") as f:
            f.write('REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quobex\\LRKP]\n'
                    '"QuePath"="%s"\n"RemoteHosts"="127.0.0.1:%d"\n'
                    '"DefaultDomain"="host.example"\n%s' % (self.queue, self.sink.port, extra))

    def submit(self, args, text):
        """Queues with sendmail ARGS, delivers; (code, envelope, received text or None)."""
        before = set(os.listdir(self.queue))
        run = self.larkq("sendmail", *args, body=text)
        if run.returncode != 0:
            return run.returncode, run.stderr.decode(), None
        inis = [f for f in set(os.listdir(self.queue)) - before if f.endswith(".ini")]
        self.assertEqual(len(inis), 1, inis)
        sent = self.larkq("send", os.path.join(self.queue, inis[0]))
        self.assertEqual(sent.returncode, 0, sent.stderr.decode())
        envelope, received = self.sink.messages()[-1]
        return 0, envelope, received

    def assert_as_written(self, submitted, received, what, qualified=None):
        """received is submitted with only the allowed fields added and removed, and the
        fields of qualified ({as written: with bare names qualified}) rewritten."""
        self.assertNotRegex(received, rb"\r(?!\n)|(?<!\r)\n", what)
        self.assertTrue(received.endswith(b"\r\n") or received == b"", what)
        fields, body = split(submitted)
        got_fields, got_body = split(received)
        kept = [[(qualified or {}).get(line, line) for line in f]
                for f in fields if name(f) not in HIDDEN]
        self.assertEqual(unfolded(got_fields[:len(kept)]), unfolded(kept), what)
        self.assertLessEqual(max(map(len, sum(got_fields, [])), default=0), 998, what)
        added = got_fields[len(kept):]
        present = {name(f) for f in kept}
        self.assertEqual(sorted(name(f) for f in added), sorted(ADDED - present), what)
        self.assertEqual(got_body, body, what)
        return email.message_from_bytes(received, policy=email.policy.default)

    def test_callers(self):
        cron = (b"From: root (Cron Daemon)\nTo: root\nSubject: Cron <root@web1> run-parts\n"
                b"Content-Type: text/plain; charset=UTF-8\nX-Cron-Env: <SHELL=/bin/sh>\n\n"
                b"output\n.\nmore\n")
        php = (b"To: Ann <ann@example.org>\r\nSubject: =?UTF-8?B?QmVzdGVsbHVuZyDDvA==?=\r\n"
               b"From: Web Shop <shop@example.com>\r\nBcc: audit@example.com\r\n"
               b"MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=\"b1\"\r\n"
               b"\r\n--b1\r\nContent-Type: text/plain\r\n\r\nHi\r\n--b1\r\n"
               b"Content-Type: text/html\r\n\r\n<p>Hi</p>\r\n--b1--\r\n")
        git = (b"From: Dev One <dev@example.com>\nTo: list@example.org\nCc: Rev <rev@example.org>"
               b"\nSubject: [PATCH] fix\nMessage-ID: <p1@example.com>\nDate: Tue, 8 Dec 2026 "
               b"10:00:00 +0100\nReferences: " + b" ".join(b"<id%d@example.com>" % n
                                                       for n in range(60)) + b"\n\n---\n.dot\n")
        mdadm = b"From: mdadm monitoring <root>\nTo: root\nSubject: Fail event on /dev/md0\n\nx\n"
        bounce = (b"Resent-From: Me <me@example.com>\nResent-To: fwd@example.org\n"
                  b"Resent-Bcc: quiet@example.org\nFrom: a@example.net\nTo: me@example.com\n"
                  b"Subject: original\n\nbody\n")
        admin = '"AdminAddress"="admin@example.org"\n'
        root = {b"To: root": b"To: root@host.example",
                b"From: root (Cron Daemon)": b"From: root@host.example (Cron Daemon)",
                b"From: mdadm monitoring <root>": b"From: mdadm monitoring <root@host.example>",
                b"From: Logwatch": b"From: Logwatch@host.example"}
        cases = [
            ("cron -t", ["-FCronDaemon", "-i", "-odi", "-oem", "-oi", "-t"], cron, "",
             ["root@host.example", "root@host.example"]),
            ("cron root", ["-FCronDaemon", "-i", "-B8BITMIME", "-oem", "root"], cron, "",
             ["root@host.example", "root@host.example"]),
            ("cronie -f", ["-FCronDaemon", "-i", "-odi", "-oem", "-oi", "-t", "-f", "root"],
             cron, admin, ["root@host.example", "admin@example.org"]),
            ("cron admin", ["-FCronDaemon", "-i", "-oem", "root"], cron, admin,
             ["root@host.example", "admin@example.org"]),
            ("php", ["-t", "-i", "-f", "bounces@example.com"], php, "",
             ["bounces@example.com", "ann@example.org", "audit@example.com"]),
            ("git send-email", ["-i", "-f", "dev@example.com", "list@example.org",
                                "rev@example.org", "LIST@example.org"], git, "",
             ["dev@example.com", "list@example.org", "rev@example.org"]),
            ("mailx", ["-i", "--", "ann@example.org"], b"To: ann@example.org\nSubject: s\n\nx\n",
             "", [None, "ann@example.org"]),
            ("mdadm", ["-t"], mdadm, admin, ["root@host.example", "admin@example.org"]),
            ("logwatch", ["-t"], b"To: root\nFrom: Logwatch\nSubject: Logwatch\n\nreport\n", "",
             ["Logwatch@host.example", "root@host.example"]),
            ("bounce", ["-t", "-i", "-f", "<>"], bounce, "", ["<>", "fwd@example.org",
                                                              "quiet@example.org"]),
            ("no header", ["admin"], b"done\n", "", [None, "admin@host.example"]),
            ("no blank line", ["-i", "a@example.org"], b"Subject: s\nbody starts here\n", "",
             [None, "a@example.org"]),
        ]
        for what, args, text, extra, envelope in cases:
            with self.subTest(what):
                self.settings(extra)
                code, got, received = self.submit(args, text)
                self.assertEqual(code, 0, got)
                if envelope[0] is not None:
                    self.assertEqual(got[0], envelope[0])
                self.assertEqual(got[1:], envelope[1:])
                submitted = text if "-i" in args or "-oi" in args else text.split(b"\n.\n")[0]
                message = self.assert_as_written(submitted, received, what, root)
                self.assertEqual([(k, message[k].defects) for k in message.keys()],
                                 [(k, ()) for k in message.keys()], what)
                self.assertIsNone(message["Bcc"])
                self.assertIsNone(message["Resent-Bcc"])
        data = b"Subject: via SMTP\r\nTo: Ann <ann@example.org>\r\n\r\n..dot\r\nend\r\n"
        session = (b"EHLO symfony\r\nMAIL FROM:<app@example.com>\r\nRCPT TO:<ann@example.org>\r\n"
                   b"RCPT TO:<root>\r\nDATA\r\n" + data + b".\r\nQUIT\r\n")
        code, got, received = self.submit(["-bs"], session)
        self.assertEqual(code, 0, got)
        self.assertEqual(got, ["app@example.com", "ann@example.org", "root@host.example"])
        self.assert_as_written(data.replace(b"..dot", b".dot"), received, "-bs")
        cron_run = self.sink.messages()[3][1]
        self.assertIn(b"\r\n.\r\nmore\r\n", cron_run)
        self.assertNotIn(b"CronDaemon", cron_run)  # the message had its From

    def test_corpus(self):
        files = sorted(f for pattern in CORPORA for f in glob.glob(pattern))
        self.assertGreater(len(files), 100, "the corpus packages are not installed")
        delivered = refused = 0
        for path in files:
            with open(path, "rb") as f:
                text = f.read()
            with self.subTest(os.path.basename(path)):
                code, envelope, received = self.submit(["-i", "reader@example.org"], text)
                if b"\0" in text:
                    self.assertEqual(code, 65, envelope)
                    refused += 1
                    continue
                self.assertEqual(code, 0, envelope)
                self.assertEqual(envelope[1:], ["reader@example.org"])
                # A bare name in an address field is qualified; nothing else may change.
                self.assertNotIn(b"@host.example", text)
                unqualified = re.sub(rb"@host\.example(?=[\s>,;(]|$)", b"", received, flags=re.M)
                self.assert_as_written(text, unqualified, path)
                self.assertEqual(structure(received), structure(text), path)
                delivered += 1
        print("corpus: %d messages delivered as written, %d with a NUL byte refused"
              % (delivered, refused), file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
