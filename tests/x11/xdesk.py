"""A desk for tests through a real X server: Xvfb, the real z39client, a catalogue-server on
loopback, and input sent by xdotool as a user's mouse and keyboard would send it.

Everything started here is ended when the desk is closed; every wait is bounded.
"""

import glob
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

BIN = os.environ.get("Z39_BIN_DIR") or os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin")

# The frame is 724 x 510 and centred on the screen; without a window manager its client area
# starts where it was placed. Points below are relative to the frame's top-left corner.
SCREEN = (1024, 768)
TOOLBAR = {"find": (35, 15), "settings": (107, 15), "about": (167, 15)}
CHILD_CLOSE = (708, 42)  # the close button of a maximized child window


def free_port_pair():
    """A loopback port P with P and P + 1 free (TCP and HTTP of the catalogue server)."""
    for _ in range(50):
        a = socket.socket()
        a.bind(("127.0.0.1", 0))
        port = a.getsockname()[1]
        b = socket.socket()
        try:
            b.bind(("127.0.0.1", port + 1))
            return port
        except OSError:
            pass
        finally:
            a.close()
            b.close()
    raise RuntimeError("no free port pair")


def strict_records(data):
    """The records of a daily file or lib.tmp, each checked as strictly as a cataloguing
    system's importer would: lines ended by CR LF, each one well-formed ISO 2709 record (the
    leader's length, the base address, every directory entry inside the data and ending at
    a field terminator, the record terminator last and only there), no CR, LF or NUL in
    it, and every byte valid GBK. Raises AssertionError naming what is wrong."""
    assert data == b"" or data.endswith(b"\x1d\r\n"), ("line end", data[-20:])
    records = []
    for line in data.split(b"\r\n")[:-1]:
        assert b"\n" not in line and b"\r" not in line and b"\x00" not in line, line[:40]
        assert line[:5].isdigit() and int(line[:5]) == len(line), ("length", line[:40])
        assert line.endswith(b"\x1d") and line.count(b"\x1d") == 1, ("terminator", line[:40])
        base = int(line[12:17])
        assert 25 <= base < len(line) and line[base - 1] == 0x1E, ("base", line[:40])
        for at in range(24, base - 1, 12):
            length, start = int(line[at + 3:at + 7]), int(line[at + 7:at + 12])
            assert base + start + length < len(line), ("entry", line[at:at + 12])
            assert line[base + start + length - 1] == 0x1E, ("field end", line[at:at + 12])
        line.decode("gbk")  # strict: raises on a byte that is no GBK character
        records.append(line)
    return records


def checked(data):
    """`data` (a daily file or lib.tmp) after strict_records has passed it."""
    strict_records(data)
    return data


def wait_until(check, timeout=10.0, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def batch_killed_at(argv, stop, **popen):
    """Runs z39batch (`argv`) and kills it with SIGKILL once its progress lines ("N/M ...",
    one per settled row) reach row `stop`; returns its exit status (-SIGKILL when the kill
    landed before it ended by itself)."""
    p = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **popen)
    for line in p.stderr:
        done = line.split(b"/", 1)[0]
        if done.isdigit() and int(done) >= stop:
            p.send_signal(signal.SIGKILL)
            break
    p.stderr.close()
    return p.wait(timeout=60)


class Desk:
    """One Xvfb display, one catalogue server, and the folders a client uses."""

    def __init__(self, records=200, window_manager=False, screen=SCREEN):
        self.dir = tempfile.mkdtemp(prefix="z39desk.")
        self.procs = []
        self.screen = screen
        try:
            self._start(records)
            if window_manager:
                self._start_window_manager()
        except BaseException:
            self.close()
            raise

    def _start(self, records):
        for sub in ("tmp", "cfg", "xdg", "work", "marc", "runtime"):
            os.makedirs(self.path(sub), mode=0o700)
        self.db = self.path("catalogue.db")
        subprocess.run([os.path.join(BIN, "catalogue-server"), "demo", "--db", self.db,
                        "--records", str(records)], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)
        self.port = free_port_pair()
        with open(self.path("server.out"), "wb") as out:
            server = self._spawn([os.path.join(BIN, "catalogue-server"), "serve", "--db",
                                  self.db, "--port", str(self.port)], stdout=out)
        wait_until(lambda: b"listening" in self.read("server.out"), 10, "catalogue-server")
        self.server = server
        # Xvfb picks a free display number and writes it to the pipe. Without -noreset it
        # resets when its last client goes, and a client starting just then cannot connect.
        r, w = os.pipe()
        self._spawn(["Xvfb", "-displayfd", str(w), "-screen", "0", "%dx%dx24" % self.screen,
                     "-nolisten", "tcp", "-noreset"],
                    pass_fds=(w,))
        os.close(w)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(r, 16)
            if not chunk:
                break
            number += chunk
        os.close(r)
        if not number.strip():
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()
        self.write_settings()

    def _start_window_manager(self):
        """Debian's openbox on the display, as on a cataloguer's desktop: it places and
        decorates windows and gives the focus to a new one."""
        ready = self.path("openbox.ready")
        env = self.env()
        env["HOME"] = self.dir  # its own configuration, none of the user's
        self._spawn(["openbox", "--sm-disable", "--startup", "touch " + ready], env=env)
        wait_until(lambda: os.path.exists(ready), 20, "openbox")

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def read(self, *parts):
        with open(self.path(*parts), "rb") as f:
            return f.read()

    def write_settings(self, extra="", ks_default=1):
        text = ("[系统参数]\r\nKSIP=127.0.0.1\r\nKSPORT=%d\r\nKSDEFAULT=%d\r\nMARCPATH=%s/\r\n%s"
                % (self.port, ks_default, self.path("marc"), extra))
        with open(self.path("cfg", "Z39.ini"), "wb") as f:
            f.write(text.encode("gbk"))

    def env(self):
        env = dict(os.environ)
        for name in ("QT_QPA_PLATFORM", "WAYLAND_DISPLAY"):
            env.pop(name, None)
        env.update({"DISPLAY": self.display, "TMPDIR": self.path("tmp"),
                    "XDG_RUNTIME_DIR": self.path("runtime"),
                    "XDG_CONFIG_HOME": self.path("xdg"), "Z39_CONFIG_DIR": self.path("cfg"),
                    "Z39_INPUT_TRACE": self.path("input.trace"), "LANG": "C.UTF-8"})
        return env

    def _spawn(self, argv, **kw):
        kw.setdefault("stdout", subprocess.DEVNULL)
        kw.setdefault("stderr", subprocess.DEVNULL)
        p = subprocess.Popen(argv, start_new_session=True, **kw)
        self.procs.append(p)
        return p

    def client(self, *args, env=None):
        """Starts z39client with the desk's folders (`env` adds to or replaces its
        environment); returns the process."""
        environment = self.env()
        environment.update(env or {})
        with open(self.path("client-%d.log" % len(self.procs)), "wb") as log:
            return self._spawn([os.path.join(BIN, "z39client")] + list(args), env=environment,
                               cwd=self.path("work"), stderr=log)

    # --- input and looking ------------------------------------------------------------
    def xdotool(self, *args, timeout=10):
        r = subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env(),
                           capture_output=True, timeout=timeout)
        return r.stdout.decode().strip()

    def windows(self, name):
        out = self.xdotool("search", "--onlyvisible", "--name", name)
        return [w for w in out.split() if w]

    def frame(self):
        """The main window's id and top-left corner, once it is on the screen."""
        try:
            wid = wait_until(lambda: (self.windows("^Z39.50客户端") or [None])[0], 60,
                             "main window")
        except AssertionError:
            raise AssertionError("no main window; clients said: " + self.client_logs())
        def corner():
            geometry = {}
            for line in self.xdotool("getwindowgeometry", "--shell", wid).splitlines():
                key, _, value = line.partition("=")
                geometry[key] = int(value) if value.isdigit() else value
            return geometry.get("X"), geometry.get("Y")

        # A window that has just appeared may still be placed: clicks go where it stays.
        where = corner()
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            time.sleep(0.2)
            now = corner()
            if now == where:
                break
            where = now
        return wid, where[0], where[1]

    def focus_frame(self):
        """Gives the main window the focus, and waits until the client has taken it (the
        window activated, its focus widget set): keys sent after that reach the window."""
        wid, _, _ = self.frame()
        if self.xdotool("getwindowfocus") == wid and self.last_focus_change() == b"focus":
            return
        before = self.handled("focus")
        self.xdotool("windowfocus", "--sync", wid)
        self._until_handled(before, kind="focus")

    def last_focus_change(self):
        """The clients' last focus line: b"focus" when a window of theirs has the focus."""
        try:
            lines = self.read("input.trace").splitlines()
        except FileNotFoundError:
            return None
        changes = [k for k in lines if k in (b"focus", b"blur")]
        return changes[-1] if changes else None

    def handled(self, kind=None):
        """How many inputs the clients have handled so far (their input trace): keys,
        clicks and focus taken, or those of one `kind`."""
        try:
            lines = self.read("input.trace").splitlines()
        except FileNotFoundError:
            return 0
        if kind is None:
            return len([k for k in lines if k != b"blur"])
        return len([k for k in lines if k == kind.encode()])

    def _until_handled(self, before, count=1, timeout=3.0, kind=None):
        """Waits until the clients have handled `count` more inputs, and what handling
        them posted. Input that no window of a client takes (a window manager's key, a key
        to a window blocked by a message box) is let go after `timeout`."""
        try:
            wait_until(lambda: self.handled(kind) >= before + count, timeout, "input handled")
        except AssertionError:
            pass

    def search_title(self, text):
        """Row 1 set to 题名 and `text`, then F2, by keyboard in the focused window: a click
        sent while a new window is still being mapped can be lost, a key to the focus is
        not. 题名 is the first field of every kind's list."""
        self.focus_frame()
        self.key("F9", "shift+Tab", "Up", "Up", "Up", "Up", "Up", "F9")
        self.type(text)
        self.key("F2")

    def settle(self):
        """Waits until the client has handled everything sent to it so far: a Shift key,
        which does nothing, goes after it, and its trace line comes after theirs."""
        before = self.handled()
        self.xdotool("key", "shift")
        self._until_handled(before)

    def client_logs(self):
        out = ""
        for name in sorted(os.listdir(self.dir)):
            if name.startswith("client-"):
                out += "\n--- %s:\n%s" % (name, self.read(name)[-2000:].decode("utf-8", "replace"))
        return out

    def click(self, x, y, repeat=1):
        before = self.handled()
        self.xdotool("mousemove", "--sync", x, y, "click", "--repeat", repeat, "1")
        self._until_handled(before, repeat)

    def click_in_frame(self, point):
        _, fx, fy = self.frame()
        self.click(fx + point[0], fy + point[1])

    def key(self, *keys):
        for k in keys:
            before = self.handled()
            self.xdotool("key", k)
            self._until_handled(before)

    def type(self, text):
        if not text.isascii():
            return self.paste(text)
        before = self.handled()
        self.xdotool("type", "--delay", "40", text)
        self._until_handled(before, len(text))

    def paste(self, text):
        """Puts `text` into the focused field through the clipboard (Ctrl+V). Typing
        Chinese would make xdotool remap a spare key for each character, and a client that
        has not read the new keyboard map yet would get another one."""
        owner = self._spawn(["xclip", "-selection", "clipboard", "-i"], env=self.env(),
                            stdin=subprocess.PIPE)
        owner.stdin.write(text.encode("utf-8"))
        owner.stdin.close()
        wait_until(lambda: subprocess.run(["xclip", "-selection", "clipboard", "-o"],
                                          env=self.env(), capture_output=True,
                                          timeout=5).stdout == text.encode("utf-8"),
                   10, "the clipboard")
        self.key("ctrl+v")

    def screenshot(self, path, crop=None):
        argv = ["import", "-window", "root"]
        if crop:
            argv += ["-crop", "%dx%d+%d+%d" % crop]
        subprocess.run(argv + [path], env=self.env(), check=True, timeout=30)

    def pixels_differing(self, a, b):
        r = subprocess.run(["compare", "-metric", "AE", a, b, "null:"], capture_output=True,
                           timeout=30)
        return int(float(r.stderr.decode().split()[0]))

    def dismiss_notice(self, timeout=10, title="提示信息"):
        """Waits for a message box (titled "提示信息" unless `title` says otherwise) and
        presses Enter on it; returns nothing."""
        name = "^%s$" % title
        wid = wait_until(lambda: (self.windows(name) or [None])[0], timeout, "message box")
        # Without a window manager a box shown while a key is still going down may not
        # have the focus yet: Enter again, a second later, until it closes.
        deadline = time.monotonic() + timeout
        self.xdotool("windowfocus", "--sync", wid)
        while True:
            try:
                self.xdotool("key", "--window", wid, "Return")
            except subprocess.SubprocessError:
                pass  # it went meanwhile
            try:
                wait_until(lambda: wid not in self.windows(name), 2.0, "")
                return
            except AssertionError:
                if time.monotonic() > deadline:
                    raise AssertionError("timed out waiting for message box to close")
            try:
                self.xdotool("windowfocus", wid, timeout=2)
            except subprocess.SubprocessError:
                pass

    def stored_records(self, client):
        """How many records `client`'s record store holds (_list.~ in its own working folder,
        a line each)."""
        found = glob.glob(self.path("tmp", "z39client-%d-*" % client.pid, "_list.~"))
        try:
            with open(found[0], "rb") as f:
                return f.read().count(b"\r\n")
        except (IndexError, OSError):
            return 0

    def wait_listed(self, client, count, timeout=30):
        """Waits until `client` has listed `count` records. The store is written by the very
        step that fills the list, so keys sent afterwards reach the window after it."""
        wait_until(lambda: self.stored_records(client) >= count or client.poll() is not None,
                   timeout, "%d records listed" % count)

    def daily_records(self):
        """The records in today's daily files, one per line, CR LF removed."""
        out = []
        for name in sorted(os.listdir(self.path("marc"))):
            with open(self.path("marc", name), "rb") as f:
                data = f.read()
            out += strict_records(data)
        return out

    def served_records(self, where, start, count):
        """The records the catalogue server answers over TCP, in its order."""
        request = ("REQU_BEGIN%d@%d@%sBAG_END" % (start, count, where)).encode("gbk")
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            s.sendall(request)
            answer = b""
            while not answer.endswith(b"BAG_END"):
                chunk = s.recv(65536)
                if not chunk:
                    break
                answer += chunk
        return [part.split(b"REC_END")[0] for part in answer.split(b"REC_BEGIN")[1:]]

    def catalogue_records(self, where_sql, args=()):
        import sqlite3
        con = sqlite3.connect(self.db)
        con.text_factory = bytes
        try:
            return [r[0] for r in con.execute("select record from records where " + where_sql, args)]
        finally:
            con.close()

    def close(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for p in reversed(self.procs):
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
        if not os.environ.get("Z39_KEEP_DESK"):
            shutil.rmtree(self.dir, ignore_errors=True)
