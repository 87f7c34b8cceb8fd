"""Messages written by Python's email package, of several shapes, parsed by the mail library's
parser (through the maillib_parse_dump driver, the first command-line argument): each must give
the expected sender, recipients, subject, body and attachments, byte for byte."""
import email.policy
import json
import os
import random
import subprocess
import sys
import tempfile
import unittest
from email.message import EmailMessage
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

DUMP = sys.argv.pop(1) if len(sys.argv) > 1 else "build/default/maillib/maillib_parse_dump"

BODY = "Hello Ann,\n\nyour order is on its way.\n-- \nThe shop\n"
HTML = "<html><body><p>Hello <b>Ann</b></p></body></html>\n"


def unhex(value):
    if isinstance(value, list):
        return [unhex(item) for item in value]
    return bytes.fromhex(value)


class ParseInterop(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.env = dict(os.environ, LARKPOST_ROOT=self.dir.name)
        self.random = random.Random(5)

    def tearDown(self):
        self.dir.cleanup()

    def parse(self, message, linesep="\r\n"):
        raw = message.as_bytes(policy=message.policy.clone(linesep=linesep))
        run = subprocess.run([DUMP], input=raw, capture_output=True, env=self.env, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr.decode())
        parsed = json.loads(run.stdout)
        for key in ("sender", "to", "cc", "bcc", "subject", "body", "headers", "custom_charset",
                    "content_type"):
            parsed[key] = unhex(parsed[key])
        for item in parsed["attachments"]:
            for key in ("name", "type", "bytes"):
                item[key] = unhex(item[key])
        return parsed

    def addressed(self, message):
        message["From"] = "Web Shop <shop@example.com>"
        message["To"] = "Ann Smith <ann@example.org>, bob@example.org"
        message["Cc"] = "Jörg Müller <joerg@example.org>, undisclosed-recipients:;"
        message["Subject"] = "Your order ünd more"
        return message

    def check_addresses(self, parsed):
        self.assertEqual(parsed["sender"], [b"Web Shop", b"shop@example.com"])
        self.assertEqual(parsed["to"], [[b"Ann Smith", b"ann@example.org"],
                                        [b"", b"bob@example.org"]])
        self.assertEqual(parsed["cc"], [["Jörg Müller".encode(), b"joerg@example.org"]])
        self.assertEqual(parsed["subject"], "Your order ünd more".encode())
        self.assertNotIn(b"From", b"".join(parsed["headers"]))

    def body_lines(self, text=BODY):
        return [line.encode() for line in text.rstrip("\n").split("\n")]

    def test_plain_text_with_lf_and_crlf_line_ends(self):
        for linesep in ("\n", "\r\n"):
            message = self.addressed(EmailMessage())
            message.set_content(BODY)
            parsed = self.parse(message, linesep)
            self.check_addresses(parsed)
            self.assertEqual(parsed["body"], self.body_lines())
            self.assertEqual(parsed["attachments"], [])

    def test_quoted_printable_utf8_body(self):
        message = self.addressed(EmailMessage())
        text = "Grüße aus Köln,\n" + "lange Zeile " * 40 + "\nEnde\n"
        message.set_content(text, cte="quoted-printable")
        parsed = self.parse(message)
        self.assertEqual(parsed["body"], self.body_lines(text))
        self.assertEqual(parsed["custom_charset"], b"utf-8")

    def test_mixed_with_attachments_and_encoded_names(self):
        message = self.addressed(EmailMessage())
        message.set_content(BODY)
        binary = bytes(self.random.randrange(256) for _ in range(3000))
        message.add_attachment(binary, maintype="application", subtype="pdf",
                               filename="invoice.pdf")
        message.add_attachment("line one\nline two\n", filename="notes.txt")
        message.add_attachment(b"\x00\x01\x02", maintype="application",
                               subtype="octet-stream", filename="résumé données.bin")
        parsed = self.parse(message)
        self.check_addresses(parsed)
        self.assertEqual(parsed["body"], self.body_lines())
        names = [item["name"] for item in parsed["attachments"]]
        self.assertEqual(names, [b"invoice.pdf", b"notes.txt", "résumé données.bin".encode()])
        self.assertEqual(parsed["attachments"][0]["bytes"], binary)
        self.assertEqual(parsed["attachments"][1]["bytes"].replace(b"\r\n", b"\n"),
                         b"line one\nline two\n")
        self.assertEqual(parsed["attachments"][2]["bytes"], b"\x00\x01\x02")

    def test_alternative(self):
        message = self.addressed(EmailMessage())
        message.set_content(BODY)
        message.add_alternative(HTML, subtype="html")
        parsed = self.parse(message)
        self.assertEqual(parsed["body"], self.body_lines())
        self.assertEqual(len(parsed["attachments"]), 1)
        html = parsed["attachments"][0]
        self.assertEqual(html["name"], b"_alt.0")
        self.assertEqual(html["type"], b"text/html")
        self.assertEqual(html["bytes"].replace(b"\r\n", b"\n"), HTML.encode())
        self.assertEqual(parsed["content_type"], b"multipart/alternative")

    def test_nested_alternative_in_mixed(self):
        message = self.addressed(EmailMessage())
        message.set_content(BODY)
        message.add_alternative(HTML, subtype="html")
        message.add_attachment(b"PK\x03\x04zip", maintype="application", subtype="zip",
                               filename="files.zip")
        message.add_attachment(b"GIF89a", maintype="image", subtype="gif", filename="x.gif")
        parsed = self.parse(message)
        self.assertEqual(parsed["body"], self.body_lines())
        self.assertEqual([item["name"] for item in parsed["attachments"]],
                         [b"_alt.0", b"files.zip", b"x.gif"])
        self.assertEqual(parsed["attachments"][1]["bytes"], b"PK\x03\x04zip")
        self.assertEqual(parsed["attachments"][2]["bytes"], b"GIF89a")
        self.assertEqual(parsed["content_type"], b"multipart/mixed")

    def test_nested_alternative_of_one_part(self):
        outer = MIMEMultipart("mixed")
        self.addressed(outer)
        inner = MIMEMultipart("alternative")
        inner.attach(MIMEText(BODY, "plain", "us-ascii"))
        outer.attach(inner)
        outer.attach(MIMEApplication(b"data", Name="after.bin"))
        parsed = self.parse(outer)
        self.assertEqual(parsed["body"], self.body_lines())
        self.assertEqual([item["name"] for item in parsed["attachments"]], [b"after.bin"])
        self.assertEqual(parsed["attachments"][0]["bytes"], b"data")

    def test_html_body_with_attachment(self):
        message = self.addressed(EmailMessage())
        message.set_content(HTML, subtype="html")
        message.add_attachment(b"%PDF-1.4", maintype="application", subtype="pdf",
                               filename="a.pdf")
        parsed = self.parse(message)
        self.assertEqual(parsed["body"], [])
        self.assertEqual([item["name"] for item in parsed["attachments"]],
                         [b"_htmbody.htm", b"a.pdf"])
        self.assertEqual(parsed["attachments"][0]["bytes"].replace(b"\r\n", b"\n"),
                         HTML.encode())

    def test_legacy_encoded_word_names(self):
        outer = MIMEMultipart("mixed")
        self.addressed(outer)
        outer.attach(MIMEText(BODY, "plain", "iso-8859-1"))
        part = MIMEApplication(b"\xff\xfe")
        part.replace_header("Content-Type",
                            'application/octet-stream; name="=?utf-8?b?w7xiZXIuYmlu?="')
        outer.attach(part)
        special = MIMEApplication(b"html?")
        special.add_header("Content-Disposition", "attachment", filename="_htmbody.htm")
        outer.attach(special)
        parsed = self.parse(outer)
        self.assertEqual(parsed["body"], self.body_lines())
        self.assertEqual(parsed["charset"], 1)
        self.assertEqual([item["name"] for item in parsed["attachments"]],
                         ["über.bin".encode(), b"htmbody.htm"])
        self.assertEqual(parsed["attachments"][0]["bytes"], b"\xff\xfe")

    def test_bcc_lines_never_stay_in_the_headers(self):
        message = self.addressed(EmailMessage())
        message["Bcc"] = "hidden@example.org"
        message["X-Mailer"] = "python"
        message.set_content(BODY)
        raw = message.as_bytes(policy=email.policy.SMTP)
        raw = raw.replace(b"X-Mailer", b"BCC: second@example.org\r\nX-Mailer", 1)
        run = subprocess.run([DUMP], input=raw, capture_output=True, env=self.env, timeout=60)
        parsed = json.loads(run.stdout)
        self.assertEqual(len(parsed["bcc"]), 2)
        headers = b"\n".join(unhex(parsed["headers"]))
        self.assertNotIn(b"example.org", headers)
        self.assertIn(b"X-Mailer: python", headers)


if __name__ == "__main__":
    unittest.main()
