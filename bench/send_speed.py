"""`larkq send` of a message with a 10 MB attachment (load, compose, send) next to Python's
smtplib + email composing and sending the same attachment, both to one local sink in one run.

Usage: /usr/bin/python3 bench/send_speed.py [build/default/tools/larkq] [runs]
Prints wall time, CPU time and peak memory (median of the runs) and the ratio.
"""
import os
import random
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

PEER = r'''
import smtplib, sys
from email.message import EmailMessage
port, path = int(sys.argv[1]), sys.argv[2]
message = EmailMessage()
message["From"] = "Web Shop <shop@example.com>"
message["To"] = "Ann <ann@example.org>"
message["Subject"] = "Your order"
message.set_content("Hello Ann,\nyour order is on its way.\n")
with open(path, "rb") as f:
    message.add_attachment(f.read(), maintype="application", subtype="octet-stream",
                           filename="data.bin")
with smtplib.SMTP("127.0.0.1", port) as client:
    client.send_message(message)
'''


def sink(listener):
    """A minimal, fast SMTP sink: answers every command, swallows the data."""
    while True:
        connection, _ = listener.accept()
        with connection:
            connection.sendall(b"220 sink\r\n")
            pending, in_data = b"", False
            while True:
                chunk = connection.recv(1 << 20)
                if not chunk:
                    break
                pending += chunk
                while True:
                    if in_data:
                        end = pending.find(b"\r\n.\r\n")
                        if end < 0:
                            pending = pending[-4:]
                            break
                        pending, in_data = pending[end + 5:], False
                        connection.sendall(b"250 queued\r\n")
                        continue
                    line_end = pending.find(b"\n")
                    if line_end < 0:
                        break
                    line, pending = pending[:line_end + 1], pending[line_end + 1:]
                    verb = line[:4].upper()
                    if verb == b"DATA":
                        in_data = True
                        connection.sendall(b"354 go\r\n")
                    elif verb == b"QUIT":
                        connection.sendall(b"221 bye\r\n")
                    elif verb in (b"EHLO", b"HELO", b"MAIL", b"RCPT"):
                        connection.sendall(b"250 ok\r\n")
                    else:
                        connection.sendall(b"250 ok\r\n")


def start_sink():
    """Starts the sink on 127.0.0.1 in a thread of its own and returns its port."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    threading.Thread(target=sink, args=(listener,), daemon=True).start()
    return listener.getsockname()[1]


def measure(args, stdin=None):
    """(wall seconds, CPU seconds, peak resident KB) of one run of a program."""
    # GNU time forks the program from a small process of its own, so the peak resident size it
    # reports is the program's, not this interpreter's.
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", *args], stdin=stdin,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit("failed: %s\n%s" % (" ".join(args), done.stderr.decode()))
    user, system, peak_kb = done.stderr.decode().split()[-3:]
    return wall, float(user) + float(system), int(peak_kb)


def median_measure(args, runs, stdin_path=None):
    """The medians of (wall, CPU, peak KB) over runs of a program, its input read from a file."""
    results = []
    for _ in range(runs):
        if stdin_path is None:
            results.append(measure(args))
        else:
            with open(stdin_path, "rb") as stdin:
                results.append(measure(args, stdin))
    return [statistics.median(r[i] for r in results) for i in range(3)]


def prepare(larkq, work, port):
    """Queues the message with the 10 MB attachment in work and writes the Python peer there.
    Returns (the queued .ini, the attachment, the peer script)."""
    attachment = os.path.join(work, "data.bin")
    with open(attachment, "wb") as f:
        f.write(random.Random(1).randbytes(10 * 1024 * 1024))
    queue = os.path.join(work, "queue")
    os.makedirs(queue)
    ini = subprocess.run(
        [larkq, "add", "--from", "shop@example.com", "--to", "Ann <ann@example.org>",
         "--subject", "Your order", "--relay", "127.0.0.1:%d" % port, "--attach",
         attachment, queue], input=b"Hello Ann,\nyour order is on its way.\n",
        capture_output=True, check=True).stdout.decode().strip()
    peer = os.path.join(work, "peer.py")
    with open(peer, "w") as f:
        f.write(PEER)
    return ini, attachment, peer


def main():
    larkq = sys.argv[1] if len(sys.argv) > 1 else "build/default/tools/larkq"
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    with tempfile.TemporaryDirectory() as work:
        os.environ["LARKPOST_ROOT"] = os.path.join(work, "root")
        port = start_sink()
        ini, attachment, peer = prepare(larkq, work, port)
        results = {}
        for name, args in (("larkq send", [larkq, "send", ini]),
                           ("python smtplib+email",
                            ["/usr/bin/python3", peer, str(port), attachment])):
            results[name] = median_measure(args, runs)
        print("10 MB attachment, median of %d runs" % runs)
        for name, (wall, cpu, peak_kb) in results.items():
            print("  %-22s wall %6.3f s   cpu %6.3f s   peak memory %6.1f MB"
                  % (name, wall, cpu, peak_kb / 1024))
        ours, theirs = results["larkq send"][0], results["python smtplib+email"][0]
        print("  larkq send takes %.2f of the time Python takes" % (ours / theirs))


if __name__ == "__main__":
    main()
