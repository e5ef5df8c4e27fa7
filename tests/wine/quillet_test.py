"""Quillet.exe under Wine, end to end: the real registry, COM1 (or USB through the stand-in
USBPort.dll behind COM2) with the simulated handheld on a pty, the Windows clipboard, every
message box's text and icon, the exit code and the calls into the stand-in libraries.

    quillet_test.py WIN32_BUILD_DIR WIN64_BUILD_DIR HANDHELD_SIM
"""
import os
import subprocess
import sys
import time

from winelib import Checks, Handheld, Session, windows_path

SETTINGS_UNSET = "Registry values unset.\nRun SetQuillet from console!\n"
SYNC_RUNNING = "HotSync in progress"
PORT_FAILED = "Unable open to communication port"
TIMEOUT = "Timeout"

CHECK = "HsCheckApiStatus -> 0"
STATUS = "HsGetSyncStatus 0 -> 0"
SHUTDOWN = "HsSetAppStatus 0 0 -> 0"
RESTART = "HsSetAppStatus 1 0 -> 0"
STOPPED = [CHECK, STATUS, SHUTDOWN]
USB_FOUND = ["PalmUsbGetAttachedDevices null 10 -> 8 0",
             "PalmUsbGetAttachedDevices list 10 -> 0 1",
             'PalmUsbOpenPort "PalmUSB0" 0 -> open',
             "PalmUsbSetTimeouts 50 50 -> 0"]
SERIAL = ["com1", "57600"]
USB = ["usb"]
BEFORE = b"left from before"  # the clipboard when a case starts, unless it says otherwise


def case(name, **fields):
    """A case with its defaults: serial COM1 at 57600, the handheld (handheld-sim's
    arguments in sim) on COM1, HotSync Manager stopped and started again, no message, exit
    code 0, the clipboard unchanged."""
    result = dict(name=name, setting=SERIAL, sim=None, port="COM1", env={},
                  clipboard=BEFORE, x_clipboard=None, boxes=[], exit=0,
                  calls=STOPPED + [RESTART], after=BEFORE, x_after=None, received=None,
                  sim_status=0, order=False, hold_first=False)
    result.update(fields)
    return result


def file_arg(name, data):
    """Writes data for handheld-sim's --send-file; the path is filled in per session."""
    return ("file", name, data)


# The logic's cases (line ends, length fields, command words, HotSync Manager's answers,
# settings, the USB search) are the unit tests'; here Windows decides: the real registry,
# COM ports, clipboard, message boxes and the stand-in libraries imported by name.
CASES = [
    # Both directions and the line ends; the first also checks, by the clock, that the port
    # opens only after HotSync Manager stopped and closes before it starts again.
    case("handheld to PC: LF becomes CR LF", sim=["--send", "a\nbc\n"],
         after=b"a\r\nbc\r\n", order=True),
    case("handheld to PC: the longest text", after=b"q" * 32766,
         sim=["--send-file", file_arg("longest", b"q" * 32766)]),
    case("handheld to PC: fewer bytes than announced", after=b"abcd",
         sim=["--send", "abcd", "--length", "00000000010"]),
    case("PC to handheld: CR LF becomes LF, a lone CR stays", clipboard=b"a\r\nb\rc\n",
         after=b"a\r\nb\rc\n", sim=["--receive"], received=b"a\nb\rc\n"),
    case("PC to handheld: no text on the clipboard", clipboard=None, after=None,
         sim=["--receive"], received=b"", sim_status=3),
    case("X clipboard to handheld: ANSI code page on the wire", clipboard=None,
         x_clipboard="x\ny \u00e9", after=b"x\r\ny \xe9", sim=["--receive"],
         received=b"x\ny \xe9"),
    case("handheld to X clipboard", sim=["--send-file", file_arg("ansi", b"p\nq \xe9\x80")],
         after=b"p\r\nq \xe9\x80", x_after="p\nq \u00e9\u20ac"),
    case("a wrong command word", sim=["--word", "Mivra-X2Y"], boxes=[("error", TIMEOUT)]),
    case("a sync running: the port waits for OK", env={"HS_SYNC": "1"}, sim=["--send", "hs"],
         boxes=[("warning", SYNC_RUNNING)], calls=[CHECK, "HsGetSyncStatus 1 -> 0"],
         after=b"hs", hold_first=True),
    case("no such port", sim=None, boxes=[("error", PORT_FAILED)]),
    case("nothing stored", setting=None, exit=5, boxes=[("error", SETTINGS_UNSET)], calls=[]),
    # The USB link through the stand-in library.
    case("USB: handheld to PC", setting=USB, port="COM2", sim=["--send", "u\nsb"],
         after=b"u\r\nsb", calls=STOPPED + USB_FOUND + [
             "PalmUsbReceiveBytes 9 -> 0 9", "PalmUsbReceiveBytes 11 -> 0 11",
             "PalmUsbReceiveBytes 4 -> 0 4", RESTART]),
    case("USB: PC to handheld", setting=USB, port="COM2", clipboard=b"usb!", after=b"usb!",
         sim=["--receive"], received=b"usb!", calls=STOPPED + USB_FOUND + [
             "PalmUsbReceiveBytes 9 -> 0 9", "PalmUsbSendBytes 11 -> 0 11",
             "PalmUsbSendBytes 4 -> 0 4", RESTART]),
]


def prepare(session, c):
    session.reg_import("[-HKEY_CURRENT_USER\\Software\\Dorvane]\n")
    if c["setting"]:
        session.wine("SetQuillet.exe", *c["setting"])
    session.set_clipboard(c["clipboard"])
    if c["x_clipboard"] is not None:
        subprocess.run(["xclip", "-i", "-selection", "clipboard"], env=session.env,
                       input=c["x_clipboard"].encode(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=10)
        deadline = time.time() + 5  # until Wine's clipboard has the X side's text
        while session.clipboard() != c["after"] and time.time() < deadline:
            time.sleep(0.1)
    if os.path.exists(session.log):
        os.unlink(session.log)
    for port in ("COM1", "COM2"):  # no handheld: the port's link leads nowhere
        link = session.port_link(port)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.path.join(session.root, "no-such-tty"), link)


def sim_args(session, args):
    """handheld-sim's arguments, each file_arg written out and given as its path."""
    for _, name, data in [arg for arg in args if isinstance(arg, tuple)]:
        with open(os.path.join(session.root, name), "wb") as f:
            f.write(data)
    return [os.path.join(session.root, a[1]) if isinstance(a, tuple) else a for a in args]


def run_case(session, checks, c):
    name = c["name"]
    prepare(session, c)
    handheld = Handheld(session, c["port"], sim_args(session, c["sim"])) \
        if c["sim"] is not None else None
    env = dict(session.env, STANDIN_LOG=windows_path(session.log), USB_PORT="COM2",
               HS_SETTLE_MS="300" if c["order"] else "0", **c["env"])
    quillet = subprocess.Popen([session.loader, "Quillet.exe"], cwd=session.app, env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    boxes = []
    for index in range(len(c["boxes"])):
        if index == 0 and c["hold_first"]:
            box = session.next_box(15000, keep=True)
            time.sleep(0.5)  # ample time for the port to open, were it not held off
            checks.true(name + ": port opened while the first message was up",
                        handheld is None or handheld.seen("host opened") is None)
        boxes.append(session.next_box(15000))
    try:
        exit_code = quillet.wait(timeout=20)
    except subprocess.TimeoutExpired:
        while quillet.poll() is None:  # an unexpected message keeps Quillet waiting
            extra = session.next_box(2000)
            checks.fail("%s: unexpected message %r" % (name, extra))
            if extra is None:
                quillet.kill()
        exit_code = quillet.wait()
    checks.equal(name + ": messages", c["boxes"], boxes)
    checks.equal(name + ": exit code", c["exit"], exit_code)

    calls = session.calls()
    checks.equal(name + ": calls", c["calls"], [call for _, call in calls])
    if handheld:
        checks.equal(name + ": handheld-sim's exit", c["sim_status"], handheld.finish())
        if c["received"] is not None:
            checks.equal(name + ": the handheld received", c["received"], handheld.output)
        if c["order"]:
            check_order(checks, name, calls, handheld)
    checks.equal(name + ": clipboard", c["after"], session.clipboard())
    if c["x_after"] is not None:
        x_text = subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=session.env,
                                stdout=subprocess.PIPE, timeout=10).stdout
        checks.equal(name + ": X clipboard", c["x_after"].encode(), x_text)


def check_order(checks, name, calls, handheld):
    """HsSetAppStatus takes 300 ms on either side of its log line here, so the simulator's
    reports of the port opening and closing fall clearly before or after it."""
    moments = {call: moment for moment, call in calls}
    opened, closed = handheld.seen("host opened"), handheld.seen("done")
    checks.true(name + ": the port opened before HotSync Manager stopped",
                SHUTDOWN in moments and opened is not None and moments[SHUTDOWN] < opened)
    checks.true(name + ": HotSync Manager started before the port closed",
                RESTART in moments and closed is not None and closed < moments[RESTART])


def main():
    checks = Checks()
    started = time.time()
    with Session({"win32": sys.argv[1], "win64": sys.argv[2]}, sys.argv[3]) as session:
        print("Wine ready after %.1f s" % (time.time() - started), flush=True)
        for c in CASES:
            case_started = time.time()
            run_case(session, checks, c)
            print("%-60s %.1f s" % (c["name"], time.time() - case_started), flush=True)
    checks.finish()


if __name__ == "__main__":
    main()
