"""SetQuillet.exe under Wine: its console output byte for byte (msvcrt writes each line end
as CR LF), its exit code (1 only after a failed registry call) and what lands in the real
registry, read back with `wine reg query`.

    setquillet_test.py WIN32_BUILD_DIR WIN64_BUILD_DIR
"""
import re
import sys

from winelib import Checks, Session

KEY = r"HKCU\Software\Dorvane\Quillet"
USAGE = ("SetQuillet <port> [<baudrate>]\n"
         "   <port> ::= usb | com1..com8\n"
         "   <baudrate> ::= 2400..115200 (only for com1..com8)\n"
         " Current setting: ")
UNSET = "unknown or no port set"


def dword(value):
    return ("REG_DWORD", "0x%x" % (value & 0xFFFFFFFF))


# Each case: what is stored before (None: nothing), the arguments, the output, what is
# stored after. The arguments' rules are the unit tests'; here msvcrt's console (CR LF, the
# missing line end, a negative rate), the exit code and the real registry decide.
CASES = [
    (None, [], USAGE + UNSET, None),
    (None, ["com5", "9600"], "", (5, 9600)),
    ((9, 0), ["com3", "-5"], USAGE + "usb\n", (3, -5)),
    ((3, -5), [], USAGE + "com3 with illegal -5 bps\n", (3, -5)),
]


def store(session, setting):
    text = "[-HKEY_CURRENT_USER\\Software\\Dorvane]\n"
    if setting is not None:
        text += ("[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet]\n"
                 '"Port"=dword:%08x\n"Baudrate"=dword:%08x\n'
                 % (setting[0] & 0xFFFFFFFF, setting[1] & 0xFFFFFFFF))
    session.reg_import(text)


def stored(session):
    values = session.reg_values(KEY)
    if values is None:
        return None
    return values.get("Port"), values.get("Baudrate")


def main():
    checks = Checks()
    with Session({"win32": sys.argv[1], "win64": sys.argv[2]}) as session:
        for before, args, output, after in CASES:
            what = "SetQuillet %s (stored before: %s)" % (" ".join(args) or "-", before)
            store(session, before)
            result = session.wine("SetQuillet.exe", *args)
            checks.equal(what + ": exit code", 0, result.returncode)
            checks.equal(what + ": output", output.replace("\n", "\r\n").encode(), result.stdout)
            expected = None if after is None else (dword(after[0]), dword(after[1]))
            checks.equal(what + ": stored", expected, stored(session))

        # A key that cannot be created: below a volatile key no lasting key may be made.
        # Each failed call prints the system's own text; nothing is stored.
        store(session, None)
        checks.equal("volatile parent made", 0,
                     session.wine("volatilekey.exe", r"Software\Dorvane").returncode)
        result = session.wine("SetQuillet.exe", "com5", "9600")
        checks.equal("failed create: exit code", 1, result.returncode)
        checks.true("failed create: output is one LastError line, got %r" % result.stdout,
                    re.fullmatch(rb"\r\nLastError: [^\n]+\n\r\n", result.stdout) is not None)
        checks.equal("failed create: stored", None, stored(session))
        result = session.wine("SetQuillet.exe")
        checks.equal("usage below the volatile key", (USAGE + UNSET).replace("\n", "\r\n").encode(),
                     result.stdout)
        checks.equal("usage below the volatile key: exit code", 0, result.returncode)
    checks.finish()


if __name__ == "__main__":
    main()
