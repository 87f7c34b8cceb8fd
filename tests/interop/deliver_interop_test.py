"""Queued messages delivered with `larkq send` to a real SMTP server (aiosmtpd).

The server's envelope must name To + CC + BCC, and the text it received, parsed by Python's
email package, must hold the expected headers and the attachments' exact bytes.
"""
import binascii
import email
import email.policy
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from larkq_case import LarkqCase  # noqa: E402
from smtp_sink import Sink  # noqa: E402


class DeliverInterop(LarkqCase):
    seed = 5

    def setUp(self):
        super().setUp()
        self.received = os.path.join(self.dir.name, "received")
        os.makedirs(self.received)
        self.sink = Sink(self.received).__enter__()

    def tearDown(self):
        self.sink.__exit__(None, None, None)
        super().tearDown()

    def deliver(self, *options, body=b"Hello Ann,\r\nyour order is on its way.\r\n"):
        ini = self.add("--subject", "Your order", "--relay", "127.0.0.1:%d" % self.sink.port,
                       *options, body=body)
        sent = self.larkq("send", ini)
        self.assertEqual(sent.returncode, 0, sent.stderr.decode())
        self.assertTrue(sent.stdout.decode().startswith("Sent: shop@example.com"))
        self.assertTrue(os.path.exists(ini))  # larkq send leaves the pair in place
        envelope, text = self.sink.messages()[-1]
        return envelope, email.message_from_bytes(text, policy=email.policy.default)

    def test_plain(self):
        envelope, message = self.deliver("--to", "Ann <ann@example.org>")
        self.assertEqual(envelope, ["shop@example.com", "ann@example.org"])
        self.assertEqual(message["Subject"], "Your order")
        self.assertEqual(message["From"].addresses[0].display_name, "Web Shop")
        # The data phase ends with an empty line before the ".", which the body keeps.
        self.assertEqual(message.get_content().replace("\r\n", "\n"),
                         "Hello Ann,\nyour order is on its way.\n\n")

    def test_recipients_cc_and_bcc(self):
        envelope, message = self.deliver(
            "--to", "Ann <ann@example.org>", "--to", "bob@example.org",
            "--cc", "C. Carl <carl@example.org>", "--bcc", "Bea <bea@example.org>")
        self.assertEqual(envelope[1:], ["ann@example.org", "bob@example.org",
                                        "carl@example.org", "bea@example.org"])
        self.assertEqual([a.addr_spec for a in message["To"].addresses],
                         ["ann@example.org", "bob@example.org"])
        self.assertEqual(message["Cc"].addresses[0].display_name, "C. Carl")
        self.assertIsNone(message["Bcc"])

    def test_attachment(self):
        data = bytes(self.random.randrange(256) for _ in range(100000))
        path = self.file("photo.bin", data)
        text = self.file("notes.txt", b"one\r\n.\r\n..two\r\n")
        _, message = self.deliver("--to", "ann@example.org", "--attach", path,
                                  "--attach", text)
        parts = {p.get_filename(): p.get_payload(decode=True)
                 for p in message.walk() if p.get_filename()}
        self.assertEqual(parts, {"photo.bin": data, "notes.txt": b"one\r\n.\r\n..two\r\n"})

    def test_iso_8859_1(self):
        _, message = self.deliver("--to", "ann@example.org", "--iso-8859-1",
                                  body="Caf\u00e9 cr\u00e8me\r\n".encode("latin-1"))
        self.assertEqual(message.get_content_charset(), "iso-8859-1")
        self.assertEqual(message.get_content().strip(), "Caf\u00e9 cr\u00e8me")

    def test_one_of_two_recipients_refused(self):
        envelope, message = self.deliver("--to", "Ann <ann@example.org>",
                                         "--to", "Rex <refused-rex@example.org>")
        self.assertEqual(envelope, ["shop@example.com", "ann@example.org"])
        self.assertEqual([a.addr_spec for a in message["To"].addresses],
                         ["ann@example.org", "refused-rex@example.org"])

    def test_every_recipient_refused(self):
        ini = self.add("--relay", "127.0.0.1:%d" % self.sink.port,
                       "--to", "refused-ann@example.org", "--cc", "refused-carl@example.org",
                       body=b"Hello\r\n")
        sent = self.larkq("send", ini)
        self.assertEqual(sent.returncode, 1)
        # The reason is the last refusal, not the relay's complaint about a data phase without
        # recipients, and no message was sent.
        self.assertIn("Not sent: 550 5.1.1 <refused-carl@example.org>: Recipient address "
                      "rejected", sent.stderr.decode())
        self.assertEqual(self.sink.messages(), [])

    def test_uuencoded(self):
        data = bytes(self.random.randrange(256) for _ in range(5000))
        path = self.file("data.bin", data)
        _, message = self.deliver("--to", "ann@example.org", "--uuencode", "--attach", path)
        lines = message.get_payload().splitlines()
        start = lines.index("begin 600 data.bin")
        end = lines.index("end", start)
        decoded = b"".join(binascii.a2b_uu(line) for line in lines[start + 1:end] if line)
        self.assertEqual(decoded, data)


if __name__ == "__main__":
    unittest.main()
