"""Certificates for TLS tests, made with the openssl command in a given directory.

A test authority signs a certificate for this host (localhost, 127.0.0.1 and ::1) and one for
another name, so a client that trusts the authority can be shown a good, a wrong-host and a
self-signed certificate. EC keys keep it fast; everything expires in two days.

    paths = make_certificates(directory)   # {"ca": ..., "server": (cert, key), ...}
    /usr/bin/python3 tls_fixture.py DIR     # the same, from a shell or another test program
"""

import os
import subprocess
import sys

THIS_HOST = "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1"
OTHER_HOST = "subjectAltName=DNS:relay.example.net"


def _make(directory, name, subject, extensions, signer=None):
    cert = os.path.join(directory, name + ".pem")
    key = os.path.join(directory, name + ".key")
    command = ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
               "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", subject,
               "-keyout", key, "-out", cert]
    for extension in extensions:
        command += ["-addext", extension]
    if signer:
        command += ["-CA", signer[0], "-CAkey", signer[1]]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError("openssl could not make %s: %s" % (cert, result.stderr.strip()))
    return cert, key


def make_certificates(directory):
    """Makes the authority and the certificates in directory; returns their paths: "ca" the
    authority's certificate, "server", "wrong_host" and "self_signed" each (certificate, key)."""
    leaf = "basicConstraints=critical,CA:FALSE"
    authority = _make(directory, "ca", "/CN=Larkpost Test Authority",
                      ["basicConstraints=critical,CA:TRUE", "keyUsage=critical,keyCertSign"])
    return {
        "ca": authority[0],
        "server": _make(directory, "server", "/CN=localhost", [THIS_HOST, leaf], authority),
        "wrong_host": _make(directory, "wrong_host", "/CN=relay.example.net", [OTHER_HOST, leaf],
                            authority),
        "self_signed": _make(directory, "self_signed", "/CN=localhost", [THIS_HOST, leaf]),
    }


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: tls_fixture.py DIRECTORY")
    for name, path in make_certificates(sys.argv[1]).items():
        print(name, *(path if isinstance(path, tuple) else (path,)))
