#!/usr/bin/python3
"""Ambrel in a real tray on a real X server, driven and read the way a person does it.

usage: tray_desktop_test.py AMBREL SHOTS_DIR HOST

HOST is one of
  trayer     the X11 tray (XEmbed)
  xfce       xfce4-panel's StatusNotifierItem host on a private session bus
  xfce-late  the same, with Ambrel started before the panel

A listening socket of our own must raise the count on the icon, show up in the menu as
"<port> · <command>" (read back from the screen with OCR), die through "Kill Process" and
take the count back down; "Quit" must end Ambrel and its lsof. Screenshots of every step
are kept in SHOTS_DIR as <host>-<step>.png.
"""

import ctypes
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HOSTS = ("trayer", "xfce", "xfce-late")
# What each program is packaged in on Debian, for the message when one is missing.
TOOLS = {"Xvfb": "xvfb", "xdotool": "xdotool", "import": "imagemagick",
         "convert": "imagemagick", "tesseract": "tesseract-ocr", "lsof": "lsof"}
HOST_TOOLS = {"trayer": {"trayer": "trayer"},
              "xfce": {"xfce4-panel": "xfce4-panel", "dbus-run-session": "dbus",
                       "dbus-send": "dbus"}}
SCREEN = (1024, 768)
# lsof lists every 3 s; a change shows within one interval, give it a few.
LISTING_WAIT = 12.0
PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36

libc = ctypes.CDLL(None, use_errno=True)


class Failure(Exception):
    pass


def log(text):
    print(f"desktop: {text}", flush=True)


def wait_for(what, check, timeout, interval=0.25):
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() >= deadline:
            raise Failure(f"gave up after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def die_with_us():
    # Should this script be killed outright, nothing it started outlives it.
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def proc_stat(pid):
    """(state, ppid, comm) of a live process, None once it is gone or a zombie."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            raw = f.read().decode(errors="replace")
    except OSError:
        return None
    comm = raw[raw.index("(") + 1 : raw.rindex(")")]
    state, ppid = raw[raw.rindex(")") + 2 :].split()[:2]
    return None if state in "ZX" else (state, int(ppid), comm)


def first_line(path):
    with open(path, errors="replace") as f:
        line = f.readline()
    return line.strip() if line.endswith("\n") else ""


def children_of(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            stat = proc_stat(int(entry))
            if stat and stat[1] == pid:
                found.append((int(entry), stat[2]))
    return found


class Screen:
    """One screenshot of the root window, kept as raw RGB."""

    def __init__(self, ppm):
        magic, width, height, depth, self.rgb = ppm.split(maxsplit=4)
        if magic != b"P6" or depth != b"255":
            raise Failure("import did not return an 8-bit PPM")
        self.ppm, self.width, self.height = ppm, int(width), int(height)

    def row(self, y, x0=0, x1=None):
        start = (y * self.width + x0) * 3
        return self.rgb[start : start + ((x1 or self.width) - x0) * 3]

    def region(self, box):
        x0, y0, x1, y1 = box
        return b"".join(self.row(y, x0, x1) for y in range(y0, y1))

    def diff_box(self, other):
        """The smallest (x0, y0, x1, y1) that holds every pixel that differs, or None."""
        rows = [y for y in range(self.height) if self.row(y) != other.row(y)]
        if not rows:
            return None
        x0, x1 = self.width, 0
        for y in rows:
            a, b = self.row(y), other.row(y)
            first = next(i for i in range(len(a)) if a[i] != b[i]) // 3
            last = next(i for i in range(len(a) - 1, -1, -1) if a[i] != b[i]) // 3
            x0, x1 = min(x0, first), max(x1, last + 1)
        return (x0, rows[0], x1, rows[-1] + 1)

    def brightness(self, box):
        data = self.region(box)
        return sum(data[::7]) / max(1, len(data[::7])) / 255

    def save(self, path):
        subprocess.run(["convert", "ppm:-", path], input=self.ppm, check=True, timeout=30)


def widen(box, by, screen):
    x0, y0, x1, y1 = box
    return (max(0, x0 - by), max(0, y0 - by),
            min(screen.width, x1 + by), min(screen.height, y1 + by))


def centre(box):
    return ((box[0] + box[2]) // 2, (box[1] + box[3]) // 2)


class Line:
    def __init__(self, words):
        self.words = sorted(words, key=lambda w: w[0][0])
        self.text = " ".join(w[1] for w in self.words)

    def box(self):
        boxes = [w[0] for w in self.words]
        return (min(b[0] for b in boxes), min(b[1] for b in boxes),
                max(b[2] for b in boxes), max(b[3] for b in boxes))

    def __repr__(self):
        return repr(self.text)


def ocr_lines(screen, box):
    """The text lines that tesseract reads in box, with their boxes in screen pixels.

    Menus grey out their headers; one pass on the grey image and one on a hard threshold
    find both kinds of text, on light menus and (negated first) on dark ones."""
    scale = 3
    x0, y0, x1, y1 = box
    crop = ["-crop", f"{x1 - x0}x{y1 - y0}+{x0}+{y0}", "+repage", "-colorspace", "Gray"]
    if screen.brightness(box) < 0.5:
        crop.append("-negate")
    crop += ["-resize", f"{scale * 100}%"]
    lines = []
    for variant in ([], ["-threshold", "85%"]):
        png = subprocess.run(["convert", "ppm:-", *crop, *variant, "png:-"], input=screen.ppm,
                             capture_output=True, check=True, timeout=30).stdout
        tsv = subprocess.run(["tesseract", "stdin", "stdout", "-l", "eng", "--psm", "11", "tsv"],
                             input=png, capture_output=True, check=True, timeout=60,
                             env=dict(os.environ, OMP_THREAD_LIMIT="1")).stdout.decode()
        words = []
        for row in tsv.splitlines()[1:]:
            cols = row.split("\t")
            if len(cols) < 12 or not cols[11].strip() or float(cols[10]) < 0:
                continue
            left, top, width, height = (int(c) for c in cols[6:10])
            words.append(((x0 + left // scale, y0 + top // scale,
                           x0 + (left + width) // scale, y0 + (top + height) // scale),
                          cols[11].strip()))
        # Sparse-text mode numbers every word alone; a line is what shares a middle height,
        # cut where a wide gap parts a submenu from its menu (or a shortcut from its item).
        rows = []
        for word in sorted(words, key=lambda w: (w[0][1] + w[0][3]) / 2):
            mid = (word[0][1] + word[0][3]) / 2
            if rows and abs(mid - rows[-1][0]) <= 5:
                rows[-1][1].append(word)
            else:
                rows.append((mid, [word]))
        for _, row in rows:
            row.sort(key=lambda w: w[0][0])
            start = 0
            for i in range(1, len(row) + 1):
                if i == len(row) or row[i][0][0] - row[i - 1][0][2] > 20:
                    lines.append(Line(row[start:i]))
                    start = i
    return lines


def find_line(lines, pattern):
    return next((line for line in lines if re.search(pattern, line.text)), None)


class Desktop:
    """Every process of one run, started by us and stopped by us, by pid."""

    def __init__(self, host, ambrel, shots, scratch):
        self.host, self.ambrel_path, self.shots, self.scratch = host, ambrel, shots, scratch
        self.processes = []
        self.logs = {}
        home = os.path.join(scratch, "home")
        dirs = {"HOME": home}
        for var, sub in (("XDG_CONFIG_HOME", ".config"), ("XDG_DATA_HOME", ".local/share"),
                         ("XDG_CACHE_HOME", ".cache"), ("XDG_STATE_HOME", ".local/state"),
                         ("XDG_RUNTIME_DIR", "runtime")):
            dirs[var] = os.path.join(home, sub)
        for path in dirs.values():
            os.makedirs(path, mode=0o700, exist_ok=True)
        keep = ("PATH", "LD_LIBRARY_PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS")
        self.env = {k: v for k, v in os.environ.items() if k in keep}
        self.env.update(dirs)
        suppressions = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan.supp")
        self.env["LSAN_OPTIONS"] = ":".join(
            filter(None, (os.environ.get("LSAN_OPTIONS"), f"suppressions={suppressions}")))
        self.env.update({
            "LC_ALL": "C.UTF-8",
            "QT_QPA_PLATFORM": "xcb",
            # Update checks stay on loopback.
            "AMBREL_UPDATE_ORIGIN": "http://127.0.0.1:9",
            "NO_AT_BRIDGE": "1",
            # No session bus unless a host brings one: an outer desktop's tray must not answer.
            "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(scratch, "no-bus"),
        })
        self.ambrel = self.listener = None
        self.icon = None

    # --- processes ---------------------------------------------------------------------

    def start(self, name, argv, **kwargs):
        path = os.path.join(self.shots, f"{self.host}-{name}.log")
        out = open(path, "wb")
        self.logs[name] = path
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        kwargs.setdefault("stdout", out)
        process = subprocess.Popen(argv, env=self.env, stderr=out, start_new_session=True,
                                   preexec_fn=die_with_us, **kwargs)
        out.close()
        self.processes.append((name, process))
        return process

    def stop_all(self):
        for name, process in reversed(self.processes):
            if process.poll() is None:
                try:
                    os.killpg(process.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    log(f"{name} (pid {process.pid}) ignored SIGTERM; killing it")
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait(timeout=5)
            try:
                # What the process started in its group (a panel's plugins, lsof).
                os.killpg(process.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        # Orphans of those (a bus's daemon, bus-activated services) come to us as the
        # subreaper; give them a moment to follow their parents, then stop the rest.
        deadline = time.monotonic() + 2
        while True:
            reap_children()
            orphans = children_of(os.getpid())
            if not orphans or time.monotonic() >= deadline:
                break
            time.sleep(0.1)
        for pid, comm in orphans:
            log(f"stopping leftover {comm} (pid {pid})")
            os.kill(pid, signal.SIGKILL)
        time.sleep(0.2)
        reap_children()

    def tail_logs(self):
        for name, path in self.logs.items():
            with open(path, "rb") as f:
                text = f.read()[-3000:].decode(errors="replace")
            if text.strip():
                sys.stdout.write(f"--- {name} ({path})\n{text}\n")

    def check_running(self):
        for name, process in self.processes:
            if process.poll() is not None and name != "listener":
                raise Failure(f"{name} ended early with status {process.returncode}")

    # --- the X server, the tray hosts and Ambrel --------------------------------------

    def start_xvfb(self):
        read_end, write_end = os.pipe()
        self.start("xvfb", ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                            f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten", "tcp", "-noreset"],
                   pass_fds=(write_end,))
        os.close(write_end)
        # Xvfb fails if the pipe is closed before it has written; keep it open while it runs.
        self.displayfd = read_end
        ready, _, _ = select.select([read_end], [], [], 15)
        number = os.read(read_end, 32).decode().strip() if ready else ""
        if not number.isdigit():
            self.check_running()
            raise Failure("Xvfb did not report its display")
        self.env["DISPLAY"] = f":{number}"
        log(f"Xvfb on display :{number}")

    def start_bus(self):
        # The bus lives as long as dbus-run-session's child, which ends when we close its stdin.
        bus = self.start("bus", ["dbus-run-session", "--", "sh", "-c",
                                 'echo "$DBUS_SESSION_BUS_ADDRESS"; exec cat >/dev/null'],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        ready, _, _ = select.select([bus.stdout], [], [], 10)
        address = bus.stdout.readline().decode().strip() if ready else ""
        if not address:
            raise Failure("dbus-run-session did not report its bus")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address

    def seed_panel_config(self):
        # One panel along the top with only the tray, so the panel asks nothing at first start.
        folder = os.path.join(self.env["XDG_CONFIG_HOME"], "xfce4", "xfconf",
                              "xfce-perchannel-xml")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "xfce4-panel.xml"), "w") as f:
            f.write("""<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="28"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
""")

    def start_host(self):
        if self.host == "trayer":
            self.start("trayer", ["trayer", "--edge", "top", "--align", "right", "--widthtype",
                                  "request", "--height", "24", "--SetDockType", "true",
                                  "--transparent", "false"])
            wait_for("trayer's panel", lambda: self.check_running() or subprocess.run(
                ["xdotool", "search", "--onlyvisible", "--class", "trayer"], env=self.env,
                capture_output=True, timeout=10).returncode == 0, 10)
        else:
            self.start("panel", ["xfce4-panel", "--disable-wm-check"])
            wait_for("the panel's StatusNotifierWatcher",
                     lambda: self.check_running() or self.bus_has_owner(
                         "org.kde.StatusNotifierWatcher"), 20)

    def start_ambrel(self):
        self.ambrel = self.start("ambrel", [self.ambrel_path])

    def lsof_pid(self):
        found = [pid for pid, comm in children_of(self.ambrel.pid) if comm == "lsof"]
        return found[0] if found else None

    # --- D-Bus ---------------------------------------------------------------------------

    def dbus(self, dest, path, method, *args):
        result = subprocess.run(["dbus-send", "--session", "--print-reply", f"--dest={dest}",
                                 path, method, *args], env=self.env, capture_output=True,
                                text=True, timeout=10)
        return result.stdout if result.returncode == 0 else None

    def bus_has_owner(self, name):
        reply = self.dbus("org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus.NameHasOwner", f"string:{name}")
        return bool(reply and "boolean true" in reply)

    def tray_item_of_ambrel(self):
        """The StatusNotifierItem that the watcher has from Ambrel's process, if any."""
        reply = self.dbus("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                          "org.freedesktop.DBus.Properties.Get",
                          "string:org.kde.StatusNotifierWatcher",
                          "string:RegisteredStatusNotifierItems") or ""
        for item in re.findall(r'string "([^"]+)"', reply):
            owner = self.dbus("org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus.GetConnectionUnixProcessID",
                              "string:" + item.split("/", 1)[0]) or ""
            if re.search(rf"uint32 {self.ambrel.pid}\b", owner):
                return item
        return None

    # --- the screen ----------------------------------------------------------------------

    def grab(self):
        return Screen(subprocess.run(
            ["import", "-silent", "-window", "root", "-depth", "8", "ppm:-"], env=self.env,
            capture_output=True, check=True, timeout=30).stdout)

    def shot(self, step, screen=None):
        screen = screen or self.grab()
        screen.save(os.path.join(self.shots, f"{self.host}-{step}.png"))
        return screen

    def settled(self, timeout=10):
        """The screen once two grabs half a second apart agree."""
        last = self.grab()

        def same():
            nonlocal last
            time.sleep(0.5)
            now = self.grab()
            same, last = now.rgb == last.rgb, now
            return same and now

        return wait_for("the screen to settle", same, timeout, interval=0)

    def changed_from(self, before, what, timeout):
        def check():
            self.check_running()
            now = self.grab()
            return now.rgb != before.rgb and now

        wait_for(what, check, timeout)
        return self.settled()

    def park_pointer(self):
        # Away from the panel and where menus open, so no hover highlight is in a shot.
        self.xdotool("mousemove", str(SCREEN[0] // 2), str(SCREEN[1] - 10))

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True, timeout=10)

    def click(self, point, button=1):
        self.xdotool("mousemove", str(point[0]), str(point[1]))
        time.sleep(0.2)
        self.xdotool("click", str(button))

    def open_menu(self, step, button):
        self.park_pointer()
        before = self.settled()
        self.click(centre(self.icon), button)
        menu = self.changed_from(before, "the menu to open", 10)
        self.shot(step, menu)
        box = widen(before.diff_box(menu), 6, menu)
        return menu, box, ocr_lines(menu, box)

    # --- the run -------------------------------------------------------------------------

    def run(self):
        baseline = self.bring_up()
        port, command = self.open_listener(baseline)
        # The xfce host draws the menu itself (from D-Bus) for the right button; the left one
        # has Ambrel pop up its own. Both renderings get read.
        button = 3 if self.host == "xfce" else 1
        self.kill_from_menu(button, port, command)
        self.wait_for_icon(baseline, "the count to drop back")
        self.shot("5-count-down")
        self.quit_from_menu(button, port)

    def bring_up(self):
        """Starts the X server, the tray host and Ambrel; the screen with Ambrel's icon."""
        self.start_xvfb()
        if self.host == "trayer":
            self.start_host()
            empty = self.settled()
            self.start_ambrel()
            self.changed_from(empty, "Ambrel's icon in the tray", 15)
        else:
            self.seed_panel_config()
            self.start_bus()
            if self.host == "xfce-late":
                self.start_ambrel()
                # Ambrel is up, with no tray to show in, before the panel comes.
                wait_for("Ambrel's lsof", lambda: self.check_running() or self.lsof_pid(), 10)
                time.sleep(1)
                self.start_host()
            else:
                self.start_host()
                self.start_ambrel()
            item = wait_for("Ambrel's StatusNotifierItem at the panel's watcher",
                            lambda: self.check_running() or self.tray_item_of_ambrel(), 15)
            log(f"Ambrel's tray item: {item}")
        self.park_pointer()
        # Past one lsof interval the first listing's count is drawn.
        time.sleep(3.5)
        return self.shot("1-start", self.settled())

    def open_listener(self, baseline):
        """A socket of our own on loopback; finds the icon by the count it changes."""
        self.listener = self.start("listener", [
            sys.executable, "-c",
            "import socket, sys\n"
            "s = socket.socket()\n"
            "s.bind(('127.0.0.1', 0))\n"
            "s.listen()\n"
            "print(s.getsockname()[1], flush=True)\n"
            "sys.stdin.read()\n"], stdin=subprocess.PIPE)
        opened = time.monotonic()
        port = wait_for("the listener's port", lambda: first_line(self.logs["listener"]) or (
            self.listener.poll() is not None and "ended"), 10)
        if not port.isdigit():
            raise Failure(f"the listener could not open its socket: {port}")
        with open(f"/proc/{self.listener.pid}/comm") as f:
            command = f.read().strip()
        raised = self.changed_from(baseline, "the count on the icon to change", LISTING_WAIT)
        log(f"listener {command} (pid {self.listener.pid}) on 127.0.0.1:{port}; "
            f"the screen changed {time.monotonic() - opened:.1f} s later")
        self.shot("2-count-up", raised)
        # What changed is the count, drawn into the icon: that is where to click.
        self.icon = baseline.diff_box(raised)
        log(f"the icon's changed pixels: {self.icon}")
        if self.icon[1] > 40 or self.icon[2] - self.icon[0] > 64:
            raise Failure(f"the change {self.icon} is not an icon in a tray along the top")
        return port, command

    def kill_from_menu(self, button, port, command):
        _, _, lines = self.open_menu("3-menu", button)
        log(f"menu reads {lines}")
        if not find_line(lines, r"Listening\s+Processes"):
            raise Failure("the menu does not show 'Listening Processes'")
        # OCR reads the middle dot as anything small, or not at all.
        entry = find_line(
            lines, rf"(?<!\d){port}(\s*[^\w\s]{{0,2}}\s*|\s\S\s){re.escape(command)}\b")
        if not entry:
            raise Failure(f"the menu does not show '{port} · {command}'")

        menu = self.grab()
        self.click(centre(entry.box()), 1)
        submenu = self.changed_from(menu, "the entry's submenu", 10)
        self.shot("4-submenu", submenu)
        lines = ocr_lines(submenu, widen(menu.diff_box(submenu), 6, submenu))
        log(f"submenu reads {lines}")
        pid = self.listener.pid
        kill = find_line(lines, rf"Kill\s+Process\s*\(?\s*[iIl1]d\s*{pid}\b")
        if not kill:
            raise Failure(f"the submenu has no 'Kill Process (id {pid})'")
        self.click(centre(kill.box()), 1)
        try:
            status = self.listener.wait(timeout=5)
        except subprocess.TimeoutExpired:
            raise Failure("'Kill Process' did not end the listener") from None
        if status != -signal.SIGKILL:
            raise Failure(f"the listener ended with {status}, not by SIGKILL")

    def wait_for_icon(self, look, what):
        self.park_pointer()
        box = widen(self.icon, 2, look)
        wait_for(what, lambda: self.check_running() or
                 self.grab().region(box) == look.region(box), LISTING_WAIT)

    def quit_from_menu(self, button, port):
        _, _, lines = self.open_menu("6-menu-again", button)
        log(f"menu reads {lines}")
        if find_line(lines, rf"(?<!\d){port}(?!\d)"):
            raise Failure(f"the menu still lists port {port} after the kill")
        quit_line = find_line(lines, r"\bQuit\b")
        if not quit_line:
            raise Failure("the menu has no 'Quit'")
        lsof = self.lsof_pid()
        if not lsof:
            raise Failure("Ambrel has no lsof child")
        self.click(centre(quit_line.box()), 1)
        try:
            status = self.ambrel.wait(timeout=10)
        except subprocess.TimeoutExpired:
            raise Failure("'Quit' did not end Ambrel") from None
        if status != 0:
            raise Failure(f"Ambrel quit with status {status}")
        wait_for(f"lsof (pid {lsof}) to end with Ambrel",
                 lambda: reap_children() or proc_stat(lsof) is None, 5)
        self.shot("7-quit")


def reap_children():
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in HOSTS:
        sys.exit(f"usage: {sys.argv[0]} AMBREL SHOTS_DIR {{{'|'.join(HOSTS)}}}")
    ambrel, shots, host = sys.argv[1:]
    os.makedirs(shots, exist_ok=True)
    # Only this run's pictures and logs, so none of an older run is taken for this one's.
    ours = re.compile(rf"{re.escape(host)}-(\d-[a-z-]+\.png|failed\.png|[a-z]+\.log)")
    for name in os.listdir(shots):
        if ours.fullmatch(name):
            os.remove(os.path.join(shots, name))
    # A TERM from CTest's timeout still runs the clean-up below.
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda s, _: sys.exit(f"desktop: stopped by signal {s}"))
    tools = {**TOOLS, **HOST_TOOLS[host.split("-")[0]]}
    missing = sorted({package for tool, package in tools.items() if not shutil.which(tool)})
    if missing:
        sys.exit(f"desktop: FAILED ({host}): missing packages {' '.join(missing)} "
                 "(scripts/install-deps installs them)")
    libc.prctl(PR_SET_CHILD_SUBREAPER, 1)
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix=f"ambrel-desktop-{host}-") as scratch:
        desktop = Desktop(host, os.path.abspath(ambrel), shots, scratch)
        try:
            desktop.run()
        except (Failure, subprocess.SubprocessError, OSError) as failure:
            try:
                desktop.shot("failed")
            except Exception as error:  # the X server may be what failed
                log(f"no screenshot of the failure: {error}")
            desktop.stop_all()
            desktop.tail_logs()
            sys.exit(f"desktop: FAILED ({host}): {failure}")
        finally:
            desktop.stop_all()
    log(f"{host}: passed in {time.monotonic() - started:.1f} s; screenshots in {shots}")


if __name__ == "__main__":
    main()
