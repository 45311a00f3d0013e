#!/usr/bin/env python3
"""Installs the Windows installer silently into a fresh Wine prefix and checks what a user, a
browser and the system's list of programs see: after the first installation, after an update over
it, while a browser has the host running, after a failing melvixreg, and after a silent
uninstallation.

Usage: installer_test.py SETUP_EXE PROGRAMS_DIR VERSION
PROGRAMS_DIR is the build folder whose programs the installer holds (host/, reg/, play/ below it).
WINEPREFIX names a prefix that exists and is otherwise unused; run with a UTF-8 locale, so that Wine
passes the folder's non-ASCII characters on intact.
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
UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\MelvixMidiHost"
# Each browser's key, and which manifest its value must name.
REGISTRATIONS = {
    "Software\\Google\\Chrome\\NativeMessagingHosts\\" + HOST_NAME: "chrome",
    "Software\\Chromium\\NativeMessagingHosts\\" + HOST_NAME: "chrome",
    "Software\\Microsoft\\Edge\\NativeMessagingHosts\\" + HOST_NAME: "chrome",
    "Software\\Mozilla\\NativeMessagingHosts\\" + HOST_NAME: "firefox",
}
# Another program's host, registered before we install: it must outlive our uninstallation.
OTHER_HOST_KEY = "Software\\Google\\Chrome\\NativeMessagingHosts\\com.example.other_host"
OTHER_HOST_MANIFEST = "C:\\Other\\other_host.json"
PROGRAMS = {"melvixhost.exe": "host", "melvixreg.exe": "reg", "melvixplay.exe": "play"}
INSTALLED_FILES = set(PROGRAMS) | {
    "uninstall.exe", HOST_NAME + ".chrome.json", HOST_NAME + ".firefox.json"}
TIMEOUT = 120

setup_exe, programs_dir, version = sys.argv[1:4]
prefix = os.environ["WINEPREFIX"]
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
    assert windows_path[:3].upper() == "C:\\", windows_path
    return os.path.join(prefix, "drive_c", *windows_path[3:].split("\\"))


def in_folder(name):
    return FOLDER + "\\" + name


def wine(*args, timeout=TIMEOUT):
    return subprocess.run(["wine", *args], stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=timeout)


def folder_words(option):
    # /D= (and the uninstaller's _?=) must come last and unquoted; Wine would quote a word holding a
    # space, so the folder goes as separate words, which Wine joins with single spaces.
    first, *rest = FOLDER.split(" ")
    return [option + first, *rest]


def run_setup(*args):
    return wine(setup_exe, "/S", *args).returncode


def registry():
    """HKCU\\Software as {key below HKCU: {value name ('' the default): value}}, read through
    `reg export`, whose UTF-16 keeps every character (`reg query` into a pipe loses them)."""
    out = os.path.join(scratch, "hkcu.reg")
    result = wine("reg", "export", "HKCU\\Software", "Z:" + out.replace("/", "\\"), "/y")
    if result.returncode != 0:
        sys.exit("installer test: reg export failed: " + result.stderr.decode(errors="replace"))
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
    manifest_path = keys.get(next(iter(REGISTRATIONS)), {}).get("")
    if not check(manifest_path is not None, "Chrome's key has a value"):
        return None
    with open(unix_path(manifest_path), encoding="utf-8") as f:
        manifest = json.load(f)
    return subprocess.Popen(["wine", manifest["path"], manifest["allowed_origins"][0]],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)


def check_exchange(keys):
    host = start_host_as_browser(keys)
    if host is None:
        return
    # A host that hangs raises TimeoutExpired; wineserver -k at the end stops it.
    out, _ = host.communicate(frame(["version"]) + frame(["refresh"]), timeout=TIMEOUT)
    replies = frames(out)
    check(replies[:1] == [["version", version]], "the host answers ['version'] with %r: %r"
          % (["version", version], replies))
    refresh = replies[1] if len(replies) > 1 else None
    check(isinstance(refresh, list) and refresh[0] == "refresh" and
          isinstance(refresh[1].get("ins"), list) and isinstance(refresh[1].get("outs"), list),
          "the host answers ['refresh'] with its port lists: %r" % refresh)
    check(host.returncode == 0, "the host ends with 0 when its input ends: %s" % host.returncode)


def check_installed():
    """The folder, every registry value and every manifest, then a browser's use of the host."""
    folder = unix_path(FOLDER)
    present = set(os.listdir(folder)) if os.path.isdir(folder) else set()
    check(present == INSTALLED_FILES, "the folder holds %s, found %s" % (
        sorted(INSTALLED_FILES), sorted(present)))
    for name, subdir in PROGRAMS.items():
        installed = os.path.join(folder, name)
        check(os.path.isfile(installed) and filecmp.cmp(
            installed, os.path.join(programs_dir, subdir, name), shallow=False),
            name + " is the built program")
    for browser in ("chrome", "firefox"):
        name = "%s.%s.json" % (HOST_NAME, browser)
        try:
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                manifest = json.load(f)
        except (OSError, ValueError) as e:
            check(False, "%s is valid JSON: %s" % (name, e))
            continue
        check(manifest.get("name") == HOST_NAME and manifest.get("type") == "stdio" and
              manifest.get("path") == in_folder("melvixhost.exe"),
              "%s names the installed host: %r" % (name, manifest))

    keys = registry()
    for key, browser in REGISTRATIONS.items():
        value = keys.get(key, {}).get("")
        check(value == in_folder("%s.%s.json" % (HOST_NAME, browser)),
              "HKCU\\%s names the %s manifest: %r" % (key, browser, value))
    entry = keys.get(UNINSTALL_KEY, {})
    uninstaller = '"%s"' % in_folder("uninstall.exe")
    for name, expected in [("DisplayName", "Melvix MIDI host"), ("DisplayVersion", version),
                           ("Publisher", "Tarnwell"), ("InstallLocation", FOLDER),
                           ("UninstallString", uninstaller),
                           ("QuietUninstallString", uninstaller + " /S")]:
        check(entry.get(name) == expected, "the uninstall entry's %s is %r: %r"
              % (name, expected, entry.get(name)))
    size = entry.get("EstimatedSize")
    check(isinstance(size, int) and size > 100, "the uninstall entry gives a size in KB: %r" % size)
    check(keys.get(OTHER_HOST_KEY) == {"": OTHER_HOST_MANIFEST},
          "the other host's key is untouched")
    check_exchange(keys)
    return keys


def program_files():
    return sorted(os.listdir(unix_path("C:\\Program Files")))


def main():
    print("installer test: %s in the fresh prefix %s" % (os.path.basename(setup_exe), prefix))
    result = wine("reg", "add", "HKCU\\" + OTHER_HOST_KEY, "/ve", "/d", OTHER_HOST_MANIFEST, "/f")
    check(result.returncode == 0, "another host's key can be added")
    keys_before, files_before = registry(), program_files()

    check(run_setup(*folder_words("/D=")) == 0, "the installation exits with 0")
    check_installed()
    end_step("installed into " + FOLDER)

    # An update finds the installed folder by itself and puts back what it wrote.
    folder = unix_path(FOLDER)
    with open(os.path.join(folder, "melvixplay.exe"), "wb") as f:
        f.write(b"damaged")
    os.remove(os.path.join(folder, HOST_NAME + ".firefox.json"))
    check(run_setup() == 0, "the second installation exits with 0")
    check_installed()
    check(not any("Melvix" in dirs for _, dirs, _ in os.walk(unix_path("C:\\users"))),
          "the update went to the installed folder, not to the default one")
    end_step("installed a second time over the first")

    # While a browser runs the host, an installation or uninstallation cannot replace or remove it:
    # both must fail and leave everything as it was, not report success over a half-done job.
    keys = registry()
    host = start_host_as_browser(keys)
    host.stdin.write(frame(["version"]))
    host.stdin.flush()
    size = host.stdout.read(4)
    reply = host.stdout.read(struct.unpack("<I", size)[0]) if len(size) == 4 else b""
    check(reply == json.dumps(["version", version], separators=(",", ":")).encode(),
          "the host runs and answers: %r" % reply)
    status = run_setup()
    check(status == 3, "an installation while the host runs fails with 3: exit code %s" % status)
    # _?= runs the uninstaller in place, so its exit code is the uninstallation's own.
    status = wine(unix_path(in_folder("uninstall.exe")), "/S", *folder_words("_?=")).returncode
    check(status == 3, "an uninstallation while the host runs fails with 3: exit code %s" % status)
    host.stdin.close()
    check(host.wait(timeout=TIMEOUT) == 0, "the host ends with 0")
    check_installed()
    end_step("refused to touch a running host")

    # melvixreg exits 0 even when it cannot write a manifest (here a folder holds the name): the
    # installation must fail, and take back what it wrote rather than register a missing file.
    blocker = os.path.join(folder, HOST_NAME + ".firefox.json")
    os.remove(blocker)
    os.mkdir(blocker)
    status = run_setup()
    check(status == 4, "an installation without its manifest fails with 4: exit code %s" % status)
    check(os.listdir(folder) == [HOST_NAME + ".firefox.json"],
          "only the blocking folder remains: %s" % os.listdir(folder))
    keys = registry()
    check(not any(key in keys for key in [*REGISTRATIONS, UNINSTALL_KEY]),
          "no registration and no uninstall entry remain")
    os.rmdir(blocker)
    check(run_setup(*folder_words("/D=")) == 0, "installing again exits with 0")
    check_installed()
    end_step("a failed installation took itself back")

    # The system's list of programs removes it with the quiet command it was given. The uninstaller
    # returns at once and a copy of it in %TEMP% does the work; wineserver -w waits for it.
    quiet = registry().get(UNINSTALL_KEY, {}).get("QuietUninstallString", "")
    match = re.fullmatch(r'"([^"]+)" /S', quiet)
    if check(match is not None, "a quiet uninstall command: %r" % quiet):
        wine(match.group(1), "/S")
        subprocess.run(["wineserver", "-w"], timeout=TIMEOUT)
    check(not os.path.exists(folder), "the folder is gone")
    check(program_files() == files_before, "Program Files holds what it held before")
    keys_after = registry()
    for key in sorted(set(keys_before) | set(keys_after)):
        check(keys_before.get(key) == keys_after.get(key), "HKCU\\%s as before installing: %r, "
              "now %r" % (key, keys_before.get(key), keys_after.get(key)))
    end_step("uninstalled, leaving nothing behind and the other host's key untouched")


try:
    main()
finally:
    subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)
    shutil.rmtree(scratch, ignore_errors=True)
