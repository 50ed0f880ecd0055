"""A cataloguer's afternoon by keyboard alone: the real z39client under Xvfb with Debian's
openbox as window manager, every step a key, no mouse.

Run: python3 keyboard_test.py (Z39_DESK_SHOTS=FOLDER keeps the screenshots).
"""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import xdesk  # noqa: E402

# Tabs from the first search value (F9) to the database tree; the Qt test
# tabFromTheSearchValueReachesTheTree holds the same number.
TABS_TO_TREE = 4
ISBN = "9787536692930"


class KeyboardTest(unittest.TestCase):
    def setUp(self):
        self.desk = xdesk.Desk(window_manager=True)
        self.shots = os.environ.get("Z39_DESK_SHOTS")

    def tearDown(self):
        self.shot(self._testMethodName + ".png")
        self.desk.close()

    def shot(self, name):
        if self.shots:
            self.desk.screenshot(os.path.join(self.shots, name))

    def question(self, timeout=10):
        """The id of the "提示信息" box on the screen, once it is there and has the focus."""
        d = self.desk
        wid = xdesk.wait_until(lambda: (d.windows("^提示信息$") or [None])[0], timeout,
                               "a message box")
        # openbox gives a new window the focus; wait until it has it.
        xdesk.wait_until(lambda: d.xdotool("getactivewindow") == wid, 5, "the box's focus")
        return wid

    def answer(self, wid, key):
        d = self.desk
        d.key(key)
        xdesk.wait_until(lambda: wid not in d.windows("^提示信息$"), 5, "the box to close")
        # openbox gives the focus to the main window, or to the next box: keys reach that.
        xdesk.wait_until(lambda: d.xdotool("getactivewindow") not in ("", wid), 5,
                         "the focus to move on")

    def daily(self):
        return self.desk.daily_records()

    def test_choose_search_inspect_tick_save_and_nothing_lost_by_keyboard(self):
        d = self.desk
        # The current target at start is a Z39.50 server nobody answers on; the shared
        # catalogue is chosen in the tree by keyboard.
        d.write_settings("LASTDATABASE=4\r\n", ks_default=0)
        with open(d.path("work", "z39svr.cfg"), "wb") as f:
            f.write(b"{Test\n[nowhere\n(Default,127.0.0.1,1,0,,)\n]\n}\n")
        client = d.client()
        wid, _, _ = d.frame()
        xdesk.wait_until(lambda: d.xdotool("getactivewindow") == wid, 10, "the window's focus")
        d.settle()

        # The tree: F9, Tab to it, Home (the shared catalogue's group), Down, Enter.
        d.key("F9")
        for _ in range(TABS_TO_TREE):
            d.key("Tab")
        d.key("Home", "Down", "Return")
        self.shot("keyboard-tree-current-target-bold.png")

        # An ISBN, F2: one record, ticked as the only hit.
        d.key("F9")
        d.type(ISBN)
        d.key("F2")
        # The search has been listed once the client's record store holds the record: the
        # keys after this reach the window after the list was filled.
        d.wait_listed(client, 1)
        self.assertIsNone(client.poll(), d.client_logs())
        # F8 to the list, Enter opens the record's fields, Esc closes them.
        d.key("F8", "Return")
        self.shot("keyboard-record-fields.png")
        d.key("Escape")
        # Space takes the tick off and puts it back; F5 saves the one record.
        d.key("space", "space", "F5")
        box = self.question()
        self.shot("keyboard-saved-notice.png")
        self.answer(box, "Return")  # 确定
        saved = self.daily()
        self.assertEqual(saved, d.catalogue_records("ma_isbn = ?", (ISBN,)))

        # F5 again on the same book: asked first; No (the default, Enter) leaves the daily
        # file as it was.
        d.key("F8", "space")
        d.key("F5")
        box = self.question()
        self.shot("keyboard-save-again-question.png")
        self.answer(box, "Return")
        self.answer(self.question(), "Return")  # "已成功保存[0]条编目数据"
        self.assertEqual(self.daily(), saved)

        # Ticked again (No let go of it): a new search asks before it drops the tick; Esc
        # (取消) keeps the list.
        d.key("F8", "space", "F2")
        box = self.question()
        self.shot("keyboard-ticked-rows-question.png")
        self.answer(box, "Escape")
        self.assertEqual(self.daily(), saved)
        self.assertIsNone(client.poll())

        # Ending the program with the ticked row asks too; Esc (取消) keeps it running.
        d.key("alt+F4")
        box = self.question()
        self.answer(box, "Escape")
        self.assertIsNone(client.poll())
        self.assertEqual(self.daily(), saved)


if __name__ == "__main__":
    unittest.main()
