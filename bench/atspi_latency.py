#!/usr/bin/python3
"""How soon the window answers a screen reader during a conversion.

Starts the real Larkvale_HD under Xvfb with the X11 plugin, openbox and Qt's
AT-SPI bridge on (QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1), in a D-Bus session, an
accessibility bus and a home of its own, with a clip (made by the ffmpeg CLI)
on the converter's Timeline and DVD_PAL chosen. Then, as screen readers do:

  - one reader presses "Convert" through its accessibility action (the save
    dialog is answered through the same bus) and then reads the "Conversion
    status" label every 100 ms on the same connection,
  - one reads the label as fast as it can,
  - one reads it every 100 ms,

each in a process of its own, until the label reads "Done.". Prints how long
the press waited for its answer, and for each reader, over the conversion
(from the first answer that tells of it, after the save dialog, to "Done."),
the median and longest answer time and the longest silence (the longest time
between two answers, or from the conversion's start to the first one; a
reader asking every 100 ms is silent those 100 ms between answers), with how
many answers and how many distinct texts it got.

    bench_atspi_latency [rounds] [seconds]     (default 3 rounds, a 90 s clip)

Run by hand; it starts its own D-Bus session (dbus-run-session) when it is
not already inside the one it made. LARKVALE_HD names the program (default:
Larkvale_HD beside this script).
"""

import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

SESSION_MARK = "LARKVALE_ATSPI_BENCH_SESSION"
STATUS = "Conversion status"
DONE = "Done."
STEP_TIMEOUT_S = 90
CONVERSION_TIMEOUT_S = 600


def log(*parts):
    print(*parts, flush=True)


class Failure(Exception):
    pass


def wait_for(what, probe, timeout=STEP_TIMEOUT_S, interval=0.2):
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        try:
            value = probe()
            if value:
                return value
        except Exception as e:  # the tree changes while the window builds
            last = e
        time.sleep(interval)
    raise Failure("timed out waiting for %s%s" % (what, " (%s)" % last if last else ""))


# --- The accessibility tree, as a reader walks it -----------------------------------------

def children(acc):
    out = []
    try:
        count = acc.childCount
    except Exception:
        return out
    for i in range(count):
        try:
            child = acc.getChildAtIndex(i)
        except Exception:
            child = None
        if child is not None:
            out.append(child)
    return out


def walk(acc):
    """Every node below `acc`, depth first; web content is not entered."""
    out, stack = [], [acc]
    while stack:
        node = stack.pop()
        out.append(node)
        if node.getRoleName() in ("document web", "document frame") and node is not acc:
            continue
        stack.extend(reversed(children(node)))
    return out


def find_app(pyatspi):
    for app in children(pyatspi.Registry.getDesktop(0)):
        if app.name == "Larkvale_HD":
            return app
    return None


def main_window(pyatspi):
    app = wait_for("the program on the accessibility bus", lambda: find_app(pyatspi))
    return wait_for("the main window", lambda: next(
        (w for w in children(app) if w.name == "Larkvale_HD" and w.getRoleName() == "frame"), None))


def named(nodes, name, roles):
    for n in nodes:
        if n.name == name and n.getRoleName() in roles:
            return n
    raise Failure("no %s named %r" % ("/".join(sorted(roles)), name))


def text_of(acc):
    t = acc.queryText()
    return t.getText(0, -1)


def do_action(acc, names):
    action = acc.queryAction()
    for i in range(action.nActions):
        if action.getName(i) in names:
            action.doAction(i)
            return
    raise Failure("%r has no %s action" % (acc.name, "/".join(names)))


# --- The roles played by child processes --------------------------------------------------

def read_until_done(label, interval):
    """(asked, answered, text) triples until the label says Done.;
    `interval` 0 asks again at once."""
    answers = []
    deadline = time.monotonic() + CONVERSION_TIMEOUT_S
    next_ask = time.monotonic()
    while time.monotonic() < deadline:
        if interval > 0:
            time.sleep(max(0.0, next_ask - time.monotonic()))
            next_ask = max(next_ask + interval, time.monotonic())
        asked = time.monotonic()
        text = text_of(label)
        answers.append((asked, time.monotonic(), text))
        if text == DONE:
            break
    return answers


def reader(interval):
    """Reads the status label; one JSON line of its answers."""
    import pyatspi
    label = named(walk(main_window(pyatspi)), STATUS, {"label", "static", "text"})
    text_of(label)
    print("ready", flush=True)
    sys.stdin.readline()  # go
    print(json.dumps({"answers": read_until_done(label, interval)}), flush=True)


def presser():
    """Presses Convert, then reads the status label every 100 ms on the same
    connection, as one screen reader does both."""
    import pyatspi
    nodes = walk(main_window(pyatspi))
    convert = named(nodes, "Convert", {"push button", "toggle button"})
    label = named(nodes, STATUS, {"label", "static", "text"})
    # A press that is answered only when the conversion ends must be seen
    # to be so, not cut short by the usual time-out of a call.
    pyatspi.setTimeout(CONVERSION_TIMEOUT_S * 1000, CONVERSION_TIMEOUT_S * 1000)
    print("ready", flush=True)
    sys.stdin.readline()  # go
    pressed = time.monotonic()
    do_action(convert, ("Press", "press", "click"))
    answered = time.monotonic()
    print(json.dumps({"press": [pressed, answered], "answers": read_until_done(label, 0.1)}), flush=True)


# --- The controller --------------------------------------------------------------------------

class Processes:
    """Children, each in a process group of its own, ended together."""

    def __init__(self, logdir):
        self.logdir = logdir
        self.children = []

    def start(self, name, argv, env=None, **kwargs):
        out = open(os.path.join(self.logdir, name + ".log"), "wb")
        child = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                 start_new_session=True, **kwargs)
        out.close()
        self.children.append(child)
        return child

    def role(self, name, args, env):
        child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--role"] + args, env=env,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=open(os.path.join(self.logdir, name + ".log"), "wb"),
                                 start_new_session=True, text=True)
        self.children.append(child)
        return child

    def stop_all(self):
        for child in reversed(self.children):
            try:
                os.killpg(child.pid, signal.SIGTERM)
            except (ProcessLookupError, PermissionError):
                pass
        for child in reversed(self.children):
            try:
                child.wait(5)
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(child.pid, signal.SIGKILL)
                except (ProcessLookupError, PermissionError):
                    pass
                child.wait(2)
        self.children = []


def start_display(procs):
    read_end, write_end = os.pipe()
    procs.start("Xvfb", ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                pass_fds=(write_end,))
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + 30
    while not number.endswith(b"\n") and time.monotonic() < deadline:
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    if not number.strip():
        raise Failure("Xvfb did not start")
    return ":" + number.decode().strip()


def start_accessibility_bus(procs, display):
    procs.start("at-spi-bus-launcher", ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                env=dict(os.environ, DISPLAY=display))

    def up():
        reply = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:org.a11y.Bus"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10)
        return reply.returncode == 0 and b"boolean true" in reply.stdout
    wait_for("the accessibility bus", up, timeout=30)


def make_clip(path, seconds):
    made = subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
         "testsrc=duration=%g:size=640x360:rate=25" % seconds, "-f", "lavfi", "-i",
         "sine=frequency=440:duration=%g:sample_rate=44100" % seconds, "-c:v", "libx264", "-preset", "ultrafast",
         "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", path], stdin=subprocess.DEVNULL)
    if made.returncode != 0:
        raise Failure("ffmpeg could not make the clip")


def prepare_home(home, clip, seconds):
    """The Timeline holds the clip and "Save as:" is DVD_PAL, as a user left them."""
    config = os.path.join(home, ".config", "Larkvale_HD")
    data = os.path.join(home, ".local", "share", "Larkvale_HD")
    os.makedirs(config)
    os.makedirs(data)
    with open(os.path.join(config, "settings.ini"), "w") as f:
        f.write('[Software\\Larkvale_HD]\n"videodir"="%s"\n"convert.format"="DVD_PAL"\n' % os.path.join(home, "videos"))
    with open(os.path.join(data, "timeline.json"), "w") as f:
        json.dump({"version": 1, "entries": [{"file": clip, "start": "0", "end": str(int(seconds))}]}, f)


def answer_save_dialog(pyatspi, path):
    """Types the output's name into the save dialog and accepts it."""
    def dialog():
        app = find_app(pyatspi)
        return next((w for w in children(app) if w.getRoleName() in ("dialog", "file chooser")), None) if app else None
    box = wait_for("the save dialog", dialog, interval=0.05)
    nodes = walk(box)
    field = next((n for n in nodes if n.getRoleName() in ("text", "entry") and "name" in n.name.lower()), None)
    if field is None:
        raise Failure("the save dialog has no file name field: %s" % [(n.getRoleName(), n.name) for n in nodes])
    field.queryEditableText().setTextContents(path)
    do_action(named(nodes, "Save", {"push button"}), ("Press", "press", "click"))


def stats(answers, began):
    """Median and longest answer time, and the longest silence, in ms, over
    the questions asked from `began` on (the conversion's start)."""
    during = [a for a in answers if a[0] >= began]
    if not during:
        return None
    times = [(answered - asked) * 1000 for asked, answered, _ in during]
    arrivals = [began] + [answered for _, answered, _ in during]
    silence, ended = max(((b - a) * 1000, b) for a, b in zip(arrivals, arrivals[1:]))
    return statistics.median(times), max(times), silence, (ended - began), len(during)


def one_round(exe, seconds, workdir, display):
    """One conversion with its readers, in a fresh home and a fresh start of
    the program; the display and the accessibility bus are the run's."""
    import pyatspi
    tmp = tempfile.mkdtemp(prefix="round-", dir=workdir)
    logdir = os.path.join(tmp, "logs")
    home = os.path.join(tmp, "home")
    os.makedirs(logdir)
    os.makedirs(os.path.join(home, "videos"))
    clip = os.path.join(workdir, "clip.mp4")
    prepare_home(home, clip, seconds)
    procs = Processes(logdir)
    try:
        # The start page and the site come from a closed port: the browser
        # fetches nothing while the conversion runs.
        nowhere = "http://127.0.0.1:9"
        env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   QT_ACCESSIBILITY="1", HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_DATA_HOME=os.path.join(home, ".local", "share"), LARKVALE_START_PAGE=nowhere + "/",
                   LARKVALE_HOME_PAGE=nowhere + "/", LARKVALE_VIDEO_SITE=nowhere,
                   LARKVALE_GOOGLE_VIDEO_SERVER=nowhere, LARKVALE_SAMPLE_WATCH=nowhere + "/watch?v=sample00000",
                   LARKVALE_WEB_SITE=nowhere + "/site", LARKVALE_SUPPORT_MAIL="support@127.0.0.1")
        procs.start("Larkvale_HD", [exe], env=env)
        # Only this round's program is on the bus.
        window = main_window(pyatspi)
        nodes = wait_for("the window's controls", lambda: [n for n in walk(window) if n.name == "Convert"] and
                         walk(window))
        do_action(named(nodes, "Converter", {"push button", "toggle button"}), ("Press", "press", "click"))
        status = named(nodes, STATUS, {"label", "static", "text"})
        first = wait_for("the converter page", lambda: text_of(status))

        roles_env = dict(os.environ)
        fast = procs.role("fast-reader", ["reader", "0"], roles_env)
        paced = procs.role("paced-reader", ["reader", "0.1"], roles_env)
        press = procs.role("presser", ["presser"], roles_env)
        for child in (fast, paced, press):
            if child.stdout.readline().strip() != "ready":
                raise Failure("a reader did not find its control (see %s)" % logdir)
        for child in (fast, paced):
            child.stdin.write("go\n")
            child.stdin.flush()
        time.sleep(0.3)  # the readers are asking before the press
        press.stdin.write("go\n")
        press.stdin.flush()
        out = os.path.join(home, "videos", "out.mpg")
        answer_save_dialog(pyatspi, out)

        results = {}
        for name, child in (("pressed Convert, then every 100 ms", press), ("as fast as it can", fast),
                            ("every 100 ms", paced)):
            line = child.stdout.readline()
            if not line:
                raise Failure("the reader %r ended without its answers (see %s)" % (name, logdir))
            results[name] = json.loads(line)
        if not os.path.exists(out):
            raise Failure("the conversion wrote nothing")
        pressed, press_answered = results["pressed Convert, then every 100 ms"]["press"]
        # The conversion runs from the first answer that tells of it (after
        # the save dialog) to the first "Done.".
        began = min(next((a[0] for a in r["answers"] if a[0] >= pressed and a[2] != first), float("inf"))
                    for r in results.values())
        done_at = min(next(a[1] for a in r["answers"] if a[2] == DONE) for r in results.values())
        rows = []
        for name, r in results.items():
            s = stats(r["answers"], began)
            if s is None:
                raise Failure("the reader %r had no answer after the press" % name)
            rows.append((name,) + s + (len({a[2] for a in r["answers"] if a[0] >= began}),))
        return (press_answered - pressed) * 1000, (done_at - began), rows
    finally:
        procs.stop_all()
        shutil.rmtree(tmp, ignore_errors=True)


def controller(args):
    rounds = int(args[0]) if len(args) > 0 else 3
    seconds = float(args[1]) if len(args) > 1 else 90
    exe = os.environ.get("LARKVALE_HD") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "Larkvale_HD")
    if not os.access(exe, os.X_OK):
        log("no program at %s (set LARKVALE_HD)" % exe)
        return 2
    workdir = tempfile.mkdtemp(prefix="larkvale-atspi-bench-")
    procs = Processes(workdir)
    try:
        log("making a %g s 640x360 H.264/AAC clip..." % seconds)
        make_clip(os.path.join(workdir, "clip.mp4"), seconds)
        log("platform xcb with openbox and the accessibility bus; %s" % exe)
        log("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
        display = start_display(procs)
        procs.start("openbox", ["openbox"], env=dict(os.environ, DISPLAY=display, HOME=workdir))
        start_accessibility_bus(procs, display)
        log("")
        log("| Round | Convert's press answered (ms) | Conversion (s) | Reader | Answers (texts) | Median answer (ms) "
            "| Longest answer (ms) | Longest silence (ms), ending at (s) |")
        log("|---|---|---|---|---|---|---|---|")
        summary = {}
        for r in range(1, rounds + 1):
            press_ms, conversion_s, rows = one_round(exe, seconds, workdir, display)
            for name, median, longest, silence, ended, count, texts in rows:
                log("| %d | %.0f | %.1f | %s | %d (%d) | %.1f | %.1f | %.1f, %.2f |" % (
                    r, press_ms, conversion_s, name, count, texts, median, longest, silence, ended))
                summary.setdefault(name, []).append((median, longest, silence))
            summary.setdefault("press", []).append(press_ms)
        log("")
        log("Medians over %d rounds:" % rounds)
        log("  Convert's press answered after %.0f ms" % statistics.median(summary["press"]))
        for name, values in summary.items():
            if name == "press":
                continue
            log("  reader %s: median answer %.1f ms, longest answer %.1f ms, longest silence %.1f ms" % (
                name, statistics.median(v[0] for v in values), statistics.median(v[1] for v in values),
                statistics.median(v[2] for v in values)))
        log("load average after: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
        return 0
    except Failure as e:
        log("FAIL: %s" % e)
        return 1
    finally:
        procs.stop_all()
        shutil.rmtree(workdir, ignore_errors=True)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--role":
        if sys.argv[2] == "reader":
            reader(float(sys.argv[3]))
        else:
            presser()
        return 0
    if os.environ.get(SESSION_MARK) != str(os.getpid()):
        # A session bus, an accessibility bus and a runtime folder of our
        # own: the window must never hand off to a Larkvale_HD running
        # elsewhere, nor a reader talk to another desktop.
        runtime = tempfile.mkdtemp(prefix="larkvale-atspi-runtime-")
        try:
            env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
            # dbus-run-session execs the script, which keeps the pid it is given.
            argv = ["dbus-run-session", "--", "/bin/sh", "-c",
                    '%s=$$ exec /usr/bin/python3 "$0" "$@"' % SESSION_MARK, os.path.abspath(__file__)] + sys.argv[1:]
            return subprocess.run(argv, env=env, stdin=subprocess.DEVNULL).returncode
        finally:
            shutil.rmtree(runtime, ignore_errors=True)
    return controller(sys.argv[1:])


if __name__ == "__main__":
    sys.exit(main())
