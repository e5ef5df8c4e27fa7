"""Shared by the Wine end-to-end tests: a fresh Wine prefix on a display of its own, the
Windows programs laid out as a user installs them (beside HSAPI.dll and USBPort.dll, here
the stand-ins), the simulated handheld on a pty behind COM1 or COM2, and checks that name
what went wrong.

The programs that ship are 32-bit, and a 32-bit prefix runs them wherever the kernel runs
32-bit x86 code. Where it does not, the same sources built for x86-64 (the win64 preset)
run in a 64-bit prefix instead. QUILLET_WINE_ARCH=win32 or win64 makes the choice by hand.
Run on its own, this file prints the choice for this machine (tools/test.sh builds by it).
"""
import errno
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

PROGRAMS = ("Quillet.exe", "SetQuillet.exe")
# ctest's SKIP_RETURN_CODE for these tests.
SKIPPED = 77
TEST_FILES = ("HSAPI.dll", "USBPort.dll", "msgbox.exe", "clip.exe", "volatilekey.exe")


class Checks:
    """Collects failed checks so that one run reports all of them."""

    def __init__(self):
        self.failures = []

    def fail(self, message):
        self.failures.append(message)
        print("FAIL: " + message, flush=True)

    def equal(self, what, expected, actual):
        if expected != actual:
            self.fail("%s: expected %r, got %r" % (what, expected, actual))

    def true(self, what, condition):
        if not condition:
            self.fail(what)

    def finish(self):
        if self.failures:
            sys.exit("%d check(s) failed" % len(self.failures))
        print("all checks passed")


def windows_path(path):
    """The prefix maps drive Z: to the Unix root."""
    return "Z:" + path.replace("/", "\\")


ARCHES = ("win32", "win64")
# Debian's two loaders (wine32:i386, wine64); its `wine` takes the 32-bit one whenever that
# is installed, whether or not the kernel can run it, so the 64-bit one is called by name.
WINE32_LOADER = "/usr/lib/wine/wine"
WINE64_LOADER = "/usr/lib/wine/wine64"


def i386_exit_program():
    """A static i386 ELF program that only exits with 0 (xor ebx,ebx; mov eax,1;
    int 0x80), so that trying it needs no 32-bit library installed."""
    base = 0x08048000
    code = bytes([0x31, 0xDB, 0xB8, 1, 0, 0, 0, 0xCD, 0x80])
    size = 52 + 32 + len(code)  # ELF header, one program header, the code
    header = struct.pack("<4s5B7xHHIIIIIHHHHHH", b"\x7fELF", 1, 1, 1, 0, 0, 2, 3, 1,
                         base + 52 + 32, 52, 0, 0, 52, 32, 1, 0, 0, 0)
    segment = struct.pack("<8I", 1, 0, base, base, size, size, 5, 0x1000)
    return header + segment + code


def runs_32bit_code():
    """Whether the kernel runs 32-bit x86 programs. Some kernels and sandboxes leave the
    ia32 support out, and every 32-bit program then fails with ENOEXEC."""
    with tempfile.TemporaryDirectory(prefix="quillet-i386-") as scratch:
        path = os.path.join(scratch, "exit0")
        with open(path, "wb") as f:
            f.write(i386_exit_program())
        os.chmod(path, 0o700)
        try:
            return subprocess.run([path], timeout=10).returncode == 0
        except OSError as error:
            if error.errno != errno.ENOEXEC:
                raise
            return False


def win32_unavailable():
    """Why Wine cannot run 32-bit programs here, or None when it can."""
    if not os.access(WINE32_LOADER, os.X_OK):
        return "32-bit Wine (%s) is not installed" % WINE32_LOADER
    if not runs_32bit_code():
        return "this machine's kernel runs no 32-bit x86 programs (Exec format error)"
    return None


def wine_arch():
    """win32 or win64: QUILLET_WINE_ARCH when set, else win32 wherever Wine can run 32-bit
    programs, else win64."""
    chosen = os.environ.get("QUILLET_WINE_ARCH", "")
    if chosen:
        if chosen not in ARCHES:
            sys.exit("QUILLET_WINE_ARCH is %r; it must be win32 or win64" % chosen)
        return chosen
    return "win64" if win32_unavailable() else "win32"


def wine_loader(arch):
    """The command that starts Windows programs in a prefix of arch, or None without Wine."""
    names = ("wine",) if arch == "win32" else ("wine64", WINE64_LOADER, "wine")
    return next(filter(None, map(shutil.which, names)), None)


def skip(reason):
    print("SKIP: " + reason, flush=True)
    sys.exit(SKIPPED)


class Session:
    """One prefix, one Xvfb, one persistent wineserver and a clipboard keeper."""

    def __init__(self, build_dirs, handheld_sim=None):
        """build_dirs: {arch: the build tree of that arch's preset}."""
        self.handheld_sim = handheld_sim
        arch = wine_arch()
        self.loader = wine_loader(arch)
        if self.loader is None:
            skip("no Wine installed (wine, wine64)")
        reason = win32_unavailable() if arch == "win32" else None
        if reason:
            skip(reason + ", so Wine cannot start the win32 programs; QUILLET_WINE_ARCH=win64 "
                 "runs the 64-bit build")
        build = build_dirs[arch]
        files = [os.path.join(build, name) for name in PROGRAMS]
        files += [os.path.join(build, "wine-test", name) for name in TEST_FILES]
        missing = [path for path in files if not os.path.isfile(path)]
        if handheld_sim and not os.access(handheld_sim, os.X_OK):
            missing.append(handheld_sim)
        if missing:
            sys.exit("missing %s: build the %s preset (cmake --preset %s && cmake --build "
                     "--preset %s) and the native tree first"
                     % (", ".join(missing), arch, arch, arch))
        print("the %s programs of %s in a %s prefix, started by %s"
              % (arch, build, arch, self.loader), flush=True)
        self.root = tempfile.mkdtemp(prefix="quillet-wine-")
        self.app = os.path.join(self.root, "app")  # the handheld's desktop software folder
        os.mkdir(self.app)
        for path in files:
            shutil.copy(path, self.app)
        self.log = os.path.join(self.root, "calls.log")
        self.xvfb = None
        self.keeper = None
        self.env = {name: value for name, value in os.environ.items()
                    if name not in ("HS_SYNC", "HS_SETTLE_MS", "USB_PORT", "STANDIN_LOG")}
        # Wine keeps its server's folder under TMPDIR: in the root, it goes with the root.
        os.mkdir(os.path.join(self.root, "tmp"))
        self.env.update(WINEPREFIX=os.path.join(self.root, "prefix"), WINEARCH=arch,
                        TMPDIR=os.path.join(self.root, "tmp"),
                        WINEDEBUG="-all", LC_ALL="C.UTF-8",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _start(self):
        read_end, write_end = os.pipe()
        # -noreset: a bare Xvfb resets whenever its last client leaves, and drops a
        # connection that is being set up just then (see start_x in desktop-lib.sh).
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24",
             "-nolisten", "tcp", "-noreset"], pass_fds=[write_end],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as display:
            number = display.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.env["DISPLAY"] = ":" + number
        self.wine("wineboot", "-i", timeout=120)
        self.reg_add(r"HKCU\Software\Wine\WineDbg", "ShowCrashDialog", "REG_DWORD", "0")
        # Xvfb has no window manager: a window that Wine hands to one waits 2 s for it
        # when it closes.
        self.reg_add(r"HKCU\Software\Wine\X11 Driver", "Managed", "REG_SZ", "N")
        for port in ("COM1", "COM2"):  # each a link that a test points at its pty
            self.reg_add(r"HKLM\Software\Wine\Ports", port, "REG_SZ", self.port_link(port))
        self.run(["wineserver", "-k"])
        # Persistent: every run then starts in hundredths of a second. It would hold any
        # standard output it is given open for good.
        subprocess.run(["wineserver", "-p"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)
        self.keeper = subprocess.Popen([self.loader, "clip.exe", "keep"], cwd=self.app, env=self.env,
                                       stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)

    def close(self):
        if self.keeper:
            self.keeper.stdin.close()
            self.keeper.wait(timeout=10)
        if os.path.isdir(self.env["WINEPREFIX"]):
            subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30)
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=10)
        shutil.rmtree(self.root, ignore_errors=True)

    def port_link(self, port):
        return os.path.join(self.root, port.lower())

    def run(self, argv, extra_env=None, timeout=30):
        """Runs argv with the session's environment; standard output and error kept. They
        go through files, not pipes: Wine's own background processes, started by the
        first program, inherit them and would hold a pipe open."""
        env = dict(self.env, **(extra_env or {}))
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run(argv, cwd=self.app, env=env, stdout=out, stderr=err,
                                  timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(argv, code, out.read(), err.read())

    def wine(self, program, *args, extra_env=None, timeout=30):
        return self.run([self.loader, program, *args], extra_env, timeout)

    def reg_add(self, key, name, kind, data):
        result = self.wine("reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f")
        if result.returncode != 0:
            raise RuntimeError("reg add %s %s failed (%d): %s" % (
                key, name, result.returncode, (result.stdout + result.stderr)[-2000:]))

    def reg_import(self, text):
        """Imports registry text (the lines after the header of a .reg file)."""
        path = os.path.join(self.root, "import.reg")
        with open(path, "w") as f:
            f.write("Windows Registry Editor Version 5.00\n\n" + text)
        if self.wine("reg", "import", windows_path(path)).returncode != 0:
            raise RuntimeError("reg import failed:\n" + text)

    def reg_values(self, key):
        """The key's values as {name: (type, data)}, or None when the key is missing."""
        result = self.wine("reg", "query", key)
        if result.returncode != 0:
            return None
        values = {}
        for line in result.stdout.decode("latin-1").splitlines():
            match = re.match(r"\s+(\S+)\s+(REG_\w+)\s+(.*)$", line)
            if match:
                values[match.group(1)] = (match.group(2), match.group(3).strip())
        return values

    def clipboard(self):
        """The Windows clipboard's CF_TEXT bytes, or None when it holds no text."""
        result = self.wine("clip.exe", "get")
        text = result.stdout.decode().strip()
        return None if text == "none" else bytes.fromhex(text)

    def set_clipboard(self, data):
        self.wine("clip.exe", *(["clear"] if data is None else ["set", data.hex()]))

    def calls(self):
        """The stand-ins' log: a list of (time, call)."""
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [(float(line.split(" ", 1)[0]), line.split(" ", 1)[1].rstrip("\n"))
                    for line in f if line.strip()]

    def next_box(self, wait_ms, keep=False):
        """The next message box of Quillet as (icon, text), pressing its OK unless keep; None
        when none appears within wait_ms."""
        args = ["--keep"] if keep else []
        result = self.wine("msgbox.exe", *args, str(wait_ms), timeout=wait_ms / 1000 + 30)
        if result.returncode != 0:
            return None
        icon, _, text = result.stdout.decode().rstrip("\r\n").partition(" ")
        return icon, bytes.fromhex(text).decode("latin-1")


class Handheld:
    """handheld-sim on a fresh pty linked where a COM port of the prefix points. Its
    progress lines are kept with the time each arrived."""

    def __init__(self, session, port, args, timeout_ms=15000):
        self.link = session.port_link(port)
        self.events = []
        self.output = b""
        self.process = subprocess.Popen(
            [session.handheld_sim, "--pty", self.link, "--timeout", str(timeout_ms), *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.readers = [threading.Thread(target=self._read_events),
                        threading.Thread(target=self._read_output)]
        for reader in self.readers:
            reader.start()
        deadline = time.time() + 5
        while not self.seen("waiting for the host") and time.time() < deadline:
            time.sleep(0.01)

    def _read_events(self):
        for line in self.process.stderr:
            self.events.append((time.time(), line.decode("latin-1").rstrip("\n")))

    def _read_output(self):
        self.output = self.process.stdout.read()

    def seen(self, text):
        """When the simulator first reported text, or None."""
        return next((moment for moment, line in self.events if text in line), None)

    def finish(self, timeout=20):
        try:
            status = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        for reader in self.readers:
            reader.join()
        return status


if __name__ == "__main__":
    print(wine_arch())
