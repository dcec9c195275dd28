#!/usr/bin/python3
# Ambrel in a real tray host on a real display server, driven and read the way a person does it.
#
#   tray_desktop_test.py AMBREL SHOTS_DIR HOST[-late]
#
# Each HOSTS row runs the CHECKS whose column allows it, in order; "-late" starts Ambrel before
# the panel. The menu is read off the screen with OCR; screenshots of every step are kept in
# SHOTS_DIR as <host>-<step>.png.
import contextlib, ctypes, json, os, re, select, shutil, signal, subprocess, sys, tempfile, time
from pathlib import Path

# LISTING_WAIT: lsof lists every 3 s, the native engine every second.
SCREEN, LISTING_WAIT, WATCHER = (1024, 768), 12.0, "org.kde.StatusNotifierWatcher"
XFCE_PANEL = """<?xml version="1.0" encoding="UTF-8"?><channel name="xfce4-panel" version="1.0">
<property name="configver" type="int" value="2"/><property name="panels" type="array">
<value type="int" value="1"/><property name="panel-1" type="empty">
<property name="position" type="string" value="p=6;x=0;y=0"/>
<property name="length" type="uint" value="100"/><property name="size" type="uint" value="28"/>
<property name="position-locked" type="bool" value="true"/>
<property name="plugin-ids" type="array"><value type="int" value="1"/></property></property>
</property><property name="plugins" type="empty">
<property name="plugin-1" type="string" value="systray"/></property></channel>"""
# button: the one that opens Ambrel's menu (an XEmbed icon takes either; a StatusNotifierItem
# host shows it on a right click). config: a panel with only the tray, that asks nothing at
# first start. CTest runs neither plasma nor gnome: scripts/install-deps installs neither.
HOSTS = {
    "trayer": dict(button=1, args=["--scanner=lsof"], panel="trayer --edge top --align right "
        "--widthtype request --height 24 --SetDockType true --transparent false".split()),
    "xfce": dict(button=3, panel=["xfce4-panel", "--disable-wm-check"],
                 config=("xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml", XFCE_PANEL)),
    "sway": dict(button=3, wayland=True, panel=["waybar"], config=("waybar/config", json.dumps(
        {"position": "top", "height": 28, "modules-right": ["tray"]}))),
    "plasma": dict(button=3, panel=["plasmashell", "--no-respawn"]),
    "gnome": dict(button=3, panel=["gnome-shell", "--x11", "--replace"], setup=["gsettings", "set",
        "org.gnome.shell", "enabled-extensions", "['appindicatorsupport@rgcjonas.gmail.com']"])}
# The checks after the icon shows a listener of ours, and the hosts that run each.
CHECKS = [("copied_url_on_clipboard", lambda d: d.wayland), ("kill_through_menu", lambda d: True),
          ("icon_back_after_bar_restart", lambda d: d.wayland and not d.late),
          ("quit_ends_ambrel_and_children", lambda d: True)]
libc = ctypes.CDLL(None, use_errno=True)


class Failure(Exception): pass


def read_line(fd, timeout):
    return os.read(fd, 4096).decode().strip() if select.select([fd], [], [], timeout)[0] else ""


def children_of(pid):  # (pid, command) of each live child
    ps = subprocess.run(["ps", "--ppid", str(pid), "-o", "pid=,stat=,comm="], capture_output=True,
                        text=True, timeout=10).stdout
    return [(int(p), c) for p, st, c in (r.split(None, 2) for r in ps.splitlines()) if st[0] != "Z"]


def reap_children():
    with contextlib.suppress(ChildProcessError):
        while os.waitpid(-1, os.WNOHANG)[0]: pass


def output(argv, timeout, **kwargs):  # what argv writes to stdout, or CalledProcessError
    return subprocess.run(argv, capture_output=True, check=True, timeout=timeout, **kwargs).stdout


def ended(process, within, what):
    try:
        return process.wait(timeout=within)
    except subprocess.TimeoutExpired:
        raise Failure(f"{what} did not end {process.args[0]} within {within} s") from None


class Screen:  # one screenshot, raw RGB (grim and import give 8-bit P6)
    def __init__(self, ppm):
        _, width, height, _, self.rgb = ppm.split(maxsplit=4)
        self.ppm, self.width, self.height, n = ppm, int(width), int(height), 3 * int(width)
        self.rows = [self.rgb[y * n:y * n + n] for y in range(self.height)]

    def region(self, box):
        return b"".join(row[box[0] * 3:box[2] * 3] for row in self.rows[box[1]:box[3]])

    def diff_box(self, other, widen=0):
        # The smallest (x0, y0, x1, y1) that holds every pixel that differs, widened.
        rows = [(y, a, b) for y, (a, b) in enumerate(zip(self.rows, other.rows)) if a != b]
        xs = [next(i for i in order if a[i] != b[i]) // 3 for _, a, b in rows
              for order in (range(len(a)), reversed(range(len(a))))]
        return rows and (max(0, min(xs) - widen), max(0, rows[0][0] - widen),
            min(self.width, max(xs) + 1 + widen), min(self.height, rows[-1][0] + 1 + widen))


# The text lines tesseract reads in box, as (text, box in screen pixels). Menus grey out their
# headers; one pass on the grey image and one on a hard threshold find both kinds of text, on
# light menus and (negated first) on dark ones.
def ocr_lines(screen, box):
    scale, (x0, y0, x1, y1), pixels = 3, box, screen.region(box)[::7]
    crop = ["-crop", f"{x1 - x0}x{y1 - y0}+{x0}+{y0}", "+repage", "-colorspace", "Gray",
            *(["-negate"] if sum(pixels) < 128 * len(pixels) else []), "-resize", f"{scale}00%"]
    lines = []
    for variant in ([], ["-threshold", "85%"]):
        png = output(["convert", "ppm:-", *crop, *variant, "png:-"], 30, input=screen.ppm)
        tsv = output("tesseract stdin stdout -l eng --psm 11 tsv".split(), 60, input=png,
                     env=dict(os.environ, OMP_THREAD_LIMIT="1")).decode()
        words = [c for c in (row.split("\t") for row in tsv.splitlines()[1:])
                 if len(c) == 12 and c[11].strip() and float(c[10]) >= 0]
        # Sparse-text mode numbers every word alone; a line is what shares a middle height,
        # cut where a wide gap parts a submenu from its menu (or a shortcut from its item).
        found = []  # each line as its words, (text, x0, y0, x1, y1)
        for cols in sorted(words, key=lambda c: int(c[6])):
            left, top, width, height = (int(c) // scale for c in cols[6:10])
            word = (cols[11].strip(), x0 + left, y0 + top, x0 + left + width, y0 + top + height)
            line = next((ws for ws in found if abs(ws[0][2] + ws[0][4] - word[2] - word[4]) <= 10
                         and word[1] - ws[-1][3] <= 20), None)
            line.append(word) if line else found.append([word])
        lines += [(" ".join(w[0] for w in ws), (ws[0][1], min(w[2] for w in ws), ws[-1][3],
                                                 max(w[4] for w in ws))) for ws in found]
    return lines


def find_line(lines, pattern, what):  # the box of the first line that matches
    found = next((box for text, box in lines if re.search(pattern, text)), None)
    if not found:
        raise Failure(f"the menu has no {what}; it reads {[t for t, _ in lines]}")
    return found


class Desktop:  # every process of one run, started by us and stopped by us, by pid
    def __init__(self, name, ambrel, shots, scratch):
        self.name, self.ambrel_path, self.shots, self.scratch = name, ambrel, shots, scratch
        self.host, self.late = HOSTS[name.removesuffix("-late")], name.endswith("-late")
        self.wayland, self.xembed = self.host.get("wayland"), self.host["button"] == 1
        self.processes, self.started, self.ambrel, self.home = [], [], None, f"{scratch}/home"
        os.makedirs(f"{self.home}/run", mode=0o700)
        supp = f"suppressions={os.path.dirname(os.path.abspath(__file__))}/lsan.supp"
        # Update checks stay on loopback. No session bus unless a host brings one: an outer
        # desktop's tray must not answer.
        self.env = {k: v for k, v in os.environ.items() if k in ("PATH", "LD_LIBRARY_PATH")
                    or k.endswith("SAN_OPTIONS")} | dict(XDG_RUNTIME_DIR=f"{self.home}/run",
            QT_QPA_PLATFORM="wayland" if self.wayland else "xcb", HOME=self.home, NO_AT_BRIDGE="1",
            LSAN_OPTIONS=":".join(filter(None, (os.environ.get("LSAN_OPTIONS"), supp))),
            LC_ALL="C.UTF-8", AMBREL_UPDATE_ORIGIN="http://127.0.0.1:9",
            DBUS_SESSION_BUS_ADDRESS=f"unix:path={scratch}/no-bus")

    # --- processes ---------------------------------------------------------------------

    def start(self, name, argv, **kwargs):
        with open(os.path.join(self.shots, f"{self.name}-{name}.log"), "wb") as out:
            kwargs = dict(stdin=subprocess.DEVNULL, stdout=out, env=self.env) | kwargs
            # Should this script be killed outright, nothing it started outlives it.
            process = subprocess.Popen(argv, stderr=out, start_new_session=True, **kwargs,
                                       preexec_fn=lambda: libc.prctl(1, signal.SIGTERM))
        self.processes.append((name, process))
        self.started.append((name, process))
        return process

    def stop(self, name, process):
        self.processes.remove((name, process))
        with contextlib.suppress(OSError):  # and what it started (a panel's plugins, lsof)
            os.killpg(process.pid, signal.SIGKILL)
        process.wait(timeout=5)

    def stop_all(self):
        for name, process in reversed(self.processes):
            self.stop(name, process)
        # Orphans of those (wl-copy's server, bus-activated services) came to us.
        for pid, _ in children_of(os.getpid()):
            with contextlib.suppress(OSError):  # ps, for one, is gone
                os.kill(pid, signal.SIGKILL)
        time.sleep(0.2)
        reap_children()

    def log_text(self, name):
        with open(os.path.join(self.shots, f"{self.name}-{name}.log"), "rb") as f:
            return f.read()[-3000:].decode(errors="replace")

    def wait_for(self, what, check, timeout, interval=0.25):
        deadline = time.monotonic() + timeout
        while True:
            if gone := [(n, p) for n, p in self.processes if n != "listener" and p.poll()
                        is not None]:
                raise Failure(f"{gone[0][0]} ended early with status {gone[0][1].returncode}")
            if result := check():
                return result
            if time.monotonic() >= deadline:
                raise Failure(f"gave up after {timeout:g} s waiting for {what}")
            time.sleep(interval)

    def run(self, *argv, **kw):
        return subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=10, **kw)

    # --- display servers, session bus, panels ------------------------------------------

    def start_xvfb(self):
        # Xvfb fails if the pipe is closed before it has written; keep it open while it runs.
        self.displayfd, write_end = os.pipe()
        self.start("xvfb", f"Xvfb -displayfd {write_end} -screen 0 {SCREEN[0]}x{SCREEN[1]}x24 "
                   "-nolisten tcp -noreset".split(), pass_fds=(write_end,))
        os.close(write_end)
        if not (number := read_line(self.displayfd, 15)).isdigit():
            raise Failure("Xvfb did not report its display")
        self.env["DISPLAY"] = f":{number}"

    def start_sway(self):
        # sway refuses to run as root: there it runs as nobody, in a folder of its own that
        # our clients reach by the socket's full path. A still pointer hides from screenshots.
        os.makedirs(run := os.path.join(self.scratch, "sway"), mode=0o700)
        Path(run, "config").write_text("xwayland disable\noutput HEADLESS-1 resolution "
                                       f"{SCREEN[0]}x{SCREEN[1]}\nseat * hide_cursor 400\n")
        user = dict(user="nobody", group="nogroup", extra_groups=[]) if os.geteuid() == 0 else {}
        if user:
            os.chmod(self.scratch, 0o711)
            shutil.chown(run, "nobody", "nogroup")
        self.start("sway", ["sway", "-c", os.path.join(run, "config")], **user, env=dict(
            self.env, HOME=run, XDG_RUNTIME_DIR=run, WLR_BACKENDS="headless",
            WLR_LIBINPUT_NO_DEVICES="1", WLR_RENDERER="pixman"))
        ipc = self.wait_for("sway's sockets", lambda: "wayland-1" in (n := os.listdir(run)) and [
            x for x in n if x.startswith("sway-ipc")], 10)
        self.env.update(WAYLAND_DISPLAY=f"{run}/wayland-1", SWAYSOCK=f"{run}/{ipc[0]}")
        # The headless seat has no pointer; wayvnc brings a virtual one, which swaymsg moves.
        self.start("wayvnc", ["wayvnc", "-u", os.path.join(self.scratch, "vnc")])
        self.wait_for("wayvnc's pointer", lambda: any(s["capabilities"] & 1 for s in json.loads(
            self.run("swaymsg", "-r", "-t", "get_seats", check=True).stdout)), 10)

    def start_panel(self):
        if config := self.host.get("config"):
            os.makedirs((path := Path(self.home, ".config", config[0])).parent, exist_ok=True)
            path.write_text(config[1])
        self.start("panel", self.host["panel"])
        self.wait_for("the panel", lambda: not self.run("xdotool", "search", "--onlyvisible",
            "--class", "trayer").returncode if self.xembed else self.tray_items() is not None, 20)

    # The items at the StatusNotifierWatcher (on our bus only Ambrel's); None with no watcher.
    def tray_items(self):
        reply = self.run("dbus-send", "--session", "--print-reply", f"--dest={WATCHER}",
                         "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties.Get",
                         f"string:{WATCHER}", "string:RegisteredStatusNotifierItems")
        return None if reply.returncode else re.findall(r'string "([^"]+)"', reply.stdout)

    # --- the screen and the pointer ------------------------------------------------------

    def grab(self):
        argv = "grim -t ppm -" if self.wayland else "import -silent -window root -depth 8 ppm:-"
        return Screen(output(argv.split(), 30, env=self.env))

    def shot(self, step, screen=None):
        screen = screen or self.grab()
        subprocess.run(["convert", "ppm:-", os.path.join(self.shots, f"{self.name}-{step}.png")],
                       input=screen.ppm, check=True, timeout=30)
        return screen

    def settled(self, timeout=10):  # the screen once two grabs half a second apart agree
        grabs = [self.grab()]
        return self.wait_for("the screen to settle", lambda: time.sleep(0.5) or grabs.append(
            self.grab()) or grabs[-1].rgb == grabs[-2].rgb and grabs[-1], timeout, interval=0)

    def changed_from(self, before, what, within=10):
        # A change that passes (a panel's redraw) is none: the settled screen must differ.
        return self.wait_for(what, lambda: (s := self.settled()).rgb != before.rgb and s, within, 0)

    def click(self, box, button=None):  # in the middle of box
        x, y = (str((box[i] + box[i + 2]) // 2) for i in (0, 1))
        seat = ["swaymsg", "-q", "seat", "-", "cursor"]
        self.run(*(seat + ["set", x, y] if self.wayland else ["xdotool", "mousemove", x, y]),
                 check=True)
        if button:
            time.sleep(0.2)
            for argv in ([seat + [act, f"button{button}"] for act in ("press", "release")]
                         if self.wayland else [["xdotool", "click", str(button)]]):
                self.run(*argv, check=True)

    def park_pointer(self):
        # Away from the panel and where menus open, so no hover or tooltip is in a shot.
        self.click((SCREEN[0] // 2, SCREEN[1] - 10) * 2)  # a box of one pixel
        time.sleep(0.6 if self.wayland else 0)

    def open_menu(self, step):
        # Opens Ambrel's menu; the lines read in it and the screen that shows it.
        self.park_pointer()
        before = self.settled()
        self.click(self.icon, self.host["button"])
        menu = self.shot(step, self.changed_from(before, "the menu to open"))
        return ocr_lines(menu, before.diff_box(menu, 6)), menu

    def submenu(self, step):
        # Opens the menu, then the listener's submenu; the lines read in that.
        lines, menu = self.open_menu(f"{step}-menu")
        find_line(lines, r"Listening\s+Processes", "'Listening Processes'")
        # OCR reads the middle dot as anything small, or not at all.
        entry = rf"(?<!\d){self.port}(\s*[^\w\s]{{0,2}}\s*|\s\S\s){re.escape(self.command)}\b"
        self.click(find_line(lines, entry, f"'{self.port} · {self.command}'"), 1)
        submenu = self.shot(f"{step}-submenu", self.changed_from(menu, "the entry's submenu"))
        return ocr_lines(submenu, menu.diff_box(submenu, 6))

    def wait_for_icon(self, look, what, same=True):
        self.park_pointer()
        box = (0, self.icon[1], look.width, self.icon[3])  # the tray's row: a count may widen
        self.wait_for(what, lambda: (self.grab().region(box) == look.region(box)) == same,
                      LISTING_WAIT)

    # --- the run -------------------------------------------------------------------------

    def bring_up(self):
        # Display server, tray host, Ambrel, then a listener of ours that other machines could
        # reach (its network URL can be copied); the icon is found by the count it changes.
        self.start_sway() if self.wayland else self.start_xvfb()
        if not self.xembed:  # a session bus of its own
            bus = self.start("bus", ["dbus-daemon", "--session", "--nofork", "--print-address"],
                             stdout=subprocess.PIPE)
            if not (address := read_line(bus.stdout.fileno(), 10)):
                raise Failure("dbus-daemon did not report its bus")
            self.env["DBUS_SESSION_BUS_ADDRESS"] = address
            if "setup" in self.host:
                self.run(*self.host["setup"], check=True)
        start_ambrel = lambda: self.start("ambrel", [self.ambrel_path, *self.host.get("args", [])])
        if self.late:
            self.ambrel = start_ambrel()
            self.wait_for("Ambrel to find no tray",
                          lambda: "no system tray yet" in self.log_text("ambrel"), 10)
        self.start_panel()
        if self.xembed:
            empty = self.settled()
            self.ambrel = start_ambrel()
            self.changed_from(empty, "Ambrel's icon in the tray", 15)
        else:
            self.ambrel = self.ambrel or start_ambrel()
            self.wait_for("Ambrel's item at the panel's StatusNotifierWatcher", self.tray_items, 15)
        self.park_pointer()
        time.sleep(3.5 if "args" in self.host else 1.5)  # past one listing the count is drawn
        baseline = self.shot("1-start", self.settled())
        self.listener = self.start("listener", [sys.executable, "-u", "-m", "http.server",
                                                "--bind", "0.0.0.0", "0"])
        self.port = self.wait_for("the listener's port", lambda: re.search(
            r"port (\d+)", self.log_text("listener")), 10)[1]
        self.command = Path(f"/proc/{self.listener.pid}/comm").read_text().strip()
        self.raised = self.changed_from(baseline, "the count on the icon to change", LISTING_WAIT)
        self.shot("2-count-up", self.raised)
        self.icon = baseline.diff_box(self.raised)  # the count, drawn into the icon
        print(f"desktop: listener {self.command} (pid {self.listener.pid}) on port {self.port}; "
            f"icon at {self.icon}")
        if self.icon[2] - self.icon[0] > 64 or self.icon[3] - self.icon[1] > 64:
            raise Failure(f"the change {self.icon} is not an icon in a tray")

    def copied_url_on_clipboard(self):
        self.click(find_line(self.submenu(4), r"Copy\s+Network\s+URL", "'Copy Network URL'"), 1)
        url = self.wait_for("the URL on the clipboard", lambda: re.fullmatch(
            rf"http://(\[[0-9a-fA-F:.%]+\]|[0-9.]+|localhost):{self.port}",
            self.run("wl-paste", "--no-newline").stdout), 5)
        print(f"desktop: the clipboard holds {url[0]}")

    def kill_through_menu(self):
        pid, lines = self.listener.pid, self.submenu(5)
        self.click(find_line(lines, rf"Kill\s+Process\s*\(?\s*[iIl1]d\s*{pid}\b",
                             f"'Kill Process (id {pid})'"), 1)
        if (status := ended(self.listener, 5, "'Kill Process'")) != -signal.SIGKILL:
            raise Failure(f"the listener ended with {status}, not by SIGKILL")
        # Other listeners on the machine may come and go meanwhile: the count need only move.
        self.wait_for_icon(self.raised, "the count to drop back", same=False)
        self.dropped = self.shot("6-count-down", self.settled())

    def icon_back_after_bar_restart(self):
        self.stop("panel", next(p for n, p in self.processes if n == "panel"))
        self.start_panel()
        self.wait_for("Ambrel's item at the panel's StatusNotifierWatcher", self.tray_items, 15)
        self.wait_for_icon(self.dropped, "the icon back after the bar restarted")
        self.shot("7-bar-restarted")

    def quit_ends_ambrel_and_children(self):
        lines, _ = self.open_menu("8-menu-again")
        if any(re.search(rf"(?<!\d){self.port}(?!\d)", text) for text, _ in lines):
            raise Failure(f"the menu still lists port {self.port} after the kill")
        children = children_of(self.ambrel.pid)
        if "args" in self.host and "lsof" not in dict(children).values():
            raise Failure(f"Ambrel has no lsof child, only {children}")
        self.click(find_line(lines, r"\bQuit\b", "'Quit'"), 1)
        if status := ended(self.ambrel, 10, "'Quit'"):
            raise Failure(f"Ambrel quit with status {status}")
        self.processes.remove(("ambrel", self.ambrel))
        # Its children come to us when it ends; they must end with it.
        self.wait_for(f"Ambrel's children {children} to end with it", lambda: reap_children() or
                      not set(children) & set(children_of(os.getpid())), 5)
        self.shot("9-quit")


def main():
    if len(sys.argv) != 4 or sys.argv[3].removesuffix("-late") not in HOSTS:
        sys.exit(f"usage: {sys.argv[0]} AMBREL SHOTS_DIR {{{'|'.join(HOSTS)}}}[-late]")
    ambrel, shots, name = sys.argv[1:]
    os.makedirs(shots, exist_ok=True)
    # Only this run's pictures and logs, so none of an older run is taken for this one's.
    ours = re.compile(rf"{re.escape(name)}-(\d-[a-z-]+\.png|failed\.png|[a-z]+\.log)")
    for old in filter(ours.fullmatch, os.listdir(shots)):
        os.remove(os.path.join(shots, old))
    # A TERM from CTest's timeout still runs the clean-up below.
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda s, _: sys.exit(f"desktop: stopped by signal {s}"))
    libc.prctl(36, 1)  # PR_SET_CHILD_SUBREAPER: orphans of what we start come to us
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix=f"ambrel-desktop-{name}-") as scratch:
        desktop = Desktop(name, os.path.abspath(ambrel), shots, scratch)
        try:
            desktop.bring_up()
            for check in (c for c, runs_on in CHECKS if runs_on(desktop)):
                getattr(desktop, check)()
        except (Failure, subprocess.SubprocessError, OSError, ValueError) as failure:
            with contextlib.suppress(Exception):  # the display server may be what failed
                desktop.shot("failed")
            desktop.stop_all()
            for proc in dict(desktop.started):
                print(f"--- {name}-{proc}.log\n{desktop.log_text(proc)}")
            sys.exit(f"desktop: FAILED ({name}): {failure}")
        finally:
            desktop.stop_all()
    print(f"desktop: {name}: passed in {time.monotonic() - started:.1f} s; screenshots in {shots}")


if __name__ == "__main__":
    main()
