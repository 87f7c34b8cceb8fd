"""Composed messages of every shape, parsed by Python's email package.

Each message is written with `larkq add` and composed with `larkq compose`; the text is the
data-phase form, so a leading dot is removed from every line that has one before parsing (as a
receiving server does). Every attachment's decoded bytes must equal the source file's bytes.
"""
import binascii
import email
import email.policy
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from larkq_case import LarkqCase  # noqa: E402


def text_of(part) -> str:
    """A text part's content with the transport's CR LF line ends as plain newlines."""
    return part.get_content().replace("\r\n", "\n")


def lines_of(data: bytes) -> list:
    """The lines of a text whatever its line ends: CR LF, LF or CR."""
    return data.replace(b"\r\n", b"\n").replace(b"\r", b"\n").split(b"\n")


def undot(data: bytes) -> bytes:
    lines = data.split(b"\r\n")
    return b"\r\n".join(line[1:] if line.startswith(b".") else line for line in lines)


class ComposeInterop(LarkqCase):
    seed = 11

    def compose(self, *options, body=b"Hello Ann,\nyour order is on its way.\n"):
        ini = self.add("--to", "Ann Smith <ann@example.org>", "--to", "bob@example.org",
                       "--cc", "C. Carl <carl@example.org>", "--bcc", "bea@example.org",
                       "--subject", "Your order 1234", "--relay", "127.0.0.1", *options,
                       body=body)
        composed = self.larkq("compose", ini)
        self.assertEqual(composed.returncode, 0, composed.stderr.decode())
        text = composed.stdout
        self.assertTrue(text.endswith(b"\r\n"))
        self.assertNotIn(b"\r\n.\r\n", text)  # nothing ends the data early
        self.check_raw_headers(undot(text))
        message = email.message_from_bytes(undot(text), policy=email.policy.default)
        self.check_defects(message, undot(text))
        return message

    def check_raw_headers(self, text: bytes):
        """Every header line of every part is pure ASCII and at most 998 characters."""
        in_headers = True
        for line in text.split(b"\r\n"):
            if in_headers:
                self.assertTrue(line.isascii(), line)
                self.assertLessEqual(len(line), 998, line[:80])
            if line == b"":
                in_headers = False
            elif line.startswith(b"--") and not in_headers:
                in_headers = True  # a delimiter: the part's headers follow

    def check_defects(self, message, raw: bytes):
        """No defect in any part or header, parsed by the default and by the strict policy.
        An encoded-word file name in a quoted name= parameter is the one form allowed: it is
        written beside a standard filename* parameter for readers that know no other."""
        strict = email.message_from_bytes(raw, policy=email.policy.strict)
        for parsed in (message, strict):
            for part in parsed.walk():
                self.assertFalse(part.defects, part.defects)
                for name, value in part.items():
                    defects = [str(d) for d in value.defects]
                    legacy_name = not (part.get_filename() or "").isascii()
                    if name.lower() == "content-type" and legacy_name:
                        defects = [d for d in defects if "encoded word inside quoted" not in d
                                   and "missing trailing whitespace" not in d]
                    self.assertFalse(defects, (name, str(value), defects))

    def check_headers(self, message):
        self.assertEqual(message["Subject"], "Your order 1234")
        self.assertEqual(message["From"].addresses[0].addr_spec, "shop@example.com")
        self.assertEqual(message["From"].addresses[0].display_name, "Web Shop")
        self.assertEqual([a.addr_spec for a in message["To"].addresses],
                         ["ann@example.org", "bob@example.org"])
        self.assertEqual(message["To"].addresses[0].display_name, "Ann Smith")
        self.assertEqual(message["Cc"].addresses[0].display_name, "C. Carl")
        self.assertIsNone(message["Bcc"])
        self.assertFalse(message.defects, message.defects)

    def attachments(self, message):
        return {part.get_filename(): part.get_payload(decode=True)
                for part in message.walk() if part.get_filename()}

    def test_plain_us_ascii(self):
        message = self.compose()
        self.check_headers(message)
        self.assertEqual(message.get_content_type(), "text/plain")
        self.assertEqual(message.get_content_charset(), "us-ascii")
        self.assertEqual(text_of(message), "Hello Ann,\nyour order is on its way.\n")

    def test_iso_8859_1_and_custom_charsets(self):
        message = self.compose("--iso-8859-1", body="Caf\u00e9 au lait\n".encode("latin-1"))
        self.assertEqual(message.get_content_charset(), "iso-8859-1")
        self.assertEqual(text_of(message), "Caf\u00e9 au lait\n")
        message = self.compose("--charset", "utf-8", body="Gr\u00fc\u00dfe \u2603\n".encode())
        self.assertEqual(message.get_content_charset(), "utf-8")
        self.assertEqual(text_of(message), "Gr\u00fc\u00dfe \u2603\n")

    def test_long_lines_and_dots(self):
        long_line = " ".join("word%d" % i for i in range(80))
        message = self.compose(body=(long_line + "\n.\n.leading dot\n").encode())
        self.assertEqual(message["Content-Transfer-Encoding"], "quoted-printable")
        self.assertEqual(text_of(message), long_line + "\n.\n.leading dot\n")

    def test_html_and_rtf_bodies(self):
        message = self.compose("--content-type", "text/html", body=b"<p>Hello <b>Ann</b></p>\n")
        self.assertEqual(message.get_content_type(), "text/html")
        self.assertEqual(text_of(message), "<p>Hello <b>Ann</b></p>\n")
        html = self.file("_htmbody.htm", b"<p>Body from the attachment</p>\r\n")
        message = self.compose("--attach", html, body=b"")
        self.assertEqual(message.get_content_type(), "text/html")
        self.assertEqual(text_of(message), "<p>Body from the attachment</p>\n")
        rtf = self.file("_rtfbody.rtf", b"{\\rtf1 Hello}\r\n")
        message = self.compose("--attach", rtf, body=b"")
        self.assertEqual(message.get_content_type(), "text/rtf")

    def test_one_and_several_attachments(self):
        sources = {
            "photo.bin": bytes(self.random.randrange(256) for _ in range(5000)),
            "exact.bin": bytes(range(57)) * 3,
            "empty.bin": b"",
            "notes.txt": b"line one\r\n.\r\n..two dots\r\nlast line\r\n",
            "report.pdf": b"%PDF-1.4\n" + bytes(self.random.randrange(256) for _ in range(3000)),
        }
        paths = {name: self.file(name, data) for name, data in sources.items()}
        message = self.compose("--attach", paths["photo.bin"])
        self.check_headers(message)
        self.assertEqual(self.attachments(message), {"photo.bin": sources["photo.bin"]})
        options = [arg for path in paths.values() for arg in ("--attach", path)]
        message = self.compose(*options)
        self.assertEqual(message.get_content_type(), "multipart/mixed")
        self.assertEqual(self.attachments(message), sources)
        body = next(part for part in message.walk() if part.get_content_type() == "text/plain"
                    and not part.get_filename())
        self.assertEqual(text_of(body), "Hello Ann,\nyour order is on its way.\n")

    def test_nested_alternative(self):
        html = self.file("_alt.htm", b"<p>Hello</p>\r\n")
        pdf_bytes = bytes(self.random.randrange(256) for _ in range(999))
        pdf = self.file("report.pdf", pdf_bytes)
        message = self.compose("--attach", html, "--attach", pdf)
        self.assertEqual(message.get_content_type(), "multipart/mixed")
        alternative, attachment = message.get_payload()
        self.assertEqual(alternative.get_content_type(), "multipart/alternative")
        self.assertEqual([p.get_content_type() for p in alternative.get_payload()],
                         ["text/plain", "text/html"])
        self.assertEqual(attachment.get_filename(), "report.pdf")
        self.assertEqual(attachment.get_payload(decode=True), pdf_bytes)

    def test_names_with_commas_and_quotes(self):
        message = self.compose("--to", 'Last, First <last@example.org>',
                               "--to", 'B. "Bee" Jones <bee@example.org>',
                               "--cc", '"x@example.org" <x@example.org>')
        to = message["To"].addresses
        self.assertEqual([(a.display_name, a.addr_spec) for a in to[2:]],
                         [("Last, First", "last@example.org"),
                          ('B. "Bee" Jones', "bee@example.org")])
        self.assertEqual([(a.display_name, a.addr_spec) for a in message["Cc"].addresses],
                         [("C. Carl", "carl@example.org"), ("x@example.org", "x@example.org")])

    def test_eight_bit_subjects_names_and_bodies(self):
        body = "Gr\u00fc\u00dfe aus K\u00f6ln,\n\nunser Caf\u00e9 \u2603  \n"
        cases = [
            ([b"--iso-8859-1"], "latin-1", "iso-8859-1", body.replace("\u2603", "x")),
            ([], "utf-8", "utf-8", body),  # us-ascii declared, UTF-8 found
            ([], "latin-1", "iso-8859-1", body.replace("\u2603", "x")),  # neither: ISO-8859-1
            ([b"--charset", b"utf-8"], "utf-8", "utf-8", body),
        ]
        for options, encoding, charset, text in cases:
            subject = "Ihre Bestellung \u00fcber 30 \u20ac" if encoding == "utf-8" \
                else "Ihre Bestellung \u00fcber" + " sehr viele Artikel" * 6
            name = "M\u00fcller, J\u00fcrgen"
            message = self.compose(
                *options, b"--subject", subject.encode(encoding),
                b"--from-name", "B\u00e4ckerei Sch\u00f6n".encode(encoding),
                b"--to", ("%s <jm@example.org>" % name).encode(encoding),
                b"--organization", "B\u00e4ckerei & Caf\u00e9".encode(encoding),
                body=text.encode(encoding))
            self.assertEqual(message["Subject"], subject)
            self.assertEqual(message["From"].addresses[0].display_name, "B\u00e4ckerei Sch\u00f6n")
            self.assertEqual(message["To"].addresses[0].display_name, "Ann Smith")
            self.assertEqual((message["To"].addresses[2].display_name,
                              message["To"].addresses[2].addr_spec), (name, "jm@example.org"))
            self.assertEqual(message["Organization"], "B\u00e4ckerei & Caf\u00e9")
            self.assertEqual(message.get_content_charset(), charset, options)
            self.assertEqual(message["Content-Transfer-Encoding"], "quoted-printable")
            self.assertEqual(text_of(message).split("\n"), text.split("\n"))

    def test_lf_text_attachment_keeps_its_lines(self):
        source = b"first line\n\n\nindented  \n  trailing blanks   \ntab\t\n\nlast\n"
        path = self.file("unix.txt", source)
        message = self.compose("--attach", path)
        decoded = self.attachments(message)["unix.txt"]
        self.assertEqual(lines_of(decoded), lines_of(source))
        message = self.compose("--attach", path, body=b"")
        self.assertEqual(lines_of(self.attachments(message)["unix.txt"]), lines_of(source))

    def test_text_attachments_arrive_byte_for_byte(self):
        sources = {"empty.txt": b"", "no-break.txt": b"nineteen bytes, no.", "lf.txt": b"a\nb\n",
                   "crlf.txt": b"a\r\nb\r\n", "cr.txt": b"a\rb\r", "binary.txt": bytes(range(256))}
        for name, data in sources.items():  # alone, and beside a text part
            for body in (b"", b"Hello\n"):
                message = self.compose("--attach", self.file(name, data), body=body)
                self.assertEqual(self.attachments(message), {name: data})

    def test_html_file_alone_is_an_attachment(self):
        page = b"<html><body><p>The page</p></body></html>\r\n"
        message = self.compose("--attach", self.file("page.htm", page), body=b"")
        self.assertEqual(message.get_content_type(), "text/html")
        self.assertEqual(self.attachments(message), {"page.htm": page})

    def test_file_names_with_accents_and_quotes(self):
        name = 'r\u00e9sum\u00e9 "v2".txt'
        data = b"Curriculum vitae\r\n"
        path = self.file(name, data)
        for body in (b"See attached.\n", b""):
            message = self.compose("--attach", path, body=body)
            self.assertEqual(self.attachments(message), {name: data})
            part = [p for p in message.walk() if p.get_filename()][0]
            self.assertEqual(part["Content-Type"].params["name"], name)
        latin = os.path.join(self.dir.name.encode(), "caf\u00e9.zip".encode("latin-1"))
        with open(latin, "wb") as f:
            f.write(b"PK")
        message = self.compose(b"--attach", latin)
        self.assertEqual(list(self.attachments(message)), ["caf\u00e9.zip"])

    def test_uuencoded(self):
        data = bytes(self.random.randrange(256) for _ in range(1000))
        path = self.file("data.bin", data)
        message = self.compose("--uuencode", "--attach", path)
        self.check_headers(message)
        self.assertIsNone(message["Mime-Version"])
        lines = message.get_payload().splitlines()
        start = lines.index("begin 600 data.bin")
        end = lines.index("end", start)
        decoded = b"".join(binascii.a2b_uu(line) for line in lines[start + 1:end] if line)
        self.assertEqual(decoded, data)
        self.assertIn("Hello Ann,", lines)


if __name__ == "__main__":
    unittest.main()
