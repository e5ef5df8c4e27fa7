"""The contract cases as a Windows program under Wine: COM1 and COM2 on two ptys that
socat joins, so that the program is its own serial peer.

    wine_contract.py WIN32_BUILD_DIR WIN64_BUILD_DIR
"""
import os
import subprocess
import sys
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
from winelib import Session, wine_arch, windows_path  # noqa: E402


def main():
    builds = {"win32": sys.argv[1], "win64": sys.argv[2]}
    with Session(builds) as session:
        program = os.path.abspath(os.path.join(builds[wine_arch()], "wine-test", "contract.exe"))
        ptys = [os.openpty() for _ in range(2)]
        for (_, slave), port in zip(ptys, ("COM1", "COM2")):
            tty.setraw(slave)  # the slaves stay open here: a pty nobody holds hangs up
            os.symlink(os.ttyname(slave), session.port_link(port))
        masters = [master for master, _ in ptys]
        relay = subprocess.Popen(["socat", "FD:%d" % masters[0], "FD:%d" % masters[1]],
                                 pass_fds=masters)
        try:
            result = session.wine(windows_path(program), timeout=60)
        finally:
            relay.kill()
            relay.wait()
        sys.stdout.buffer.write(result.stdout + result.stderr)
        sys.exit(result.returncode)


if __name__ == "__main__":
    main()
