"""A scripted SMTP relay on 127.0.0.1 for the end-to-end tests, serving many connections at once.

mode "accept" plays a plain accepting dialogue and keeps each message; "refuse" answers MAIL with
a permanent refusal; "hang" accepts connections and never says a word; "hold" accepts, but keeps
each message's final reply until `release()`.
"""
import socketserver
import threading

REFUSAL = "550 5.7.1 relaying denied"


class Relay:
    def __init__(self, mode="accept"):
        self.mode = mode
        self.lock = threading.Lock()
        self.messages = []
        self.connections = 0
        self.holding = 0
        self.released = threading.Event()
        relay = self

        class Handler(socketserver.StreamRequestHandler):
            def handle(self):
                with relay.lock:
                    relay.connections += 1
                if relay.mode == "hang":
                    relay.released.wait(60)
                    return
                relay.converse(self.rfile, self.wfile)

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            allow_reuse_address = True

        self.server = Server(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.address = "127.0.0.1:%d" % self.port
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.release()
        self.server.shutdown()
        self.server.server_close()

    def release(self):
        self.released.set()

    def count(self):
        with self.lock:
            return len(self.messages)

    def converse(self, rfile, wfile):
        def say(text):
            wfile.write((text + "\r\n").encode())
            wfile.flush()

        say("220 relay.test ready")
        while True:
            line = rfile.readline()
            if not line:
                return
            verb = line[:4].upper()
            if verb == b"MAIL" and self.mode == "refuse":
                say(REFUSAL)
            elif verb == b"DATA":
                say("354 go ahead")
                data = []
                while True:
                    part = rfile.readline()
                    if not part or part == b".\r\n":
                        break
                    data.append(part)
                if self.mode == "hold":
                    with self.lock:
                        self.holding += 1
                    self.released.wait(60)
                with self.lock:
                    self.messages.append(b"".join(data))
                say("250 2.0.0 accepted")
            elif verb == b"QUIT":
                say("221 bye")
                return
            else:
                say("250 ok")
