"""The demo: packs Sample.exe from the sample saver, a data file and a sound
file with the authoring tool, installs it in a fresh Wine prefix and tells
what happened.

    demo.py --native DIR --win32 DIR --out DIR [--interactive]

Without --interactive it runs on an Xvfb display of its own, answers every
question as a user who wants the saver would, and keeps screenshots of the
confirmation, the Installing dialog and the completion message. With
--interactive it runs on $DISPLAY and the user answers.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import time

import wineharness as wh

TITLE = "Sample"
INSTALLER_NAME = "Sample.exe"
SETTINGS_CAPTION = "Sample Screen Saver Settings"
SAVER_CLASS = "SampleSaverWindow"


def say(text=""):
    print(text, flush=True)


def indent(text, prefix="    "):
    return "\n".join(prefix + line for line in text.replace("\r\n", "\n").split("\n"))


def make_inputs(out):
    """The saver's data file, and a sound file of four and a half minutes of
    noise (48 MB, which does not compress): large enough that placing it
    takes a moment in which the Installing dialog can be seen."""
    data = os.path.join(out, "sample.dat")
    with open(data, "w", newline="\r\n") as f:
        f.write("; Settings of the sample screen saver\n"
                "TEXT=Good night from the demo\nTEXTCOLOR=255,220,120\nSKYCOLOR=0,0,40\nSTARS=400\nSPEED=4\n")
    sound = os.path.join(out, "surf.wav")
    rate, channels, seconds = 44100, 2, 270
    size = rate * channels * 2 * seconds
    with open(sound, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + size) + b"WAVEfmt ")
        f.write(struct.pack("<IHHIIHH", 16, 1, channels, rate, rate * channels * 2, channels * 2, 16))
        f.write(b"data" + struct.pack("<I", size))
        for _ in range(size // (1 << 20)):
            f.write(os.urandom(1 << 20))
        f.write(os.urandom(size % (1 << 20)))
    return data, sound


def pack(args, data, sound, installer):
    saverpack = os.path.join(args.native, "saverpack")
    subprocess.run([saverpack, "pack", "--quiet", "--saver", os.path.join(args.win32, "Sample.scr"),
                    "--data", data, "--file", sound, "--title", TITLE, "--first-number", "1",
                    "--stub", os.path.join(args.win32, "installer.exe"), "-o", installer], check=True)
    listing = subprocess.run([saverpack, "list", installer], check=True, capture_output=True, text=True).stdout
    say(indent(listing.rstrip()))


def describe_box(number, window):
    kind = "Message box" if window.message is not None else "Dialog"
    say("%s %d, caption \"%s\":" % (kind, number, window.caption))
    if window.message is not None:
        say(indent(window.message))
        say("    buttons: " + "  ".join("[%s]" % b.replace("&", "") for b in window.buttons))
    else:
        say(indent("\n".join(c.text for c in window.children if c.visible and c.text)))


def answer_for(window):
    """What a user who wants the saver presses in this box."""
    buttons = [b.replace("&", "") for b in window.buttons]
    if "Yes" in buttons:
        return "y", "Yes"
    return "Return", buttons[0] if buttons else "Return"


def watch_installation(session, installer_process, out, interactive):
    """Follows the installer's windows until it has ended and the saver has
    shown itself. Returns (exit status, the saver's window or None, shots)."""
    handled, shots, saver, number = set(), {}, None, 0
    confirmation_seen, ended = False, None
    deadline = time.monotonic() + (3600 if interactive else 300)
    while True:
        for w in session.windows():
            if w.hwnd in handled or not w.xid:
                continue
            if w.image.lower().endswith(".scr"):
                saver = w
                handled.add(w.hwnd)
                say("The installed saver started: %s" % w.image)
                describe_box(number + 1, w)
                number += 1
                if not interactive:
                    shots["saver settings"] = session.screenshot_window(os.path.join(out, "saver-settings.png"), w)
                continue
            if not w.image.lower().endswith(INSTALLER_NAME.lower()):
                continue
            handled.add(w.hwnd)
            number += 1
            describe_box(number, w)
            if "Please Wait..." in w.child_texts():
                if not interactive:
                    shots["Installing dialog"] = session.screenshot_window(os.path.join(out, "installing.png"), w)
                continue
            if interactive:
                continue
            name = None
            if w.message and w.message.startswith("This program will install"):
                name, confirmation_seen = "confirmation", True
            elif w.message and w.message.startswith("Installation Complete!"):
                name = "completion"
            elif confirmation_seen:
                name = "failure"
            if name:
                shots[name] = session.screenshot_window(os.path.join(out, name + ".png"), w)
            key, button = answer_for(w)
            say("    answered: [%s]" % button)
            session.press(w, key)
        if not installer_process.running():
            ended = ended or time.monotonic()
            # The saver shows its window a moment after the installer ends.
            if saver or installer_process.popen.returncode != 0 or time.monotonic() - ended > 30:
                break
        if time.monotonic() > deadline:
            break
        time.sleep(0.1)
    if installer_process.running():
        raise wh.HarnessError("the installer did not end")
    return installer_process.popen.returncode, saver, shots


def show_saver_running(session, out):
    """Runs the installed saver full screen for a screenshot, then a key ends it."""
    process = session.start(os.path.join(session.windows_dir, "SAMPLE.SCR"), ["/s"])
    window = session.wait_for(lambda w: w.cls == SAVER_CLASS and w.xid, "of the running saver", timeout=60)
    path = os.path.join(out, "saver-running.png")
    for _ in range(50):
        session.screenshot(path)
        if len(wh.color_histogram(path)) > 2:
            break
    session.press(window, "space")
    process.wait(60)
    return path


def same_bytes(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(1 << 20), fb.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def report_results(session, sources):
    """sources: {installed Windows path, upper-cased: the input it came from}."""
    windows = session.windows_dir
    say("Files installed:")
    found = []
    for root, _, files in os.walk(windows):
        rel = os.path.relpath(root, windows)
        if rel.split(os.sep)[0].lower() in ("system32", "winsxs"):
            continue
        for f in files:
            path = os.path.join(root, f)
            if f.upper().endswith(".SCR") or rel.upper().startswith("TORVANEK"):
                found.append(path)
    for path in sorted(found):
        name = session.windows_path(path)
        source = sources.get(name.upper())
        origin = ""
        if source:
            origin = ("  same bytes as " if same_bytes(path, source) else "  DIFFERS from ") + os.path.basename(source)
        say("    %-50s %12s bytes%s" % (name, "{:,}".format(os.path.getsize(path)), origin))
    if not found:
        say("    (none)")
    boot = session.read_system_ini().get("boot", {})
    say("system.ini [boot]: SCRNSAVE.EXE=%s" % boot.get("scrnsave.exe", "(not set)"))
    session.flush_registry()
    for name in ("SCRNSAVE.EXE", "ScreenSaveActive"):
        value = session.user_reg_value("Control Panel\\Desktop", name)
        shown = '"%s"' % value if value is not None else "(not set)"
        say("user.reg [Control Panel\\Desktop]: %s=%s" % (name, shown))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--native", required=True)
    parser.add_argument("--win32", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--interactive", action="store_true")
    args = parser.parse_args()
    started = time.monotonic()
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)

    say("== Packing %s with the authoring tool" % INSTALLER_NAME)
    data, sound = make_inputs(out)
    installer = os.path.join(out, INSTALLER_NAME)
    pack(args, data, sound, installer)

    display = None
    if args.interactive:
        display = os.environ.get("DISPLAY")
        if not display:
            sys.exit("demo --interactive needs an X display ($DISPLAY)")
    say()
    say("== Making a fresh Wine prefix (%s)" % subprocess.run(["wine", "--version"], capture_output=True,
                                                                 text=True).stdout.strip())
    probe = wh.build_probe(os.path.join(out, "winprobe.exe"))
    work = os.path.join(out, "interactive" if args.interactive else "run")
    shutil.rmtree(work, ignore_errors=True)
    session = wh.WineSession(work, None, probe, display=display)
    status = 1
    try:
        downloads = os.path.join(session.drive_c, "Downloads")
        os.makedirs(downloads)
        target = os.path.join(downloads, INSTALLER_NAME)
        shutil.copyfile(installer, target)
        say("Prefix: %s" % session.prefix)
        say()
        say("== Running %s on display %s%s" % (session.windows_path(target), session.display,
                                              "" if display is None else ": answer its questions"))
        process = session.start(target, cwd=downloads)
        status, saver, shots = watch_installation(session, process, out, args.interactive)
        say("The installer ended with exit status %d." % status)
        if saver is None:
            say("The saver did not start.")
        say()
        if args.interactive and saver is not None:
            say("== Close the saver's settings box to finish.")
            session.wait_gone(saver, timeout=3600)
        elif saver is not None:
            session.press(saver, "Return")
            session.wait_gone(saver)
            shots["saver running"] = show_saver_running(session, out)
        say("== What the installation left in the prefix")
        data_dir = "C:\\WINDOWS\\TORVANEK\\LUMAVERN\\SAMPLE\\"
        report_results(session, {"C:\\WINDOWS\\SAMPLE.SCR": os.path.join(args.win32, "Sample.scr"),
                                 data_dir + "SAMPLE.DAT": data, data_dir + "FILE0001.WAV": sound})
        if shots:
            say()
            say("Screenshots:")
            for name, path in shots.items():
                say("    %-18s %s" % (name + ":", path))
    finally:
        session.close(keep_prefix=True)
    say()
    say("Demo finished in %.0f s; the prefix stays in %s." % (time.monotonic() - started, session.prefix))
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
