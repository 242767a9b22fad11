#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
# The status page end to end: the real daemon against the simulator (a parrot)
# and the partner tool, all on loopback.
#   status_page_test.py browser|endpoints|ipv6|busyport BIN_DIR OUT_DIR
# browser:   headless chromium sees the link logged in, a call each way appear
#            on air in last heard and end with its duration, and an alias with
#            markup as text; the screenshot is kept in OUT_DIR.
# endpoints: /status.json and /metrics parse, 404, 405 and HEAD, and a slow
#            client and a flood of connections while calls cross leave every
#            frame arriving; no TLS library is mapped.
# ipv6:      the same with the page on ::1 (skipped where loopback has no IPv6).
# busyport:  a status port that cannot be bound costs one error line, and voice
#            goes on.
# names:     curl --resolve as a rebinding page would: a foreign name gets 421
#            and nothing else, the machine's own names and StatusHosts the page;
#            no answer carries a CORS header; a named instance shows its name.
# Exit status 77 (skipped) when the browser or its driver is missing.
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

MARKUP = "<script>alert(1)</script>"


def free_ports(count, kind=socket.SOCK_DGRAM):
    socks = [socket.socket(socket.AF_INET, kind) for _ in range(count)]
    for s in socks:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in socks]
    for s in socks:
        s.close()
    return ports


def wait_for(what, predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class Bridge:
    """The simulator, the daemon and (on demand) the partner, stopped on exit."""

    def __init__(self, bin_dir, status_port=None, extra="", env=None, status_host="127.0.0.1"):
        self.bin = bin_dir
        self.status_host = status_host
        self.dir = tempfile.mkdtemp(prefix="zelk-status-")
        self.server_port, self.partner_port, self.daemon_port = free_ports(3)
        self.status_port = status_port if status_port is not None else free_ports(1, socket.SOCK_STREAM)[0]
        self.procs = []
        with open(os.path.join(self.dir, "Trelvane.ini"), "w") as ini:
            ini.write("[ZELK]\nBMAddress = 127.0.0.1\nBMPort = %d\nBMPassword = mirab4le\nUserID = 1234567\n"
                      "StartTG = 91\nTalkerAlias = %%callsign\nAddress = 127.0.0.1\nTXPort = %d\nRXPort = %d\n"
                      "LogLevel = 3\nStatusAddress = %s\nStatusPort = %d\n%s" %
                      (self.server_port, self.partner_port, self.daemon_port, status_host, self.status_port, extra))
        self.sim = self.start("server.txt", [os.path.join(bin_dir, "zelk-rewind-sim"), "--port", str(self.server_port),
                                             "--password", "mirab4le", "--parrot", "--parrot-delay", "300",
                                             "--hide-bursts"])
        env = dict(os.environ, ZELK_LOG=self.dir, **(env or {}))
        self.daemon = self.start("zelk.txt", [os.path.join(bin_dir, "zelk"), "Trelvane.ini"], env=env)
        wait_for("the login", lambda: "Successful connection" in self.text("zelk.txt"), 10)

    def start(self, out, argv, env=None):
        with open(os.path.join(self.dir, out), "w") as f:
            proc = subprocess.Popen(argv, cwd=self.dir, stdout=f, stderr=subprocess.STDOUT, env=env)
        self.procs.append(proc)
        return proc

    def text(self, name):
        with open(os.path.join(self.dir, name), errors="replace") as f:
            return f.read()

    def call(self, frames, wait):
        """The partner places a call; its echo comes back from the parrot."""
        return self.start("partner.txt", [os.path.join(self.bin, "zelk-partner"), "--listen", str(self.partner_port),
                                          "--daemon", "127.0.0.1:%d" % self.daemon_port, "--pace", "60",
                                          "--metadata", json.dumps({"call": MARKUP, "name": "Demo & Co"}),
                                          "--call", "2345678:91:%d" % frames, "--wait", str(wait)])

    def expect_every_frame(self, partner, frames):
        assert partner.wait(30) == 0
        assert "RX END after %d voice messages" % frames in self.text("partner.txt"), self.text("partner.txt")
        assert "ended: %d bursts" % frames in self.text("server.txt"), self.text("server.txt")

    def url(self, path):
        host = "[%s]" % self.status_host if ":" in self.status_host else self.status_host
        return "http://%s:%d%s" % (host, self.status_port, path)

    def get(self, path, method="GET"):
        request = urllib.request.Request(self.url(path), method=method)
        try:
            with urllib.request.urlopen(request, timeout=5) as r:
                return r.status, r.headers, r.read()
        except urllib.error.HTTPError as e:
            return e.code, e.headers, e.read()

    def status(self):
        return json.loads(self.get("/status.json")[2])

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
        for p in self.procs:
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()


def browser(bridge, out_dir):
    try:
        from selenium import webdriver
        from selenium.common.exceptions import NoAlertPresentException, WebDriverException
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
    except ImportError:
        print("python3-selenium is not installed: skipped")
        return 77
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    profile = tempfile.mkdtemp(prefix="zelk-chromium-")
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1280,720", "--user-data-dir=" + profile]:
        options.add_argument(flag)
    try:
        driver = webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"),
                                  options=options)
    except (WebDriverException, OSError) as e:
        print("no usable chromium and chromium-driver (%s): skipped" % e)
        return 77
    try:
        driver.get(bridge.url("/"))
        state = lambda: driver.execute_script("return document.getElementById('link-state').textContent")
        wait_for("the page to show the login", lambda: state() == "logged in", 10)

        # Read in one script run: the page redraws its rows every second.
        def rows():
            found = driver.execute_script(
                "return Array.from(document.querySelectorAll('#heard tr')).map(function(tr){"
                "return [tr.className, Array.from(tr.cells).map(function(td){return td.textContent;})];});")
            return [(c == "onair", cells) for c, cells in found if len(cells) == 10]

        def row(direction, on_air):
            return [cells for air, cells in rows() if cells[1] == direction and air == on_air]

        partner = bridge.call(60, 7)
        # The page redraws itself: the calls appear without a reload.
        out = wait_for("the local call on air", lambda: row("to the network", True), 5)[0]
        assert out[2] == "2345678" and out[3] == MARKUP and out[4] == "Demo & Co" and out[6] == "TG 91", out
        assert out[7].startswith("on air "), out
        back = wait_for("the echo on air", lambda: row("from the network", True), 10)[0]
        assert back[2] == "1234567" and back[7].startswith("on air "), back
        ended = wait_for("both calls ended", lambda: len(rows()) == 2 and not any(a for a, _ in rows()) and rows(), 10)
        for _, cells in ended:
            seconds = float(cells[7].split()[0])
            assert 3.0 <= seconds <= 6.0, cells
        assert row("to the network", False)[0][5] == MARKUP
        # The markup stayed text: the page's own script is the only one, no alert.
        assert len(driver.find_elements(By.TAG_NAME, "script")) == 1
        try:
            driver.switch_to.alert
            raise AssertionError("an alert opened")
        except NoAlertPresentException:
            pass
        driver.save_screenshot(os.path.join(out_dir, "status_page.png"))
        bridge.expect_every_frame(partner, 60)
    finally:
        driver.quit()
    return 0


def endpoints(bridge):
    from prometheus_client.parser import text_string_to_metric_families

    # Without JavaScript the page is complete: the server renders it.
    code, headers, page = bridge.get("/")
    assert code == 200 and headers["Content-Type"].startswith("text/html"), code
    assert b"logged in" in page and b"127.0.0.1:%d" % bridge.server_port in page
    assert b"mirab4le" not in page and b"src=" not in page and b"href=" not in page
    code, _, body = bridge.get("/", "HEAD")
    assert code == 200 and body == b""
    assert bridge.get("/nope")[0] == 404 and bridge.get("/status.json/x")[0] == 404
    for method in ("POST", "PUT", "DELETE", "OPTIONS"):
        assert bridge.get("/", method)[0] == 405, method

    # A slow client sending one byte a second, and a flood of idle connections,
    # while calls cross both ways.
    slow = socket.create_connection((bridge.status_host, bridge.status_port))
    flood = []
    for _ in range(200):
        try:
            flood.append(socket.create_connection((bridge.status_host, bridge.status_port), timeout=0.2))
        except OSError:
            break
    partner = bridge.call(34, 3)
    dropped = False
    request = b"GET / HTTP/1.1\r\nHost: x\r\n"
    for i in range(15):
        try:
            slow.send(request[i:i + 1])
        except OSError:
            dropped = True
            break
        time.sleep(1)
    slow.settimeout(1)
    try:
        dropped = dropped or slow.recv(100) == b""
    except socket.timeout:
        pass
    except OSError:
        dropped = True
    assert dropped, "the slow client was kept"
    bridge.expect_every_frame(partner, 34)
    for s in flood + [slow]:
        s.close()

    # The server answers again, and counted what crossed.
    status = wait_for("an answer after the flood", lambda: bridge.status(), 10)
    link = status["link"]
    assert link["state"] == "logged in" and link["port"] == str(bridge.server_port) and link["attempt"] == 1
    assert status["talk_group"] == 91 and status["broker"]["state"] == "off"
    calls = status["last_heard"]
    assert [c["direction"] for c in calls] == ["from the network", "to the network"], calls
    assert all(c["frames"] == 34 and not c["on_air"] and c["duration_ms"] > 1500 for c in calls), calls
    assert calls[1]["callsign"] == MARKUP and calls[1]["alias"] == MARKUP and calls[1]["name"] == "Demo & Co"
    assert "mirab4le" not in json.dumps(status)

    text = bridge.get("/metrics")[2].decode()
    samples = {}
    for family in text_string_to_metric_families(text):
        assert family.name.startswith("zelk_") and family.documentation
        assert family.type in ("counter", "gauge", "histogram"), family.type
        for s in family.samples:
            samples[(s.name, tuple(sorted(s.labels.items())))] = s.value
    assert text.count("# HELP ") == text.count("# TYPE ") == 18, text
    assert samples[("zelk_voice_frames_total", (("direction", "from_network"),))] == 34
    assert samples[("zelk_voice_frames_total", (("direction", "to_network"),))] == 34
    assert samples[("zelk_calls_total", (("direction", "to_network"),))] == 1
    assert samples[("zelk_logins_succeeded_total", ())] == 1
    assert samples[("zelk_broker_state", (("state", "off"),))] == 1

    with open("/proc/%d/maps" % bridge.daemon.pid) as maps:
        mapped = maps.read()
    for tls in ("libssl", "libcrypto", "libgnutls", "libmbedtls", "libwolfssl"):
        assert tls not in mapped, tls
    assert "libcivetweb" in mapped
    return 0


def busy_port(bin_dir):
    taken = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    taken.bind(("127.0.0.1", 0))
    taken.listen(1)
    bridge = Bridge(bin_dir, taken.getsockname()[1])
    try:
        partner = bridge.call(34, 3)
        bridge.expect_every_frame(partner, 34)
        log = bridge.text("zelk.txt")
        errors = [line for line in log.splitlines() if "Status page" in line]
        assert len(errors) == 1 and errors[0].startswith("E: ") and "cannot listen on" in errors[0], errors
    finally:
        bridge.stop()
        taken.close()
    return 0


def names(bin_dir):
    if not os.access("/usr/bin/curl", os.X_OK):
        print("curl is not installed: skipped")
        return 77
    bridge = Bridge(bin_dir, extra="StatusHosts = Board.Example, zelk.lan\n", env={"ZELK_INSTANCE": "ts2"})
    port = bridge.status_port

    def curl(name, *options):
        """Status and headers of the answer, and its body, for the page asked by that name."""
        out = subprocess.run(["/usr/bin/curl", "-s", "-i", "--max-time", "5", "--resolve", "%s:%d:127.0.0.1" % (name, port)]
                             + list(options) + ["http://%s:%d/" % (name, port)], capture_output=True, timeout=10).stdout
        head, _, body = out.partition(b"\r\n\r\n")
        assert b"access-control" not in head.lower(), head
        return int(head.split()[1]), body

    try:
        for own in ("127.0.0.1", "localhost", socket.gethostname(), "board.example", "ZELK.LAN"):
            code, page = curl(own)
            assert code == 200 and b"<title>ZELK status: ts2</title>" in page and b"<h1>ZELK status: ts2</h1>" in page, own
        for foreign in ("rebound.example", "board.example.evil", "localhost.example"):
            assert curl(foreign) == (421, b""), foreign
            assert curl(foreign, "-X", "POST") == (421, b""), foreign
        # A CORS preflight from a foreign page learns nothing either; the own name gets 405.
        preflight = ["-X", "OPTIONS", "-H", "Origin: http://rebound.example", "-H", "Access-Control-Request-Method: GET"]
        assert curl("rebound.example", *preflight) == (421, b"")
        assert curl("localhost", *preflight)[0] == 405
        # HTTP/1.1 needs its Host; HTTP/1.0 may leave it out (no browser does).
        assert curl("127.0.0.1", "-H", "Host:")[0] == 400
        assert curl("127.0.0.1", "-0", "-H", "Host:")[0] == 200
        refused = [line for line in bridge.text("zelk.txt").splitlines() if "refused" in line]
        assert len(refused) == 1 and refused[0].startswith("W: "), refused
        metrics = bridge.get("/metrics")[2].decode()
        assert 'zelk_info{instance="ts2",version="' in metrics, metrics
    except AssertionError:
        print(bridge.text("zelk.txt"))
        raise
    finally:
        bridge.stop()
    return 0


def main():
    case, bin_dir, out_dir = sys.argv[1:4]
    if case == "busyport":
        return busy_port(bin_dir)
    if case == "names":
        return names(bin_dir)
    if case == "browser" and not (os.access("/usr/bin/chromium", os.X_OK) and os.access("/usr/bin/chromedriver", os.X_OK)):
        print("chromium or chromium-driver is not installed: skipped")
        return 77
    if case == "ipv6":
        try:
            with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
                probe.bind(("::1", 0))
        except OSError:
            print("this machine has no IPv6 on loopback: skipped")
            return 77
    bridge = Bridge(bin_dir, status_host="::1" if case == "ipv6" else "127.0.0.1")
    try:
        return browser(bridge, out_dir) if case == "browser" else endpoints(bridge)
    except AssertionError:
        print(bridge.text("zelk.txt"))
        raise
    finally:
        bridge.stop()


if __name__ == "__main__":
    sys.exit(main())
