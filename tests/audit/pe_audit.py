#!/usr/bin/env python3
"""Checks the shipped Windows programs by reading them: no 32-bit program runs on a machine whose
kernel refuses 32-bit x86 code, so the Wine stage cannot run these very files there.

For each program: a 32-bit x86 (i386) console executable, or with --x86-64 an x86-64 (PE32+) one;
imports from system DLLs only (the C++ runtime is linked in statically, so nothing beside the .exe
is needed); and, in the 32-bit build, every function that Windows calls back has the stdcall
decoration with the argument size Windows calls it with. A callback that loses CALLBACK or WINAPI
still compiles (it is cast to the pointer type), but becomes cdecl: the caller's stack is then
unbalanced by its arguments on every call, which is a crash on 32-bit Windows only, and invisible
in every 64-bit build (x86-64 has one calling convention, and no decorations to read).

The decorations are read from the COFF symbol table of the program's unstripped copy
(melvixhost.unstripped.exe, the linker's output): unlike a map file, it lists the functions local
to one source file too. The program that ships is that copy stripped: it must hold the same
sections with the same bytes and entry point, no symbols and no debug sections, and a
.gnu_debuglink. Neither has a time stamp in its PE header, which would make the build
irreproducible.

Each program also carries a version resource whose versions are the host's kHostVersion and whose
original file name is its own, and the manifest of cmake/program.manifest: asInvoker, the
supportedOS entries of Windows 7 to 11, and nothing else that changes how Windows runs it. With
INSTALLER, the installer's version resource and manifest are checked too.

usage: pe_audit.py [--x86-64] BUILD_DIR [INSTALLER]    (the `windows` or `windows64` build folder)
"""
import os
import re
import struct
import sys
import xml.etree.ElementTree as ElementTree

PROGRAMS = ("host/melvixhost.exe", "reg/melvixreg.exe", "play/melvixplay.exe",
            "check/melvixcheck.exe")

# Functions Windows calls back, as (program, name, argument bytes): the name is the function's
# qualified name, or its end ("runThread" finds "(anonymous namespace)::runThread"). Update this
# when a callback is added, renamed or moved; a name that is not found fails the audit.
CALLBACKS = (
    ("host/melvixhost.exe", "InputCallback", 20),  # midiInOpen's callback: five arguments
    ("host/melvixhost.exe", "runThread", 4),  # CreateThread's procedures: one argument
    ("host/melvixhost.exe", "BufferGiver::Run", 4),
)

# Lower case; a name ending in "*" stands for every name that begins with what precedes it.
ALLOWED_DLLS = ("kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
                "winmm.dll", "msvcrt.dll", "ucrtbase.dll", "api-ms-win-crt-*")

# The version every program and the installer must carry: the one melvixhost reports.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../host/command_handlers.h"),
          encoding="utf-8") as header:
    VERSION = re.search(r'kHostVersion = "([^"]+)"', header.read()).group(1)
VERSION_NUMBERS = tuple(int(n) for n in VERSION.split(".")) + (0,) * (4 - VERSION.count(".") - 1)

# The manifest's supportedOS entries: Windows 7, 8, 8.1, and 10 (which 11 shares).
SUPPORTED_OS = {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}
# The manifest's only elements: anything else (dpiAware, longPathAware, activeCodePage, a
# dependency on common controls, ...) changes how Windows runs the program.
MANIFEST_ELEMENTS = {"assembly", "trustInfo", "security", "requestedPrivileges",
                     "requestedExecutionLevel", "compatibility", "application", "supportedOS"}
RT_VERSION = 16
RT_MANIFEST = 24

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
IMAGE_SCN_CNT_CODE = 0x20


class Image:
    """The parts of a PE file the audit reads."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = data = f.read()
        if data[:2] != b"MZ":
            raise ValueError("not an executable (no MZ header)")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        (self.machine, sections, self.timestamp, symbols_at, self.symbol_count, optional_size,
         _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        self.pe32, self.pe32_plus = magic == 0x10B, magic == 0x20B
        self.entry = struct.unpack_from("<I", data, optional + 16)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        # The data directories follow PE32's 96 bytes of fields (PE32+'s 112): the second is the
        # import table, the third the resources.
        fields = 96 if self.pe32 else 112 if self.pe32_plus else None
        self.imports_rva, self.resources_rva = struct.unpack_from(
            "<I4xI", data, optional + fields + 8) if fields else (0, 0)
        self.sections = []  # (virtual address, virtual size, file offset, characteristics)
        self.contents = {}  # section name: (virtual address, virtual size, the bytes in the file)
        for i in range(sections):
            at = optional + optional_size + 40 * i
            size, rva, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((rva, size, raw, struct.unpack_from("<I", data, at + 36)[0]))
            name = self.section_name(data[at:at + 8], symbols_at + 18 * self.symbol_count)
            self.contents[name] = (rva, size, data[raw:raw + min(size, raw_size)])
        self.symbols_at = symbols_at

    def section_name(self, field, strings):
        # A long name ("/4") is an offset into the string table after the symbols.
        name = field.rstrip(b"\0").decode("latin-1")
        if name.startswith("/") and name[1:].isdigit():
            return self.string(strings + int(name[1:]))
        return name

    def offset(self, rva):
        for start, size, raw, _ in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"address {rva:#x} lies in no section")

    def string(self, at):
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def imported_dlls(self):
        dlls = []
        at = self.offset(self.imports_rva) if self.imports_rva else None
        while at is not None:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, at)
            if not (lookup or name or thunks):
                break
            dlls.append(self.string(self.offset(name)))
            at += 20
        return dlls

    def resources(self):
        """{(type, name): data} of the resources named by number, the first language of each."""
        found = {}
        if not self.resources_rva:
            return found
        root = self.offset(self.resources_rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<12xHH", self.data, root + directory)
            for i in range(named + numbered):
                name, to = struct.unpack_from("<II", self.data, root + directory + 16 + 8 * i)
                if not name & 0x80000000:
                    yield name, to

        for kind, names in entries(0):
            for name, languages in entries(names & 0x7FFFFFFF):
                for _, leaf in entries(languages & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, root + leaf)
                    found[(kind, name)] = self.data[self.offset(rva):self.offset(rva) + size]
                    break
        return found

    def code_symbols(self):
        """The names of the symbols that lie in code sections."""
        strings = self.symbols_at + 18 * self.symbol_count
        names, i = [], 0
        while i < self.symbol_count:
            at = self.symbols_at + 18 * i
            short, section, aux = struct.unpack_from("<8s4xhxxxB", self.data, at)
            if 0 < section <= len(self.sections) and \
                    self.sections[section - 1][3] & IMAGE_SCN_CNT_CODE:
                if short[:4] == b"\0\0\0\0":
                    names.append(self.string(strings + struct.unpack_from("<I", short, 4)[0]))
                else:
                    names.append(short.rstrip(b"\0").decode("latin-1"))
            i += 1 + aux
        return names


def version_info(data):
    """(VS_FIXEDFILEINFO's file and product versions as four numbers each, {string: value}) of a
    VS_VERSIONINFO resource."""
    strings, fixed = {}, None

    def walk(at, end, depth):
        nonlocal fixed
        while at < end:
            length, value_length, is_text = struct.unpack_from("<HHH", data, at)
            if not length:
                break
            key_end = at + 6
            while data[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = data[at + 6:key_end].decode("utf-16-le")
            value_at = (key_end + 2 + 3) & ~3
            value_size = value_length * 2 if is_text else value_length
            value = data[value_at:value_at + value_size]
            if depth == 0 and value_size >= 52:
                signature, _, *versions = struct.unpack_from("<IIIIII", value)
                if signature == 0xFEEF04BD:
                    fixed = tuple((v >> shift) & 0xFFFF for v in versions
                                  for shift in (16, 0))
            elif depth == 3:  # StringFileInfo > a language's StringTable > a string
                strings[key] = value.decode("utf-16-le").rstrip("\0")
            walk((value_at + value_size + 3) & ~3, at + length, depth + 1)
            at = (at + length + 3) & ~3

    walk(0, len(data), 0)
    return fixed, strings


def version_faults(image, original_name, product=None):
    """What is wrong with an image's version resource: its versions must be the host's, its
    original file name the file's own, and its names given (PRODUCT: the programs' names that
    the installer must share, as {string: value})."""
    try:
        data = image.resources().get((RT_VERSION, 1))
    except (ValueError, struct.error) as e:
        return [f"its resources cannot be read: {e}"], None
    if data is None:
        return ["has no version resource"], None
    fixed, strings = version_info(data)
    faults = []
    if fixed is None or fixed[:4] != VERSION_NUMBERS or fixed[4:] != VERSION_NUMBERS:
        faults.append(f"version resource's fixed file and product versions are {fixed}, not "
                      f"{VERSION_NUMBERS} twice (kHostVersion {VERSION})")
    for key in ("FileVersion", "ProductVersion"):
        if strings.get(key) != VERSION:
            faults.append(f"version resource's {key} is {strings.get(key)!r}, not {VERSION!r}")
    if original_name and strings.get("OriginalFilename") != original_name:
        faults.append(f"version resource's OriginalFilename is {strings.get('OriginalFilename')!r}"
                      f", not {original_name!r}")
    for key in ("ProductName", "CompanyName", "FileDescription"):
        if not strings.get(key):
            faults.append(f"version resource has no {key}")
        elif product and key in product and strings[key] != product[key]:
            faults.append(f"version resource's {key} is {strings[key]!r}, the programs' is "
                          f"{product[key]!r}")
    return faults, strings


def manifest_faults(image, elements=MANIFEST_ELEMENTS):
    """What is wrong with an image's application manifest, which may hold ELEMENTS only."""
    try:
        data = image.resources().get((RT_MANIFEST, 1))
    except (ValueError, struct.error):
        data = None
    if data is None:
        return ["has no application manifest (resource 1 of type RT_MANIFEST)"]
    try:
        root = ElementTree.fromstring(data)
    except ElementTree.ParseError as e:
        return [f"its manifest is no valid XML: {e}"]
    local = lambda element: element.tag.rpartition("}")[2]
    faults = [f"its manifest has <{local(e)}>, which changes how Windows runs it"
              for e in root.iter() if local(e) not in elements]
    levels = [(e.get("level"), e.get("uiAccess", "false")) for e in root.iter()
              if local(e) == "requestedExecutionLevel"]
    if levels != [("asInvoker", "false")]:
        faults.append(f"its manifest asks for {levels}, not asInvoker without uiAccess")
    systems = {e.get("Id", "").lower() for e in root.iter() if local(e) == "supportedOS"}
    if systems != SUPPORTED_OS:
        faults.append(f"its manifest's supportedOS are {sorted(systems)}, not Windows 7 to 11's "
                      f"{sorted(SUPPORTED_OS)}")
    return faults


def function_name(symbol):
    """(qualified name, argument bytes or None) of a function's symbol, or None for any other
    symbol: "_ZN11BufferGiver3RunEPv@4" gives ("BufferGiver::Run", 4)."""
    if "." in symbol:  # pieces GCC split off a function (.cold), and section symbols
        return None
    name, at, size = symbol.partition("@")
    arguments = int(size) if at and size.isdigit() else None
    name = name[1:] if name.startswith("_") else name  # the i386 C prefix
    if not name.startswith("_Z"):
        return (name, arguments) if re.fullmatch(r"[A-Za-z_]\w*", name) else None
    nested = name.startswith("_ZN")
    rest, parts = name[3:].lstrip("rVK") if nested else name[2:], []
    # The name's parts, each written as its length and its text: "11BufferGiver3Run".
    while (length := re.match(r"\d+", rest)) and (nested or not parts):
        end = length.end() + int(length.group())
        parts.append(rest[length.end():end])
        rest = rest[end:]
    if not parts or (nested and not rest.startswith("E")):
        return None  # a template, a constructor, an operator, a local entity: no callbacks here
    return "::".join("(anonymous namespace)" if p.startswith("_GLOBAL__N") else p
                     for p in parts), arguments


def stripping_faults(shipped, unstripped):
    """What is wrong with a shipped program made from its unstripped copy: it must hold the same
    code and data, and no symbols or debug information."""
    faults = []
    if shipped.symbol_count:
        faults.append(f"ships with a symbol table of {shipped.symbol_count} entries")
    debug = sorted(n for n in shipped.contents if n.startswith(".debug"))
    if debug:
        faults.append(f"ships with debug sections {' '.join(debug)}")
    kept = {n: c for n, c in unstripped.contents.items() if not n.startswith(".debug")}
    for name, (rva, size, data) in kept.items():
        if name not in shipped.contents:
            faults.append(f"ships without the section {name} of its unstripped copy")
        elif shipped.contents[name] != (rva, size, data):
            faults.append(f"its section {name} differs from the unstripped copy's")
    added = set(shipped.contents) - set(kept) - {".gnu_debuglink"}
    if added:
        faults.append(f"ships with sections its unstripped copy lacks: {' '.join(sorted(added))}")
    if ".gnu_debuglink" not in shipped.contents:
        faults.append("has no .gnu_debuglink naming the file that keeps its symbols")
    if shipped.entry != unstripped.entry:
        faults.append(f"its entry point {shipped.entry:#x} is not the unstripped copy's "
                      f"{unstripped.entry:#x}")
    return faults


def audit(build, program, x86_64=False):
    """The audit's findings on one program, empty when it passes, and a line saying what passed.
    The program as it ships is read, and the callbacks in its unstripped copy's symbols."""
    try:
        image = Image(f"{build}/{program}")
        unstripped = Image(f"{build}/{program[:-len('.exe')]}.unstripped.exe")
    except (OSError, ValueError, struct.error) as e:
        return [f"cannot read it: {e}"], ""
    faults = stripping_faults(image, unstripped)
    for what, stamped in (("", image), (" of the unstripped copy", unstripped)):
        if stamped.timestamp:
            faults.append(f"the PE header{what} has the time stamp {stamped.timestamp}, not 0: a "
                          "program built at another time would differ")
    if x86_64 and (image.machine != IMAGE_FILE_MACHINE_AMD64 or not image.pe32_plus):
        faults.append(f"machine {image.machine:#x}, not an x86-64 (0x8664) PE32+ executable")
    elif not x86_64 and (image.machine != IMAGE_FILE_MACHINE_I386 or not image.pe32):
        faults.append(f"machine {image.machine:#x}, not a 32-bit x86 (i386, 0x14c) PE32 executable")
    if image.subsystem != IMAGE_SUBSYSTEM_WINDOWS_CUI:
        faults.append(f"subsystem {image.subsystem}, not a console program (3)")
    dlls = image.imported_dlls()
    for dll in dlls:
        if not any(dll.lower().startswith(a[:-1]) if a.endswith("*") else dll.lower() == a
                   for a in ALLOWED_DLLS):
            faults.append(f"imports {dll}, which is no system DLL: link it statically, or add it "
                          "to ALLOWED_DLLS if Windows itself provides it")
    expected = [(name, size) for p, name, size in CALLBACKS if p == program and not x86_64]
    if expected and not unstripped.symbol_count:
        faults.append("its unstripped copy has no symbol table: its callbacks cannot be checked")
    elif expected:
        functions = [f for f in map(function_name, unstripped.code_symbols()) if f]
        for name, size in expected:
            found = [f for f in functions if f[0] == name or f[0].endswith("::" + name)]
            if not found:
                faults.append(f"no function {name} among its symbols: if it was renamed or "
                              f"removed, update CALLBACKS in {__file__}")
            for function, arguments in found:
                if arguments is None:
                    faults.append(f"{function} has no stdcall decoration: it is cdecl, but Windows "
                                  f"calls it as stdcall with {size} bytes of arguments "
                                  "(CALLBACK or WINAPI lost?)")
                elif arguments != size:
                    faults.append(f"{function} takes {arguments} bytes of arguments "
                                  f"(@{arguments}), but Windows calls it with {size} (@{size})")
    version, strings = version_faults(image, os.path.basename(program))
    faults += version + manifest_faults(image)
    calls = "".join(f", {n}@{s}" for n, s in expected)
    machine = "x86-64" if x86_64 else "i386"
    imports = " ".join(sorted(dlls, key=str.lower))
    return faults, (f"{machine} console program, imports {imports}{calls}"
                    f", version {VERSION} ({(strings or {}).get('FileDescription')}), manifest, "
                    f"stripped ({len(image.data)} of {len(unstripped.data)} bytes)")


def audit_installer(installer, product):
    """The installer's findings, and a line saying what passed: its version resource, and NSIS's
    manifest, which must ask for no more than the programs' do, but for the common controls of
    Windows' visual styles, which its pages are drawn with (Modern UI turns them on)."""
    try:
        image = Image(installer)
    except (OSError, ValueError, struct.error) as e:
        return [f"cannot read it: {e}"], ""
    faults, _ = version_faults(image, None, product)
    faults += manifest_faults(image, MANIFEST_ELEMENTS | {
        "assemblyIdentity", "description", "dependency", "dependentAssembly"})
    root = ElementTree.fromstring(image.resources()[(RT_MANIFEST, 1)]) if not faults else None
    local = lambda element: element.tag.rpartition("}")[2]
    for assembly in [] if root is None else [e for e in root.iter()
                                             if local(e) == "dependentAssembly"]:
        names = [e.get("name") for e in assembly if local(e) == "assemblyIdentity"]
        if names != ["Microsoft.Windows.Common-Controls"]:
            faults.append(f"its manifest depends on {names}, not only on the common controls")
    return faults, f"version {VERSION}, manifest"


def main():
    x86_64 = sys.argv[1:2] == ["--x86-64"]
    if x86_64:
        del sys.argv[1]
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__.strip().splitlines()[-1])
    failed = False

    def report(name, faults, passed):
        nonlocal failed
        failed = failed or bool(faults)
        print(f"{name}: " + ("FAILED" if faults else passed))
        for fault in faults:
            print(f"  - {fault}")

    for program in PROGRAMS:
        report(program, *audit(sys.argv[1], program, x86_64))
    if len(sys.argv) == 3:
        # The installer names the product as the programs do.
        try:
            _, product = version_faults(Image(f"{sys.argv[1]}/{PROGRAMS[0]}"), None)
        except (OSError, ValueError, struct.error):
            product = None
        product = {k: v for k, v in (product or {}).items() if k in ("ProductName", "CompanyName")}
        report(sys.argv[2], *audit_installer(sys.argv[2], product))
    missing = {p for p, _, _ in CALLBACKS} - set(PROGRAMS)
    if missing:
        print(f"CALLBACKS names programs the audit does not read: {' '.join(sorted(missing))}")
        failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
