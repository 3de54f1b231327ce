#!/usr/bin/env python3
"""The web console in a headless Chromium, as support staff use it.

Logs in as sam (support), finds a player, grants goods behind the
confirmation and finds the grant on the goods list and in the audit trail;
sends a message whose markup must stay text; checks what a viewer and an
admin are shown; logs out and checks that the old session is dead.

Needs chromium, chromium-driver and python3-selenium. Without them it exits
77 (skipped), or 1 when ZELVAR_REQUIRE_BROWSER=1. With ZELVAR_SCREENSHOTS=DIR
it saves the main pages there as PNG files.
"""
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from console_fixture import Client, ConsoleUnderTest  # noqa: E402

SYSTEM_PYTHON = "/usr/bin/python3"


def browser_missing(what):
    if os.environ.get("ZELVAR_REQUIRE_BROWSER") == "1":
        print("FAIL: " + what + " (ZELVAR_REQUIRE_BROWSER=1; scripts/deps installs it)")
        sys.exit(1)
    print("SKIP: " + what)
    sys.exit(77)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as seen
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    # Debian's python3-selenium is only on the system interpreter's path.
    if os.path.exists(SYSTEM_PYTHON) and os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON):
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON, *sys.argv])
    browser_missing("python3-selenium is not installed")

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver") or ("/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver") else None)
if not CHROMIUM or not CHROMEDRIVER:
    browser_missing("chromium or chromium-driver is not installed")

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]
VIEWPORT = (1280, 900)


class Browser:
    def __init__(self, console, profile):
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in FLAGS + ["--user-data-dir=" + profile]:
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
        try:
            # The window's frame takes room: grow it until the page gets the viewport.
            self.driver.set_window_size(*VIEWPORT)
            inner = self.driver.execute_script("return [window.innerWidth, window.innerHeight]")
            self.driver.set_window_size(2 * VIEWPORT[0] - inner[0], 2 * VIEWPORT[1] - inner[1])
        except Exception:
            self.driver.quit()
            raise
        self.console = console
        self.shots = os.environ.get("ZELVAR_SCREENSHOTS")

    def quit(self):
        self.driver.quit()

    def open(self, route):
        self.driver.get(self.console.url + "/#/" + route)

    def wait(self, css, seconds=20):
        return WebDriverWait(self.driver, seconds).until(
            seen.visibility_of_element_located((By.CSS_SELECTOR, css)))

    def wait_text(self, css, text, seconds=20):
        WebDriverWait(self.driver, seconds).until(
            seen.text_to_be_present_in_element((By.CSS_SELECTOR, css), text))
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def find_all(self, css):
        return self.driver.find_elements(By.CSS_SELECTOR, css)

    def shown(self, css):
        return any(element.is_displayed() for element in self.find_all(css))

    def type(self, css, text):
        field = self.wait(css)
        field.clear()
        field.send_keys(text)

    def click(self, css):
        self.wait(css).click()

    def screenshot(self, name):
        if self.shots:
            os.makedirs(self.shots, exist_ok=True)
            self.driver.save_screenshot(os.path.join(self.shots, name + ".png"))

    def login(self, name, password, screenshot=False):
        self.open("login")
        self.type("#login-user", name)
        self.type("#login-password", password)
        if screenshot:
            self.screenshot("login")
        self.click("#login-submit")
        self.wait("#search-text")

    def logout(self):
        self.click("#logout-button")
        self.wait("#login-form")

    def session_cookie(self):
        cookie = self.driver.get_cookie("zelvar_session")
        return "zelvar_session=" + cookie["value"] if cookie else None

    def page_errors(self):
        """The console's errors: script errors and refused resources (a
        blocked inline style or script). 401 answers are expected."""
        return [entry["message"] for entry in self.driver.get_log("browser")
                if entry["level"] == "SEVERE" and "status of 401" not in entry["message"]]


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def support_grants_and_finds_it_audited(browser, console):
    browser.login("sam", "sam-password-1", screenshot=True)
    browser.type("#search-text", "a")
    browser.click("#search-submit")
    browser.wait("#search-results .result-row")
    names = [row.text for row in browser.find_all("#search-results .result-row")]
    check(any("lina" in name for name in names), "search 'a' lists lina: %r" % names)
    browser.screenshot("search")

    link = [row for row in browser.find_all("#search-results .result-row") if "lina" in row.text][0]
    link.find_element(By.CSS_SELECTOR, "a.player-link").click()
    browser.wait_text("#player-title", "lina")
    browser.wait("#goods-table")
    check(browser.find_all("#friends-table .friend-row"), "the player page lists lina's friends")
    check(browser.find_all("#messages-table tbody tr"), "the player page lists lina's messages")
    check(not browser.find_all('#goods-table tr[data-goods="5005"]'), "lina has no goods 5005 yet")
    check(not browser.find_all(".revoke-button"), "support is shown no revoke button")
    browser.screenshot("player")

    browser.click("#grant-button")
    order_id = browser.wait("#grant-order").text
    check(len(order_id) >= 8, "the grant form shows its order id: %r" % order_id)
    browser.type("#grant-entries", "5005:30天:5")
    browser.click("#grant-submit")
    lines = browser.wait("#confirm-dialog").text
    check("5005:30天:5" in lines and order_id in lines, "the confirmation names the entry and order: %r" % lines)
    browser.screenshot("grant-confirmation")
    browser.click("#confirm-ok")
    browser.wait_text("#notice.ok", "Granted 1")
    row = browser.wait('#goods-table tr[data-goods="5005"]')
    check(row.find_element(By.CSS_SELECTOR, ".state").text == "owned", "the granted row is owned: %r" % row.text)
    check(len(browser.find_all('#goods-table tr[data-goods="5005"]')) == 1, "one grant, one row")

    # The same order sent again (a retry after a lost answer) grants nothing.
    api = Client(console)
    api.login("sam")
    status, answer, _ = api.request("POST", "/api/players/1/goods", {"entries": ["5005:30天:5"], "order_id": order_id})
    check(status == 200 and answer["order_repeated"], "the order repeated: %r %r" % (status, answer))
    browser.open("player/1")
    browser.wait("#goods-table")
    check(len(browser.find_all('#goods-table tr[data-goods="5005"]')) == 1, "the repeated order granted nothing")

    browser.open("audit")
    browser.type("#audit-text", order_id)
    browser.click("#audit-submit")
    row = browser.wait_text("#audit-table .audit-row", "sam@console")
    check("send" in row.text and order_id in row.text, "the audit trail shows the grant: %r" % row.text)
    browser.screenshot("audit")

    browser.open("health")
    browser.wait("#health-checks")
    check(browser.find_all("#health-checks tr.check"), "the health page lists the checks")
    browser.screenshot("health")


def messages_stay_text(browser):
    markup = '<img src=x id="injected"><b>bold</b> & 🌹'
    browser.open("player/1")
    browser.type("#message-text", markup)
    browser.driver.find_element(By.CSS_SELECTOR, '#message-to option[value="2"]').click()
    browser.click("#message-submit")
    browser.click("#confirm-ok")
    browser.wait_text("#notice.ok", "Message sent")
    browser.open("player/2")
    browser.wait_text("#messages-table", "bold")
    contents = [cell.text for cell in browser.find_all("#messages-table td.content")]
    check(markup in contents, "the message shows as the text it is: %r" % contents)
    check(not browser.find_all("#injected") and not browser.find_all("#messages-table b"),
          "a message's markup makes no element")


def logout_ends_the_session(browser, console):
    cookie = browser.session_cookie()
    check(cookie, "a login sets the session cookie")
    browser.logout()
    browser.open("search")
    browser.wait("#login-form")
    api = Client(console)
    api.cookie = cookie
    status, _, _ = api.request("GET", "/api/session")
    check(status == 401, "the session of a logged-out login answers 401, not %d" % status)


def viewer_and_admin_see_their_buttons(browser):
    browser.login("vic", "vic-password-1")
    browser.open("player/1")
    browser.wait("#goods-table")
    for css in ("#grant-button", ".revoke-button", ".expire-button", ".unfriend-button", "#message-form"):
        check(not browser.find_all(css), "a viewer is shown no " + css)
    check(not browser.shown("#nav-logins"), "a viewer is shown no logins page")
    browser.logout()

    browser.login("ana", "ana-password-1")
    browser.open("player/1")
    browser.wait("#goods-table")
    for css in ("#grant-button", ".revoke-button", ".expire-button", ".unfriend-button", "#message-form"):
        check(browser.find_all(css), "an admin is shown " + css)
    browser.click("#nav-logins")
    browser.wait_text("#logins-table", "vic")
    browser.logout()


def main():
    console = ConsoleUnderTest()
    profile = tempfile.mkdtemp(prefix="zelvar-chromium-")
    browser = None
    try:
        browser = Browser(console, profile)
        support_grants_and_finds_it_audited(browser, console)
        messages_stay_text(browser)
        logout_ends_the_session(browser, console)
        viewer_and_admin_see_their_buttons(browser)
        errors = browser.page_errors()
        check(not errors, "the console's pages logged errors: %r" % errors)
    except Exception:
        if browser is not None:
            try:
                body = browser.driver.find_element(By.TAG_NAME, "body").text
                print("page at the failure: %s\n%s" % (browser.driver.current_url, body))
                browser.screenshot("failure")
            except Exception as e:
                print("the browser can't show the page at the failure: %s" % e)
        print("console log:\n" + console.log_text())
        raise
    finally:
        if browser is not None:
            browser.quit()
        console.close()
        shutil.rmtree(profile, ignore_errors=True)
    print("ok: the web console in Chromium")


if __name__ == "__main__":
    main()
