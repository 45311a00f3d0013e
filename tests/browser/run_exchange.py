#!/usr/bin/env python3
"""Runs the test extension's scripted exchange with melvixhost in a real browser.

usage: run_exchange.py chromium|firefox BUILD_DIR

Registers the host with the manifests melvixreg writes, starts the browser headless as the only
peer of an HTTP server on 127.0.0.1 that receives the extension's reports, plugs devices in through
the simulation's control directory when asked, and checks that each host process is gone within
2 s of the extension's disconnect. Prints the exchange in order; exits 1 on any failure.
"""
import base64
import contextlib
import hashlib
import http.server
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
HOST_NAME = "com.tarnwell.melvix_midi"
COMPANION_ORIGIN = "chrome-extension://kembcdlbgbcnnchcnbdhbmbhbejnedjf/"
FIREFOX_ID = "melvix-midi@tarnwell.com"
TIME_LIMIT = 90  # seconds for the whole exchange, browser start included
EXIT_LIMIT = 2.0  # seconds a host may take to end after the disconnect
FIREFOX_PREFS = {
    "xpinstall.signatures.required": False,
    "extensions.autoDisableScopes": 0,
    "extensions.enabledScopes": 15,
    # Nothing leaves the machine: every request but loopback goes to a proxy that is not there.
    "network.proxy.type": 1,
    "network.proxy.http": "127.0.0.1",
    "network.proxy.http_port": 9,
    "network.proxy.ssl": "127.0.0.1",
    "network.proxy.ssl_port": 9,
    "network.proxy.failover_direct": False,
    "network.proxy.allow_hijacking_localhost": False,
    # The browser's own traffic, each seen trying that proxy: updates, telemetry, remote settings...
    "app.update.disabledForTesting": True,
    "app.normandy.enabled": False,
    "extensions.update.enabled": False,
    "extensions.getAddons.cache.enabled": False,
    # Remote settings stay quiet with this server when MOZ_DISABLE_NONLOCAL_CONNECTIONS is set.
    "services.settings.server": "data:,#remote-settings-dummy/v1",
    "datareporting.healthreport.uploadEnabled": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "toolkit.telemetry.server": "",
    "telemetry.fog.test.localhost_port": -1,  # Glean drops its pings
    "browser.region.network.url": "",
    "dom.push.connection.enabled": False,
    "browser.newtabpage.activity-stream.unifiedAds.tiles.enabled": False,
    "browser.newtabpage.activity-stream.unifiedAds.spocs.enabled": False,
    "browser.topsites.contile.enabled": False,
    "browser.safebrowsing.update.enabled": False,
    "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False,
}


def chrome_extension_id(manifest):
    """Chromium's id of an extension with a fixed key: SHA-256 of the key, hex digits as a to p."""
    digest = hashlib.sha256(base64.b64decode(manifest["key"])).hexdigest()[:32]
    return "".join(chr(ord("a") + int(d, 16)) for d in digest)


def process_state(pid):
    """The state letter of a process, or None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return None


def host_pids(host, sim_dir):
    """Living melvixhost processes of this run: that program, with this run's control directory."""
    pids = []
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and os.readlink(f"/proc/{entry}/exe") == host:
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if f"MELVIX_SIM_DIR={sim_dir}".encode() in f.read().split(b"\0"):
                        pids.append(int(entry))
        except OSError:
            pass
    return pids


class Run:
    def __init__(self, browser, build):
        self.browser = browser
        self.host = os.path.realpath(os.path.join(build, "host", "melvixhost"))
        self.reg = os.path.realpath(os.path.join(build, "reg", "melvixreg"))
        self.dir = tempfile.mkdtemp(prefix=f"melvix-{browser}-")
        self.sim = os.path.join(self.dir, "sim")
        self.lines = []  # the exchange as reported, in order
        self.failures = []
        self.done = threading.Event()
        self.disconnecting = None  # (host pid, time) of the connection being ended

    def log(self, text):
        self.lines.append(text)
        print(f"[{self.browser}] {text}", flush=True)

    def fail(self, text):
        self.failures.append(text)
        self.log(f"FAILED: {text}")
        self.done.set()

    # The extension's requests, each answered once its work is done, so the extension keeps in step.
    def handle(self, path, body):
        if path == "/report":
            arrow = {"send": "->", "recv": "<-"}.get(body["kind"], "  ")
            msg = body["msg"]
            if isinstance(msg, list) and len(msg) > 24:  # a long sysex: its ends and its length
                msg = msg[:10] + [f"... {len(msg) - 14} more ..."] + msg[-4:]
            text = msg if body["kind"] == "note" else json.dumps(msg, ensure_ascii=False)
            self.log(f"{body['t']:6d} ms {arrow} {text}")
        elif path == "/control":
            with open(os.path.join(self.sim, "control"), "a", encoding="utf-8") as f:
                f.write(body + "\n")
        elif path == "/disconnecting":
            pids = host_pids(self.host, self.sim)
            if len(pids) != 1:
                return f"expected one melvixhost process of this run, found {pids}"
            pid = pids[0]
            self.disconnecting = (pid, time.monotonic())
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = [a.decode(errors="replace") for a in f.read().split(b"\0")[1:-1]]
            folder = os.readlink(f"/proc/{pid}/cwd")
            self.log(f"          melvixhost (pid {pid}) runs in {folder} with arguments {args}")
        elif path == "/host-exited":
            # The clock started before the disconnect, so a host that only the browser ends
            # (Chromium kills it 2 s after the disconnect, Firefox 3 s) is always seen too late.
            pid, since = self.disconnecting
            while process_state(pid) not in (None, "Z"):
                if time.monotonic() - since > EXIT_LIMIT:
                    break
                time.sleep(0.01)
            took = time.monotonic() - since
            if took > EXIT_LIMIT:
                return f"melvixhost (pid {pid}) still ran {EXIT_LIMIT} s after the disconnect"
            self.log(f"          melvixhost (pid {pid}) ended within {took:.2f} s of it")
        elif path == "/done":
            if not body["ok"]:
                self.fail(f"the exchange: {body['error']}")
            self.done.set()
        return None

    def serve(self):
        run = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
                error = run.handle(self.path, body)
                if error:
                    run.fail(error)
                self.send_response(500 if error else 200)
                self.send_header("Access-Control-Allow-Origin", "*")
                self.end_headers()
                self.wfile.write((error or "ok").encode())

            def log_message(self, *args):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        return server

    def prepare(self, url):
        """The extension, the registration and the command line, as this browser reads them."""
        os.makedirs(self.sim)
        with open(os.path.join(self.sim, "control"), "w") as f:
            f.write("defaults\n")
        prefix = os.path.join(self.dir, "melvix")
        subprocess.run([self.reg, prefix, self.host], check=True)
        ext = os.path.join(self.dir, "extension")
        shutil.copytree(os.path.join(HERE, "extension"), ext)
        with open(os.path.join(ext, "server.json"), "w") as f:
            json.dump({"url": url}, f)
        home = os.path.join(self.dir, "home")
        profile = os.path.join(self.dir, "profile")
        if self.browser == "chromium":
            with open(os.path.join(ext, "manifest.json")) as f:
                origin = f"chrome-extension://{chrome_extension_id(json.load(f))}/"
            with open(prefix + ".chrome.json") as f:
                manifest = f.read()
            assert manifest.count(COMPANION_ORIGIN) == 1, manifest
            os.makedirs(os.path.join(profile, "NativeMessagingHosts"))
            with open(os.path.join(profile, "NativeMessagingHosts", HOST_NAME + ".json"), "w") as f:
                f.write(manifest.replace(COMPANION_ORIGIN, origin))
            return [
                "chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                "--no-first-run", "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--disable-features=NetworkTimeServiceQuerying",
                "--proxy-server=127.0.0.1:9",  # nothing but loopback leaves the browser
                f"--user-data-dir={profile}", f"--load-extension={ext}",
                f"--disable-extensions-except={ext}", "about:blank",
            ]
        hosts = os.path.join(home, ".mozilla", "native-messaging-hosts")
        os.makedirs(hosts)
        shutil.copy(prefix + ".firefox.json", os.path.join(hosts, HOST_NAME + ".json"))
        os.makedirs(os.path.join(profile, "extensions"))
        with open(os.path.join(profile, "user.js"), "w") as f:
            for name, value in FIREFOX_PREFS.items():
                f.write(f"user_pref({json.dumps(name)}, {json.dumps(value)});\n")
        with zipfile.ZipFile(os.path.join(profile, "extensions", FIREFOX_ID + ".xpi"), "w") as xpi:
            for name in os.listdir(ext):
                xpi.write(os.path.join(ext, name), name)
        return ["firefox-esr", "--headless", "--profile", profile, "--no-remote", "about:blank"]

    def run(self):
        server = self.serve()
        command = self.prepare(f"http://127.0.0.1:{server.server_address[1]}")
        # The host inherits MELVIX_SIM_DIR from the browser; the last is Firefox's test switch.
        env = dict(os.environ, HOME=os.path.join(self.dir, "home"), MELVIX_SIM_DIR=self.sim,
                   MOZ_DISABLE_NONLOCAL_CONNECTIONS="1")
        os.makedirs(env["HOME"], exist_ok=True)
        browser_log = os.path.join(self.dir, "browser.log")
        self.log(f"starting {' '.join(command)}")
        with open(browser_log, "w") as out:
            try:
                # A session of its own, so the browser and its helpers can be ended by its group id.
                process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                           stderr=subprocess.STDOUT, start_new_session=True)
            except OSError as error:
                self.fail(f"{command[0]} cannot start: {error}")
                return self.finish(None, browser_log)
        deadline = time.monotonic() + TIME_LIMIT
        while not self.done.wait(0.2):
            if process.poll() is not None:
                self.fail(f"{command[0]} ended with status {process.returncode} too early")
            elif time.monotonic() > deadline:
                never = "" if self.lines[1:] else ": the browser never ran the extension"
                self.fail(f"no result within {TIME_LIMIT} s{never}")
        return self.finish(process, browser_log)

    def finish(self, process, browser_log):
        if process is not None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGTERM)
            with contextlib.suppress(subprocess.TimeoutExpired):
                process.wait(10)
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)  # what of the group outlived the browser
            process.wait()
        for pid in host_pids(self.host, self.sim):  # a host that outlived its browser
            os.kill(pid, signal.SIGKILL)
        if not self.failures:
            self.log("PASSED")
            shutil.rmtree(self.dir)
            return 0
        # The host's side: what it asked of the simulated devices, and what the browser said.
        for name, path in [("browser output", browser_log),
                           ("host's WinMM calls", os.path.join(self.sim, "calls"))]:
            print(f"[{self.browser}] --- {name} (last 60 lines of {path}) ---")
            try:
                with open(path, errors="replace") as f:
                    sys.stdout.writelines(f.readlines()[-60:])
            except OSError as error:
                print(error)
        print(f"[{self.browser}] FAILED: {'; '.join(self.failures)} (files kept in {self.dir})")
        return 1


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("chromium", "firefox"):
        sys.exit(__doc__)
    sys.exit(Run(sys.argv[1], sys.argv[2]).run())
