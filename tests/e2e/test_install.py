"""The installer, packed by the authoring tool, run by Wine under Xvfb: its
questions answered by keystrokes, its effects read back from the prefix.

Run one case:  python3 test_install.py InstallTest.test_completed_installation
"""

import os
import re
import shutil
import subprocess
import time

import e2e_support as e2e
from e2e_support import caption_for, completion_text, confirmation_text, file_digest, tree_state

TITLE = "Sample"
CAPTION = caption_for(TITLE)
FIRST_NUMBER = 15
DESKTOP_KEY = "Control Panel\\Desktop"
# "Version" here makes Wine report that Windows version to its programs.
WINE_KEY = "Software\\Wine"
SAVER_TEXT = "Hello from the data file"
IDOK = 1
IDRETRY = 4
JOURNAL = "LVRNINST.JNL"
BUSY_TEXT = ("Another screen saver installation is running.  Click Retry when it has finished, or Cancel to stop."
             "  Nothing has been installed or changed.")


class InstallTest(e2e.SessionTest):

    def setUp(self):
        super().setUp()
        inputs = os.path.join(self.work, "inputs")
        os.makedirs(inputs)
        self.data = os.path.join(inputs, "sample.dat")
        with open(self.data, "w", newline="\r\n") as f:
            f.write("; settings of the sample saver\nTEXT=%s\nSKYCOLOR=0,40,0\nSTARS=300\n" % SAVER_TEXT)
        # One further file that compresses well and one that does not, so the
        # package holds compressed and stored entries side by side.
        self.notes = os.path.join(inputs, "notes.txt")
        with open(self.notes, "w") as f:
            f.write("".join("Line %d of the notes that come with the sample saver.\n" % i for i in range(800)))
        self.noise = os.path.join(inputs, "noise.bin")
        with open(self.noise, "wb") as f:
            f.write(os.urandom(3000))
        self.inputs = [e2e.SAMPLE_SAVER, self.data, self.notes, self.noise]
        self.install_size = sum(os.path.getsize(p) for p in self.inputs)

    # ---- helpers ----
    def make_installer(self, name="Sample.exe", **options):
        built = os.path.join(self.work, "packed-" + name)
        if not os.path.exists(built):
            e2e.pack(built, TITLE, data=self.data, files=[self.notes, self.noise],
                     first_number=FIRST_NUMBER, **options)
        target = os.path.join(self.downloads, name)
        shutil.copyfile(built, target)
        return target

    def windows_file(self, *parts):
        return os.path.join(self.session.windows_dir, *parts)

    def data_dir(self, stem):
        return self.windows_file("TORVANEK", "LUMAVERN", stem)

    def installed_paths(self, scr_name, stem):
        d = self.data_dir(stem)
        return [self.windows_file(scr_name), os.path.join(d, stem + ".DAT"),
                os.path.join(d, "FILE%04d.txt" % FIRST_NUMBER), os.path.join(d, "FILE%04d.bin" % (FIRST_NUMBER + 1))]

    def assert_installed(self, scr_name, stem):
        for source, installed in zip(self.inputs, self.installed_paths(scr_name, stem)):
            self.assertTrue(os.path.isfile(installed), installed + " is missing")
            self.assertEqual(file_digest(installed), file_digest(source), installed + " differs from its input")
        leftovers = [f for f in os.listdir(self.data_dir(stem)) if f.startswith("~")]
        self.assertEqual(leftovers, [], "temporary files left in the data directory")

    def assert_registered(self, scr_name, nt_family=True):
        """The saver is named in system.ini and, on the NT family, in the
        user's registry, where that family looks for the saver in use."""
        path = "%s\\%s" % (e2e.WINDOWS_DIR, scr_name)
        boot = self.session.read_system_ini().get("boot", {})
        self.assertEqual(boot.get("scrnsave.exe"), path)
        # user.reg is written when the prefix's wineserver ends.
        self.session.flush_registry()
        self.assertEqual(self.session.user_reg_value(DESKTOP_KEY, "ScreenSaveActive"), "1")
        self.assertEqual(self.session.user_reg_value(DESKTOP_KEY, "SCRNSAVE.EXE"), path if nt_family else None)

    def wait_for_saver(self, scr_name, stem):
        """The settings box of the saver that the installer started."""
        saver = self.session.wait_for_box(e2e.SETTINGS_CAPTION)
        self.assertEqual(saver.image.lower(), ("%s\\%s" % (e2e.WINDOWS_DIR, scr_name)).lower(),
                         "the saver was started from another file")
        return saver

    def run_to_confirmation(self, installer, scr_name):
        process = self.session.start(installer, cwd=self.downloads)
        box = self.session.wait_for_box(CAPTION)
        self.assertEqual(box.message, confirmation_text(scr_name, TITLE, self.install_size))
        self.assertEqual(box.buttons, ["OK", "Cancel"])
        return process, box

    def assert_nothing_written(self, before, process):
        """The prefix's Windows directory is as it was, and no other box came."""
        seen = self.session.quiet_for(60, process)
        self.assertEqual(process.wait(), 0)
        self.assertEqual([w.caption for w in seen], [], "boxes shown after the refusal")
        self.assertEqual(tree_state(self.session.windows_dir), before)

    def install_to_the_end(self, installer, nt_family=True):
        """Answers every box of a complete installation of Sample.exe."""
        process, box = self.run_to_confirmation(installer, "SAMPLE.SCR")
        self.session.press_until_gone(box, "Return")
        self.answer_box(CAPTION, completion_text("Sample"), "Return", exclude=[box])
        self.wait_for_saver("SAMPLE.SCR", "Sample")
        self.assertEqual(process.wait(), 0)
        self.assert_installed("SAMPLE.SCR", "Sample")
        self.assert_registered("SAMPLE.SCR", nt_family)

    def replace_to_the_end(self, installer):
        """Answers Yes to replacing SAMPLE.SCR and every box after it."""
        process = self.session.start(installer, cwd=self.downloads)
        self.answer_box("Replace Screen Saver?",
                        "There is already a screen saver by the same name (Sample.SCR) installed on your system."
                        "  Would you like to replace it?", "y", buttons=["Yes", "No"])
        confirm = self.answer_box(CAPTION, confirmation_text("SAMPLE.SCR", TITLE, self.install_size), "Return")
        self.answer_box(CAPTION, completion_text("Sample"), "Return", exclude=[confirm])
        self.wait_for_saver("SAMPLE.SCR", "Sample")
        self.assertEqual(process.wait(), 0)
        self.assert_installed("SAMPLE.SCR", "Sample")

    # ---- cases ----
    def test_windows_98_gets_system_ini_only(self):
        # Wine then reports 4.10 with GetVersion's top bit set, the mark of
        # Windows 95/98/Me; its file rules stay those of the NT family.
        self.session.set_user_value(WINE_KEY, "Version", "win98")
        self.install_to_the_end(self.make_installer(), nt_family=False)

    def test_nt_4_gets_the_registry_value_too(self):
        self.session.set_user_value(WINE_KEY, "Version", "nt40")
        self.install_to_the_end(self.make_installer())

    def test_windows_98_schedules_a_running_saver_in_wininit(self):
        # The old saver mapped as a running program's image can be set aside
        # but not deleted: on Windows 95/98 its deletion at restart is a line
        # in WININIT.INI's [rename], the file edited, its other bytes kept.
        self.session.set_user_value(WINE_KEY, "Version", "win98")
        installer = self.make_installer()
        with open(e2e.SAMPLE_SAVER, "rb") as f:
            older = f.read() + b"an older version"
        with open(self.windows_file("SAMPLE.SCR"), "wb") as f:
            f.write(older)
        head, tail = b"; another program's\r\n[rename]\r\nNUL=C:\\OTHER.TMP\r\n", b"[other]\r\nkey=value\r\n"
        with open(self.windows_file("WININIT.INI"), "wb") as f:
            f.write(head + tail)
        self.session.hold_open(self.windows_file("SAMPLE.SCR"), how="load")
        self.replace_to_the_end(installer)
        with open(self.windows_file("WININIT.INI"), "rb") as f:
            wininit = f.read()
        line = re.fullmatch(re.escape(head) + rb"NUL=C:\\windows\\(~IN\d+\.OLD)\r\n" + re.escape(tail), wininit,
                            re.IGNORECASE)
        self.assertIsNotNone(line, wininit)
        with open(self.windows_file(line.group(1).decode()), "rb") as f:
            self.assertEqual(f.read(), older, "the set-aside saver waits for the restart")

    def test_signed_installer_installs(self):
        # Signing appends a certificate table and sets the checksum; the
        # installer addresses its entries by offset and checks no signature.
        packed = self.make_installer("Unsigned.exe")
        installer = e2e.sign(packed, os.path.join(self.downloads, "Sample.exe"), self.work)
        self.install_to_the_end(installer)

    def test_branded_installer_installs(self):
        icon = e2e.make_icon(os.path.join(self.work, "inputs", "sample.ico"))
        installer = self.make_installer(extra=["--icon", icon, "--file-version", "4.3.2.1",
                                               "--publisher", "Sample Works"])
        # icoutils reads the resources independently of the tool.
        def resources(exe):
            listing = subprocess.run(["wrestool", "-l", exe], capture_output=True, text=True, check=True).stdout
            return [line.split(" [")[0] for line in listing.splitlines()]
        listed = resources(installer)
        for resource in ("--type=14 --name=101 --language=1033", "--type=16 --name=1 --language=1033"):
            self.assertIn(resource, listed)
        # Everything else the stub has (the dialog, the manifest) is carried.
        for resource in resources(e2e.INSTALLER_STUB):
            if not resource.startswith(("--type=3 ", "--type=14 ", "--type='LASTRES'")):
                self.assertIn(resource, listed)
        version = subprocess.run(["wrestool", "-x", "--raw", "--type=16", installer], capture_output=True,
                                 check=True).stdout
        for text in ("Sample Screen Saver Installation", "Sample Works", "4.3.2.1"):
            self.assertIn(text.encode("utf-16-le"), version)
        self.install_to_the_end(installer)

    def test_completed_installation(self):
        installer = self.make_installer()
        process, box = self.run_to_confirmation(installer, "SAMPLE.SCR")
        self.shot("confirmation.png", box)
        self.session.press_until_gone(box, "Return")

        done = self.answer_box(CAPTION, completion_text("Sample"), "Return", buttons=["OK"],
                               screenshot="completion.png")
        saver = self.wait_for_saver("SAMPLE.SCR", "Sample")
        # The saver found the data file that was installed for it.
        self.assertIn('"%s"' % SAVER_TEXT, saver.message)
        self.assertEqual(process.wait(), 0)
        self.assertNotEqual(done.hwnd, box.hwnd)

        self.assert_installed("SAMPLE.SCR", "Sample")
        self.assert_registered("SAMPLE.SCR")

    def test_existing_saver_replaced_on_yes(self):
        installer = self.make_installer()
        old = self.windows_file("SAMPLE.SCR")
        with open(old, "wb") as f:
            f.write(b"an older saver")
        self.replace_to_the_end(installer)

    def test_existing_saver_kept_on_no(self):
        installer = self.make_installer()
        with open(self.windows_file("SAMPLE.SCR"), "wb") as f:
            f.write(b"an older saver")
        before = tree_state(self.session.windows_dir)
        process = self.session.start(installer, cwd=self.downloads)
        self.answer_box("Replace Screen Saver?",
                        "There is already a screen saver by the same name (Sample.SCR) installed on your system."
                        "  Would you like to replace it?", "n")
        self.answer_box("Rename Installer",
                        "If you would like to change the name of the .SCR file that would be installed on your"
                        " system, simply change the installers file name (Sample.EXE) and run it again.",
                        "Return", buttons=["OK"])
        self.assert_nothing_written(before, process)

    def test_confirmation_escaped(self):
        installer = self.make_installer()
        before = tree_state(self.session.windows_dir)
        process, box = self.run_to_confirmation(installer, "SAMPLE.SCR")
        self.session.press_until_gone(box, "Escape")
        self.assert_nothing_written(before, process)
        self.session.flush_registry()
        self.assertIsNone(self.session.user_reg_value(DESKTOP_KEY, "ScreenSaveActive"))

    def test_installer_named_with_two_dots(self):
        installer = self.make_installer("my.clouds.exe")
        process, box = self.run_to_confirmation(installer, "MY.SCR")
        self.session.press_until_gone(box, "Return")
        self.answer_box(CAPTION, completion_text("my.clouds"), "Return", exclude=[box])
        saver = self.wait_for_saver("MY.SCR", "my.clouds")
        # The saver looks for its data under its own name, MY; the installer
        # put it under its stem, my.clouds: the two names part here.
        self.assertIn("\\TORVANEK\\LUMAVERN\\MY\\MY.DAT", saver.message)
        self.assertEqual(process.wait(), 0)
        self.assert_installed("MY.SCR", "my.clouds")
        self.assertFalse(os.path.exists(self.windows_file("MY.CLOUDS.SCR")))
        self.assert_registered("MY.SCR")

    def test_installer_cut_short(self):
        installer = self.make_installer()
        size = os.path.getsize(installer)
        with open(installer, "r+b") as f:
            f.truncate(size - 1000)       # inside the last entry's data
        before = tree_state(self.session.windows_dir)
        process = self.session.start(installer, cwd=self.downloads)
        self.answer_box(CAPTION,
                        "The installer Sample.exe is damaged or incomplete.  Please download it again.\r\n\r\n"
                        "Nothing has been installed or changed.", "Return", buttons=["OK"],
                        screenshot="damaged.png")
        seen = self.session.quiet_for(60, process)
        self.assertEqual(process.wait(), 1)
        self.assertEqual([w.caption for w in seen], [])
        self.assertEqual(tree_state(self.session.windows_dir), before)

    def install_older_version(self):
        """An older SAMPLE.SCR and data file, as an earlier installation left them."""
        old_saver = self.windows_file("SAMPLE.SCR")
        with open(old_saver, "wb") as f:
            f.write(b"MZ an older sample saver" + os.urandom(5000))
        os.makedirs(self.data_dir("Sample"))
        old_data = os.path.join(self.data_dir("Sample"), "Sample.DAT")
        with open(old_data, "w") as f:
            f.write("TEXT=an older text\n")
        return old_saver, old_data

    def run_to_failure(self, installer, expected_text):
        before_ini = file_digest(self.windows_file("system.ini"))
        process = self.session.start(installer, cwd=self.downloads)
        self.answer_box("Replace Screen Saver?",
                        "There is already a screen saver by the same name (Sample.SCR) installed on your system."
                        "  Would you like to replace it?", "y")
        confirm = self.answer_box(CAPTION, confirmation_text("SAMPLE.SCR", TITLE, self.install_size), "Return")
        self.answer_box(CAPTION, expected_text, "Return", buttons=["OK"], exclude=[confirm],
                        screenshot="failure.png")
        seen = self.session.quiet_for(60, process)
        self.assertEqual(process.wait(), 1)
        self.assertEqual([w.caption for w in seen], [], "windows after the failure (was the saver started?)")
        self.assertEqual(file_digest(self.windows_file("system.ini")), before_ini)
        self.session.flush_registry()
        self.assertIsNone(self.session.user_reg_value(DESKTOP_KEY, "ScreenSaveActive"))
        self.assertIsNone(self.session.user_reg_value(DESKTOP_KEY, "SCRNSAVE.EXE"))

    def test_unwritable_file_keeps_older_installation(self):
        installer = self.make_installer()
        old_saver, old_data = self.install_older_version()
        # A directory where a data file must go: as root, Wine ignores
        # read-only bits, but no file can be created in a directory's place.
        blocker = os.path.join(self.data_dir("Sample"), "FILE%04d.bin" % (FIRST_NUMBER + 1))
        os.makedirs(blocker)
        before = tree_state(self.session.windows_dir)
        # The reason is the system's text for its error (Wine's wording; Windows
        # says "Cannot create a file when that file already exists."); a
        # directory is no reason to ask for an administrator.
        self.run_to_failure(installer,
                            "The file %s\\TORVANEK\\LUMAVERN\\Sample\\FILE%04d.bin could not be created.  File"
                            " already exists.\r\n\r\nNothing has been installed or changed."
                            % (e2e.WINDOWS_DIR, FIRST_NUMBER + 1))
        self.assertEqual(tree_state(self.session.windows_dir), before)

    def test_data_directory_blocked_keeps_older_saver(self):
        installer = self.make_installer()
        old_saver = self.windows_file("SAMPLE.SCR")
        with open(old_saver, "wb") as f:
            f.write(b"MZ an older sample saver" + os.urandom(5000))
        # A plain file where the data directory must be made.
        os.makedirs(self.windows_file("TORVANEK", "LUMAVERN"))
        with open(self.data_dir("Sample"), "w") as f:
            f.write("not a directory")
        before = tree_state(self.session.windows_dir)
        # The level that cannot be made is named, with Wine's text for
        # ERROR_ALREADY_EXISTS.
        self.run_to_failure(installer,
                            "The folder %s\\TORVANEK\\LUMAVERN\\Sample could not be created.  File already"
                            " exists.\r\n\r\nNothing has been installed or changed."
                            % e2e.WINDOWS_DIR)
        self.assertEqual(tree_state(self.session.windows_dir), before)

    def test_held_data_file_keeps_older_installation(self):
        installer = self.make_installer()
        old_saver, old_data = self.install_older_version()
        before = tree_state(self.session.windows_dir)
        # The older saver's data file is open in another program, which
        # shares reading and writing but not deletion.
        self.session.hold_open(old_data)
        self.run_to_failure(installer,
                            "The file %s\\TORVANEK\\LUMAVERN\\Sample\\Sample.DAT is in use.  Please close the program"
                            " using it and try again.\r\n\r\nNothing has been installed or changed." % e2e.WINDOWS_DIR)
        self.assertEqual(tree_state(self.session.windows_dir), before)

    def test_installer_named_three_dots_writes_nothing(self):
        # Its stem would be "..": the data files would land in TORVANEK.
        installer = self.make_installer("...exe")
        before = tree_state(self.session.windows_dir)
        process = self.session.start(installer, cwd=self.downloads)
        self.answer_box(CAPTION,
                        "Windows cannot use the installer's name ...exe.  Please rename it.\r\n\r\n"
                        "Nothing has been installed or changed.", "Return", buttons=["OK"])
        seen = self.session.quiet_for(60, process)
        self.assertEqual(process.wait(), 1)
        self.assertEqual([w.caption for w in seen], [])
        self.assertEqual(tree_state(self.session.windows_dir), before)

    def test_two_installers_at_once_each_complete(self):
        # The first holds the lock from its questions to its registration;
        # the second asks, after a few seconds, to be retried.
        inputs = os.path.join(self.work, "inputs")
        installers, sizes = [], []
        for title in ("Sample", "Other"):
            built = os.path.join(self.work, "packed-%s.exe" % title)
            e2e.pack(built, title, data=self.data, files=[self.noise], store=True)
            installers.append(shutil.copyfile(built, os.path.join(self.downloads, title + ".exe")))
            sizes.append(sum(os.path.getsize(p) for p in (e2e.SAMPLE_SAVER, self.data, self.noise)))

        first = self.session.start(installers[0], cwd=self.downloads)
        confirm = self.session.wait_for_box(caption_for("Sample"))
        self.assertEqual(confirm.message, confirmation_text("SAMPLE.SCR", "Sample", sizes[0]))
        second = self.session.start(installers[1], cwd=self.downloads)
        busy = self.session.wait_for_box(caption_for("Other"))
        self.assertEqual(busy.message, BUSY_TEXT)
        self.assertEqual([b.replace("&", "") for b in busy.buttons], ["Retry", "Cancel"])
        self.session.command_until_gone(confirm, IDOK)
        self.answer_box(caption_for("Sample"), completion_text("Sample"), IDOK, exclude=[confirm], timeout=300)
        self.assertEqual(first.wait(300), 0)
        self.session.command_until_gone(busy, IDRETRY)
        confirm = self.answer_box(caption_for("Other"), confirmation_text("OTHER.SCR", "Other", sizes[1]), IDOK,
                                  exclude=[busy])
        self.answer_box(caption_for("Other"), completion_text("Other"), IDOK, exclude=[busy, confirm], timeout=300)
        self.assertEqual(second.wait(300), 0)
        for title in ("Sample", "Other"):
            self.assertEqual(file_digest(self.windows_file(title.upper() + ".SCR")), file_digest(e2e.SAMPLE_SAVER))
            self.assertEqual(file_digest(os.path.join(self.data_dir(title), title + ".DAT")),
                             file_digest(self.data))
        leftovers = [f for f in os.listdir(self.session.windows_dir) if f.startswith("~") or f == JOURNAL]
        self.assertEqual(leftovers, [])

    def killed_upgrade_is_finished_by_another_installer(self, seen):
        """An upgrade of many files killed once seen(data directory) is true;
        then another installer runs to its end: the Sample installation is
        the complete old or the complete new one, with no side file."""
        inputs = os.path.join(self.work, "inputs")
        files = []
        for i in range(400):
            path = os.path.join(inputs, "part%03d.bin" % i)
            with open(path, "wb") as f:
                f.write(os.urandom(300 + i))
            files.append(path)
        built = os.path.join(self.work, "packed-many.exe")
        e2e.pack(built, TITLE, data=self.data, files=files, first_number=FIRST_NUMBER, store=True)
        installer = shutil.copyfile(built, os.path.join(self.downloads, "Sample.exe"))
        other = self.make_installer("Other.exe")
        self.install_older_version()
        data_dir = self.data_dir("Sample")

        def sample_state():
            state = {"SAMPLE.SCR": file_digest(self.windows_file("SAMPLE.SCR"))}
            for name in os.listdir(data_dir):
                state[name] = file_digest(os.path.join(data_dir, name))
            return state

        old = sample_state()
        new = {"SAMPLE.SCR": file_digest(e2e.SAMPLE_SAVER), "Sample.DAT": file_digest(self.data)}
        for i, path in enumerate(files):
            new["FILE%04d.bin" % (FIRST_NUMBER + i)] = file_digest(path)

        process = self.session.start(installer, cwd=self.downloads)
        self.answer_box("Replace Screen Saver?",
                        "There is already a screen saver by the same name (Sample.SCR) installed on your system."
                        "  Would you like to replace it?", "y")
        confirm = self.session.wait_for_box(CAPTION)
        self.session.press(confirm, "Return")
        deadline = time.monotonic() + 300
        while not seen(data_dir):
            self.assertTrue(process.running() and time.monotonic() < deadline, "the state was never seen")
        process.popen.kill()
        process.wait()
        self.assertTrue(os.path.exists(self.windows_file(JOURNAL)), "killed after the run had finished")

        process = self.session.start(other, cwd=self.downloads)
        confirm = self.answer_box(caption_for(TITLE), confirmation_text("OTHER.SCR", TITLE, self.install_size),
                                  "Return")
        self.answer_box(CAPTION, completion_text("Other"), "Return", exclude=[confirm])
        self.assertEqual(process.wait(), 0)
        self.assert_installed("OTHER.SCR", "Other")
        state = sample_state()
        self.assertIn(state, (old, new), "neither the old nor the new installation")
        leftovers = [f for f in os.listdir(self.session.windows_dir) + os.listdir(data_dir)
                     if f.startswith("~IN") or f == JOURNAL]
        self.assertEqual(leftovers, [])

    def test_killed_after_the_first_set_aside(self):
        self.killed_upgrade_is_finished_by_another_installer(
            lambda d: any(f.startswith("~IN") and f.endswith(".OLD") for f in os.listdir(d)))

    def test_killed_in_the_middle_of_the_moves(self):
        # Some new files are in (their ~IN*.TMP gone), others not yet.
        def halfway(d):
            names = os.listdir(d)
            waiting = sum(1 for f in names if f.startswith("~IN") and f.endswith(".TMP"))
            return any(f.endswith(".OLD") for f in names) and 0 < waiting < 200
        self.killed_upgrade_is_finished_by_another_installer(halfway)

    def test_saver_beside_installer_is_not_started(self):
        installer = self.make_installer()
        # A saver of the same name beside the installer, and current directory:
        # a search by bare name would find it before the Windows directory.
        decoy = os.path.join(self.downloads, "SAMPLE.SCR")
        shutil.copyfile(e2e.SAMPLE_SAVER, decoy)
        process, box = self.run_to_confirmation(installer, "SAMPLE.SCR")
        self.session.press_until_gone(box, "Return")
        self.answer_box(CAPTION, completion_text("Sample"), "Return", exclude=[box])
        self.wait_for_saver("SAMPLE.SCR", "Sample")
        self.assertEqual(process.wait(), 0)
        # Whatever else runs, nothing runs from the decoy.
        others = [w for w in self.session.quiet_for(2) if w.image.lower().startswith("c:\\downloads")]
        self.assertEqual(others, [])
        self.assert_installed("SAMPLE.SCR", "Sample")

    def test_installing_dialog_is_drawn(self):
        # Tens of megabytes stored raw keep the dialog up long enough to
        # measure and see, on a loaded machine too.
        big = os.path.join(self.work, "inputs", "big.bin")
        with open(big, "wb") as f:
            for _ in range(96):
                f.write(os.urandom(1 << 20))
        built = os.path.join(self.work, "packed-big.exe")
        self.addCleanup(os.remove, big)
        self.addCleanup(os.remove, built)
        e2e.pack(built, TITLE, data=self.data, files=[big], store=True)
        installer = os.path.join(self.downloads, "Sample.exe")
        shutil.copyfile(built, installer)
        size = sum(os.path.getsize(p) for p in (e2e.SAMPLE_SAVER, self.data, big))

        # Wine, told it is Windows 10, tells a program 10.0 only if its
        # manifest names Windows 10 as supported (6.2 otherwise, as Windows).
        self.session.set_user_value(WINE_KEY, "Version", "win10")
        # 150 % scaling, then 100 %: the screen's DPI as Windows keeps it.
        for dpi in (144, 96):
            with self.subTest(dpi=dpi):
                self.session.set_user_value(DESKTOP_KEY, "LogPixels", dpi)
                process = self.session.start(installer, cwd=self.downloads)
                confirm = self.answer_box(CAPTION, confirmation_text("SAMPLE.SCR", TITLE, size), "Return")
                dialog = self.session.wait_for(
                    lambda w: w.caption == CAPTION and "Please Wait..." in w.child_texts(), "Installing", timeout=60)
                texts = dialog.child_texts()
                for expected in ("Installing", "%s Screen Saver" % TITLE, "Please Wait..."):
                    self.assertIn(expected, texts)
                # Measured first: the dialog lives as long as the copy does.
                measure = self.session.measure_dialog(dialog)
                self.assertEqual(measure.version, "10.0")
                self.assert_fits_and_centred(measure, dpi)
                self.assert_drawn_dialog("installing-%d.png" % dpi, dialog)

                self.answer_box(CAPTION, completion_text("Sample"), "Return", exclude=[confirm, dialog])
                saver = self.wait_for_saver("SAMPLE.SCR", "Sample")
                self.assertEqual(process.wait(), 0)
                self.assertEqual(file_digest(os.path.join(self.data_dir("Sample"), "FILE0000.bin")),
                                 file_digest(big))
                # The next run starts afresh: no saver running, none to replace.
                self.session.press_until_gone(saver, "Return")
                os.remove(self.windows_file("SAMPLE.SCR"))

    def assert_fits_and_centred(self, measure, dpi):
        """Each text of the dialog fits its control, on one line, in the
        control's own font, and the dialog stands where its centring puts
        it: half the screen less half the dialog, each half truncated."""
        width, height, screen_dpi = measure.screen
        self.assertEqual(screen_dpi, dpi)
        left, top, w, h = measure.window
        self.assertEqual((left, top), (width // 2 - w // 2, height // 2 - h // 2), measure)
        self.assertEqual(sorted(s[5] for s in measure.statics),
                         sorted(["Installing", "%s Screen Saver" % TITLE, "Please Wait..."]))
        for _, control_width, control_height, text_width, text_height, text in measure.statics:
            self.assertLessEqual(text_width, control_width, "%r is wider than its control" % text)
            self.assertLessEqual(text_height, control_height, "%r is taller than its control" % text)

    def peak_memory_kib(self, process):
        """The installer process's peak resident set so far (VmHWM), in KiB."""
        with open("/proc/%d/status" % process.popen.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        raise AssertionError("no VmHWM for the installer process")

    def install_and_measure(self, installer, size):
        """Runs a whole installation; returns its peak memory in KiB, read
        while the completion box is up (all placement is done by then)."""
        process = self.session.start(installer, cwd=self.downloads)
        confirm = self.answer_box(CAPTION, confirmation_text("SAMPLE.SCR", TITLE, size), "Return")
        done = self.session.wait_for_box(CAPTION, timeout=600, exclude=[confirm])
        self.assertTrue(done.message.startswith("Installation Complete!"), done.message)
        peak = self.peak_memory_kib(process)
        self.session.press_until_gone(done, "Return")
        saver = self.wait_for_saver("SAMPLE.SCR", "Sample")
        self.session.press_until_gone(saver, "Return")
        self.assertEqual(process.wait(), 0)
        return peak

    def test_large_package_installs_in_fixed_memory(self):
        # 200 MB: a 50 MB data file that compresses and 150 MB that does not.
        inputs = os.path.join(self.work, "inputs")
        data = os.path.join(inputs, "large.dat")
        with open(data, "wb") as f:
            line = b"TEXT=a line of the large data file, repeated with its number %08d\r\n"
            for i in range(50 * (1 << 20) // len(line % 0)):
                f.write(line % i)
        noise = os.path.join(inputs, "noise-150.bin")
        with open(noise, "wb") as f:
            for _ in range(150):
                f.write(os.urandom(1 << 20))
        large = os.path.join(self.work, "packed-large.exe")
        for path in (data, noise, large):
            self.addCleanup(lambda p=path: os.path.exists(p) and os.remove(p))
        e2e.pack(large, TITLE, data=data, files=[noise], level="fast")
        small = os.path.join(self.work, "packed-small.exe")
        e2e.pack(small, TITLE, data=self.data, files=[self.notes])

        installer = os.path.join(self.downloads, "Sample.exe")
        shutil.copyfile(small, installer)
        small_peak = self.install_and_measure(
            installer, sum(os.path.getsize(p) for p in (e2e.SAMPLE_SAVER, self.data, self.notes)))
        os.remove(self.windows_file("SAMPLE.SCR"))  # no "Replace Screen Saver?" this time
        shutil.copyfile(large, installer)
        started = time.monotonic()
        large_peak = self.install_and_measure(
            installer, sum(os.path.getsize(p) for p in (e2e.SAMPLE_SAVER, data, noise)))
        print("200 MB package: %.1f s, peak memory %d KiB (small package: %d KiB)"
              % (time.monotonic() - started, large_peak, small_peak))

        self.assertEqual(file_digest(os.path.join(self.data_dir("Sample"), "Sample.DAT")), file_digest(data))
        self.assertEqual(file_digest(os.path.join(self.data_dir("Sample"), "FILE0000.bin")), file_digest(noise))
        # Memory does not grow with the package: whatever Wine itself takes,
        # the large run needs at most a few MB more than the small one.
        self.assertLess(large_peak, small_peak + 8 * 1024)

    def assert_drawn_dialog(self, name, dialog, timeout=5):
        """The dialog's face is drawn, with dark text in each of its three
        lines, in a screenshot taken within timeout seconds of its showing
        (a machine under load may show the window a moment before its
        first paint is on the screen)."""
        deadline = time.monotonic() + timeout
        while True:
            fault = self.undrawn(self.shot(name, dialog))
            # A shot counts only if the dialog was still there after it.
            if fault is None and dialog.hwnd not in [w.hwnd for w in self.session.windows()]:
                fault = "the dialog was gone before it was seen drawn"
                break
            if fault is None or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        self.assertIsNone(fault)

    def undrawn(self, shot):
        """What a screenshot of the dialog lacks, or None."""
        width, height = e2e.wineharness.image_size(shot)
        histogram = e2e.wineharness.color_histogram(shot)
        face, face_count = max(histogram.items(), key=lambda kv: kv[1])
        if sum(face) <= 3 * 128 or face_count <= width * height // 2:
            return "the dialog is not drawn (its face is dark)"
        # Rows of "Installing", the saver's line and "Please Wait..." in a
        # dialog 75 units high: 15-23, 31-39 and 50-58.
        for top, bottom in ((15, 23), (31, 39), (50, 58)):
            y0, y1 = height * (top - 2) // 75, height * (bottom + 2) // 75
            band = e2e.wineharness.color_histogram(shot, (0, y0, width, y1 - y0))
            if sum(n for rgb, n in band.items() if sum(rgb) < 3 * 100) <= 20:
                return "no text drawn in rows %d-%d" % (y0, y1)
        return None


if __name__ == "__main__":
    e2e.main()
