#!/usr/bin/env python3
"""A save held at a chosen step while a second process uses the same file.

Process A saves with the fault library preloaded, which holds the save just
before a chosen event (HEXVIEW_SHIM_PAUSE_AT) and says so by creating a file;
the test then runs process B against the file, checks what B did and did not
do, and lets A go on by removing that file. Nothing waits on the clock: the
waits only guard against a process that never ends.

  patch  A's save in place is held once its journal exists, before the file
         is touched: B's save and B's read-write open are refused as "another
         process is saving" and roll nothing back; B's read-only dump shows
         the file or is refused the same way, never sending the user to a
         read-write open. A then saves.
  whole  A's save through a temporary file is held before the rename: B's
         read-write open works and leaves A's temporary file alone, so A's
         rename still makes the save.

Usage: held_save_test.py --hexview PATH --shim PATH
"""

import argparse
import dataclasses
import os
import re
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # the source tree stays clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kill_sweep as sweep  # noqa: E402  (beside this file)

HANG_GUARD_SECONDS = 120
POLL_SECONDS = 0.01
SAVING = "another process is saving"


# ---- What B must do ------------------------------------------------------------------


def refused_as_saving(run):
    """None when B was refused because A is saving; else what went wrong."""
    if run.status != 2:
        return f"exit status {run.status}, not 2; stderr: {run.stderr.strip()!r}"
    if SAVING not in run.stderr:
        return f"no {SAVING!r} in: {run.stderr.strip()!r}"
    if re.search(r"(^|: )busy:", run.stderr, re.M):
        return f"the message begins with 'busy:': {run.stderr.strip()!r}"
    return None


def shown_or_refused_as_saving(run):
    said = (run.stdout + run.stderr).strip()
    if "read-write" in said:
        return f"tells to open the file read-write: {run.stderr.strip()!r}"
    return None if run.status == 0 else refused_as_saving(run)


def opened(run):
    return None if run.status == 0 else f"exit status {run.status}: {run.stderr.strip()!r}"


@dataclasses.dataclass
class Step:
    """B's command (after `hexview`, F standing for the file) and its expectation."""

    name: str
    argv: list
    expect: object  # run -> None, or what went wrong


# ---- Where A is held ---------------------------------------------------------------------


def basename_of(path):
    return path.rsplit("/", 1)[-1]


def makes_journal(event):
    """The event that gives the journal its final name (a rename or link into it, or its creation)."""
    target = event.target_of_rename()
    if target is not None:
        return "journal" in basename_of(target)
    name = basename_of(event.path)
    return event.call in ("open", "openat", "creat") and "journal" in name and "hxsave" not in name


def first_write_to_file_after_journal(events, file_path):
    made = next((e.number for e in events if makes_journal(e)), None)
    if made is None:
        return None
    return next((e.number for e in events if e.number > made and e.path == file_path), None)


def rename_onto_file(events, file_path):
    return next((e.number for e in events if e.target_of_rename() == file_path), None)


@dataclasses.dataclass
class Case:
    name: str
    kind: sweep.Kind
    hold_at: object  # (events, path of F) -> event number, or None when not found
    hold_text: str
    steps: list


def cases():
    content = sweep.random_bytes(21, 600 * 1024)
    return [
        Case("patch", sweep.Kind("patch", "patch in place", {"F": content}, [("write", 4096, bytes.fromhex("deadbeef"))]),
             first_write_to_file_after_journal, "the first event on the file after its journal exists",
             [Step("B saves", ["edit", "F", "--write", "11@0", "--save"], refused_as_saving),
              Step("B opens read-write", ["edit", "F"], refused_as_saving),
              Step("B dumps read-only", ["dump", "F", "--rows", "1"], shown_or_refused_as_saving)]),
        Case("whole", sweep.Kind("whole", "whole save", {"F": content}, [("insert", 16, bytes.fromhex("00ff"))]),
             rename_onto_file, "the rename of the temporary file onto the file",
             [Step("B opens read-write", ["edit", "F"], opened)]),
    ]


# ---- Running a case ------------------------------------------------------------------------


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, problem):
        if problem:
            self.failed += 1
            print(f"FAIL {name}: {problem}")
        else:
            self.passed += 1
            print(f"ok   {name}")
        return not problem


def snapshot(sandbox):
    """Every file of the sandbox's folders but the shim's, by name, with its digest."""
    files = {}
    for folder in (sandbox.files, sandbox.state, sandbox.home):
        for top, _, names in os.walk(folder):
            for n in names:
                path = os.path.join(top, n)
                files[os.path.relpath(path, sandbox.root)] = sweep.digest_of_file(path)
    return files


def changes(before, after):
    gone = sorted(set(before) - set(after))
    new = sorted(set(after) - set(before))
    changed = sorted(n for n in set(before) & set(after) if before[n] != after[n])
    parts = [f"{label}: {', '.join(names)}" for label, names in (("removed", gone), ("added", new), ("changed", changed))
             if names]
    return "; ".join(parts) or None


def find_hold(args, case):
    sandbox = sweep.Sandbox(None)
    try:
        sandbox.lay_out(case.kind)
        sweep.run(sweep.save_command(args.hexview, sandbox, case.kind),
                  sweep.shim_environment(sandbox, args.shim, case.kind))
        _, events = sweep.read_event_log(sandbox.count_file)
        at = case.hold_at(events, sandbox.path("F"))
        listing = "; ".join(e.line().replace(sandbox.root + "/", "") for e in events)
        return at, listing
    finally:
        sandbox.remove()


def wait_for_hold(a, pause_file):
    """True once A is held; False when it ended first (or never got there)."""
    deadline = time.monotonic() + HANG_GUARD_SECONDS
    while time.monotonic() < deadline:
        if os.path.exists(pause_file):
            return True
        if a.poll() is not None:
            return False
        time.sleep(POLL_SECONDS)
    return False


def run_b(args, sandbox, step):
    argv = [args.hexview] + [sandbox.path("F") if a == "F" else a for a in step.argv]
    return sweep.run(argv, sweep.base_environment(sandbox))


def run_case(args, case, checks):
    hold, listing = find_hold(args, case)
    if checks.check(f"{case.name}: the save has {case.hold_text}", None if hold else f"not in: {listing}"):
        for step in case.steps:
            run_step(args, case, hold, step, checks)


# Each of B's steps meets a save of its own, so no step depends on another.
def run_step(args, case, hold, step, checks):
    name = f"{case.name}, {step.name}"
    expected = sweep.expectation_of(case.kind)
    sandbox = sweep.Sandbox(None)
    pause_file = os.path.join(sandbox.shim, "held")
    env = sweep.shim_environment(sandbox, args.shim, case.kind)
    env["HEXVIEW_SHIM_PAUSE_AT"] = f"{hold}:{pause_file}"
    a = None
    try:
        sandbox.lay_out(case.kind)
        names_before = sandbox.names()
        a = subprocess.Popen(sweep.save_command(args.hexview, sandbox, case.kind), env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, errors="replace")
        if not checks.check(f"{name}: A is held at event {hold}",
                            None if wait_for_hold(a, pause_file) else f"A was not held (status {a.poll()})"):
            return
        before = snapshot(sandbox)
        b = run_b(args, sandbox, step)
        checks.check(f"{name}: what B does", step.expect(b))
        checks.check(f"{name}: B leaves every file as it was", changes(before, snapshot(sandbox)))
        os.remove(pause_file)
        out, err = a.communicate(timeout=HANG_GUARD_SECONDS)
        checks.check(f"{name}: A saves once let go",
                     None if a.returncode == 0 and "saved" in out else f"status {a.returncode}: {err.strip()!r}")
        content, notes = sweep.judge_content(sandbox, case.kind, expected)
        checks.check(f"{name}: the file holds A's content", None if content == "new" else f"{content} {notes}")
        checks.check(f"{name}: nothing is left behind",
                     ", ".join(sweep.leftovers_of(sandbox, case.kind, names_before)) or None)
    finally:
        if a and a.poll() is None:
            if os.path.exists(pause_file):
                os.remove(pause_file)
            a.kill()
            a.wait()
        sandbox.remove()


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--hexview", required=True, help="the built hexview command")
    p.add_argument("--shim", required=True, help="the fault library (libhexview_fault_shim.so)")
    args = p.parse_args(argv)
    args.hexview, args.shim = os.path.abspath(args.hexview), os.path.abspath(args.shim)
    checks = Checks()
    for case in cases():
        run_case(args, case, checks)
    print(f"held-save: {checks.passed} passed, {checks.failed} failed")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
