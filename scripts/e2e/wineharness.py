"""Runs Windows programs under Wine and watches them, for the end-to-end tests
and the demo.

A WineSession is one Wine prefix (a copy of a template prefix made once per
run) and one X display (an Xvfb of its own on a free display number, or the
user's display for an interactive run). It starts programs, finds their
windows, presses keys, takes screenshots and reads back what the programs
left in the prefix: files, system.ini and the user's registry.

Windows are found by polling with a deadline, never by fixed waits. X11 only
knows top-level windows and their captions, so the windows are listed from
inside Wine by winprobe.exe (winprobe.c beside this file): caption, class,
the process's image path, the X window id, and every child control's text,
which is where a message box keeps its message. Keys go to a window through
xdotool, screenshots come from ImageMagick's import.

Only what a session started is ever stopped: its own processes by their
Popen objects, its prefix's wineserver with `wineserver -k` under its own
WINEPREFIX, and its own Xvfb by its process.
"""

import os
import re
import shutil
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PROBE_SOURCE = os.path.join(HERE, "winprobe.c")
MINGW_GCC = "i686-w64-mingw32-gcc"

# Wine's own prompts for Mono and Gecko would block a fresh prefix.
BASE_WINE_ENV = {
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
    "WINEDEBUG": "-all",
    "WINEARCH": "win32",
}

# The parts of a prefix that Wine only reads once it is made: copies link to
# the template's files instead of copying 500 MB. Everything a program may
# write (the registry, system.ini, win.ini, the rest of C:) is copied.
SHARED_PREFIX_DIRS = ("drive_c/windows/system32", "drive_c/windows/winsxs")


class HarnessError(Exception):
    pass


def wine_env(prefix, display):
    env = dict(os.environ)
    env.update(BASE_WINE_ENV)
    env["WINEPREFIX"] = prefix
    if display:
        env["DISPLAY"] = display
    return env


def build_probe(out_path):
    """Compiles winprobe.exe, and its hook winprobe-hook.dll beside it, when
    they are missing or older than their source."""
    hook = os.path.join(os.path.dirname(out_path), "winprobe-hook.dll")
    os.makedirs(os.path.dirname(out_path), exist_ok=True)
    for path, options in ((hook, ["-shared", "-DWINPROBE_HOOK"]), (out_path, ["-mconsole"])):
        if os.path.exists(path) and os.path.getmtime(path) >= os.path.getmtime(PROBE_SOURCE):
            continue
        partial = "%s.%d.tmp" % (path, os.getpid())
        subprocess.run([MINGW_GCC, "-Os", "-s", "-Wall", "-Wextra", "-static-libgcc"] + options +
                       [PROBE_SOURCE, "-o", partial, "-lgdi32"], check=True)
        os.replace(partial, path)
    return out_path


def make_template(path, timeout=300):
    """Makes a fresh Wine prefix at path (about 15 s), once per run."""
    done = os.path.join(path, ".template-complete")
    if os.path.exists(done):
        return path
    partial = path + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    env = wine_env(partial, None)
    env.pop("DISPLAY", None)
    subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=timeout, check=True)
    subprocess.run(["wineserver", "-w"], env=env, timeout=timeout, check=True)
    if not os.path.exists(os.path.join(partial, "system.reg")):
        raise HarnessError("wineboot made no registry in " + partial)
    open(os.path.join(partial, ".template-complete"), "w").close()
    shutil.rmtree(path, ignore_errors=True)
    os.rename(partial, path)
    return path


def copy_prefix(template, target):
    shutil.rmtree(target, ignore_errors=True)
    shared = {os.path.join(template, d) for d in SHARED_PREFIX_DIRS}

    def copy_dir(src, dst):
        os.makedirs(dst)
        shutil.copystat(src, dst)
        for entry in os.scandir(src):
            s, d = entry.path, os.path.join(dst, entry.name)
            if entry.is_symlink():
                os.symlink(os.readlink(s), d)
            elif entry.is_dir():
                if s in shared:
                    shutil.copytree(s, d, symlinks=True, copy_function=os.link)
                else:
                    copy_dir(s, d)
            else:
                shutil.copy2(s, d)

    copy_dir(template, target)


class Display:
    """An Xvfb server on a display number it picks itself."""

    def __init__(self, width=1024, height=768):
        read_fd, write_fd = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "%dx%dx24" % (width, height),
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 30
        with os.fdopen(read_fd, "rb") as pipe:
            while not number.endswith(b"\n") and time.monotonic() < deadline:
                chunk = pipe.read(1)
                if not chunk:
                    break
                number += chunk
        if not number.strip().isdigit():
            self.stop()
            raise HarnessError("Xvfb did not start")
        self.name = ":" + number.strip().decode()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Child:
    def __init__(self, hwnd, control_id, visible, cls, text):
        self.hwnd, self.control_id, self.visible, self.cls, self.text = hwnd, control_id, visible, cls, text

    def __repr__(self):
        return "Child(%s %d %r%s)" % (self.cls, self.control_id, self.text, "" if self.visible else " hidden")


class Window:
    """A visible top-level window as winprobe saw it."""

    MESSAGE_ID = 0xFFFF   # the static control that holds a message box's text

    def __init__(self, hwnd, pid, xid, cls, caption, image):
        self.hwnd, self.pid, self.xid = hwnd, pid, xid
        self.cls, self.caption, self.image = cls, caption, image
        self.children = []

    @property
    def message(self):
        """A message box's text, or None for other windows.

        A message box has exactly one static control with the id 0xFFFF (-1);
        dialogs such as "Installing" label several controls so."""
        texts = [c.text for c in self.children if c.cls.lower() == "static" and c.control_id == self.MESSAGE_ID]
        return texts[0] if len(texts) == 1 and self.cls == "#32770" else None

    @property
    def buttons(self):
        """The texts of the visible buttons, '&' marks kept."""
        return [c.text for c in self.children if c.cls.lower() == "button" and c.visible]

    def child_texts(self):
        return [c.text for c in self.children]

    def __repr__(self):
        return "Window(%r, class %r, image %r, children %r)" % (self.caption, self.cls, self.image, self.children)


_ESCAPE = re.compile(r"\\(x[0-9a-f]{2}|.)")


def _unescape(field):
    def one(m):
        e = m.group(1)
        if e[0] == "x":
            return chr(int(e[1:], 16))
        return {"t": "\t", "r": "\r", "n": "\n", "\\": "\\"}[e]
    # Bytes are ANSI (code page 1252); latin-1 keeps them one to one.
    return _ESCAPE.sub(one, field).encode("latin-1").decode("cp1252", errors="replace")


def parse_probe_output(text):
    windows = []
    for line in text.splitlines():
        fields = line.split("\t")
        if fields[0] == "W" and len(fields) == 7:
            windows.append(Window(int(fields[1], 16), int(fields[2]), int(fields[3]),
                                  _unescape(fields[4]), _unescape(fields[5]), _unescape(fields[6])))
        elif fields[0] == "C" and len(fields) == 6 and windows:
            windows[-1].children.append(Child(int(fields[1], 16), int(fields[2]) & 0xFFFF, fields[3] == "1",
                                              _unescape(fields[4]), _unescape(fields[5])))
    return windows


class DialogMeasure:
    """What winprobe dialog reports: the version the process is told, the
    screen (width, height, dpi), the window (left, top, width, height) and
    each static control as (id, width, height, text width, text height, text)."""

    def __init__(self):
        self.version, self.screen, self.window, self.statics = None, None, None, []

    def __repr__(self):
        return "DialogMeasure(version %s, screen %r, window %r, statics %r)" % (
            self.version, self.screen, self.window, self.statics)


def parse_dialog_measure(text):
    measure = DialogMeasure()
    for line in text.splitlines():
        fields = line.split("\t")
        if fields[0] == "version" and len(fields) == 2:
            measure.version = fields[1]
        elif fields[0] == "screen" and len(fields) == 4:
            measure.screen = tuple(int(f) for f in fields[1:])
        elif fields[0] == "window" and len(fields) == 5:
            measure.window = tuple(int(f) for f in fields[1:])
        elif fields[0] == "S" and len(fields) == 7:
            measure.statics.append(tuple(int(f) for f in fields[1:6]) + (_unescape(fields[6]),))
    if measure.screen is None or measure.window is None:
        raise HarnessError("winprobe dialog gave no screen or window: %r" % text)
    return measure


class Process:
    """A Windows program started under Wine, its output kept in a log file."""

    def __init__(self, popen, log_path, command):
        self.popen, self.log_path, self.command = popen, log_path, command

    def wait(self, timeout=60):
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            raise HarnessError("%s still running after %d s" % (self.command, timeout))

    def running(self):
        return self.popen.poll() is None


class WineSession:
    def __init__(self, workdir, template, probe, display=None, width=1024, height=768):
        """template: the prefix to copy, or None to make a fresh one in place.
        display: an X display to use (the user's); None starts an Xvfb."""
        self.workdir = os.path.abspath(workdir)
        os.makedirs(self.workdir, exist_ok=True)
        self.prefix = os.path.join(self.workdir, "prefix")
        self.probe = probe
        self.processes = []
        self.xvfb = None
        self.closed = False
        if template:
            copy_prefix(template, self.prefix)
        else:
            shutil.rmtree(self.prefix, ignore_errors=True)
            make_template(self.prefix)
        if display is None:
            self.xvfb = Display(width, height)
            display = self.xvfb.name
        self.display = display
        self.env = wine_env(self.prefix, display)
        self.log_count = 0

    # ---- paths ----
    @property
    def drive_c(self):
        return os.path.join(self.prefix, "drive_c")

    @property
    def windows_dir(self):
        return os.path.join(self.drive_c, "windows")

    def windows_path(self, unix_path):
        """The path by which Wine's programs see a file: C:\\... inside the
        prefix, Z:\\... elsewhere."""
        rel = os.path.relpath(os.path.abspath(unix_path), self.drive_c)
        if rel.startswith(".."):
            return "Z:" + os.path.abspath(unix_path).replace("/", "\\")
        return "C:\\" + rel.replace("/", "\\")

    # ---- programs ----
    def start(self, program, args=(), cwd=None):
        """Starts program (a path in the prefix or on the host) with args."""
        self.log_count += 1
        log_path = os.path.join(self.workdir, "wine-%d.log" % self.log_count)
        log = open(log_path, "wb")
        target = self.windows_path(program) if os.path.exists(program) else program
        command = ["wine", target] + list(args)
        popen = subprocess.Popen(command, cwd=cwd or self.workdir, env=self.env,
                                 stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        log.close()
        process = Process(popen, log_path, " ".join(command))
        self.processes.append(process)
        return process

    def run_probe(self, *args, timeout=60):
        # Into a file, not a pipe: the first Wine process of a prefix starts
        # wineserver and Wine's services, which inherit its output and would
        # hold a pipe open long after the probe ends.
        out_path = os.path.join(self.workdir, "winprobe.out")
        with open(out_path, "wb") as out:
            code = subprocess.run(["wine", self.probe] + list(args), env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=subprocess.DEVNULL, timeout=timeout).returncode
        with open(out_path, "rb") as out:
            return code, out.read().decode("latin-1")

    def hold_open(self, unix_path, seconds=300, timeout=60, how="hold"):
        """Starts a Windows process that keeps the file open without sharing
        its deletion (winprobe hold), or mapped as a running program's image
        (how="load": it can be renamed, not deleted); returns it once the
        file is held."""
        process = self.start(self.probe, [how, self.windows_path(unix_path), str(seconds)])
        deadline = time.monotonic() + timeout
        while True:
            with open(process.log_path, "rb") as log:
                text = log.read().decode("latin-1")
            if "held" in text.split():
                return process
            if not process.running() or time.monotonic() > deadline:
                raise HarnessError("winprobe could not hold %s open: %s" % (unix_path, text))
            time.sleep(0.1)

    def measure_dialog(self, window):
        """The dialog as its own process sees it (winprobe dialog)."""
        code, out = self.run_probe("dialog", "%x" % window.hwnd)
        if code != 0:
            raise HarnessError("winprobe dialog failed: " + out)
        return parse_dialog_measure(out)

    def set_user_value(self, key, name, value):
        """Sets HKEY_CURRENT_USER\\key name: a number as REG_DWORD, text as
        REG_SZ. Programs started afterwards read it."""
        kind, data = ("REG_DWORD", str(value)) if isinstance(value, int) else ("REG_SZ", value)
        subprocess.run(["wine", "reg", "add", "HKCU\\" + key, "/v", name, "/t", kind, "/d", data, "/f"],
                       env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60, check=True)

    def windows(self):
        code, out = self.run_probe("windows")
        if code != 0:
            raise HarnessError("winprobe failed: " + out)
        return parse_probe_output(out)

    def wait_for(self, predicate, what, timeout=60, interval=0.1):
        """Polls the window list until predicate(window) holds for one."""
        deadline = time.monotonic() + timeout
        seen = []
        while True:
            seen = self.windows()
            for w in seen:
                if predicate(w):
                    return w
            if time.monotonic() > deadline:
                raise HarnessError("no window %s within %d s; windows: %r" % (what, timeout, seen))
            time.sleep(interval)

    def wait_for_box(self, caption, timeout=60, exclude=()):
        """A message box with this exact caption, other than those in exclude;
        a dialog of the same caption (the "Installing" dialog) does not count."""
        gone = {w.hwnd for w in exclude}
        return self.wait_for(lambda w: w.caption == caption and w.message is not None and w.hwnd not in gone
                             and w.xid, "message box %r" % caption, timeout)

    def wait_gone(self, window, timeout=60, interval=0.1):
        deadline = time.monotonic() + timeout
        while any(w.hwnd == window.hwnd for w in self.windows()):
            if time.monotonic() > deadline:
                raise HarnessError("window %r still there after %d s" % (window.caption, timeout))
            time.sleep(interval)

    def quiet_for(self, seconds, process=None):
        """Every window seen within seconds, or until process has ended."""
        deadline = time.monotonic() + seconds
        shown = []
        while time.monotonic() < deadline:
            shown.extend(w for w in self.windows() if w.hwnd not in {s.hwnd for s in shown})
            if process is not None and not process.running():
                break
            time.sleep(0.2)
        return shown

    # ---- input and screenshots ----
    def _xdotool(self, *args, check=True):
        subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env, check=check,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)

    def press(self, window, key):
        """Sends a key (xdotool's name: Return, Escape, y, n, space) to a window."""
        self._xdotool("key", "--window", window.xid, key)

    def command_until_gone(self, window, command_id, timeout=60):
        """Gives a box its button's command from inside Wine (winprobe
        command), whichever window has the keyboard focus."""
        code, out = self.run_probe("command", "%x" % window.hwnd, str(command_id))
        if code != 0:
            raise HarnessError("winprobe command failed: " + out)
        self.wait_gone(window, timeout=timeout)

    def press_until_gone(self, window, key, attempts=3, timeout=60):
        """Presses key in a box until the box closes: a key that reaches a
        window in the moment it is being mapped can be lost. A repeated press
        that comes after the box closed goes nowhere (its X window is gone)."""
        for attempt in range(attempts):
            if attempt:
                self._xdotool("key", "--window", window.xid, key, check=False)
            else:
                self.press(window, key)
            try:
                self.wait_gone(window, timeout=timeout / attempts)
                return
            except HarnessError:
                if attempt == attempts - 1:
                    raise

    def move_mouse(self, x, y):
        self._xdotool("mousemove", x, y)

    def geometry(self, window):
        """(x, y, width, height) of the window on the screen."""
        out = subprocess.run(["xwininfo", "-id", str(window.xid)], env=self.env, capture_output=True,
                             text=True, check=True, timeout=30).stdout
        values = {}
        for key in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"):
            m = re.search(re.escape(key) + r":\s+(-?\d+)", out)
            if not m:
                raise HarnessError("xwininfo gave no %s for %r" % (key, window.caption))
            values[key] = int(m.group(1))
        return (values["Absolute upper-left X"], values["Absolute upper-left Y"],
                values["Width"], values["Height"])

    def screenshot(self, path, area=None):
        """Saves the screen, or the area (x, y, width, height) of it, as PNG."""
        command = ["import", "-display", self.display, "-window", "root"]
        if area:
            x, y, w, h = area
            command += ["-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage"]
        subprocess.run(command + [path], env=self.env, check=True, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return path

    def screenshot_window(self, path, window, margin=0):
        x, y, w, h = self.geometry(window)
        return self.screenshot(path, (x - margin, y - margin, w + 2 * margin, h + 2 * margin))

    # ---- what the programs left ----
    def read_system_ini(self):
        return read_ini(os.path.join(self.windows_dir, "system.ini"))

    def flush_registry(self, timeout=60):
        """Ends every process of the prefix so that wineserver writes user.reg."""
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=timeout,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=timeout)
        for p in self.processes:
            try:
                p.popen.wait(timeout)
            except subprocess.TimeoutExpired:
                pass

    def user_reg_value(self, key, name):
        return read_reg_value(os.path.join(self.prefix, "user.reg"), key, name)

    # ---- end ----
    def close(self, keep_prefix=False):
        if self.closed:
            return
        self.closed = True
        try:
            subprocess.run(["wineserver", "-k"], env=self.env, timeout=60,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=self.env, timeout=60)
        finally:
            for p in self.processes:
                if p.running():
                    p.popen.kill()
                    p.popen.wait()
            if self.xvfb:
                self.xvfb.stop()
            if not keep_prefix:
                shutil.rmtree(self.prefix, ignore_errors=True)


def read_ini(path):
    """{section lower-case: {key lower-case: value}} of an ini file."""
    sections = {}
    current = None
    with open(path, "rb") as f:
        for raw in f.read().decode("cp1252", errors="replace").splitlines():
            line = raw.strip()
            if line.startswith("[") and line.endswith("]"):
                current = sections.setdefault(line[1:-1].strip().lower(), {})
            elif current is not None and "=" in line and not line.startswith(";"):
                key, value = line.split("=", 1)
                current[key.strip().lower()] = value.strip()
    return sections


def read_reg_value(path, key, name):
    """The text of a string value in one of Wine's .reg files, or None.

    key as in the file without doubled backslashes: Control Panel\\Desktop."""
    header = "[" + key.replace("\\", "\\\\") + "]"
    wanted = '"%s"=' % name
    inside = False
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith("["):
                inside = line.split("]")[0] + "]" == header
            elif inside and line.startswith(wanted):
                value = line[len(wanted):].strip()
                if value.startswith('"') and value.endswith('"'):
                    return value[1:-1].replace('\\"', '"').replace("\\\\", "\\")
                return value
    return None


def color_histogram(png, area=None):
    """{(r, g, b): pixel count} of a PNG, or of the area (x, y, w, h) in it."""
    command = ["convert", png]
    if area:
        x, y, w, h = area
        command += ["-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage"]
    out = subprocess.run(command + ["-format", "%c", "histogram:info:-"], capture_output=True,
                         text=True, check=True, timeout=60).stdout
    counts = {}
    for m in re.finditer(r"^\s*(\d+):\s*\(\s*([\d.]+),\s*([\d.]+),\s*([\d.]+)", out, re.M):
        rgb = tuple(int(float(v)) for v in m.group(2, 3, 4))
        counts[rgb] = counts.get(rgb, 0) + int(m.group(1))
    return counts


def image_size(png):
    out = subprocess.run(["identify", "-format", "%w %h", png], capture_output=True, text=True,
                         check=True, timeout=60).stdout.split()
    return int(out[0]), int(out[1])
