#!/usr/bin/python3
"""Drives the real program through the desktop's accessibility layer.

Starts build/bin/Larkvale_HD under a private X server with Qt's AT-SPI bridge
on, against a video site on 127.0.0.1, then walks its accessibility tree with
pyatspi: every control a screen reader user needs carries its name and a
sensible role, the download grid exposes its column headers and cells, and
typing an address into "Address" and pressing "Download" through the
accessibility actions queues the video while "Status" follows the transfer;
toggling "Use WMV9" through its action switches the live WMV profile list.

Run it inside a D-Bus session of its own (run_atspi_test.sh does that):
    atspi_test.py PATH/TO/Larkvale_HD [--dump]
--dump prints the whole tree instead of checking it.

Every process it starts gets a process group of its own and is ended with
that group, also when a check fails or the time runs out.
"""

import functools
import http.server
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

STEP_TIMEOUT_S = 60  # the longest single wait (start-up of the browser)
TOTAL_TIMEOUT_S = 200

VIDEO_ID = "abcdefghijk"
TOKEN = "T" * 46
WATCH_PAGE = (
    "<html>\r\n<head><title>watch</title></head>\r\n<body>\r\n"
    "  var swfHTML = '<embed src=\"/p.swf?video_id=%s&t=%s&hl=en\">';\r\n"
    "<p>watch page</p>\r\n</body>\r\n</html>\r\n" % (VIDEO_ID, TOKEN))
START_PAGE = "<html><head><title>Start</title></head><body><p>Local start page</p></body></html>"

# Name -> roles that fit it. Roles are AT-SPI role names.
BUTTON = {"push button", "toggle button"}
LABEL = {"label", "static", "text"}
PANEL = {"panel", "filler", "grouping", "section", "page tab", "form"}
LIST = {"table", "tree table", "list", "list box", "tree"}

MAIN_NAMES = {
    "Browser": BUTTON, "Converter": BUTTON, "Files": BUTTON,
    "Proxy": BUTTON, "Help": BUTTON, "E-mail": BUTTON, "Web Site": BUTTON,
    "Back": BUTTON, "Forward": BUTTON,
    # A Qt combo box on Linux is read by its text; the field inside it is named.
    "Address": {"text", "entry"},
    "New row: FLV url": {"text", "entry"}, "New row: Size": {"text", "entry"}, "New row: File": {"text", "entry"},
    "Browse": BUTTON, "Stop": BUTTON, "Status": LABEL,
    "Stop downloads": BUTTON, "Home": BUTTON, "Download": BUTTON,
    "Web page": None,  # whatever the web engine calls itself; checked below
    "FLV Downloads list": {"table"},
    "Browse files": BUTTON, "Change dir": BUTTON,
    "Convert": BUTTON, "Conversion status": LABEL, "Conversion progress": {"progress bar"},
    "<- Back": BUTTON, "Next ->": BUTTON,
    "Show Large Icons": BUTTON, "Show Small Icons": BUTTON, "Show List": BUTTON,
    "Show Details": BUTTON, "Show Thumbnails": BUTTON,
}
CONVERTER_NAMES = {
    "Timeline": LIST, "Save as": {"combo box"}, "Position": {"slider", "scroll bar"},
    "Duration": LABEL, "Width": LABEL, "Height": LABEL, "FPS": LABEL,
    "Move up": BUTTON, "Move down": BUTTON, "Add video file(s)": BUTTON, "Delete": BUTTON,
    "MPEG": PANEL, "FLV": PANEL, "3GP": PANEL, "AVI": PANEL, "WMV": PANEL, "WAV": PANEL, "MP3": PANEL,
}
FIELDS_NAMED_BY_CAPTION = {"combo box", "spin button"}
PYATSPI = [None]  # the module, once imported
GRID_HEADERS = ["No", "FLV url", "Size", "Progress", "File"]


class Failure(Exception):
    pass


def log(*parts):
    print(*parts, flush=True)


def wait_for(what, probe, timeout=STEP_TIMEOUT_S, interval=0.2):
    """Calls `probe` until it returns something true and returns that."""
    deadline = time.monotonic() + timeout
    last_error = None
    while time.monotonic() < deadline:
        try:
            value = probe()
            if value:
                return value
        except Exception as e:  # the tree changes under us while the window builds
            last_error = e
        time.sleep(interval)
    raise Failure("timed out waiting for %s%s" % (what, " (%s)" % last_error if last_error else ""))


class Processes:
    """Children, each in its own process group, ended together."""

    def __init__(self, logdir):
        self.logdir = logdir
        self.children = []

    def start(self, name, argv, env=None, **kwargs):
        out = open(os.path.join(self.logdir, name + ".log"), "wb")
        child = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                 start_new_session=True, **kwargs)
        out.close()
        self.children.append((name, child))
        return child

    def stop_all(self):
        for _, child in reversed(self.children):
            self._signal(child, signal.SIGTERM)
        deadline = time.monotonic() + 5
        for _, child in reversed(self.children):
            try:
                child.wait(max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                pass
        # The group may hold more than the leader (the web engine's helpers,
        # the accessibility bus and its registry).
        for _, child in reversed(self.children):
            self._signal(child, signal.SIGKILL)
            try:
                child.wait(2)
            except subprocess.TimeoutExpired:
                pass
        self.children = []

    @staticmethod
    def _signal(child, sig):
        try:
            os.killpg(child.pid, sig)
        except (ProcessLookupError, PermissionError):
            pass

    def show_logs(self):
        for name in sorted(os.listdir(self.logdir)):
            with open(os.path.join(self.logdir, name), "rb") as f:
                text = f.read().decode("utf-8", "replace").strip()
            if text:
                log("----- %s -----\n%s" % (name, text[-4000:]))


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def start_site(root):
    with open(os.path.join(root, "index.html"), "w") as f:
        f.write(START_PAGE)
    # "/watch?v=..." and "/get_video?..." are served from these files.
    with open(os.path.join(root, "watch"), "w", newline="") as f:
        f.write(WATCH_PAGE)
    clip = os.path.join(root, "get_video")
    made = subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=10",
                           "-t", "1", "-c:v", "flv", "-f", "flv", clip], stdin=subprocess.DEVNULL, timeout=60)
    if made.returncode != 0 or not os.path.exists(clip):
        with open(clip, "wb") as f:
            f.write(b"FLV\x01" + bytes(4096))
    handler = functools.partial(QuietHandler, directory=root)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


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
    env = dict(os.environ, DISPLAY=display)
    procs.start("at-spi-bus-launcher", ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"], env=env)

    def bus_up():
        # Asks without activating: an activated launcher would belong to the
        # session bus rather than to us.
        reply = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:org.a11y.Bus"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10)
        return reply.returncode == 0 and b"boolean true" in reply.stdout

    wait_for("the accessibility bus", bus_up, timeout=30)


# --- Tree helpers -----------------------------------------------------------------------

def role_of(acc):
    return acc.getRoleName()


def children(acc):
    try:
        count = acc.childCount
    except Exception:
        return []
    out = []
    for i in range(count):
        try:
            child = acc.getChildAtIndex(i)
        except Exception:
            child = None
        if child is not None:
            out.append(child)
    return out


def walk(acc, limit=20000):
    """Every node below `acc`, depth first; web content is not entered."""
    out = []
    stack = [acc]
    while stack and len(out) < limit:
        node = stack.pop()
        out.append(node)
        if role_of(node) in ("document web", "document frame") and node is not acc:
            continue
        stack.extend(reversed(children(node)))
    return out


def text_of(acc):
    """The text a screen reader reads for a label or a field."""
    try:
        t = acc.queryText()
        return t.getText(0, t.characterCount)
    except NotImplementedError:
        return acc.description


def find_app(pyatspi, name):
    desktop = pyatspi.Registry.getDesktop(0)
    for app in children(desktop):
        if app.name == name:
            return app
    return None


def labels_of(acc, pyatspi):
    """Names of the captions that label `acc` ("Save as:" reads as "Save as")."""
    names = []
    try:
        for relation in acc.getRelationSet():
            if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
                for i in range(relation.getNTargets()):
                    names.append(relation.getTarget(i).name.rstrip(":").strip())
    except Exception:
        pass
    return names


def by_name(nodes, name, roles=None):
    """Nodes called `name`: by their own name, or, for fields that Qt names
    by their content (combo boxes), by the caption that labels them."""
    found = []
    for n in nodes:
        if roles is not None and role_of(n) not in roles:
            continue
        if n.name == name or (role_of(n) in FIELDS_NAMED_BY_CAPTION and name in labels_of(n, PYATSPI[0])):
            found.append(n)
    return found


def one(nodes, name, roles=None):
    found = by_name(nodes, name, roles)
    if not found:
        raise Failure("no %s named %r" % ("/".join(sorted(roles)) if roles else "control", name))
    return found[0]


def press(acc):
    action = acc.queryAction()
    for i in range(action.nActions):
        if action.getName(i) in ("Press", "press", "click"):
            action.doAction(i)
            return
    raise Failure("%r has no press action" % acc.name)


# --- The checks ------------------------------------------------------------------------

def check_names(nodes, table):
    missing = []
    for name, roles in table.items():
        if roles is None:
            continue
        if not by_name(nodes, name, roles):
            seen = sorted({role_of(n) for n in by_name(nodes, name)})
            missing.append("%r (roles %s; found %s)" % (name, sorted(roles), seen or "nothing"))
    if missing:
        raise Failure("controls without their name or role:\n  " + "\n  ".join(missing))


def check_web_page(nodes):
    page = by_name(nodes, "Web page")
    if not page:
        raise Failure("the embedded browser is not named 'Web page'")
    if role_of(page[0]) in ("invalid", "unknown", "redundant object"):
        raise Failure("the embedded browser has no sensible role (%s)" % role_of(page[0]))


def grid_rows(grid):
    table = grid.queryTable()
    rows = []
    for r in range(table.nRows):
        rows.append([table.getAccessibleAt(r, c).name for c in range(table.nColumns)])
    return rows


def column_headers(table_acc):
    table = table_acc.queryTable()
    headers = []
    for c in range(table.nColumns):
        header = table.getColumnHeader(c)
        headers.append(header.name if header is not None else table.getColumnDescription(c))
    return headers


def check_grid_headers(grid):
    headers = column_headers(grid)
    if headers != GRID_HEADERS:
        raise Failure("download grid column headers are %r, not %r" % (headers, GRID_HEADERS))


def enabled(acc):
    return acc.getState().contains(PYATSPI[0].STATE_ENABLED)


def toggle(acc):
    action = acc.queryAction()
    for i in range(action.nActions):
        if action.getName(i).lower() == "toggle":
            action.doAction(i)
            return
    raise Failure("%r has no toggle action" % acc.name)


def check_wmv9_toggle(nodes):
    """"Use WMV9" toggled the way a screen reader does it switches the live
    profile list, as a click does."""
    box = one(nodes, "Use WMV9", {"check box"})
    wmv8 = one(nodes, "WMV 8 Profile", {"combo box"})
    wmv9 = one(nodes, "WMV 9 Profile", {"combo box"})
    for ticked in (True, False):
        toggle(box)
        wait_for("'WMV 8 Profile' %s and 'WMV 9 Profile' %s after Toggle" % (
            ("disabled", "enabled") if ticked else ("enabled", "disabled")),
            lambda: enabled(wmv8) != ticked and enabled(wmv9) == ticked, timeout=10)
    log("'Use WMV9' Toggle switches the profile lists")


def run(exe, dump):
    tmp = tempfile.mkdtemp(prefix="larkvale-a11y-")
    logdir = os.path.join(tmp, "logs")
    site_root = os.path.join(tmp, "site")
    home = os.path.join(tmp, "home")
    for d in (logdir, site_root, home):
        os.makedirs(d)
    procs = Processes(logdir)
    server = None
    ok = False
    try:
        server = start_site(site_root)
        base = "http://127.0.0.1:%d" % server.server_address[1]
        display = start_display(procs)
        start_accessibility_bus(procs, display)
        import pyatspi  # once the accessibility bus is up: it asks for that bus's address
        PYATSPI[0] = pyatspi

        env = dict(os.environ)
        env.update({
            "DISPLAY": display, "QT_QPA_PLATFORM": "xcb", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
            "QT_ACCESSIBILITY": "1", "HOME": home, "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
            "LARKVALE_VIDEO_SITE": base, "LARKVALE_GOOGLE_VIDEO_SERVER": base,
            "LARKVALE_START_PAGE": base + "/index.html", "LARKVALE_HOME_PAGE": base + "/index.html",
            "LARKVALE_SAMPLE_WATCH": base + "/watch?v=sample00000", "LARKVALE_WEB_SITE": base + "/site",
            "LARKVALE_SUPPORT_MAIL": "support@127.0.0.1",
        })
        procs.start("Larkvale_HD", [exe], env=env)

        app = wait_for("the program on the accessibility bus", lambda: find_app(pyatspi, "Larkvale_HD"))
        window = wait_for("the main window", lambda: next(
            (w for w in children(app) if w.name == "Larkvale_HD" and role_of(w) == "frame"), None))
        # There is no window manager: give the window the input focus, as a
        # user's click would; its first activation starts the download queue.
        subprocess.run(["xdotool", "search", "--sync", "--limit", "1", "--name", "^Larkvale_HD$", "windowfocus",
                        "--sync"], env=dict(os.environ, DISPLAY=display), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, timeout=20, check=True)
        nodes = wait_for("the window's controls", lambda: [n for n in walk(window) if n.name == "Download"] and
                         walk(window))
        if dump:
            for n in walk(window):
                try:
                    ifaces = ",".join(n.get_interfaces())
                except Exception:
                    ifaces = ""
                log("%-22s %-40r text=%r states=%s [%s]" % (role_of(n), n.name, text_of(n) if n.name else "",
                                                            [str(s) for s in n.getState().getStates()][:6], ifaces))
            ok = True
            return 0

        check_names(nodes, MAIN_NAMES)
        check_names(nodes, CONVERTER_NAMES)
        check_web_page(nodes)
        log("names and roles: %d checked" % (len(MAIN_NAMES) + len(CONVERTER_NAMES)))
        check_wmv9_toggle(nodes)

        grid = one(nodes, "FLV Downloads list", {"table"})
        check_grid_headers(grid)
        if grid.queryTable().nRows != 0:
            raise Failure("the download grid has rows before anything was downloaded")

        # The browser loads the local start page and then shows the sample
        # watch address; wait for that, so it cannot replace what we type.
        edit = one(nodes, "Address", {"text", "entry"})
        if role_of(edit.parent) != "combo box":
            raise Failure("'Address' is not the field of the address box")
        wait_for("the start page (the sample address in 'Address')",
                 lambda: text_of(edit) == base + "/watch?v=sample00000")

        progress = one(nodes, "Conversion progress", {"progress bar"}).queryValue()
        if (progress.currentValue, progress.minimumValue, progress.maximumValue) != (0, 0, 100):
            raise Failure("'Conversion progress' reads %s of %s..%s" % (
                progress.currentValue, progress.minimumValue, progress.maximumValue))
        if text_of(one(nodes, "Conversion status", LABEL)) != "-":
            raise Failure("'Conversion status' does not read its text")

        status = one(nodes, "Status", LABEL)
        before = text_of(status)
        watch = base + "/watch?v=" + VIDEO_ID
        edit.queryComponent().grabFocus()
        editable = edit.queryEditableText()
        editable.setTextContents(watch)
        wait_for("the typed address in 'Address'", lambda: text_of(edit) == watch, timeout=10)

        press(one(nodes, "Download", BUTTON))
        seen = set()

        def status_changed():
            seen.add(text_of(status))
            return text_of(status) != before
        wait_for("'Status' to change after Download", status_changed, interval=0.05)

        link = base + "/get_video?asv=&video_id=%s&t=%s&fmt=18" % (VIDEO_ID, TOKEN)
        rows = wait_for("a row of the download grid with the video's link",
                        lambda: [r for r in grid_rows(grid) if len(r) == 5 and r[1] == link])
        log("status texts seen: %s" % sorted(seen))
        log("grid row: %s" % rows[0])
        # The queue downloads it: the row's File cell gets the path, Progress 100.
        done = wait_for("the download to finish", lambda: [r for r in grid_rows(grid) if r[1] == link and r[4]])
        if not done[0][4].endswith((".avi", ".flv")) or "100" not in done[0][3]:
            raise Failure("a finished row reads %r" % (done[0],))
        log("finished row: %s" % done[0])
        # ... and hands the file to the converter's Timeline, read the same way.
        timeline = one(nodes, "Timeline", LIST)
        headers = column_headers(timeline)
        if not headers or "" in headers:
            raise Failure("the Timeline's columns have no headers: %r" % headers)
        entries = wait_for("the file in the Timeline", lambda: [
            r for r in grid_rows(timeline) if any(cell.endswith(os.path.basename(done[0][4])) for cell in r)])
        log("Timeline %s: %s" % (headers, entries[0]))
        ok = True
        return 0
    finally:
        procs.stop_all()
        if server is not None:
            server.shutdown()
            server.server_close()
        if not ok:
            procs.show_logs()
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if len(args) != 1:
        print(__doc__)
        return 2
    exe = os.path.abspath(args[0])
    if not os.access(exe, os.X_OK):
        print("no program at %s" % exe)
        return 2
    if "DBUS_SESSION_BUS_ADDRESS" not in os.environ:
        print("needs a D-Bus session: run it through run_atspi_test.sh")
        return 2

    def out_of_time(*_):
        raise Failure("the test took longer than %d s" % TOTAL_TIMEOUT_S)
    signal.signal(signal.SIGALRM, out_of_time)
    signal.signal(signal.SIGTERM, lambda *_: out_of_time())
    signal.alarm(TOTAL_TIMEOUT_S)
    try:
        result = run(exe, "--dump" in sys.argv)
        if result == 0:
            log("PASS")
        return result
    except Failure as e:
        log("FAIL: %s" % e)
        return 1


if __name__ == "__main__":
    sys.exit(main())
