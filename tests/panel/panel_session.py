"""A virtual deck, `deckctl serve` in front of it and headless Chromium on the panel page.

Shared by the browser test and the panel refresh benchmark. Everything listens on loopback only.
"""
import importlib.util
import json
import os
import shutil
import sys
import tempfile
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import deckrig  # noqa: E402


try:
    from selenium.common.exceptions import WebDriverException
except ImportError:  # no selenium: the session skips before any browser call
    class WebDriverException(Exception):
        pass


class Skip(Exception):
    """No browser to drive: the caller skips (CTest code 77)."""


def browser_parts():
    """(webdriver module, chromium path, chromedriver path), or Skip naming what is missing."""
    if importlib.util.find_spec("selenium") is None:
        raise Skip("python3-selenium is not installed (scripts/install-deps browser)")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver") or (
        "/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver") else None)
    if not chromium or not driver:
        raise Skip("chromium or chromium-driver is not installed (scripts/install-deps browser)")
    return chromium, driver


class PanelSession:
    ART_NAMES = ["IDB_VTRINF_PLAYU", "IDB_VTRINF_PLAYD", "IDB_VTRINF_STOPU", "IDB_VTRINF_STOPD",
                 "IDB_VTRINF_PAUSEU", "IDB_VTRINF_PAUSED", "IDB_VTRINF_FWDU", "IDB_VTRINF_FWDD",
                 "IDB_VTRINF_BACKU", "IDB_VTRINF_BACKD", "IDB_SHUTTLE_BACK", "IDB_BTN_CLOSEU",
                 "IDB_BTN_CLOSED", "IDB_BTN_SERIALU", "IDB_BTN_SERIALD", "IDB_BUTTON_U",
                 "IDB_BUTTON_D", "#1000", "#1001", "#15001"]

    def __init__(self, deckctl, decksim, work, token=None):
        self.deckctl = deckctl
        self.decksim = decksim
        self.work = work
        self.token = token or deckrig.new_token()  # the server always wants one
        self.procs = []
        self.driver = None
        self.port = None
        self.decks = []  # port n: decksim on work/deckN, control work/deckN.sock, trace

    # Port 1's virtual deck, which most callers want.
    link = property(lambda self: self.decks[0]["link"])
    trace_path = property(lambda self: self.decks[0]["trace"])

    # ---- processes ----

    def start_deck(self, baud=9600, trace=False, fps=25, extra=()):
        """Another decksim, for the next port number; `extra`, more of its options."""
        n = len(self.decks) + 1
        d = {"port": n, "link": os.path.join(self.work, "deck%d" % n),
             "control": os.path.join(self.work, "deck%d.sock" % n),
             "trace": os.path.join(self.work, "trace%d.txt" % n)}
        deck = deckrig.Decksim(self.decksim, link=d["link"], control=d["control"], trace=trace,
                               baud=baud, fps=fps, out=d["trace"], limit=5, extra=extra)
        self.procs.append(deck.proc)
        self.decks.append(d)
        return d

    def start_server(self, log, extra=()):
        """deckctl serve with one --port for each deck started, each reaching its decksim."""
        self.server_log = os.path.join(self.work, "server.log")
        srv = deckrig.Server(self.deckctl, self.server_log, log, extra=extra,
                             links={d["port"]: d["link"] for d in self.decks}, token=self.token)
        self.procs.append(srv.proc)
        self.port = srv.port
        self._wait(lambda: self._get("/api/decks") is not None, "deckctl serve to answer", 10)

    def close(self):
        if self.driver is not None:
            try:
                self.driver.quit()
            except Exception:  # a browser that died already has nothing left to quit
                pass
            self.driver = None
        for p in reversed(self.procs):
            deckrig.stop(p, 5)

    def _alive(self):
        for p in self.procs:
            if p.poll() is not None:
                log = ""
                if os.path.exists(getattr(self, "server_log", "")):
                    with open(self.server_log, errors="replace") as f:
                        log = f.read()[-2000:]
                raise AssertionError("%s exited with %s\n%s" % (p.args[0], p.returncode, log))

    def _wait(self, pred, what, timeout):
        deckrig.wait(pred, what, timeout, alive=self._alive)

    # ---- the server's API, for checks from outside the page ----

    def url(self, path):
        sep = "&" if "?" in path else "?"
        return "http://127.0.0.1:%d%s%s" % (
            self.port, path, (sep + "token=" + self.token) if self.token else "")

    def _get(self, path):
        try:
            with urllib.request.urlopen(self.url(path), timeout=2) as r:
                return json.loads(r.read())
        except (urllib.error.URLError, OSError, ValueError):
            return None

    def deck(self, port=1):
        r = self._get("/api/decks")
        return next((d for d in (r or {}).get("decks", []) if d["port"] == port), None)

    def wait_deck(self, pred, what, timeout, port=1):
        self._wait(lambda: (lambda d: d is not None and pred(d))(self.deck(port)), what,
                   timeout)

    def clips(self):
        r = self._get("/api/log")
        return r["clips"] if r else None

    def wait_log(self, pred, what, timeout):
        self._wait(lambda: (lambda c: c is not None and pred(c))(self.clips()), what, timeout)

    def deck_control(self, line, port=1):
        reply = deckrig.control(self.decks[port - 1]["control"], line)
        if reply.startswith("error"):
            raise AssertionError("decksim refused '%s': %s" % (line, reply.strip()))
        return reply

    # ---- the browser ----

    def open_browser(self, width=680, height=620):
        chromium, driver = browser_parts()
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        opts = webdriver.ChromeOptions()
        opts.binary_location = chromium
        # No outside network here: nothing that phones home, a profile of its own.
        for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=%d,%d" % (width, height),
                     "--user-data-dir=" + tempfile.mkdtemp(prefix="profile-", dir=self.work)]:
            opts.add_argument(flag)
        # The page's exports are saved as downloads: into the work folder.
        opts.add_experimental_option("prefs", {"download.default_directory": self.work,
                                               "download.prompt_for_download": False})
        self.driver = webdriver.Chrome(service=Service(driver), options=opts)
        self.driver.set_script_timeout(15)
        self.open_page()
        return self.driver

    def open_page(self):
        """Loads the panel in the current window and waits for it to start."""
        page = "http://127.0.0.1:%d/" % self.port
        if self.token:
            page += "?token=" + self.token
        self.driver.get(page)
        self.wait_page()

    def wait_page(self):
        """Waits for the page's script to start, and records the page's requests."""
        self.wait_js("return document.querySelectorAll('#tabs .tab').length === 3",
                     "the page to start", 10)
        # The page's requests and their replies, for a failure message.
        self.driver.execute_script("""
            const real = window.fetch;
            window.sent = [];
            window.fetch = async (url, init) => {
                if (String(url).includes('/api/events')) {
                    return real(url, init);  // a stream's body never ends
                }
                const what = ((init && init.method) || 'GET') + ' ' +
                             String(url).split('?')[0] + ' ' + ((init && init.body) || '');
                try {
                    const r = await real(url, init);
                    r.clone().text().then(t => sent.push(what + ' -> ' + r.status + ' ' +
                                                         t.slice(0, 120)));
                    return r;
                } catch (e) {
                    sent.push(what + ' -> ' + e);
                    throw e;
                }
            };""")

    def wait_js(self, script, what, timeout):
        self._wait(lambda: bool(self.driver.execute_script(script)), what, timeout)

    def el(self, id_):
        from selenium.webdriver.common.by import By
        return self.driver.find_element(By.ID, id_)

    def text(self, id_):
        return self.driver.execute_script(
            "return document.getElementById(arguments[0]).textContent", id_)

    def state(self):
        return self.text("state")

    def wait_text(self, id_, pred, what, timeout):
        last = [None]

        def ok():
            last[0] = self.text(id_)
            return pred(last[0])
        try:
            self._wait(ok, what, timeout)
        except AssertionError as e:
            raise AssertionError("%s (#%s shows '%s'; message '%s')"
                                 % (e, id_, last[0], self.text("message")))

    def snapshot(self):
        """What the panel shows, for a failure message."""
        if self.driver is None:
            return "no browser"
        try:
            return self.driver.execute_script(
                "return ['time', 'in', 'out', 'state', 'message'].map("
                "id => id + ' ' + JSON.stringify(document.getElementById(id).textContent))"
                ".join(', ') + '; last requests: ' + (window.sent || []).slice(-6).join(' | ')")
        except Exception as e:  # the browser itself may be what failed
            return "unreadable (%s)" % e

    def click_tab(self, i):
        from selenium.webdriver.common.by import By
        self.driver.find_elements(By.CSS_SELECTOR, "#tabs .tab")[i].click()

    def click(self, id_):
        self.el(id_).click()

    def key(self, k):
        from selenium.webdriver.common.action_chains import ActionChains
        # Keys go to the page, not to a field that kept the focus.
        self.driver.execute_script("document.activeElement && document.activeElement.blur()")
        ActionChains(self.driver).send_keys(k).perform()

    def drag_knob(self, dx):
        """Holds the shuttle knob (if not held yet) and moves the pointer dx pixels further."""
        from selenium.webdriver.common.action_chains import ActionChains
        chain = ActionChains(self.driver)
        if not getattr(self, "_knob_held", False):
            chain.click_and_hold(self.el("shuttle"))
            self._knob_held = True
        chain.move_by_offset(dx, 0).perform()

    def release_knob(self):
        from selenium.webdriver.common.action_chains import ActionChains
        ActionChains(self.driver).release().perform()
        self._knob_held = False

    def type_into(self, id_, text):
        e = self.el(id_)
        e.clear()
        e.send_keys(text)

    def cue(self, tc):
        from selenium.webdriver.common.keys import Keys
        self.click("f-time")
        e = self.el("cue")
        e.send_keys(Keys.CONTROL, "a")
        e.send_keys(tc + Keys.ENTER)

    def edit_cell(self, row, key, value):
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
        e = self.driver.find_element(
            By.CSS_SELECTOR, "#clips tbody tr:nth-child(%d) input[data-key='%s']" % (row + 1, key))
        e.click()
        e.send_keys(Keys.CONTROL, "a")
        e.send_keys(value + Keys.ENTER)

    def click_row_delete(self, row):
        from selenium.webdriver.common.by import By
        self.driver.find_element(
            By.CSS_SELECTOR, "#clips tbody tr:nth-child(%d) .del" % (row + 1)).click()

    def fetch_link(self, id_):
        """Clicks an export link; what the page saves, as text."""
        return self.driver.execute_async_script("""
            const done = arguments[arguments.length - 1];
            const real = URL.createObjectURL;
            URL.createObjectURL = (b) => {
                if (b.type.startsWith("text/")) {
                    URL.createObjectURL = real;
                    b.text().then(done);
                }
                return real(b);
            };
            setTimeout(() => done('nothing saved: ' + document.getElementById('message')
                                  .textContent), 5000);
            document.getElementById(arguments[0]).click();""", id_)

    def play_and_wait(self):
        self.click("btn-play")
        self.wait_text("state", lambda t: t == "playing", "state playing", 5)
