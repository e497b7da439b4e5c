# The web page in headless Chromium (Selenium), against the tovix-server and
# PowerDNS that web_test.sh starts (WEB_BASE, DNS_ADDRESS): an owner's and an
# operator's story, then a tour of every page in English and Chinese, each at
# desktop width and at 390 px (a phone): axe-core (AXE, the file axe.min.js)
# checks it, a screenshot of the whole page goes to SHOTS, and at 390 px
# nothing may stick out sideways. One ok or FAIL line per check, then the
# axe-core findings by impact; exit 1 on a FAIL.
import base64
import collections
import html
import os
import re
import subprocess
import sys
import time

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.expected_conditions import staleness_of
from selenium.webdriver.support.ui import WebDriverWait

BASE = os.environ["WEB_BASE"]
# A server on every address, whose sign-in form refuses plain HTTP.
PLAIN = os.environ["PLAIN_BASE"]
DNS = os.environ["DNS_ADDRESS"]
SHOTS = os.environ["SHOTS"]
AXE = open(os.environ["AXE"], encoding="utf-8").read()
# The widths each page is seen at: a desktop window and a phone's.
WIDTHS = (("desktop", 1280, 900), ("phone", 390, 844))
# What axe-core may not find anywhere.
BLOCKING = ("critical", "serious")
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
    wait(d, lambda x: x.find_elements(By.ID, "confirm"), "Revoke asks first")
    check("token 1" in by_id(d, "confirm-what").text and HOST in by_id(d, "confirm-what").text,
          "the confirmation names the token and its host")
    check(update(token, "192.0.2.46") == "good 192.0.2.46", "the token works until confirmed")
    click(d, "confirm")
    # The confirmation page has no token rows either: wait for the host's
    # page the revocation redirects to.
    wait(d, lambda x: "m=revoked" in x.current_url
         and not x.find_elements(By.CSS_SELECTOR, "tr.token"), "the token is gone")
    got = update(token, "192.0.2.45")
    check(got == "badauth", "a revoked token is refused (got %r)" % got)

    click(d, "go-offline")
    wait(d, lambda x: x.find_elements(By.ID, "go-online"), "the host goes offline")
    check(by_id(d, "state").text == "offline", "the page says offline")
    dns_is(HOST, "")

    d.get(BASE + "/hosts")
    click(d, "lang")
    wait(d, lambda x: "我的主机" in text(x), "the page switches to Chinese")
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


def proxied_story():
    """Behind a TLS proxy that says X-Forwarded-Proto: https (curl, from a
    trusted address), the sign-in form is offered on a server that refuses
    it over plain HTTP, the session cookie is __Host-, and the lines to copy
    are HTTPS ones."""
    https = ("-H", "X-Forwarded-Proto: https")
    check('id="password"' in curl(*https, PLAIN + "/signin") and
          'id="password"' not in curl(PLAIN + "/signin"),
          "behind a TLS proxy the sign-in form is offered, and not without it")
    head = curl(*https, "-D", "-", "-o", "/dev/null", "-d", "user=pat&password=proxied-pw",
                PLAIN + "/signin")
    session = re.search(r"Set-Cookie: (__Host-tovix_session=\w+);.*Secure", head)
    if not check(session is not None, "behind a TLS proxy the session cookie is __Host-, Secure"):
        return
    page = html.unescape(curl(*https, "-b", session.group(1), PLAIN + "/hosts"))
    check("ssl=yes" in page and "web=https://127.0.0.1:8080/checkip" in page and
          "checkip-ssl    = true" in page and
          "https://127.0.0.1:8080/nic/update?hostname=pat.tovix.example" in page,
          "behind a TLS proxy the lines to copy are HTTPS ones")


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


# The page's texts by language, from strings.tsv.
words = {"en": {}, "zh": {}}
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "server", "web",
                       "strings.tsv"), encoding="utf-8") as f:
    for line in f:
        key, en, zh = line.rstrip("\n").split("\t")
        words["en"][key], words["zh"][key] = en, zh

# Each scan: (page, language, width name, [(impact, rule, first targets)]).
scans = []

AXE_RUN = """
const done = arguments[arguments.length - 1];
axe.run(document, {resultTypes: ["violations"]}).then(
    r => done(r.violations.map(v => [v.impact, v.id, v.nodes.slice(0, 3).map(n => n.target.join(" "))])),
    e => done([["error", String(e), []]]));
"""

# What sticks out past the window's right edge, or scrolls sideways inside
# the page: the page itself, then up to five elements.
OVERFLOW = """
const width = document.documentElement.clientWidth, out = [];
const name = e => e.tagName.toLowerCase() + (e.id ? "#" + e.id : "") +
    (e.className && typeof e.className === "string" ? "." + e.className.split(" ").join(".") : "");
if (document.documentElement.scrollWidth > width)
    out.push("the page is " + document.documentElement.scrollWidth + " px wide");
for (const e of document.querySelectorAll("body *")) {
    const box = e.getBoundingClientRect();
    if (box.width > 1 && box.right > width + 0.5)
        out.push(name(e) + " reaches " + Math.round(box.right) + " px");
    else if (e.scrollWidth > e.clientWidth + 1 &&
             ["auto", "scroll"].includes(getComputedStyle(e).overflowX))
        out.push(name(e) + " scrolls sideways (" + e.scrollWidth + " px in " + e.clientWidth + ")");
    if (out.length > 5) break;
}
return out;
"""


# Table headers that take more than one line.
WRAPPED_HEADERS = """
return [...document.querySelectorAll("th")].filter(th => th.offsetHeight > 0 &&
    th.getClientRects().length && th.offsetHeight > 1.8 * parseFloat(getComputedStyle(th).lineHeight))
    .map(th => th.textContent);
"""


def set_width(d, width, height):
    d.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                      {"width": width, "height": height, "deviceScaleFactor": 1,
                       "mobile": width < 600})


def screenshot(d, path, width):
    height = d.execute_script("return document.documentElement.scrollHeight")
    shot = d.execute_cdp_cmd("Page.captureScreenshot", {
        "format": "png", "captureBeyondViewport": True,
        "clip": {"x": 0, "y": 0, "width": width, "height": height, "scale": 1}})
    with open(path, "wb") as f:
        f.write(base64.b64decode(shot["data"]))


def look(d, page, lang):
    """The page as it stands, at each width: axe-core's findings, a
    screenshot, and at phone width nothing sideways."""
    for details in d.find_elements(By.CSS_SELECTOR, "details:not([open]) > summary"):
        details.click()
    for width_name, width, height in WIDTHS:
        set_width(d, width, height)
        d.execute_script(AXE)
        found = d.execute_async_script(AXE_RUN)
        scans.append((page, lang, width_name, found))
        blocking = [f for f in found if f[0] in BLOCKING or f[0] == "error"]
        check(not blocking, "axe-core: no critical or serious finding on %s (%s, %s)%s" %
              (page, lang, width_name, "".join("\n    %s %s at %s" % (i, r, t)
                                                for i, r, t in blocking)))
        wrapped = d.execute_script(WRAPPED_HEADERS)
        check(not wrapped, "no table header of %s (%s, %s) wraps: %s" %
              (page, lang, width_name, wrapped))
        if width_name == "phone":
            wide = d.execute_script(OVERFLOW)
            check(not wide, "nothing sideways on %s (%s) at %d px%s" %
                  (page, lang, width, "".join("\n    " + w for w in wide)))
        screenshot(d, os.path.join(SHOTS, "web-%s-%s-%s.png" % (page, lang, width_name)), width)
    d.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def fill(d, name, value):
    field = d.find_element(By.NAME, name)
    field.clear()
    field.send_keys(value)


def submit_in(d, form_action):
    d.find_element(By.CSS_SELECTOR,
                   "form[action='%s'] button[type=submit]" % form_action).click()


def tour(d, lang):
    """Every page of the site in one language, as the operator sees it (the
    operator owns the default host)."""
    d.delete_all_cookies()
    d.get(BASE + "/lang?to=%s&back=/signin" % lang)
    look(d, "signin", lang)
    by_id(d, "user").send_keys("tovix")
    by_id(d, "password").send_keys("not the password")
    click(d, "signin")
    wait(d, lambda x: x.find_elements(By.ID, "error"), "a wrong password is refused")
    look(d, "signin-wrong", lang)
    d.get(PLAIN + "/signin")
    check(not d.find_elements(By.ID, "password") and
          words[lang]["https_only"] in text(d), "sign-in over plain HTTP is refused (%s)" % lang)
    look(d, "signin-https-only", lang)
    if not sign_in(d, "tovix", "KoReL52"):
        return
    look(d, "my-hosts", lang)
    snippets = text(d)
    check("ssl=no" in snippets and "web=http://127.0.0.1/checkip" in snippets and
          "checkip-ssl    = false" in snippets and
          "http://127.0.0.1/nic/update?hostname=" + HOST in snippets,
          "the lines to copy fit the plain HTTP listener (%s)" % lang)

    d.get(BASE + "/host/" + HOST)
    look(d, "host", lang)
    fill(d, "label", "tour " + lang)
    click(d, "make-token")
    wait(d, lambda x: x.find_elements(By.ID, "token"), "a token is shown")
    look(d, "host-new-token", lang)
    check(by_id(d, "token").accessible_name == words[lang]["token_once"],
          "the new token's field is labelled (%s)" % lang)
    revoke = d.find_elements(By.CSS_SELECTOR, "tr.token button.revoke")[-1].accessible_name
    check(revoke.startswith(words[lang]["revoke"]) and "tour " + lang in revoke,
          "a Revoke button names its token (%s, '%s')" % (lang, revoke))
    check(words[lang]["tovix_resets"] in text(d),
          "the host page warns that Tovix.exe sends its settings (%s)" % lang)
    made = len(d.find_elements(By.CSS_SELECTOR, "tr.token"))
    check("/host/%s?m=token_made" % HOST in d.current_url,
          "a new token's form is answered by a redirect (%s)" % lang)
    d.refresh()
    check(not d.find_elements(By.ID, "token") and
          len(d.find_elements(By.CSS_SELECTOR, "tr.token")) == made,
          "a reload shows the token no more and makes none (%s)" % lang)
    check(all(t.text.endswith(" UTC") for t in d.find_elements(By.CSS_SELECTOR, "#history td[data-label]")
              if t.get_attribute("data-label") == words[lang]["time"]),
          "the history's times say UTC (%s)" % lang)
    history = by_id(d, "history").text
    check(words[lang]["by_token"] + " 1" in history and
          words[lang]["by_operator"] in history,
          "the history says who in the page's language (%s)" % lang)
    d.find_elements(By.CSS_SELECTOR, "tr.token button.revoke")[-1].click()
    wait(d, lambda x: x.find_elements(By.ID, "confirm"), "Revoke asks first (%s)" % lang)
    look(d, "confirm-revoke", lang)
    click(d, "cancel")
    wait(d, lambda x: x.find_elements(By.ID, "make-token"), "Cancel leads back (%s)" % lang)
    d.get(BASE + "/host/" + HOST)
    fill(d, "mx", "no mail exchanger")
    submit_in(d, "/host/%s/settings" % HOST)
    wait(d, lambda x: x.find_elements(By.ID, "error"), "a bad MX is refused")
    look(d, "host-bad-mx", lang)
    check(d.find_element(By.NAME, "mx").get_attribute("value") == "no mail exchanger" and
          by_id(d, "error").text.startswith(words[lang]["bad_mx"]),
          "a refused MX is said, and the form keeps it (%s)" % lang)

    d.get(BASE + "/password")
    look(d, "password", lang)
    fill(d, "old", "KoReL52")
    fill(d, "new", "short")
    d.execute_script("document.querySelector('[name=new]').removeAttribute('minlength')")
    submit_in(d, "/password")
    wait(d, lambda x: x.find_elements(By.ID, "error"), "a short password is refused")
    look(d, "password-short", lang)

    d.get(BASE + "/admin/accounts")
    look(d, "accounts", lang)
    for row in d.find_elements(By.CSS_SELECTOR, "#accounts tbody tr"):
        name = row.find_element(By.TAG_NAME, "td").text.split()[0]
        hosts = row.find_element(By.NAME, "hosts").accessible_name
        remove = row.find_element(By.CSS_SELECTOR, "button.remove").accessible_name
        check(name in hosts and name in remove and remove.startswith(words[lang]["remove"]),
              "the hosts box and the Remove button of %s name it (%s, '%s', '%s')" %
              (name, lang, hosts, remove))
    by_id(d, "new-name").send_keys("tour-" + lang)
    by_id(d, "new-hosts").send_keys("tour-%s.tovix.example" % lang)
    click(d, "add-account")
    wait(d, lambda x: x.find_elements(By.ID, "new-password"), "a new password is shown")
    look(d, "accounts-added", lang)
    by_id(d, "new-name").clear()
    by_id(d, "new-name").send_keys("bad:name")
    by_id(d, "new-hosts").send_keys("kept-%s.tovix.example" % lang)
    click(d, "add-account")
    wait(d, lambda x: x.find_elements(By.ID, "error"), "a bad account name is refused")
    look(d, "accounts-bad-name", lang)
    check(by_id(d, "new-name").get_attribute("value") == "bad:name" and
          by_id(d, "new-hosts").get_attribute("value") == "kept-%s.tovix.example" % lang,
          "the add form keeps what was typed (%s)" % lang)
    by_id(d, "new-name").clear()
    by_id(d, "new-name").send_keys("taker-" + lang)
    by_id(d, "new-hosts").clear()
    by_id(d, "new-hosts").send_keys(HOST)
    before = by_id(d, "error")
    click(d, "add-account")
    wait(d, staleness_of(before), "the add form is answered")
    wait(d, lambda x: x.find_elements(By.ID, "error"), "a host of another account is refused")
    check(by_id(d, "error").text ==
          words[lang]["host_taken"].replace("{host}", HOST).replace("{account}", "tovix"),
          "a host taken is said in the page's language (%s: '%s')" % (lang, by_id(d, "error").text))
    look(d, "accounts-host-taken", lang)
    d.get(BASE + "/admin/accounts")
    for row in d.find_elements(By.CSS_SELECTOR, "#accounts tbody tr"):
        if row.find_element(By.TAG_NAME, "td").text.split()[0] == "tour-" + lang:
            row.find_element(By.CSS_SELECTOR, "button.remove").click()
            break
    wait(d, lambda x: x.find_elements(By.ID, "confirm"), "Remove asks first (%s)" % lang)
    check("tour-%s (tour-%s.tovix.example)" % (lang, lang) in by_id(d, "confirm-what").text,
          "the confirmation names the account and its hosts (%s)" % lang)
    look(d, "confirm-remove", lang)
    click(d, "confirm")
    wait(d, lambda x: x.find_elements(By.ID, "notice"), "the account is removed (%s)" % lang)
    check("tour-" + lang + " " not in by_id(d, "accounts").text + " ",
          "the removed account is gone from the list (%s)" % lang)
    d.get(BASE + "/admin/server")
    look(d, "server", lang)

    d.get(BASE + "/host/nothing.tovix.example")
    look(d, "not-found", lang)
    d.get(BASE + "/no/such/page")
    check(words[lang]["not_found"] in text(d) and d.find_elements(By.ID, "back"),
          "a path that is no page's is a page in the reader's language (%s)" % lang)
    look(d, "not-found-path", lang)
    d.get(BASE + "/password")
    d.execute_script(
        "document.querySelector(\"form[action='/password'] [name=csrf]\").value = 'stale'")
    fill(d, "old", "KoReL52")
    fill(d, "new", "long enough")
    submit_in(d, "/password")
    wait(d, lambda x: x.find_elements(By.ID, "error"), "a stale form is refused")
    look(d, "forbidden", lang)

    d.get(BASE + "/hosts")
    click(d, "signout")
    wait(d, lambda x: "/signin" in x.current_url, "sign out leads to the sign-in page")
    look(d, "signed-out", lang)


def report_scans():
    """axe-core's findings: how many scans, the violations by impact, and
    each rule with the pages it was found on."""
    impacts = collections.Counter()
    rules = collections.defaultdict(set)
    for page, lang, width, found in scans:
        for impact, rule, _ in found:
            impacts[impact] += 1
            rules[(impact, rule)].add("%s/%s/%s" % (page, lang, width))
    lines = ["axe-core: %d scans; violations by impact: %s" % (
        len(scans), ", ".join("%s %d" % (i, impacts[i])
                              for i in ("critical", "serious", "moderate", "minor")))]
    for (impact, rule), where in sorted(rules.items()):
        lines.append("  %s %s: %d (%s)" % (impact, rule, len(where), ", ".join(sorted(where)[:4])))
    text = "\n".join(lines)
    print(text, flush=True)
    with open(os.path.join(SHOTS, "axe-core.txt"), "w", encoding="utf-8") as f:
        f.write(text + "\n")


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
        proxied_story()
        for lang in ("en", "zh"):
            tour(d, lang)
        report_scans()
    finally:
        d.quit()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
