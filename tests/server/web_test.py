# The web page in headless Chromium (Selenium), against the tovix-server and
# PowerDNS that web_test.sh starts (WEB_BASE, DNS_ADDRESS); screenshots of
# "My hosts" go to SHOTS. One ok or FAIL line per check; exit 1 on a FAIL.
import os
import subprocess
import sys
import time

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

BASE = os.environ["WEB_BASE"]
DNS = os.environ["DNS_ADDRESS"]
SHOTS = os.environ["SHOTS"]
HOST = "home.tovix.example"
failures = []


def check(ok, what):
    print(("ok: " if ok else "FAIL: ") + what, flush=True)
    failures.extend([] if ok else [what])
    return ok


def wait(driver, condition, what, seconds=10):
    try:
        WebDriverWait(driver, seconds).until(condition)
        return True
    except TimeoutException:
        return check(False, what + " (at " + driver.current_url + ")")


def by_id(driver, name):
    return driver.find_element(By.ID, name)


def click(driver, name):
    by_id(driver, name).click()


def text(driver):
    return driver.find_element(By.TAG_NAME, "body").text


def sign_in(driver, user, password):
    driver.get(BASE + "/signin")
    by_id(driver, "user").send_keys(user)
    by_id(driver, "password").send_keys(password)
    click(driver, "signin")
    return wait(driver, lambda d: d.current_url.endswith("/hosts"), user + " signs in")


def run(*args):
    return subprocess.run(args, capture_output=True, text=True).stdout.strip()


def curl(*args):
    return run("curl", "-s", "-A", "web-test/1", *args)


def update(token, ip):
    return curl("-u", HOST + ":" + token, BASE + "/nic/update?myip=" + ip)


def dns_is(name, want, seconds=5, kind="A"):
    end = time.monotonic() + seconds
    while True:
        out = run("dig", "+time=1", "+tries=2", "@" + DNS, name, kind)
        answered = "status: NOERROR" in out or "status: NXDOMAIN" in out
        got = run("dig", "+short", "+time=1", "@" + DNS, name, kind)
        if answered and got == want or time.monotonic() > end:
            return check(answered and got == want,
                         "DNS answers %s %s '%s' (got '%s')" % (name, kind, want, got))
        time.sleep(0.2)


def owner_story(d):
    if not sign_in(d, "tovix", "KoReL52"):
        return
    check(HOST in text(d), "My hosts shows the default host")
    d.get(BASE + "/host/" + HOST)
    by_id(d, "make-token").click()
    if not wait(d, lambda x: x.find_elements(By.ID, "token"), "a token is shown"):
        return
    token = by_id(d, "token").get_attribute("value")
    check(update(token, "192.0.2.44") == "good 192.0.2.44", "curl updates with the token")
    d.get(BASE + "/host/" + HOST)
    check(by_id(d, "ipv4").text == "192.0.2.44", "the page shows the new address")
    history = by_id(d, "history").text
    check("A=192.0.2.44" in history and "token 1" in history, "the history names the change")
    dns_is(HOST, "192.0.2.44")

    d.find_element(By.CSS_SELECTOR, "button.revoke").click()
    wait(d, lambda x: not x.find_elements(By.CSS_SELECTOR, "tr.token"), "the token is gone")
    check(update(token, "192.0.2.45") == "badauth", "a revoked token is refused")

    click(d, "go-offline")
    wait(d, lambda x: x.find_elements(By.ID, "go-online"), "the host goes offline")
    check(by_id(d, "state").text == "offline", "the page says offline")
    dns_is(HOST, "")

    d.get(BASE + "/hosts")
    d.save_screenshot(os.path.join(SHOTS, "web-my-hosts-en.png"))
    click(d, "lang")
    wait(d, lambda x: "我的主机" in text(x), "the page switches to Chinese")
    d.save_screenshot(os.path.join(SHOTS, "web-my-hosts-zh.png"))
    d.get(BASE + "/lang?to=en&back=/hosts")

    cookie = d.get_cookie("tovix_session")["value"]
    click(d, "signout")
    wait(d, lambda x: "/signin" in x.current_url, "sign out leads to the sign-in page")
    gone = curl("-o", "/dev/null", "-w", "%{http_code} %{redirect_url}",
                "-b", "tovix_session=" + cookie, BASE + "/hosts")
    check(gone == "303 " + BASE + "/signin?m=session_gone", "the old cookie no longer works")


def prefix_story(d):
    """The second host follows the first one's LAN prefix, set on its page."""
    cam = "cam.tovix.example"
    router = curl("-u", "tovix:KoReL52", BASE + "/nic/update?hostname=" + HOST
                  + "&myip=192.0.2.60,2001:db8::60&ipv6prefix=2001:db8:60::/64")
    check(router.startswith("good"), "the router sends its prefix (%s)" % router)
    if not sign_in(d, "tovix", "KoReL52"):
        return
    d.get(BASE + "/host/" + cam)
    by_id(d, "follow-suffix").send_keys("00:1e:c2:12:34:56")
    click(d, "follow")
    if wait(d, lambda x: x.find_elements(By.ID, "follows"), "the host follows the router"):
        check(HOST in by_id(d, "follows").text, "the page names the router")
    dns_is(cam, "2001:db8:60:0:21e:c2ff:fe12:3456", kind="AAAA")
    d.get(BASE + "/host/" + HOST)
    check(cam in by_id(d, "followers").text, "the router's page lists its follower")
    d.get(BASE + "/lang?to=zh&back=/host/" + cam)
    check("跟随" in text(d), "the Chinese page says it follows")
    click(d, "unfollow")
    wait(d, lambda x: x.find_elements(By.ID, "follow"), "the host stops following")
    d.get(BASE + "/lang?to=en&back=/hosts")
    click(d, "signout")


def operator_story(d):
    if not sign_in(d, "tovix", "KoReL52"):
        return
    d.get(BASE + "/admin/accounts")
    by_id(d, "new-name").send_keys("carol")
    by_id(d, "new-hosts").send_keys("carol.tovix.example")
    click(d, "add-account")
    if not wait(d, lambda x: x.find_elements(By.ID, "new-password"), "a new password is shown"):
        return
    password = by_id(d, "new-password").get_attribute("value")
    click(d, "signout")
    wait(d, lambda x: "/signin" in x.current_url, "the operator signs out")
    if sign_in(d, "carol", password):
        check("carol.tovix.example" in text(d) and HOST not in text(d), "carol sees her host only")
        d.get(BASE + "/admin/accounts")
        check("Not found" in text(d), "carol reaches no operator page")


def main():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=480,1000", "--lang=en-US"):
        options.add_argument(arg)
    d = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        owner_story(d)
        prefix_story(d)
        operator_story(d)
    finally:
        d.quit()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
