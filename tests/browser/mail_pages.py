#!/usr/bin/python3
# mail_pages.py: the example site's mail pages in a real browser (headless Chromium driven
# by Selenium), on a copy of the site served by velquor-host with libvelquor.so and two of
# the distribution's SMTP servers, one refusing every message and one taking them:
# a contact message is refused and listed on the failed-mail page; a post whose name holds
# a line break is refused with nothing sent; the message is edited, resent and leaves the
# list; the /mail/ region's preferences send the next message to the chosen server.
# Every wait is bounded. Prints "N passed, N failed" and exits non-zero on a failure.
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

SOURCE = os.environ.get("VELQUOR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
HOST = os.environ.get("VELQUOR_HOST_BINARY", "")
MODULE = os.environ.get("VELQUOR_MODULE", "")
OUTPUT = os.environ.get("VELQUOR_BINARY_DIR", tempfile.gettempdir())
WAIT = 30  # seconds, for anything that takes time

passed = 0
failed = 0


def check(condition, what):
    global passed, failed
    if condition:
        passed += 1
    else:
        failed += 1
        print("FAILED:", what, flush=True)


def until(condition, what, seconds=WAIT):
    """Polls the condition (bounded) until it holds."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            check(True, what)
            return True
        time.sleep(0.2)
    check(False, what)
    return False


class SMTPServer:
    """scripts/smtp-server.py on a socket this process bound, so no port is let go."""

    def __init__(self, folder, *arguments):
        self.maildir = folder
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        self.port = listener.getsockname()[1]
        self.process = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(SOURCE, "scripts", "smtp-server.py"), "--fd", str(listener.fileno()),
             "--maildir", folder, *arguments],
            pass_fds=[listener.fileno()], stdout=subprocess.PIPE, text=True)
        listener.close()
        if self.process.stdout.readline().strip() != "ready":
            raise RuntimeError("the SMTP server did not start")

    def address(self):
        return "127.0.0.1:%d" % self.port

    def messages(self):
        folder = os.path.join(self.maildir, "new")
        return [open(os.path.join(folder, name), "rb").read().decode("latin-1") for name in sorted(os.listdir(folder))]

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=WAIT)


class Host:
    """velquor-host on a copy of the example site, its /admin/ folder protected."""

    def __init__(self, folder, site):
        self.process = subprocess.Popen(
            [HOST, "--site", site, "--data", os.path.join(folder, "data"), "--listen", "127.0.0.1:0", "--module",
             MODULE, "--protect", "/admin/"],
            stdout=subprocess.PIPE, stderr=open(os.path.join(folder, "host-errors.txt"), "w"), text=True)
        deadline = time.monotonic() + WAIT
        self.origin = None
        while self.origin is None and time.monotonic() < deadline:
            line = self.process.stdout.readline()
            if not line:
                break
            found = re.search(r"listening on (http://127\.0\.0\.1:\d+)/", line)
            if found:
                self.origin = found.group(1)
        if self.origin is None:
            raise RuntimeError("velquor-host did not start")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=WAIT)


def browser(folder):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--user-data-dir=" + os.path.join(folder, "chromium")):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(WAIT)
    return driver


def send_contact(driver, origin, name):
    driver.get(origin + "/mail/contact.html")
    driver.find_element(By.NAME, "name").send_keys(name)
    driver.find_element(By.NAME, "email").send_keys("visitor@site.test")
    driver.find_element(By.NAME, "message").send_keys("A line.\n.\nThe end.")
    driver.find_element(By.CSS_SELECTOR, "input[type=submit]").click()
    return until(lambda: "Thank you, " + name in driver.page_source, "the contact form thanks " + name)


def failed_list(driver, origin):
    driver.get(origin + "/admin/failed-mail.html")
    return driver.page_source


def main():
    if not HOST or not MODULE:
        print("VELQUOR_HOST_BINARY and VELQUOR_MODULE must name the built host and module")
        return 2
    folder = tempfile.mkdtemp(prefix="velquor-browser-")
    servers, host, driver = [], None, None
    try:
        refusing = SMTPServer(os.path.join(folder, "refused"), "--reject-data")
        taking = SMTPServer(os.path.join(folder, "taken"))
        servers = [refusing, taking]
        site = os.path.join(folder, "site")
        shutil.copytree(os.path.join(SOURCE, "examples", "site"), site)
        page = os.path.join(site, "mail", "contact-send.html")
        text = open(page).read()
        check("127.0.0.1:2525" in text, "the contact page names the run command's SMTP server")
        open(page, "w").write(text.replace("127.0.0.1:2525", refusing.address()))
        host = Host(folder, site)
        driver = browser(folder)

        # A message the server refuses is kept and listed.
        send_contact(driver, host.origin, "Ann")
        until(lambda: "Message from Ann" in failed_list(driver, host.origin), "the refused message is listed")
        driver.save_screenshot(os.path.join(OUTPUT, "failed-mail-list.png"))

        # A name with a line break would add a header: refused, nothing sent.
        body = urllib.parse.urlencode({"name": "Eve\r\nBcc: evil@x.test", "email": "eve@site.test",
                                       "message": "hi"}).encode()
        answer = urllib.request.urlopen(host.origin + "/mail/contact-send.html", body, timeout=WAIT).read().decode()
        check("MIPV" in answer and "line break" in answer, "the name with a line break is refused")
        check(failed_list(driver, host.origin).count("Message from") == 1, "the refused post sent nothing")

        # Edit the subject and the server, then resend: the message leaves the list.
        failed_list(driver, host.origin)
        driver.find_element(By.CSS_SELECTOR, "input[value=Edit]").click()
        # The edit form replaces the list once its page has loaded (bounded wait).
        until(lambda: driver.find_elements(By.NAME, "qelSendMailSubject"), "the edit form appears")
        subject = driver.find_element(By.NAME, "qelSendMailSubject")
        subject.clear()
        subject.send_keys("Edited <subject> & more")
        server = driver.find_element(By.NAME, "qelSendMailSMTPServer")
        server.clear()
        server.send_keys(taking.address())
        driver.find_element(By.CSS_SELECTOR, "input[value=Save]").click()
        until(lambda: "Edited &lt;subject&gt; &amp; more" in driver.page_source, "the edited subject is listed, escaped")
        driver.find_element(By.CSS_SELECTOR, "input[value=Send]").click()
        until(lambda: "Continue" in driver.page_source, "the resend is announced")
        until(lambda: "No failed mail." in failed_list(driver, host.origin), "the resent message leaves the list")
        until(lambda: any("Subject: Edited <subject> & more" in m for m in taking.messages()),
              "the resent message reaches the server that takes it")
        check(any("A line.\r\n.\r\nThe end." in m or "A line.\n.\nThe end." in m for m in taking.messages()),
              "the resent text is the one sent first, its dot line included")

        # The /mail/ region always uses the server that takes the mail.
        driver.get(host.origin + "/_velquor/region/mail/")
        Select(driver.find_element(By.NAME, "qelSendMailPreference_UseMailServerName")).select_by_value("always")
        name = driver.find_element(By.NAME, "qelSendMailPreference_mailServerName")
        name.clear()
        name.send_keys(taking.address())
        driver.find_element(By.CSS_SELECTOR, "input[type=submit][value=Save]").click()
        send_contact(driver, host.origin, "Bob")
        until(lambda: any("Subject: Message from Bob" in m for m in taking.messages()),
              "the preference sends the next message to the chosen server")
        check("No failed mail." in failed_list(driver, host.origin), "nothing failed the second time")
    except Exception as error:  # a step that could not run is a failure, reported as such
        check(False, "%s: %s" % (type(error).__name__, str(error).splitlines()[0] if str(error) else ""))
    finally:
        if driver is not None:
            driver.quit()
        if host is not None:
            host.stop()
        for server in servers:
            server.stop()
        shutil.rmtree(folder, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
