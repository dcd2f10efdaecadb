"""Drives one running NarwickPanel window the way an operator or a screen reader does.

Controls are found by their accessible description, which carries the control's name
(`cboPort`, `optSave(1)`, `sbStatusBar panel 3`); texts are read through AT-SPI; clicks are
real pointer clicks through xdotool at the screen positions AT-SPI reports.
"""
import os
import subprocess

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

from checks import Timeout, wait_for  # noqa: E402,F401 (the window's tests take it from here too)


def children(acc):
    return [acc.get_child_at_index(i) for i in range(acc.get_child_count())]


def find_apps(pid):
    desktop = Atspi.get_desktop(0)
    return [a for a in children(desktop) if a is not None and a.get_process_id() == pid]


def walk(acc):
    yield acc
    for c in children(acc):
        if c is not None:
            yield from walk(c)


def text_of(acc):
    """What a screen reader reads for a control: its text, else its name."""
    acc.clear_cache()
    if "Text" in acc.get_interfaces():
        return Atspi.Text.get_text(acc, 0, Atspi.Text.get_character_count(acc))
    return acc.get_name()


def extents(acc):
    e = acc.get_extents(Atspi.CoordType.SCREEN)
    return e.x, e.y, e.width, e.height


def actions(acc):
    n = Atspi.Action.get_n_actions(acc)
    return [Atspi.Action.get_action_name(acc, i) for i in range(n)]


def do_action(acc, name):
    names = actions(acc)
    if name not in names:
        raise AssertionError("%r has no action %r (only %r)" % (acc.get_description(), name, names))
    Atspi.Action.do_action(acc, names.index(name))


def states(acc):
    acc.clear_cache()
    return acc.get_state_set()


class Panel:
    """One NarwickPanel process under a Desktop."""

    def __init__(self, desktop, binary, name="narwickpanel", args=()):
        self.desktop = desktop
        env = dict(desktop.env, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1",
                   QT_QPA_PLATFORM="xcb")
        self.log_path = os.path.join(desktop.root, name + ".log")
        self._log = open(self.log_path, "wb")
        self.proc = desktop.spawn(name, [binary, *args], env=env, stdout=self._log,
                                  stderr=subprocess.STDOUT)
        self.pid = self.proc.pid
        self.app = None
        self.frame = None
        self._controls = {}

    def output(self):
        self._log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")

    def wait_for_window(self, timeout=20):
        def ready():
            if self.proc.poll() is not None:
                raise AssertionError("narwickpanel ended with %s:\n%s" % (
                    self.proc.returncode, self.output()))
            for app in find_apps(self.pid):
                for w in children(app):
                    if w is not None and w.get_name() == "NarwickPanel" and extents(w)[2] > 0:
                        self.app, self.frame = app, w
                        return True
            return False

        wait_for(ready, "the NarwickPanel window", timeout)
        self.refresh()
        return self

    def refresh(self):
        self._controls = {}
        for acc in walk(self.frame):
            d = acc.get_description()
            if d:
                self._controls[d] = acc

    def control(self, name):
        if name not in self._controls:
            self.refresh()
        if name not in self._controls:
            raise AssertionError("no control with the description %r" % name)
        return self._controls[name]

    def all_controls(self):
        self.refresh()
        return dict(self._controls)

    def text(self, name):
        return text_of(self.control(name))

    def log_lines(self):
        """The log's lines; each received line ends with a line break."""
        lines = self.text("txtIncoming").split("\n")
        return lines[:-1] if lines and lines[-1] == "" else lines

    def log_scroll(self):
        """The log's vertical scroll bar: (value, maximum); (0, 0) when it is not shown."""
        for acc in walk(self.control("txtIncoming")):
            if acc.get_role() == Atspi.Role.SCROLL_BAR and extents(acc)[3] > extents(acc)[2]:
                acc.clear_cache()
                return Atspi.Value.get_current_value(acc), Atspi.Value.get_maximum_value(acc)
        return 0, 0

    def status(self, panel):
        return text_of(self.control("sbStatusBar panel %d" % panel))

    def count(self):
        text = self.status(3)
        return int(text) if text.strip() else None

    def checked(self, name):
        return states(self.control(name)).contains(Atspi.StateType.CHECKED)

    def focused(self, name):
        return states(self.control(name)).contains(Atspi.StateType.FOCUSED)

    def focus_owner(self):
        """The name of the control that has the keyboard focus, or None."""
        for name, acc in self.all_controls().items():
            if states(acc).contains(Atspi.StateType.FOCUSED):
                return name
        return None

    # -- input ------------------------------------------------------------------------------

    def click_at(self, x, y):
        subprocess.run(["xdotool", "mousemove", "--sync", str(x), str(y), "click", "1"],
                       env=self.desktop.env, check=True, timeout=10)

    def click(self, name, dx=None):
        """A real left click in the middle of the control (or dx pixels from its left)."""
        x, y, w, h = extents(self.control(name))
        if w <= 0 or h <= 0:
            raise AssertionError("%s has no area on screen" % name)
        self.click_at(x + (dx if dx is not None else w // 2), y + h // 2)

    def double_click(self, name):
        """A real double click in the middle of the control."""
        x, y, w, h = extents(self.control(name))
        subprocess.run(["xdotool", "mousemove", "--sync", str(x + w // 2), str(y + h // 2),
                        "click", "--repeat", "2", "--delay", "60", "1"],
                       env=self.desktop.env, check=True, timeout=10)

    KEYSYMS = {"Down": 0xFF54, "Up": 0xFF52, "Tab": 0xFF09, "space": 0x20, "Return": 0xFF0D,
               "BackSpace": 0xFF08, "End": 0xFF57}

    def key(self, name):
        """A key press and release, synthesised by the accessibility registry: a named key, or
        one printable character."""
        sym = self.KEYSYMS[name] if name in self.KEYSYMS else ord(name)
        Atspi.generate_keyboard_event(sym, None, Atspi.KeySynthType.SYM)

    def keys(self, combo):
        """A key combination ("ctrl+s") typed into the focused window through XTEST."""
        subprocess.run(["xdotool", "key", "--clearmodifiers", combo], env=self.desktop.env,
                       check=True, timeout=10)

    def window(self, title):
        """The program's top-level window with this title, shown on screen, or None."""
        for w in children(self.app):
            if w is not None and w.get_name() == title and extents(w)[2] > 0:
                return w
        return None

    def controls_of(self, frame):
        """{accessible description: accessible} under another window of the program."""
        return {a.get_description(): a for a in walk(frame) if a.get_description()}

    def press(self, name):
        do_action(self.control(name), "Press")

    def items(self, combo):
        """The entries of a combo list, in order."""
        acc = self.control(combo)
        lists = [c for c in children(acc) if c is not None and c.get_role() == Atspi.Role.LIST]
        if not lists:
            raise AssertionError("%s has no list" % combo)
        return [i.get_name() for i in children(lists[0]) if i is not None]

    def pick(self, combo, entry):
        """Opens a combo list and clicks one of its entries, as an operator does. A click that
        a loaded machine lost (the box never showed the entry) is made once more, with the
        list closed first if it is still open."""
        acc = self.control(combo)
        for attempt in (1, 2):
            try:
                return self._pick_once(acc, combo, entry)
            except Timeout:
                if attempt == 2:
                    raise
                self.keys("Escape")

    def _pick_once(self, acc, combo, entry):
        do_action(acc, "ShowMenu")

        def shown_item():
            lists = [c for c in children(acc) if c is not None and c.get_role() == Atspi.Role.LIST]
            for item in children(lists[0]):
                if item is not None and item.get_name() == entry:
                    x, y, w, h = extents(item)
                    if w > 0 and h > 0 and y > 0:
                        return x, y, w, h
            return None

        x, y, w, h = wait_for(shown_item, "entry %r of %s on screen" % (entry, combo))
        self.click_at(x + min(w // 2, 30), y + h // 2)
        wait_for(lambda: text_of(acc) == entry, "%s to show %r" % (combo, entry))
