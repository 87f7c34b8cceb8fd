"""Larkpost's performance figures side by side with its peers, in one run on one machine.

  send        `larkq send` of a message with a 10 MB attachment (load, compose, send): wall, CPU
              and peak memory, next to msmtp sending the already composed text and to Python's
              email + smtplib composing and sending the same attachment
  codecs      base64 and quoted-printable encode and decode, from larkpost_bench
  service     the delivery service with the tuning values: messages a second, CPU per message
  per-message one `larkq send` process per small message, next to one msmtp per message

Every figure is the median of several runs. The machine's load is printed at the start and the
end, since the other work on the machine moves every figure. A part that cannot run is named on
standard error, the others still run, and the exit status is then 1.

Usage: /usr/bin/python3 bench/run_all.py [--build DIR] [--runs N] [--sends N] [--messages N]
                                         [--only PART,...] [--skip PART,...]
"""
import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
# The source tree stays as it is checked out.
sys.dont_write_bytecode = True
import send_speed  # noqa: E402
import service_speed  # noqa: E402

PARTS = ("send", "codecs", "service", "per-message")
# The rows of the table, in the order they are printed whichever parts ran.
ROWS = ("send", "base64", "quoted-printable", "service", "per-message", "memory")
FROM, TO = "shop@example.com", "ann@example.org"


class PartError(Exception):
    """A part cannot run; the text says why."""


def program(build, *path, hint):
    found = os.path.join(build, *path)
    if not os.access(found, os.X_OK):
        raise PartError("%s is missing (%s)" % (found, hint))
    return found


def larkq(build):
    return program(build, "tools", "larkq",
                   hint="cmake --build %s --target larkq" % build)


def msmtp_config(work, port):
    """A msmtprc for the sink: no TLS, no login; returns the msmtp command line."""
    msmtp = shutil.which("msmtp")
    if msmtp is None:
        raise PartError("msmtp is not installed (scripts/bootstrap installs it)")
    path = os.path.join(work, "msmtprc")
    with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as f:
        f.write("defaults\ntls off\nauth off\n\naccount sink\nhost 127.0.0.1\nport %d\n"
                "from %s\n\naccount default : sink\n" % (port, FROM))
    return [msmtp, "-C", path, "-f", FROM, TO]


def compose(larkq_path, ini, path):
    with open(path, "wb") as f:
        subprocess.run([larkq_path, "compose", ini], stdout=f, check=True)


def wall_cpu_peak(figures):
    wall, cpu, peak_kb = figures
    return "%.3f s wall, %.3f s CPU, %d KB" % (wall, cpu, peak_kb)


def send(options, work, rows):
    larkq_path = larkq(options.build)
    port = send_speed.start_sink()
    ini, attachment, peer = send_speed.prepare(larkq_path, work, port)
    composed = os.path.join(work, "composed.eml")
    compose(larkq_path, ini, composed)
    msmtp = msmtp_config(work, port)
    ours = send_speed.median_measure([larkq_path, "send", ini], options.runs)
    theirs = send_speed.median_measure(msmtp, options.runs, composed)
    python = send_speed.median_measure(["/usr/bin/python3", peer, str(port), attachment],
                                       options.runs)
    rows["send"] = (
        "`larkq send`, 10 MB attachment, load + compose + send", wall_cpu_peak(ours),
        "msmtp (composed text) %s; Python email+smtplib %s"
        % (wall_cpu_peak(theirs), wall_cpu_peak(python)),
        "wall %.2f × msmtp, %.2f × Python; CPU %.2f × msmtp, %.2f × Python"
        % (ours[0] / theirs[0], ours[0] / python[0], ours[1] / theirs[1], ours[1] / python[1]),
        "≤ 0.10 s, ≤ 0.2 × msmtp")
    rows["memory"] = (
        "peak memory of the 10 MB send", "%d KB" % ours[2],
        "msmtp %d KB; Python %d KB" % (theirs[2], python[2]),
        "%.2f × msmtp, %.2f × Python" % (ours[2] / theirs[2], ours[2] / python[2]),
        "flat (≤ 8 MB)")


def codecs(options, work, rows):
    bench = program(options.build, "bench", "larkpost_bench",
                    hint="cmake --build %s --target larkpost_bench" % options.build)
    report = os.path.join(work, "codecs.json")
    done = subprocess.run(
        [bench, "--benchmark_filter=^BM_(Base64|QuotedPrintable)",
         "--benchmark_repetitions=%d" % options.runs,
         "--benchmark_out_format=json", "--benchmark_out=%s" % report],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise PartError("larkpost_bench failed: %s" % done.stderr.decode().strip())
    with open(report) as f:
        results = json.load(f)["benchmarks"]
    # The runs themselves, not Google Benchmark's aggregates, which a single run does not get.
    speeds = {}
    for result in results:
        if result["run_type"] == "iteration":
            speeds.setdefault(result["run_name"], []).append(result["bytes_per_second"])

    def of(name):
        if "BM_" + name not in speeds:
            raise PartError("larkpost_bench has no benchmark BM_%s" % name)
        # Google Benchmark counts a MB as 2^20 bytes; so do the goals.
        return statistics.median(speeds["BM_" + name]) / (1 << 20)

    rows["base64"] = (
        "base64 encode / decode",
        "%.0f / %.0f MB/s" % (of("Base64Encode10MB"), of("Base64Decode10MB")), "", "",
        "≥ 600 MB/s")
    rows["quoted-printable"] = (
        "quoted-printable encode / encode to the composer's sink / decode",
        "%.0f / %.0f / %.0f MB/s" % (of("QuotedPrintableEncode10MB"),
                                     of("QuotedPrintableEncodeToSink10MB"),
                                     of("QuotedPrintableDecode10MB")), "", "",
        "≥ 150 MB/s")


def service(options, work, rows):
    for name in (("service", "larkpost"), ("tools", "larkctl"), ("tools", "larkq")):
        program(options.build, *name, hint="cmake --build %s --target %s"
                % (options.build, name[1]))
    rates, cpus, peaks = [], [], []
    for _ in range(options.runs):
        figures = service_speed.measure("service", options.messages, service_speed.TUNED,
                                        service_speed.shared_memory(), options.build,
                                        idle_seconds=0)
        rates.append(options.messages / figures["took"])
        cpus.append(figures["cpu"] * 1000 / options.messages)
        peaks.append(figures["peak"])
    rows["service"] = (
        "service, %d small messages, tuning values" % options.messages,
        "%.0f msg/s, %.2f ms CPU each, peak %.1f MB"
        % (statistics.median(rates), statistics.median(cpus), statistics.median(peaks)), "", "",
        "≥ 1,000 msg/s, ≤ 0.5 ms CPU each")


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def per_send(args, sends, runs, stdin_path=None):
    """Medians over runs of (messages a second, CPU ms per message) of one process per message."""
    rates, cpus = [], []
    for _ in range(runs):
        began, before = time.perf_counter(), children_cpu()
        for _ in range(sends):
            if stdin_path is None:
                subprocess.run(args, stdout=subprocess.DEVNULL, check=True)
            else:
                with open(stdin_path, "rb") as stdin:
                    subprocess.run(args, stdin=stdin, stdout=subprocess.DEVNULL, check=True)
        rates.append(sends / (time.perf_counter() - began))
        cpus.append((children_cpu() - before) * 1000 / sends)
    return statistics.median(rates), statistics.median(cpus)


def per_message(options, work, rows):
    larkq_path = larkq(options.build)
    port = send_speed.start_sink()
    queue = os.path.join(work, "small")
    os.makedirs(queue)
    ini = subprocess.run(
        [larkq_path, "add", "--from", FROM, "--to", "Ann <%s>" % TO, "--subject", "Your order",
         "--relay", "127.0.0.1:%d" % port, queue],
        input=b"Hello Ann,\r\nyour order is on its way.\r\n", capture_output=True,
        check=True).stdout.decode().strip()
    composed = os.path.join(work, "small.eml")
    compose(larkq_path, ini, composed)
    msmtp = msmtp_config(work, port)
    ours = per_send([larkq_path, "send", ini], options.sends, options.runs)
    theirs = per_send(msmtp, options.sends, options.runs, composed)
    rows["per-message"] = (
        "one `larkq send` process per small message (%d sends)" % options.sends,
        "%.0f msg/s, %.2f ms CPU each" % ours, "msmtp %.0f msg/s, %.2f ms CPU each" % theirs,
        "rate %.2f × msmtp, CPU %.2f × msmtp" % (ours[0] / theirs[0], ours[1] / theirs[1]),
        "≥ 180 msg/s")


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build", "default"),
                        help="the build tree (default: build/default of this checkout)")
    parser.add_argument("--runs", type=int, default=5, help="runs of each figure (default 5)")
    parser.add_argument("--sends", type=int, default=50,
                        help="processes per run of the per-message part (default 50)")
    parser.add_argument("--messages", type=int, default=2000,
                        help="messages per run of the service part (default 2000)")
    parser.add_argument("--only", help="the parts to run, of: " + ",".join(PARTS))
    parser.add_argument("--skip", help="the parts not to run")
    options = parser.parse_args(argv)
    if min(options.runs, options.sends, options.messages) < 1:
        parser.error("--runs, --sends and --messages take a number of 1 or more")
    chosen = options.only.split(",") if options.only else list(PARTS)
    skipped = options.skip.split(",") if options.skip else []
    unknown = [name for name in chosen + skipped if name not in PARTS]
    if unknown:
        parser.error("no part %s; the parts are %s" % (", ".join(unknown), ",".join(PARTS)))
    options.parts = [name for name in PARTS if name in chosen and name not in skipped]
    if not options.parts:
        parser.error("--only and --skip leave no part to run")
    options.build = os.path.normpath(options.build)
    return options


def uptime():
    return subprocess.run(["/usr/bin/uptime"], capture_output=True, text=True).stdout.strip()


def main(argv):
    options = parse(argv)
    run = {"send": send, "codecs": codecs, "service": service, "per-message": per_message}
    print("Larkpost benchmarks: %s, medians of %d runs, %s" %
          (options.build, options.runs, ", ".join(options.parts)))
    print("load at start: %s" % uptime(), flush=True)
    rows, failed = {}, []
    with tempfile.TemporaryDirectory() as work:
        # larkq reads its settings from this machine root, not the system's.
        os.environ["LARKPOST_ROOT"] = os.path.join(work, "root")
        for name in options.parts:
            part = os.path.join(work, name)
            os.makedirs(part)
            try:
                run[name](options, part, rows)
            except subprocess.CalledProcessError as error:
                failed.append(name)
                said = (error.stderr or b"").decode(errors="replace").strip()
                print("part %s could not run: %s %s" % (name, error, said), file=sys.stderr,
                      flush=True)
            except (PartError, OSError, SystemExit) as error:
                failed.append(name)
                print("part %s could not run: %s" % (name, error), file=sys.stderr, flush=True)
    print("load at end:   %s" % uptime())
    print()
    print("Each ratio is Larkpost's figure divided by the peer's: for times and memory lower is"
          " better, for rates higher.")
    print("| work | Larkpost | peers | ratio | goal |")
    print("|---|---|---|---|---|")
    for key in ROWS:
        if key in rows:
            print("| %s |" % " | ".join(rows[key]))
    if failed:
        print("\nthese parts could not run: %s" % ", ".join(failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
