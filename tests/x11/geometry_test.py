"""The main window's place and size under a real X server with a window manager (openbox):
remembered from one start to the next, and always on the screen.

Run one case: python3 geometry_test.py GeometryTest.test_name (ctest runs each case on its own).
"""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import xdesk  # noqa: E402


class GeometryTest(unittest.TestCase):
    def tearDown(self):
        self.desk.close()

    def geometry(self, wid):
        """The window's client area on the screen (xwininfo: openbox's reparenting makes
        xdotool's position 20 pixels off) and the frame openbox draws around it."""
        out = {}
        info = subprocess.run(["xwininfo", "-id", wid], env=self.desk.env(), capture_output=True,
                              timeout=10).stdout.decode()
        for key, label in (("X", "Absolute upper-left X"), ("Y", "Absolute upper-left Y"),
                           ("WIDTH", "Width"), ("HEIGHT", "Height")):
            out[key] = int(info.split(label + ":")[1].split()[0])
        extents = subprocess.run(["xprop", "-id", wid, "_NET_FRAME_EXTENTS"], env=self.desk.env(),
                                 capture_output=True, timeout=10).stdout.decode()
        numbers = [int(n) for n in extents.split("=")[-1].replace(",", " ").split()
                   if n.isdigit()] if "=" in extents else [0, 0, 0, 0]
        out["LEFT"], out["RIGHT"], out["TOP"], out["BOTTOM"] = (numbers + [0, 0, 0, 0])[:4]
        return out

    def close_by_window_manager(self, client):
        """Alt+F4 to openbox, which asks the window to close, as a user closes it. A key
        sent while openbox still handles a click on its title bar may go unseen: it is
        sent again until the client has ended."""
        d = self.desk
        wid, _, _ = d.frame()
        for _ in range(5):
            d.xdotool("windowactivate", "--sync", wid)
            d.key("alt+F4")
            try:
                self.assertEqual(client.wait(timeout=5), 0)
                return
            except subprocess.TimeoutExpired:
                pass
        self.fail("the window did not close")

    def shot(self, name):
        shots = os.environ.get("Z39_DESK_SHOTS")
        if shots:
            self.desk.screenshot(os.path.join(shots, name))

    def test_resized_and_moved_it_comes_back_so(self):
        self.desk = d = xdesk.Desk(window_manager=True, screen=(1366, 768))
        client = d.client()
        wid, _, _ = d.frame()
        first = self.geometry(wid)
        self.assertEqual((first["WIDTH"], first["HEIGHT"]), (724, 510))  # the design's start
        # The frame carries the program's own icon, in the sizes a panel asks for.
        icon = subprocess.run(["xprop", "-id", wid, "_NET_WM_ICON"], env=d.env(),
                              capture_output=True, timeout=10).stdout.decode()
        for size in ("16 x 16", "32 x 32", "48 x 48"):
            self.assertIn("Icon (%s)" % size, icon)
        d.xdotool("windowsize", "--sync", wid, 1200, 700)
        d.xdotool("windowmove", "--sync", wid, 40, 30)
        xdesk.wait_until(lambda: self.geometry(wid)["WIDTH"] == 1200, 10, "the new size")
        placed = self.geometry(wid)
        self.shot("geometry-1200x700.png")
        self.close_by_window_manager(client)
        client = d.client()
        wid, _, _ = d.frame()
        again = xdesk.wait_until(
            lambda: (lambda g: g if (g["WIDTH"], g["HEIGHT"]) == (1200, 700) else None)(
                self.geometry(wid)), 10, "the remembered size")
        self.assertEqual((again["X"], again["Y"]), (placed["X"], placed["Y"]))
        # Maximised when closed (a double-click on openbox's title bar), maximised when
        # started.
        g = self.geometry(wid)
        d.click(g["X"] + g["WIDTH"] // 2, g["Y"] - g["TOP"] // 2, repeat=2)
        xdesk.wait_until(lambda: self.geometry(wid)["WIDTH"] >= 1360, 10, "maximised")
        self.close_by_window_manager(client)
        client = d.client()
        wid, _, _ = d.frame()
        xdesk.wait_until(lambda: self.geometry(wid)["WIDTH"] >= 1360, 10, "maximised again")
        self.close_by_window_manager(client)

    def test_large_fonts_on_a_small_screen_keep_the_title_bar_on_it(self):
        self.desk = d = xdesk.Desk(window_manager=True, screen=(1366, 768))
        # A place remembered off the screen (another, larger monitor).
        d.write_settings("WINDOWRECT=2000,900,1600,1000\r\n")
        client = d.client(env={"QT_FONT_DPI": "144"})
        wid, _, _ = d.frame()

        # The whole frame, title bar included, on the screen.
        def on_screen():
            g = self.geometry(wid)
            return (g["TOP"] > 0 and g["X"] - g["LEFT"] >= 0 and g["Y"] - g["TOP"] >= 0 and
                    g["X"] + g["WIDTH"] + g["RIGHT"] <= 1366 and
                    g["Y"] + g["HEIGHT"] + g["BOTTOM"] <= 768)

        xdesk.wait_until(on_screen, 10, "the window and its title bar on the screen")
        self.shot("geometry-large-fonts-1366x768.png")
        self.assertIsNone(client.poll())
        client.terminate()
        client.wait(timeout=10)


if __name__ == "__main__":
    unittest.main()
