"""`larkq send -v` to aiosmtpd relays over STARTTLS and TLS from the first byte (a test
authority's certificates), with AUTH PLAIN, LOGIN and CRAM-MD5, and over IPv6. Each relay's
settings are written to the hive of the test's own machine root."""
import base64
import hashlib
import hmac
import os
import ssl
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from larkq_case import LARKQ, LarkqCase  # noqa: E402
from smtp_sink import free_port  # noqa: E402
from tls_fixture import make_certificates  # noqa: E402
from aiosmtpd.controller import Controller  # noqa: E402
from aiosmtpd.smtp import AuthResult  # noqa: E402

USER, PASSWORD = "shop", "s3cret pass"


class Relay:
    """Keeps each MAIL command (and whether TLS carried it) and each message's recipients."""

    def __init__(self):
        self.mail_from, self.recipients = [], []

    async def handle_MAIL(self, server, session, envelope, address, options):
        self.mail_from.append((address, server.transport.get_extra_info("ssl_object") is not None))
        envelope.mail_from = address
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.recipients.append(envelope.rcpt_tos)
        return "250 Message accepted for delivery"

    async def cram_md5(self, server, args):
        challenge = b"<1896.697170952@relay.test>"
        user, _, digest = (await server.challenge_auth(challenge)).partition(b" ")
        expected = hmac.new(PASSWORD.encode(), challenge, hashlib.md5).hexdigest().encode()
        return AuthResult(success=user == USER.encode() and digest == expected, handled=False)


# aiosmtpd names a mechanism after its method, and a method name has no "-".
setattr(Relay, "auth_CRAM-MD5", Relay.cram_md5)


def authenticate(server, session, envelope, mechanism, data):
    # handled=False: aiosmtpd answers itself, 535 for a failure.
    return AuthResult(success=(data.login, data.password) == (USER.encode(), PASSWORD.encode()),
                      handled=False)


class RelayTlsInterop(LarkqCase):
    @classmethod
    def setUpClass(cls):
        cls.certs_dir = tempfile.TemporaryDirectory()
        cls.certs = make_certificates(cls.certs_dir.name)

    @classmethod
    def tearDownClass(cls):
        cls.certs_dir.cleanup()

    def setUp(self):
        super().setUp()
        self.password_file = self.secret("password", PASSWORD + "\n")
        self.controllers = []

    def tearDown(self):
        for controller in self.controllers:
            controller.stop()
        super().tearDown()

    def secret(self, name, text, mode=0o600):
        path = self.file(name, text.encode())
        os.chmod(path, mode)
        return path

    def relay(self, certificate="server", host="127.0.0.1", implicit=False, starttls=True,
              only=None):
        """Starts a relay; returns (handler, port)."""
        handler, port = Relay(), free_port()
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(*self.certs[certificate])
        # This aiosmtpd counts only STARTTLS as TLS, and would offer no AUTH over implicit TLS.
        options = ({"ssl_context": context, "auth_require_tls": False} if implicit
                   else {"tls_context": context} if starttls else {})
        if only:
            options["auth_exclude_mechanism"] = [m for m in ("PLAIN", "LOGIN") if m != only]
        controller = Controller(handler, hostname=host, port=port, authenticator=authenticate,
                                **options)
        controller.start()
        self.controllers.append(controller)
        return handler, port

    def send(self, relay, values=None, prefix=()):
        """Sets relay's settings in the hive, queues a message for it, runs `larkq send -v`."""
        if values is not None:
            os.makedirs(os.path.join(self.env["LARKPOST_ROOT"], "registry"), exist_ok=True)
            with open(os.path.join(self.env["LARKPOST_ROOT"], "registry",
                                   "HKEY_LOCAL_MACHINE.reg"), "w") as f:
                f.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quobex\\LRKP\\Relays\\%s]\n"
                        % relay)
                for name, value in values.items():
                    f.write('"%s"=%s\n' % (name, "dword:%08x" % value if isinstance(value, int)
                                           else '"%s"' % value))
        ini = self.add("--to", "ann@example.org", "--subject", "Order", "--relay", relay,
                       body=b"Hello\r\n")
        return subprocess.run([*prefix, LARKQ, "send", "-v", ini], capture_output=True,
                              text=True, env=self.env)

    def tls(self, security="starttls", **values):
        return dict({"Security": security, "CAFile": self.certs["ca"]}, **values)

    def auth(self, security="starttls", **values):
        return self.tls(security, **dict({"AuthUser": USER, "PasswordFile": self.password_file},
                                         **values))

    def test_delivery_over_each_mode_and_mechanism(self):
        cases = [  # relay options, settings, what the dialogue shows
            (dict(), self.auth(), "AUTH PLAIN ********"),
            (dict(implicit=True, only="LOGIN"), self.auth("tls"), "AUTH LOGIN"),
            (dict(only="CRAM-MD5"), self.auth("STARTTLS"), "AUTH CRAM-MD5"),
            (dict(implicit=True), self.tls("tls"), "EHLO"),
        ]
        for options, values, shown in cases:
            with self.subTest(values=values, relay=options):
                handler, port = self.relay(**options)
                sent = self.send("localhost:%d" % port, values)
                self.assertEqual(sent.returncode, 0, sent.stderr)
                self.assertIn(shown, sent.stderr)
                self.assertIn("certificate verified for localhost", sent.stderr)
                for secret in (PASSWORD, base64.b64encode(PASSWORD.encode()).decode()):
                    self.assertNotIn(secret, sent.stderr)
                self.assertEqual(handler.mail_from, [("shop@example.com", True)])
                self.assertEqual(handler.recipients, [["ann@example.org"]])

    def test_refusals_and_any_certificate_when_verification_is_off(self):
        plain, plain_port = self.relay(starttls=False)
        wrong, wrong_port = self.relay("wrong_host")
        alone, alone_port = self.relay("self_signed")
        auth, auth_port = self.relay()
        cases = [  # relay port, settings, reason
            (plain_port, self.tls(), "does not offer STARTTLS"),
            (wrong_port, self.tls(),
             "TLS: certificate verify failed: hostname mismatch (localhost)"),
            (alone_port, self.tls(),
             "TLS: certificate verify failed: self-signed certificate (localhost)"),
            (auth_port, self.auth(PasswordFile=self.secret("wrong", "x")), "535"),
            (auth_port, self.auth(PasswordFile=self.secret("shared", PASSWORD, 0o644)),
             "chmod 600"),
        ]
        for port, values, reason in cases:
            with self.subTest(reason=reason):
                sent = self.send("localhost:%d" % port, values)
                self.assertEqual(sent.returncode, 1, sent.stderr)
                self.assertIn(reason, sent.stderr.split("Not sent: ")[1])
        # Not one MAIL command reached a relay that failed a check.
        for handler in (plain, wrong, alone, auth):
            self.assertEqual(handler.mail_from, [])
        for handler, port in ((wrong, wrong_port), (alone, alone_port)):
            sent = self.send("localhost:%d" % port, self.tls(VerifyCertificate=0))
            self.assertEqual(sent.returncode, 0, sent.stderr)
            self.assertIn("(TLS certificate not verified)", sent.stdout)
            self.assertEqual(len(handler.recipients), 1)

    def test_ipv6_only_relay_and_a_dead_ipv6_address_before_a_live_ipv4_one(self):
        try:
            handler, port = self.relay(host="::1")
        except OSError as e:
            self.skipTest("no IPv6 loopback here: %s" % e)
        sent = self.send("[::1]:%d" % port, self.tls())
        self.assertEqual(sent.returncode, 0, sent.stderr)
        self.assertEqual(len(handler.recipients), 1)
        # relay.test names ::1, where nothing listens on the port, before 127.0.0.1.
        handler, port = self.relay(starttls=False)
        hosts = self.file("hosts", b"::1 relay.test\n127.0.0.1 relay.test\n")
        mount = ("unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/hosts && exec "$@"', hosts)
        probe = subprocess.run([*mount, "getent", "ahosts", "relay.test"], capture_output=True,
                               text=True)
        if probe.returncode != 0 or not probe.stdout.startswith("::1"):
            self.skipTest("no private /etc/hosts can be mounted here: %s" % probe.stderr)
        sent = self.send("relay.test:%d" % port, prefix=mount)
        self.assertEqual(sent.returncode, 0, sent.stderr)
        self.assertEqual(len(handler.recipients), 1)


if __name__ == "__main__":
    unittest.main()
