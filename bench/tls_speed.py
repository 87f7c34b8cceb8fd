"""The cost of TLS: `larkq send` of one small message and of one with a 1 MB attachment to the
same aiosmtpd relay plain, after STARTTLS, and over TLS from the first byte (certificates of a
test authority, verified), each with AUTH PLAIN where TLS is on.

Usage: /usr/bin/python3 bench/tls_speed.py [build/default/tools/larkq] [runs]
Prints the median wall and CPU time of each and its ratio to the plain delivery.
"""
import logging
import os
import random
import resource
import ssl
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "interop"))
from smtp_sink import free_port  # noqa: E402
from tls_fixture import make_certificates  # noqa: E402
from aiosmtpd.controller import Controller  # noqa: E402
from aiosmtpd.smtp import AuthResult  # noqa: E402

# aiosmtpd logs a warning about its own deprecated attribute at each login, between the rows.
logging.getLogger("mail.log").setLevel(logging.ERROR)

LARKQ = sys.argv[1] if len(sys.argv) > 1 else "build/default/tools/larkq"
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 9


class Swallow:
    async def handle_DATA(self, server, session, envelope):
        return "250 queued"


def accept(server, session, envelope, mechanism, data):
    return AuthResult(success=True, handled=False)


def start(port, context, implicit):
    # This aiosmtpd counts only STARTTLS as TLS: over implicit TLS it offers AUTH only when told
    # that no TLS is needed for it.
    options = ({"ssl_context": context, "auth_require_tls": False} if implicit
               else {"tls_context": context})
    controller = Controller(Swallow(), hostname="127.0.0.1", port=port, authenticator=accept,
                            data_size_limit=64 << 20, **options)
    controller.start()
    return controller


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def main():
    work = tempfile.TemporaryDirectory()
    root, queue = os.path.join(work.name, "root"), os.path.join(work.name, "queue")
    os.makedirs(os.path.join(root, "registry"))
    os.makedirs(queue)
    certs = make_certificates(work.name)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(*certs["server"])
    password = os.path.join(work.name, "password")
    with open(password, "w") as f:
        f.write("secret\n")
    os.chmod(password, 0o600)
    ports = {mode: free_port() for mode in ("plain", "starttls", "tls")}
    servers = [start(ports["plain"], context, False), start(ports["starttls"], context, False),
               start(ports["tls"], context, True)]
    with open(os.path.join(root, "registry", "HKEY_LOCAL_MACHINE.reg"), "w") as f:
        f.write("REGEDIT4\n\n")
        for mode in ("starttls", "tls"):
            f.write('[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quobex\\LRKP\\Relays\\localhost:%d]\n'
                    '"Security"="%s"\n"CAFile"="%s"\n"AuthUser"="shop"\n"PasswordFile"="%s"\n\n'
                    % (ports[mode], mode, certs["ca"], password))
    env = dict(os.environ, LARKPOST_ROOT=root)
    attachment = os.path.join(work.name, "data.bin")
    with open(attachment, "wb") as f:
        f.write(random.Random(1).randbytes(1 << 20))
    try:
        print("%-10s %-9s %10s %10s %7s" % ("message", "relay", "wall ms", "cpu ms", "ratio"))
        for size, extra in (("small", []), ("1 MB", ["--attach", attachment])):
            plain = None
            for mode in ("plain", "starttls", "tls"):
                added = subprocess.run(
                    [LARKQ, "add", "--from", "shop@example.com", "--to", "ann@example.org",
                     "--subject", "Order", "--relay", "localhost:%d" % ports[mode], *extra,
                     queue], input=b"Hello\r\n", capture_output=True, env=env, check=True)
                ini = added.stdout.decode().strip()
                walls, cpus = [], []
                for _ in range(RUNS):
                    began, before = time.perf_counter(), children_cpu()
                    subprocess.run([LARKQ, "send", ini], env=env, check=True,
                                   stdout=subprocess.DEVNULL)
                    walls.append(time.perf_counter() - began)
                    cpus.append(children_cpu() - before)
                wall, cpu = statistics.median(walls) * 1000, statistics.median(cpus) * 1000
                plain = plain or wall
                print("%-10s %-9s %10.1f %10.1f %6.2fx" % (size, mode, wall, cpu, wall / plain))
    finally:
        for server in servers:
            server.stop()
        work.cleanup()


if __name__ == "__main__":
    main()
