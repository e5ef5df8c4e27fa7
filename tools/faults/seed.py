#!/usr/bin/env python3
"""Proof that the tests catch what they are there for: seeds one small fault at a time
(faults.json: a file, a text in it and what replaces it, the ctest arguments that should
catch it), builds the linux tree, runs those tests one at a time and stops at the first
failing check. Prints which test and check failed, and how many seconds into that test
and into the run; the whole output goes to build/faults/NAME.log. The source is restored
after each fault, whatever happens.

    python3 tools/faults/seed.py [NAME...]     # after cmake --preset linux

A pattern that no longer matches is said, not skipped quietly: mend faults.json with the
code. Each fault takes its build plus its tests' time up to the first failure; an uncaught
one runs its tests to the end."""
import json, os, re, signal, subprocess, sys, time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, "build/linux")
LOGS = os.path.join(ROOT, "build/faults")
FAIL = re.compile(r"^(\d+): (FAIL: .*|.*: Failure$|.*FAILED.*|.*still running after.*)")
STARTED = re.compile(r"^\s*Start +(\d+): (\S+)")
ENDED = re.compile(r"Test +#\d+: (\S+) .*?(Passed|\*\*\*Failed|\*\*\*Timeout|\*\*\*Exception)")


def run_tests(fault, log):
    """The first failure of fault's tests, as a line; None when all pass."""
    tests = subprocess.Popen(
        f"exec ctest --test-dir {BUILD} {fault['tests']} -V --timeout 600", shell=True,
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, start_new_session=True)
    start = time.time()
    names, began = {}, {}
    try:
        for line in tests.stdout:
            now = time.time()
            log.write(f"{now - start:8.2f} {line}")
            m = STARTED.match(line)
            if m:
                names[m.group(1)], began[m.group(1)] = m.group(2), now
            m = FAIL.match(line)
            if m:
                n = m.group(1)
                return (f"CAUGHT by {names.get(n, n)} after {now - began.get(n, start):.1f} s in "
                        f"that test ({now - start:.0f} s into the run): {m.group(2)[:140]}")
            m = ENDED.search(line)
            if m and m.group(2) != "Passed":
                return f"CAUGHT by {m.group(1)} ({m.group(2).strip('*')}) after {now - start:.0f} s"
        return None
    finally:
        # The whole session: ctest and every test it started, which clean up on SIGTERM.
        try:
            os.killpg(tests.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            tests.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(tests.pid, signal.SIGKILL)
            tests.wait()
        time.sleep(3)


def main():
    only = set(sys.argv[1:])
    faults = json.load(open(os.path.join(ROOT, "tools/faults/faults.json")))
    os.makedirs(LOGS, exist_ok=True)
    missed = 0
    for fault in faults:
        if only and fault["name"] not in only:
            continue
        path = os.path.join(ROOT, fault["file"])
        original = open(path).read()
        if fault["old"] not in original:
            print(f"{fault['name']}: its text is no longer in {fault['file']}", flush=True)
            missed += 1
            continue
        try:
            open(path, "w").write(original.replace(fault["old"], fault["new"], 1))
            built = subprocess.run(["cmake", "--build", BUILD, "-j2"], capture_output=True, text=True)
            if built.returncode != 0:
                print(f"{fault['name']}: does not build\n{built.stdout[-2000:]}", flush=True)
                missed += 1
                continue
            with open(os.path.join(LOGS, fault["name"] + ".log"), "w") as log:
                caught = run_tests(fault, log)
            print(f"{fault['name']}: {caught or 'NOT CAUGHT'}", flush=True)
            missed += caught is None
        finally:
            open(path, "w").write(original)
    subprocess.run(["cmake", "--build", BUILD, "-j2"], capture_output=True)
    sys.exit(1 if missed else 0)


if __name__ == "__main__":
    main()
