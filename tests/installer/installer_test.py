#!/usr/bin/env python3
"""Installs the Windows installer silently into a fresh Wine prefix and checks what a user, a
browser, melvixcheck and the system's list of programs see: after the first installation, after
repairs of whatever a user or an antivirus program deleted, with melvixcheck finding each fault a
browser would trip over, with the trace on and off, while a browser has the host running, after a
failing melvixreg, under a policy against per-user hosts, installed for all users beside the
per-user installation, in a folder of hostile characters and length, with the browsers sent to
the 32-bit host and back, and after silent uninstallations.

Usage: installer_test.py SETUP_EXE BUILD_DIR VERSION [--profile]
The installed programs must be those beside SETUP_EXE (x86/ and x64/): in a 64-bit prefix the
x86-64 ones in the folder and the 32-bit ones in its x86\ subfolder, in a 32-bit prefix the 32-bit
ones alone. BUILD_DIR is the folder of the presets' builds, whose windows/ and windows64/
tests/wine/winemelvix.drv are the test MIDI driver's two builds. With MELVIX_RUNS_32BIT=1 the
32-bit host runs here and is started too. With --profile only the default
per-user installation is tried: for a prefix whose user's profile folder has a name outside ASCII
with a space. WINEPREFIX names a prefix that exists and is otherwise unused; WINE and WINESERVER
name the Wine loader and server of the prefix's bitness (tools/wine.sh), which every Wine command
here goes through; run with a UTF-8 locale, so that Wine passes the folders' non-ASCII characters
on intact. When MELVIX_SIGN_CERT and MELVIX_TSA_CERT name the certificates the installer was
signed and time-stamped with, the uninstaller it writes must carry that signature too.
"""
import filecmp
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

HOST_NAME = "com.tarnwell.melvix_midi"
FOLDER = "C:\\Program Files\\Mélvix 音"
# Every character that has broken a host's path somewhere (cmd.exe's &, %, ', !, a full-width
# space), and long enough that the host's path takes 240 characters.
HOSTILE_BASE = "C:\\Melvix &%'! \u3000test"
HOSTILE = HOSTILE_BASE + "x" * (240 - len("\\melvixhost.exe") - len(HOSTILE_BASE))
UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\MelvixMidiHost"
CHROME_KEY = "Software\\Google\\Chrome\\NativeMessagingHosts\\" + HOST_NAME
FIREFOX_KEY = "Software\\Mozilla\\NativeMessagingHosts\\" + HOST_NAME
# Each browser's key, and which manifest its value must name.
REGISTRATIONS = {
    CHROME_KEY: "chrome",
    "Software\\Chromium\\NativeMessagingHosts\\" + HOST_NAME: "chrome",
    "Software\\Microsoft\\Edge\\NativeMessagingHosts\\" + HOST_NAME: "chrome",
    FIREFOX_KEY: "firefox",
}
EDGE_POLICY = "HKLM\\Software\\Policies\\Microsoft\\Edge"
# Another program's host, registered before we install: it must outlive our uninstallation.
OTHER_HOST_KEY = "Software\\Google\\Chrome\\NativeMessagingHosts\\com.example.other_host"
OTHER_HOST_MANIFEST = "C:\\Other\\other_host.json"
PROGRAMS = {"melvixhost.exe", "melvixreg.exe", "melvixplay.exe", "melvixcheck.exe"}
setup_exe, build_dir, version = sys.argv[1:4]
profile_only = sys.argv[4:] == ["--profile"]
prefix = os.environ["WINEPREFIX"]
# A 64-bit prefix is 64-bit Windows to the installer: the x86-64 programs and the 32-bit ones in
# x86\. Whether 32-bit programs run is up to this kernel (tools/ia32.sh).
WINDOWS64 = os.path.isdir(os.path.join(prefix, "drive_c", "windows", "syswow64"))
RUNS_32BIT = os.environ.get("MELVIX_RUNS_32BIT") == "1"
INSTALLED_FILES = set(PROGRAMS) | {
    "uninstall.exe", "install.log", "README.txt", "melvix.chrome.json", "melvix.firefox.json"} | (
        {"x86"} if WINDOWS64 else set())
# Where each installed program comes from, beside the installer.
SHIPPED = {name: os.path.join(os.path.dirname(setup_exe), "x64" if WINDOWS64 else "x86", name)
           for name in PROGRAMS}
if WINDOWS64:
    SHIPPED.update({"x86\\" + name: os.path.join(os.path.dirname(setup_exe), "x86", name)
                    for name in PROGRAMS})
# The test MIDI driver's devices, and the line that makes the output busy.
DEVICES = 'out "Synth"\nin "Keys"\n'
# A device whose driver serves 32-bit programs alone, as an old one's may on 64-bit Windows.
OLD_CABLE = "Old Cable"
TIMEOUT = 120
# The certificates of the signature and the time stamp the uninstaller must carry, if any.
SIGNED_BY = [os.environ[v] for v in ("MELVIX_SIGN_CERT", "MELVIX_TSA_CERT") if os.environ.get(v)]

WINE = os.environ.get("WINE", "wine")
WINESERVER = os.environ.get("WINESERVER", "wineserver")
scratch = tempfile.mkdtemp(prefix="melvix-installer-test-")
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("  FAILED: " + what, flush=True)
    return ok


def end_step(name):
    if failures:
        sys.exit("installer test: %d check(s) failed by the end of step '%s'"
                 % (len(failures), name))
    print("  ok: " + name, flush=True)


def unix_path(windows_path):
    assert windows_path[1:3] == ":\\", windows_path
    return os.path.join(prefix, "drive_" + windows_path[0].lower(), *windows_path[3:].split("\\"))


def wine(*args, timeout=TIMEOUT):
    return subprocess.run([WINE, *args], stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=timeout)


def words(option, folder):
    # /D= (and the uninstaller's _?=) must come last and unquoted; Wine would quote a word holding a
    # space, so the folder goes as separate words, which Wine joins with single spaces.
    first, *rest = folder.split(" ")
    return [option + first, *rest]


def run_setup(*args):
    return wine(setup_exe, "/S", *args).returncode


def registry(root="HKCU\\Software"):
    """A registry tree as {key below the root's hive: {value name ('' the default): value}}, read
    through `reg export`, whose UTF-16 keeps every character (`reg query` into a pipe loses them)."""
    out = os.path.join(scratch, "export.reg")
    result = wine("reg", "export", root, "Z:" + out.replace("/", "\\"), "/y")
    if result.returncode != 0:
        return {}
    with open(out, encoding="utf-16") as f:
        text = f.read()
    os.remove(out)
    unescape = lambda s: re.sub(r"\\(.)", r"\1", s)
    keys, values = {}, None
    for line in re.sub(r"\\\r?\n\s*", "", text).splitlines():
        if line.startswith("[") and line.endswith("]"):
            values = keys.setdefault(line[1:-1].split("\\", 1)[1], {})
            continue
        match = re.match(r'^(@|"((?:[^"\\]|\\.)*)")=(.*)$', line)
        if values is None or not match:
            continue
        raw = match.group(3)
        if raw.startswith('"'):
            value = unescape(raw[1:-1])
        elif raw.startswith("dword:"):
            value = int(raw[6:], 16)
        else:
            value = raw
        values[unescape(match.group(2) or "")] = value
    return keys


def machine_registry():
    """HKLM\\Software as a 32-bit program sees it: the view the installer writes for all users."""
    keys = registry("HKLM\\Software\\Wow6432Node")
    return {re.sub(r"^Software\\Wow6432Node", "Software", k, flags=re.I): v
            for k, v in keys.items()} or registry("HKLM\\Software")


def keys_the_installer_names():
    """Every registry key that the installer's script names, its !defines expanded, lower-cased:
    what an installation or an uninstallation can write, with the parents it creates."""
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "installer",
                           "melvix.nsi"), encoding="utf-8") as f:
        text = f.read()
    defines = dict(re.findall(r'^\s*!define\s+(\w+)\s+"([^"]*)"', text, flags=re.M))
    expand = lambda s: re.sub(r"\$\{(\w+)\}", lambda m: defines.get(m.group(1), m.group(0)), s)
    named = set()
    for key in re.findall(r'\b\w*Reg\w*\s+(?:/\w+\s+)*(?:SHCTX|HKLM|HKCU)\s+"([^"]+)"', text):
        for _ in range(5):
            key = expand(key)
        if "$" not in key:
            named.add(key.lower())
    return named


INSTALLER_KEYS = keys_the_installer_names()


def installer_may_write(key):
    """Whether an installer could have written `key`: one its script names, or a parent or a child
    of one. Wine's own keys (its audio layer makes HKLM\\...\\MMDevices the first time anything in
    the prefix touches audio) are none of them."""
    key = key.lower()
    return any(key == k or k.startswith(key + "\\") or key.startswith(k + "\\")
               for k in INSTALLER_KEYS)


def frames(data):
    out = []
    while len(data) >= 4:
        (size,) = struct.unpack("<I", data[:4])
        out.append(json.loads(data[4:4 + size]))
        data = data[4 + size:]
    return out


def frame(message):
    body = json.dumps(message).encode()
    return struct.pack("<I", len(body)) + body


def start_host_as_browser(keys):
    """Does what Chrome does: reads its key's value, opens the manifest it names and starts the
    program the manifest's path names, with pipes for its standard streams and the extension's
    origin as argument."""
    manifest_path = keys.get(CHROME_KEY, {}).get("")
    if not check(manifest_path is not None, "Chrome's key has a value"):
        return None
    with open(unix_path(manifest_path), encoding="utf-8") as f:
        manifest = json.load(f)
    # What Wine says of the process (a fault, an unhandled exception) is kept for a failed check.
    return subprocess.Popen([WINE, manifest["path"], manifest["allowed_origins"][0]],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=open(os.path.join(scratch, "host.stderr"), "wb"))


def host_stderr():
    with open(os.path.join(scratch, "host.stderr"), "rb") as f:
        return f.read()[-2000:].decode(errors="replace")


def exchange(keys, *requests):
    """The replies of a host started as a browser starts it, to `requests`, and its exit status."""
    host = start_host_as_browser(keys)
    if host is None:
        return [], None
    # A host that hangs raises TimeoutExpired; wineserver -k at the end stops it.
    out, _ = host.communicate(b"".join(frame(r) for r in requests), timeout=TIMEOUT)
    return frames(out), host.returncode


def check_exchange(keys):
    replies, status = exchange(keys, ["version"], ["refresh"])
    check(replies[:1] == [["version", version]], "the host answers ['version'] with %r: %r"
          % (["version", version], replies))
    refresh = replies[1] if len(replies) > 1 else None
    check(isinstance(refresh, list) and refresh[0] == "refresh" and
          isinstance(refresh[1].get("ins"), list) and isinstance(refresh[1].get("outs"), list),
          "the host answers ['refresh'] with its port lists: %r" % refresh)
    check(status == 0, "the host ends with 0 when its input ends: %s" % status)


def melvixcheck(folder, *args):
    """melvixcheck's JSON report and exit code."""
    result = wine(folder + "\\melvixcheck.exe", "--json", *args)
    try:
        return json.loads(result.stdout.decode("utf-8")), result.returncode
    except ValueError:
        check(False, "melvixcheck writes JSON: %r" % result.stdout[:200])
        return {}, result.returncode


def check_melvixcheck(folder, problems=(), mode="this user", host="melvixhost.exe"):
    """melvixcheck exits 1 with exactly `problems`, (browser or None, the finding's id), or 0 with
    everything in order, the host found as installed for `mode`, and `host` (in the folder) named
    as the one the browsers start."""
    report, status = melvixcheck(folder)
    found = [c for c in report.get("checks", []) if c["status"] == "problem"]
    if not problems:
        check(status == 0 and report.get("ok") is True and not found,
              "melvixcheck finds everything in order: exit code %s, %r" % (status, found))
        host32 = host.startswith("x86") or not WINDOWS64
        check(sorted(p["name"] for p in report.get("ports", {}).get("outs", [])) == ["Synth"] and
              [p["name"] for p in report["ports"]["ins"]] ==
              ["Keys"] + [OLD_CABLE] * (WINDOWS64 and host32),
              "melvixcheck lists the test driver's devices: %r" % report.get("ports"))
        started = (report.get("hosts") or [{}])[0]
        # The browsers may start another installation's host (the user's before all users').
        check(started.get("path", "").endswith("\\" + host) and started.get("version") == version
              and started.get("bits") == (32 if host32 else 64),
              "melvixcheck names the host the browsers start, %s, %s-bit, version %s: %r"
              % (host, 32 if host32 else 64, version, started))
        ids = [c["id"] for c in report.get("checks", [])]
        check("install.same_version" in ids, "the programs are all of one version: %r" % ids)
        if WINDOWS64:
            # The x86-64 host lacks the 32-bit driver's port, and melvixcheck says how to get it.
            compared = [c for c in report["checks"] if c["id"].startswith("hosts.")]
            expected = "hosts.differ" if RUNS_32BIT else "hosts.other_no_answer"
            check([c["id"] for c in compared] == [expected] and (
                not RUNS_32BIT or OLD_CABLE in compared[0]["what"] and
                host32 == ("with /X86" not in compared[0].get("fix", ""))),
                "melvixcheck compares the two hosts (%s): %r" % (expected, compared))
        used = [c["what"] for c in report.get("checks", []) if c["id"] == "registration.found"]
        check(len(used) == 4 and all("installed for " + mode in w for w in used),
              "each browser takes a manifest installed for %s: %r" % (mode, used))
        return
    check(status == 1 and report.get("ok") is False,
          "melvixcheck exits 1 with problems: exit code %s" % status)
    for browser, finding in problems:
        match = [c for c in found if c["browser"] == browser and c["id"] == finding]
        check(match, "a problem %s for %s: %r" % (finding, browser, found))
    expected_browsers = sorted(str(b) for b, _ in problems)
    check(sorted(set(str(c["browser"]) for c in found)) == sorted(set(expected_browsers)),
          "problems for exactly %s: %r" % (expected_browsers, found))


def check_installed(folder, mode="this user", keys_root=registry, host="melvixhost.exe"):
    """The folder, every registry value and every manifest, then a browser's use of the host and
    melvixcheck's report. `host` is the one the manifests must name, in the folder."""
    in_folder = lambda name: folder + "\\" + name
    present = set(os.listdir(unix_path(folder))) if os.path.isdir(unix_path(folder)) else set()
    check(present == INSTALLED_FILES, "the folder holds %s, found %s" % (
        sorted(INSTALLED_FILES), sorted(present)))
    for name, shipped in SHIPPED.items():
        installed = unix_path(in_folder(name))
        check(os.path.isfile(installed) and filecmp.cmp(installed, shipped, shallow=False),
              name + " is the program beside the installer")
    if len(SIGNED_BY) == 2:
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", SIGNED_BY[0], "-TSA-CAfile",
                                 SIGNED_BY[1], "-in", unix_path(in_folder("uninstall.exe"))],
                                capture_output=True, text=True)
        check(verify.returncode == 0 and
              "Timestamp Server Signature verification: ok" in verify.stdout,
              "uninstall.exe is signed and time-stamped: %s" % verify.stdout[-500:])
    for browser in ("chrome", "firefox"):
        name = "melvix.%s.json" % browser
        try:
            with open(unix_path(in_folder(name)), encoding="utf-8") as f:
                manifest = json.load(f)
        except (OSError, ValueError) as e:
            check(False, "%s is valid JSON: %s" % (name, e))
            continue
        check(manifest.get("name") == HOST_NAME and manifest.get("type") == "stdio" and
              manifest.get("path") == in_folder(host),
              "%s names the installed host: %r" % (name, manifest))
    keys = keys_root()
    for key, browser in REGISTRATIONS.items():
        value = keys.get(key, {}).get("")
        check(value == in_folder("melvix.%s.json" % browser),
              "%s names the %s manifest: %r" % (key, browser, value))
    entry = keys.get(UNINSTALL_KEY, {})
    uninstaller = '"%s"' % in_folder("uninstall.exe")
    for name, expected in [("DisplayName", "Melvix MIDI host"), ("DisplayVersion", version),
                           ("Publisher", "Tarnwell"), ("InstallLocation", folder),
                           ("UninstallString", uninstaller),
                           ("QuietUninstallString", uninstaller + " /S")]:
        check(entry.get(name) == expected, "the uninstall entry's %s is %r: %r"
              % (name, expected, entry.get(name)))
    size = entry.get("EstimatedSize")
    check(isinstance(size, int) and size > 100, "the uninstall entry gives a size in KB: %r" % size)
    if host.startswith("x86") and not RUNS_32BIT:
        return keys
    check_exchange(keys)
    check_melvixcheck(folder, mode=mode, host=host)
    return keys


def uninstall(folder, keys_root=registry):
    """Runs the quiet uninstall command the system's list of programs was given. The uninstaller
    returns at once and a copy of it in %TEMP% does the work; wineserver -w waits for it."""
    quiet = keys_root().get(UNINSTALL_KEY, {}).get("QuietUninstallString", "")
    match = re.fullmatch(r'"([^"]+)" /S', quiet)
    if check(match is not None and match.group(1) == folder + "\\uninstall.exe",
             "a quiet uninstall command for %s: %r" % (folder, quiet)):
        wine(match.group(1), "/S")
        subprocess.run([WINESERVER, "-w"], timeout=TIMEOUT)
    check(not os.path.exists(unix_path(folder)), "the folder %s is gone" % folder)


def edge_policy(on):
    """An administrator's policy that makes Edge ignore hosts installed per user, or none: off takes
    away the keys on took the place of too, as they were not there before."""
    if on:
        wine("reg", "add", EDGE_POLICY, "/v", "NativeMessagingUserLevelHosts", "/t", "REG_DWORD",
             "/d", "0", "/f")
        return
    wine("reg", "delete", EDGE_POLICY, "/f")
    if not any(k.lower().startswith("software\\policies\\microsoft\\")
               for k in machine_registry()):
        wine("reg", "delete", EDGE_POLICY.rsplit("\\", 1)[0], "/f")


def start_menu_link(all_users):
    base = ("C:\\ProgramData" if all_users else
            "C:\\users\\%s\\AppData\\Roaming" % wine_user())
    return unix_path(base + "\\Microsoft\\Windows\\Start Menu\\Programs\\Melvix\\"
                     "Check Melvix MIDI host.lnk")


def wine_user():
    return os.environ.get("USER", "root")


def local_app_data():
    return "C:\\users\\%s\\AppData\\Local" % wine_user()


def use_test_driver():
    """Wine sees the test driver's devices: melvixcheck lists and opens them. A 64-bit prefix gets
    both builds of the driver, each where programs of its bitness look for drivers."""
    drv = lambda preset: os.path.join(build_dir, preset, "tests", "wine", "winemelvix.drv")
    if WINDOWS64:
        shutil.copy(drv("windows64"), unix_path("C:\\windows\\system32\\winemelvix.drv"))
        shutil.copy(drv("windows"), unix_path("C:\\windows\\syswow64\\winemelvix.drv"))
    else:
        shutil.copy(drv("windows"), unix_path("C:\\windows\\system32\\winemelvix.drv"))
    wine("reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Audio", "/d", "melvix", "/f")
    control = os.path.join(scratch, "devices")
    os.mkdir(control)
    with open(os.path.join(control, "control"), "w") as f:
        f.write(DEVICES + ('in "%s" bits=32\n' % OLD_CABLE if WINDOWS64 else ""))
    os.environ["MELVIX_SIM_DIR"] = control
    return os.path.join(control, "control")


def break_and_repair(folder, control):
    """Each fault melvixcheck must find, in a fresh installation: an installation over it repairs
    it, whatever was deleted."""
    in_folder = lambda name: unix_path(folder + "\\" + name)
    chrome_family = ("chrome", "chromium", "edge")
    every_browser = chrome_family + ("firefox",)

    def rewrite(name, change):
        with open(in_folder(name), encoding="utf-8") as f:
            text = f.read()
        with open(in_folder(name), "w", encoding="utf-8") as f:
            f.write(change(text))

    def busy(on):
        with open(control, "a") as f:
            f.write('fault out "Synth" open%s\n' % ("" if on else " 0"))

    faults = [
        ("Chrome's key removed", lambda: wine("reg", "delete", "HKCU\\" + CHROME_KEY, "/f"),
         [("chrome", "registration.missing")]),
        ("Firefox's key naming another file",
         lambda: wine("reg", "add", "HKCU\\" + FIREFOX_KEY, "/ve", "/d", "C:\\nowhere.json", "/f"),
         [("firefox", "manifest.unreadable")]),
        ("the Chrome manifest deleted", lambda: os.remove(in_folder("melvix.chrome.json")),
         [(b, "manifest.unreadable") for b in chrome_family]),
        ("the Firefox manifest made invalid JSON",
         lambda: rewrite("melvix.firefox.json", lambda t: t.replace("}", ",}")),
         [("firefox", "manifest.invalid_json")]),
        ("the Chrome manifest naming another host",
         lambda: rewrite("melvix.chrome.json", lambda t: t.replace(HOST_NAME, "com.other.host")),
         [(b, "manifest.wrong_name") for b in chrome_family]),
        ("the Chrome manifest allowing another extension",
         lambda: rewrite("melvix.chrome.json", lambda t: t.replace("kembc", "aaaaa")),
         [(b, "manifest.extension_not_allowed") for b in chrome_family]),
        ("the host deleted", lambda: os.remove(in_folder("melvixhost.exe")),
         [(b, "host.missing") for b in every_browser]),
        ("the host replaced by a program that exits at once",
         lambda: shutil.copy(in_folder("melvixreg.exe"), in_folder("melvixhost.exe")),
         [(b, "host.no_reply") for b in every_browser]),
        ("the host replaced by a program that writes something else",
         lambda: shutil.copy(unix_path("C:\\windows\\system32\\hostname.exe"),
                             in_folder("melvixhost.exe")),
         [(b, "host.not_a_frame") for b in every_browser] + [(None, "install.mixed_versions")]),
        ("a policy against per-user hosts for Edge", lambda: edge_policy(True),
         [("edge", "policy.user_level_hosts")]),
        ("a device another program holds", lambda: busy(True),
         [(None, "port.in_use")]),
    ]
    for what, fault, problems in faults:
        fault()
        check_melvixcheck(folder, problems)
        if "policy" in what:
            edge_policy(False)
        if "device" in what:
            busy(False)
        # melvixreg, standing in for a host that exits at once, wrote files after its arguments.
        for stray in set(os.listdir(unix_path(folder))) - INSTALLED_FILES:
            os.remove(in_folder(stray))
        check(run_setup() == 0, "the installation over it exits with 0 (%s)" % what)
        end_step("melvixcheck finds " + what + "; an installation over it repairs it")


def check_trace(folder):
    """Off by default and after --trace off: no file. On: the host's requests, a failed open with
    its error's name, and its end."""
    log = unix_path(local_app_data() + "\\Melvix\\trace.log")
    check(not os.path.exists(log), "no trace log before the trace is switched on")
    result = wine(folder + "\\melvixcheck.exe", "--trace", "on")
    check(result.returncode == 0, "--trace on exits with 0: %s" % result.returncode)
    # Every process loading the test driver reads the control file from its start: the fault is
    # for this host alone, so it is taken back at once.
    control = os.environ["MELVIX_SIM_DIR"] + "/control"
    with open(control, "a") as f:
        f.write('fault out "Synth" open 1\n')
    exchange(registry(), ["version"], ["openout", "Synth"])
    with open(control, "a") as f:
        f.write('fault out "Synth" open 0\n')
    text = open(log, encoding="utf-8").read() if os.path.exists(log) else ""
    for said in ('request ["version"]', 'reply ["openout",""]',
                 'midiOutOpen "Synth" failed: MMSYSERR_ALLOCATED', "end: the end of its input"):
        check(said in text, "the trace says %r: %r" % (said, text[-600:]))
    report, _ = melvixcheck(folder)
    check(report.get("trace", {}).get("on") is True, "melvixcheck says the trace is on")
    check(wine(folder + "\\melvixcheck.exe", "--trace", "off").returncode == 0,
          "--trace off exits with 0")
    os.remove(log)
    exchange(registry(), ["version"])
    check(not os.path.exists(log), "no trace log with the trace off")
    end_step("the trace: on, a log of requests, failures and the end; off, no file")


def switch_host():
    """/X86 sends the browsers to the 32-bit host, and an installation without it back to the
    x86-64 one: the files stay as they are, only the manifests' path changes."""
    listing = lambda: {name: open(unix_path(FOLDER + "\\" + name), "rb").read()
                       for name in SHIPPED}
    before = listing()
    check(run_setup("/X86") == 0, "the installation with /X86 exits with 0")
    check_installed(FOLDER, host="x86\\melvixhost.exe")
    check(listing() == before, "the programs are the same with /X86")
    check(run_setup() == 0, "the installation without /X86 exits with 0")
    check_installed(FOLDER)
    end_step("/X86 made the browsers start the 32-bit host%s, and an installation without it the "
             "x86-64 one" % ("" if RUNS_32BIT else " (not started: no 32-bit code runs here)"))


def profile_main():
    """A user whose profile folder's name is outside ASCII and holds a space: the default
    per-user installation, through a browser's way to the host."""
    folder = local_app_data() + "\\Programs\\Melvix"
    print("installer test: the default folder %s" % folder)
    use_test_driver()
    check(run_setup() == 0, "the installation exits with 0")
    check_installed(folder)
    end_step("installed into " + folder)
    # The uninstall entry deleted: a browser's key still leads the repair to the folder. (The
    # entry's note of the keys the first installation created is lost with it, so the keys above
    # the hosts' may stay after uninstalling: this prefix is not compared with its first state.)
    wine("reg", "delete", "HKCU\\" + UNINSTALL_KEY, "/f")
    check(run_setup() == 0, "the installation without its uninstall entry exits with 0")
    check_installed(folder)
    end_step("repaired after its uninstall entry was deleted, in its own folder")
    uninstall(folder)
    end_step("uninstalled from " + folder)


def main():
    print("installer test: %s in the fresh prefix %s" % (os.path.basename(setup_exe), prefix))
    control = use_test_driver()
    result = wine("reg", "add", "HKCU\\" + OTHER_HOST_KEY, "/ve", "/d", OTHER_HOST_MANIFEST, "/f")
    check(result.returncode == 0, "another host's key can be added")
    keys_before, machine_before = registry(), machine_registry()
    # All users' programs go into the folder of the system's own bitness, 64-bit where it is.
    program_files = "C:\\Program Files"
    files_before = sorted(os.listdir(unix_path(program_files)))

    check(run_setup(*words("/D=", FOLDER)) == 0, "the installation exits with 0")
    check_installed(FOLDER)
    check(os.path.isfile(start_menu_link(False)), "the Start-menu entry is there")
    check(registry().get(OTHER_HOST_KEY) == {"": OTHER_HOST_MANIFEST},
          "the other host's key is untouched")
    end_step("installed into " + FOLDER)

    # An update finds the installed folder by itself and puts back what it wrote.
    folder = unix_path(FOLDER)
    with open(os.path.join(folder, "melvixplay.exe"), "wb") as f:
        f.write(b"damaged")
    check(run_setup() == 0, "the second installation exits with 0")
    check_installed(FOLDER)
    check(not os.path.exists(unix_path(local_app_data() + "\\Programs\\Melvix")),
          "the update went to the installed folder, not to the default one")
    end_step("installed a second time over the first")

    if WINDOWS64:
        switch_host()
    break_and_repair(FOLDER, control)
    check_trace(FOLDER)

    # While a browser runs the host, an installation or uninstallation cannot replace or remove it:
    # both must fail and leave everything as it was, not report success over a half-done job.
    host = start_host_as_browser(registry())
    host.stdin.write(frame(["version"]))
    host.stdin.flush()
    size = host.stdout.read(4)
    reply = host.stdout.read(struct.unpack("<I", size)[0]) if len(size) == 4 else b""
    check(reply == json.dumps(["version", version], separators=(",", ":")).encode(),
          "the host runs and answers: %r" % reply)
    status = run_setup()
    check(status == 3, "an installation while the host runs fails with 3: exit code %s" % status)
    # _?= runs the uninstaller in place, so its exit code is the uninstallation's own.
    status = wine(unix_path(FOLDER + "\\uninstall.exe"), "/S", *words("_?=", FOLDER)).returncode
    check(status == 3, "an uninstallation while the host runs fails with 3: exit code %s" % status)
    host.stdin.close()
    status = host.wait(timeout=TIMEOUT)
    check(status == 0, "the host ends with 0: %s, Wine said %r" % (status, host_stderr()))
    check_installed(FOLDER)
    end_step("refused to touch a running host")

    # melvixreg cannot write a manifest (here a folder holds its name): the installation must fail,
    # and take back what it wrote rather than register a missing file.
    blocker = os.path.join(folder, "melvix.firefox.json")
    os.remove(blocker)
    os.mkdir(blocker)
    status = run_setup()
    check(status == 4, "an installation without its manifest fails with 4: exit code %s" % status)
    check(os.listdir(folder) == ["melvix.firefox.json"],
          "only the blocking folder remains: %s" % os.listdir(folder))
    keys = registry()
    check(not any(key in keys for key in [*REGISTRATIONS, UNINSTALL_KEY]),
          "no registration and no uninstall entry remain")
    os.rmdir(blocker)

    # Where a policy makes Edge ignore per-user hosts, a per-user installation says so and exits
    # with 5, installed all the same; an installation for all users then serves Edge, beside it.
    edge_policy(True)
    status = run_setup(*words("/D=", FOLDER))
    check(status == 5, "a per-user installation under the policy exits with 5: %s" % status)
    log_path = unix_path(FOLDER + "\\install.log")
    log = open(log_path, encoding="utf-16").read() if os.path.exists(log_path) else ""
    check("NativeMessagingUserLevelHosts" in log and "/ALLUSERS" in log,
          "the install log names the policy and the way out: %r" % log)
    check_melvixcheck(FOLDER, [("edge", "policy.user_level_hosts")])
    check(run_setup("/ALLUSERS") == 0, "the installation for all users exits with 0")
    machine_folder = program_files + "\\Melvix"
    log = open(unix_path(machine_folder + "\\install.log"), encoding="utf-16").read()
    check("for this user alone stays in " + FOLDER in log,
          "the install log says the per-user installation stays: %r" % log)
    report, status = melvixcheck(FOLDER)
    check(status == 0, "melvixcheck: Edge takes the all-users installation: %s" % report)
    edge_policy(False)
    check_installed(machine_folder, mode="this user", keys_root=machine_registry)
    check(os.path.isfile(start_menu_link(True)), "the all-users Start-menu entry is there")
    end_step("under a policy against per-user hosts: exit code 5, then installed for all users")

    # Each uninstaller removes its own installation only.
    uninstall(FOLDER)
    check(not os.path.exists(start_menu_link(False)), "the per-user Start-menu entry is gone")
    check_melvixcheck(machine_folder, mode="all users")
    keys_after = registry()
    for key in sorted(set(keys_before) | set(keys_after)):
        # Wine's own settings change as it pleases (the fonts it finds, say), and no installer
        # writes there.
        if key.split("\\")[0].lower() == "wine" and not installer_may_write(key):
            continue
        check(keys_before.get(key) == keys_after.get(key), "HKCU\\%s as before installing: %r, "
              "now %r" % (key, keys_before.get(key), keys_after.get(key)))
    end_step("uninstalled for this user; the all-users installation still serves every browser")
    uninstall(machine_folder, keys_root=machine_registry)
    check(not os.path.exists(start_menu_link(True)), "the all-users Start-menu entry is gone")
    check(sorted(os.listdir(unix_path(program_files))) == files_before,
          "%s holds what it held before" % program_files)
    machine_after = machine_registry()
    for key in sorted(set(machine_before) | set(machine_after)):
        # A key that is new and that no installer could have written is the prefix's own doing. In a
        # 64-bit prefix Wine leaves the 32-bit view alone; in a 32-bit one it is all of HKLM.
        if key not in machine_before and not installer_may_write(key):
            continue
        check(machine_before.get(key) == machine_after.get(key), "HKLM\\%s as before installing"
              ": %r, now %r" % (key, machine_before.get(key), machine_after.get(key)))
    end_step("uninstalled for all users, leaving nothing behind")

    check(run_setup(*words("/D=", HOSTILE)) == 0, "the installation into %s exits with 0" % HOSTILE)
    check(len(HOSTILE + "\\melvixhost.exe") == 240, "the host's path has 240 characters")
    check_installed(HOSTILE)
    uninstall(HOSTILE)
    end_step("installed into and uninstalled from a folder of &, %, ', !, a full-width space and "
             "240 characters to the host")


try:
    profile_main() if profile_only else main()
finally:
    subprocess.run([WINESERVER, "-k"], stderr=subprocess.DEVNULL)
    shutil.rmtree(scratch, ignore_errors=True)
