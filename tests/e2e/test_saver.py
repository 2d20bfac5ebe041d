"""The sample screen saver under Wine: its command lines, its data file, full
screen and preview drawing, and how it ends.

Run one case:  python3 test_saver.py SaverTest.test_full_screen_until_a_key
"""

import os
import shutil

import e2e_support as e2e

SAVER_CAPTION = "Sample Screen Saver"
SAVER_CLASS = "SampleSaverWindow"
DEFAULT_SKY = (0, 0, 24)
DEFAULT_TEXT_COLOR = (255, 220, 120)


class SaverTest(e2e.SessionTest):

    def setUp(self):
        super().setUp()
        # Where an installer named Sample.exe would have put it.
        self.saver = os.path.join(self.session.windows_dir, "SAMPLE.SCR")
        shutil.copyfile(e2e.SAMPLE_SAVER, self.saver)
        self.data_dir = os.path.join(self.session.windows_dir, "TORVANEK", "LUMAVERN", "Sample")

    def write_data(self, text):
        os.makedirs(self.data_dir, exist_ok=True)
        with open(os.path.join(self.data_dir, "Sample.DAT"), "w", newline="\r\n") as f:
            f.write(text)

    def start_full_screen(self, switch="/s"):
        process = self.session.start(self.saver, [switch])
        window = self.session.wait_for(lambda w: w.cls == SAVER_CLASS and w.xid, "of the saver")
        self.assertEqual(window.caption, SAVER_CAPTION)
        self.assertEqual(self.session.geometry(window), (0, 0, 1024, 768), "not full screen")
        return process, window

    def screen_colors(self, name):
        """The colour histogram of the screen once the saver has drawn."""
        path = os.path.join(self.work, name)
        for _ in range(50):
            self.session.screenshot(path)
            histogram = e2e.wineharness.color_histogram(path)
            if len(histogram) > 2:          # more than a blank window: drawn
                return histogram
        self.fail("the saver drew nothing")

    def settings_box(self, args):
        process = self.session.start(self.saver, args)
        box = self.session.wait_for_box(e2e.SETTINGS_CAPTION, timeout=30)
        self.session.press_until_gone(box, "Return")
        self.assertEqual(process.wait(), 0, "exit status for %r" % (args,))
        return box

    def test_full_screen_until_a_key(self):
        process, window = self.start_full_screen()
        colors = self.screen_colors("full-screen.png")
        sky, count = max(colors.items(), key=lambda kv: kv[1])
        self.assertEqual(sky, DEFAULT_SKY)
        self.assertGreater(count, 1024 * 768 // 2)
        self.assertIn(DEFAULT_TEXT_COLOR, colors, "the title is not drawn")
        stars = sum(n for rgb, n in colors.items() if min(rgb) >= 96 and rgb != DEFAULT_TEXT_COLOR)
        self.assertGreater(stars, 10, "no stars")
        self.assertTrue(process.running())
        self.session.press(window, "space")
        self.assertEqual(process.wait(), 0)

    def test_mouse_movement_ends_it_beyond_a_few_pixels(self):
        self.session.move_mouse(500, 400)
        process, window = self.start_full_screen("-S")
        self.screen_colors("before-moving.png")
        self.session.move_mouse(502, 401)
        self.session.move_mouse(500, 400)
        self.session.quiet_for(1.0, process)
        self.assertTrue(process.running(), "a nudge of two pixels ended the saver")
        self.session.move_mouse(700, 600)
        self.assertEqual(process.wait(), 0)

    def test_data_file_sets_text_and_colors(self):
        # A bad value is passed over and its default kept; good ones apply.
        self.write_data("; a comment\n  text =  Starry night \nSKYCOLOR=0,90,0\nTEXTCOLOR=300,0,0\n"
                        "STARS=lots\nspeed=7\nnonsense line\n")
        process, window = self.start_full_screen()
        colors = self.screen_colors("with-data.png")
        sky, _ = max(colors.items(), key=lambda kv: kv[1])
        self.assertEqual(sky, (0, 90, 0))
        self.assertIn(DEFAULT_TEXT_COLOR, colors)
        self.session.press(window, "Escape")
        self.assertEqual(process.wait(), 0)

        box = self.settings_box([])
        self.assertIn('"Starry night"', box.message)
        self.assertIn("%s\\TORVANEK\\LUMAVERN\\SAMPLE\\SAMPLE.DAT" % e2e.WINDOWS_DIR, box.message)
        self.assertIn("It was read", box.message)

    def test_settings_box_for_every_spelling_of_configure(self):
        for args in ([], ["/c"], ["/C:1234"], ["-c", "1234"], ["/x"]):
            box = self.settings_box(args)
            self.assertEqual(box.buttons, ["OK"])
            self.assertIn('"Sample Screen Saver"', box.message)
            self.assertIn("There is none", box.message)
        # A password change: this saver has no password and ends at once.
        process = self.session.start(self.saver, ["/a", "1234"])
        self.assertEqual(process.wait(), 0)
        self.assertEqual([w for w in self.session.windows() if w.image.upper().endswith("SAMPLE.SCR")], [])

    def test_preview_in_a_window_of_another_program(self):
        code, out = self.session.run_probe("preview", self.session.windows_path(self.saver), "500")
        lines = dict(line.split("\t", 1) for line in out.splitlines() if "\t" in line)
        self.assertEqual(code, 0, out)
        self.assertEqual(lines.get("child"), "%s\t152x112" % SAVER_CLASS)
        # The saver ends by itself once the window it drew into is gone.
        self.assertEqual(lines.get("exit"), "0")


if __name__ == "__main__":
    e2e.main()
