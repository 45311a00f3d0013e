#!/usr/bin/env python3
"""Checks the shipped 32-bit Windows programs by reading them: no 32-bit program runs on a machine
whose kernel refuses 32-bit x86 code, so the Wine stage cannot run these very files there.

For each program: a 32-bit x86 (i386) console executable; imports from system DLLs only (the C++
runtime is linked in statically, so nothing beside the .exe is needed); and every function that
Windows calls back has the stdcall decoration with the argument size Windows calls it with. A
callback that loses CALLBACK or WINAPI still compiles (it is cast to the pointer type), but becomes
cdecl: the caller's stack is then unbalanced by its arguments on every call, which is a crash on
32-bit Windows only, and invisible in every 64-bit build.

The decorations are read from the executable's own COFF symbol table, which the MinGW linker
keeps: unlike its map file, it lists the functions local to one source file too.

usage: pe_audit.py BUILD_DIR    (the `windows` preset's build folder)
"""
import re
import struct
import sys

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

IMAGE_FILE_MACHINE_I386 = 0x14C
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
        (self.machine, sections, symbols_at, self.symbol_count, optional_size,
         _) = struct.unpack_from("<HHxxxxIIHH", data, pe + 4)
        optional = pe + 24
        self.pe32 = struct.unpack_from("<H", data, optional)[0] == 0x10B
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        # The import table's data directory: the second entry, after PE32's 96 bytes of fields.
        self.imports_rva = struct.unpack_from("<I", data, optional + 96 + 8)[0] if self.pe32 else 0
        self.sections = []  # (virtual address, virtual size, file offset, characteristics)
        for i in range(sections):
            at = optional + optional_size + 40 * i
            size, rva, _, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((rva, size, raw, struct.unpack_from("<I", data, at + 36)[0]))
        self.symbols_at = symbols_at

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


def audit(build, program):
    """The audit's findings on one program, empty when it passes, and a line saying what passed."""
    try:
        image = Image(f"{build}/{program}")
    except (OSError, ValueError, struct.error) as e:
        return [f"cannot read it: {e}"], ""
    faults = []
    if image.machine != IMAGE_FILE_MACHINE_I386 or not image.pe32:
        faults.append(f"machine {image.machine:#x}, not a 32-bit x86 (i386, 0x14c) PE32 executable")
    if image.subsystem != IMAGE_SUBSYSTEM_WINDOWS_CUI:
        faults.append(f"subsystem {image.subsystem}, not a console program (3)")
    dlls = image.imported_dlls()
    for dll in dlls:
        if not any(dll.lower().startswith(a[:-1]) if a.endswith("*") else dll.lower() == a
                   for a in ALLOWED_DLLS):
            faults.append(f"imports {dll}, which is no system DLL: link it statically, or add it "
                          "to ALLOWED_DLLS if Windows itself provides it")
    expected = [(name, size) for p, name, size in CALLBACKS if p == program]
    if expected and not image.symbol_count:
        faults.append("has no symbol table (stripped?): its callbacks cannot be checked")
    elif expected:
        functions = [f for f in map(function_name, image.code_symbols()) if f]
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
    calls = "".join(f", {n}@{s}" for n, s in expected)
    return faults, f"i386 console program, imports {' '.join(sorted(dlls, key=str.lower))}{calls}"


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    failed = False
    for program in PROGRAMS:
        faults, passed = audit(sys.argv[1], program)
        failed = failed or bool(faults)
        print(f"{program}: " + ("FAILED" if faults else passed))
        for fault in faults:
            print(f"  - {fault}")
    missing = {p for p, _, _ in CALLBACKS} - set(PROGRAMS)
    if missing:
        print(f"CALLBACKS names programs the audit does not read: {' '.join(sorted(missing))}")
        failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
