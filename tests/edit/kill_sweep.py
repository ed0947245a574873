#!/usr/bin/env python3
"""Kills every kind of save at each of its steps, and fails each step with EIO.

Each save runs through the hexview command with the fault library preloaded
(tests/support/fault_shim.c). A first run counts the save's events (the calls
that change files in the file's folder or the per-user state folder); then,
for each chosen event k, a fresh copy of the fixture is saved again and
  kill   the command is killed just before event k,
  half   a write at k writes its first half, then the kill comes (torn write),
  eio    event k fails with EIO (the save may then fail or go on),
and afterwards `hexview edit FILE` opens the file read-write (rolling back or
finishing what the save left) without faults. Then every watched name must
hold its old content or its new one, all names the same one of the two, and
nothing may be left behind: the file's folder holds the names it held before
(plus a save-as target) and the state and home folders hold no file.

Prints a table per kind and mode; exit status 1 when any trial ended mixed,
left something behind or could not be opened again, 0 otherwise.
"""

import argparse
import concurrent.futures
import dataclasses
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import typing

MiB = 1 << 20
HANG_GUARD_SECONDS = 300  # only for a process that never ends; no result depends on it
DETAILS_SHOWN = 3
MODES = ("kill", "half", "eio")
WRITE_CALLS = ("write", "pwrite")


# ---- Contents ------------------------------------------------------------------


def random_bytes(seed, n):
    return random.Random(seed).randbytes(n)


@dataclasses.dataclass
class Sparse:
    """A file of `size` bytes that holds only the islands; holes elsewhere."""

    size: int
    islands: list  # (offset, bytes)

    def materialize(self):
        content = bytearray(self.size)
        for offset, data in self.islands:
            content[offset : offset + len(data)] = data
        return bytes(content)


def write_content(path, content):
    with open(path, "wb") as f:
        if isinstance(content, Sparse):
            f.truncate(content.size)
            for offset, data in content.islands:
                f.seek(offset)
                f.write(data)
        else:
            f.write(content)


def digest_of_bytes(content):
    return hashlib.sha256(content).hexdigest()


def digest_of_file(path):
    """The file's digest, or None when there is no file under the name."""
    h = hashlib.sha256()
    try:
        with open(path, "rb") as f:
            while chunk := f.read(MiB):
                h.update(chunk)
    except FileNotFoundError:
        return None
    return h.hexdigest()


def apply_edits(content, edits):
    """The content after the edits of a `hexview edit` command, in order."""
    out = bytearray(content)
    for op, offset, data in edits:
        if op == "write":
            out[offset : offset + len(data)] = data
        else:
            out[offset:offset] = data
    return bytes(out)


def edit_args(edits):
    return [arg for op, offset, data in edits for arg in (f"--{op}", f"{data.hex()}@{offset}")]


# ---- The kinds of save ------------------------------------------------------------


@dataclasses.dataclass
class Kind:
    """A save: the fixture it starts from, its edits and where it saves."""

    key: str
    title: str
    files: dict  # name -> bytes or Sparse, laid out in the folder before each trial
    edits: list  # (op, offset, bytes), op "write" or "insert"
    save_to: typing.Optional[str] = None  # a save-as target's name; None saves in place
    links: list = dataclasses.field(default_factory=list)  # (existing name, second name)
    deny_folder: bool = False  # the folder takes no new names (nor removals)
    refusal_is_old: bool = False  # a save refused with the file untouched counts as old
    open_through: str = "F"  # the name the read-write open after the fault uses

    @property
    def target(self):
        return self.save_to or "F"

    def names_of_target(self):
        """The target and its other hard-link names."""
        return [self.target] + [second for first, second in self.links if first == self.target]


def whole(content):
    return content.materialize() if isinstance(content, Sparse) else content


def sparse_fixture():
    islands = [(0, random_bytes(51, 64 * 1024)), (5 * MiB, random_bytes(52, MiB + 100)),
               (40 * MiB + 4096, random_bytes(53, 200 * 1024)), (64 * MiB - 4096, random_bytes(54, 4096))]
    return Sparse(64 * MiB, islands)


def all_kinds():
    big = random_bytes(1, 2 * MiB + 12345)
    mid = random_bytes(2, 1536 * 1024)
    small = random_bytes(3, 600 * 1024)
    other = random_bytes(4, 700 * 1024)
    patch_edits = [("write", 16, bytes.fromhex("deadbeefcafe")), ("write", 0x80000, random_bytes(10, 4096)),
                   ("write", MiB - 32, random_bytes(11, 64)), ("write", len(big) - 8, bytes(range(8)))]
    insert = [("insert", 16, bytes.fromhex("00ff"))]
    return [
        Kind("a", "patch in place (overwrites only)", {"F": big}, patch_edits),
        Kind("b", "whole save (insert, temporary file)", {"F": big}, insert),
        Kind("c", "hard-linked file rewritten", {"F": mid}, insert, links=[("F", "F2")]),
        Kind("c2", "the same, opened through its other name", {"F": mid}, insert, links=[("F", "F2")],
             open_through="F2"),
        Kind("d1", "save-as over another file", {"F": mid, "OUT": other}, [("write", 5, b"\x01\x02")], save_to="OUT"),
        Kind("d2", "save-as to a new name", {"F": mid}, [("write", 5, b"\x01\x02")], save_to="OUT"),
        Kind("e", "sparse 64 MiB file, insert", {"F": sparse_fixture()}, [("insert", 16, bytes.fromhex("5a5a"))]),
        Kind("f1", "unwritable folder, 1-byte overwrite", {"F": small}, [("write", 1000, b"\x5a")],
             deny_folder=True, refusal_is_old=True),
        Kind("f2", "unwritable folder, insert", {"F": small}, [("insert", 1000, b"\x5a\x5a")],
             deny_folder=True, refusal_is_old=True),
        Kind("g", "save-as to a hard-linked target", {"F": mid, "OUT": other}, [("write", 3, b"\x77")],
             save_to="OUT", links=[("OUT", "OUT2")]),
    ]


@dataclasses.dataclass
class Expectation:
    """Each watched name's digest before and after the save (None: no file)."""

    old: dict
    new: dict


def expectation_of(kind):
    old, new = {}, {}
    for name, content in kind.files.items():
        old[name] = new[name] = digest_of_bytes(whole(content))
    saved = digest_of_bytes(apply_edits(whole(kind.files["F"]), kind.edits))
    old.setdefault(kind.target, None)
    for name in kind.names_of_target():
        new[name] = saved
    for first, second in kind.links:
        old[second] = old[first]
        new.setdefault(second, old[first])
    return Expectation(old, new)


# ---- The shim's event log ------------------------------------------------------------


@dataclasses.dataclass
class Event:
    number: int
    call: str
    path: str
    detail: str

    def line(self):
        return f"{self.number} {self.call} {self.path}" + (f" {self.detail}" if self.detail else "")

    def written_bytes(self):
        if self.call not in WRITE_CALLS or not self.detail.endswith(" bytes"):
            return 0
        return int(self.detail.split()[0])

    def target_of_rename(self):
        return self.detail[3:] if self.detail.startswith("-> ") else None


def read_event_log(path):
    """The count and the events the shim wrote at exit; (None, []) without a file."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return None, []
    if not lines:
        return None, []
    events = []
    for line in lines[1:]:
        fields = line.split("\t")
        if len(fields) >= 3:
            events.append(Event(int(fields[0]), fields[1], fields[2], fields[3] if len(fields) > 3 else ""))
    return int(lines[0]), events


# ---- A trial ------------------------------------------------------------------------


@dataclasses.dataclass
class Fault:
    mode: str  # "none", "kill", "half" or "eio"
    at: int = 0

    def environment(self):
        if self.mode in ("kill", "half"):
            env = {"HEXVIEW_SHIM_KILL_AT": str(self.at)}
            if self.mode == "half":
                env["HEXVIEW_SHIM_KILL_HALF"] = "1"
            return env
        return {"HEXVIEW_SHIM_EIO_AT": str(self.at)} if self.mode == "eio" else {}


@dataclasses.dataclass
class Run:
    status: int
    stdout: str
    stderr: str


class Sandbox:
    """A trial's folders: the file's, the per-user state and home, and the shim's."""

    def __init__(self, root):
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="kill-sweep-", dir=root))
        self.files = os.path.join(self.root, "files")
        self.state = os.path.join(self.root, "state")
        self.home = os.path.join(self.root, "home")
        self.shim = os.path.join(self.root, "shim")
        for folder in (self.files, self.state, self.home, self.shim):
            os.mkdir(folder)
        self.count_file = os.path.join(self.shim, "events")

    def path(self, name):
        return os.path.join(self.files, name)

    def lay_out(self, kind):
        for name, content in kind.files.items():
            write_content(self.path(name), content)
        for first, second in kind.links:
            os.link(self.path(first), self.path(second))

    def names(self):
        return set(os.listdir(self.files))

    def files_left_in(self, folder):
        left = []
        for top, _, names in os.walk(folder):
            left += [os.path.relpath(os.path.join(top, n), self.root) for n in names]
        return sorted(left)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def base_environment(sandbox):
    env = {k: v for k, v in os.environ.items() if not k.startswith("HEXVIEW_SHIM_") and k != "LD_PRELOAD"}
    env.update(HOME=sandbox.home, XDG_STATE_HOME=sandbox.state, NO_COLOR="1", LC_ALL="C")
    return env


def shim_environment(sandbox, shim, kind, fault=None, count=True):
    env = base_environment(sandbox)
    env["LD_PRELOAD"] = shim
    if kind.deny_folder:
        env["HEXVIEW_SHIM_DENY_CREATE_IN"] = sandbox.files
    if count:
        env.update(HEXVIEW_SHIM_DIRS=f"{sandbox.files}:{sandbox.state}", HEXVIEW_SHIM_COUNT_FILE=sandbox.count_file,
                   HEXVIEW_SHIM_LOG="1")
    if fault:
        env.update(fault.environment())
    return env


def run(argv, env):
    try:
        p = subprocess.run(argv, env=env, capture_output=True, text=True, errors="replace", timeout=HANG_GUARD_SECONDS)
        return Run(p.returncode, p.stdout, p.stderr)
    except subprocess.TimeoutExpired:
        return Run(None, "", f"did not end within {HANG_GUARD_SECONDS} s")


def save_command(hexview, sandbox, kind):
    argv = [hexview, "edit", sandbox.path("F")] + edit_args(kind.edits) + ["--save"]
    return argv + [sandbox.path(kind.save_to)] if kind.save_to else argv


@dataclasses.dataclass
class Outcome:
    fault: Fault
    content: str  # "old", "new" or "mixed"
    leftovers: list
    error: str  # the read-write open failed, or a process hung; "" when not
    notes: list
    save: Run
    events: list  # the save's events, as the shim logged them
    event_line: str = ""

    def failed(self):
        return self.content == "mixed" or bool(self.leftovers) or bool(self.error)

    def summary(self):
        where = f"{self.fault.mode} at {self.fault.at}" + (f" [{self.event_line}]" if self.event_line else "")
        parts = [where, f"content {self.content}"] + self.notes
        if self.leftovers:
            parts.append("left: " + ", ".join(self.leftovers))
        if self.error:
            parts.append(self.error)
        return "; ".join(parts)


def judge_content(sandbox, kind, expected):
    """old, new or mixed, with a note for each name that is neither or cut off."""
    states, notes = set(), []
    for name, old in expected.old.items():
        got = digest_of_file(sandbox.path(name))
        new = expected.new[name]
        if got == old and got == new:
            continue
        if got == old:
            states.add("old")
        elif got == new:
            states.add("new")
        else:
            states.add("other")
            notes.append(f"{name}: " + ("missing" if got is None else "neither old nor new"))
    for first, second in kind.links:
        a, b = sandbox.path(first), sandbox.path(second)
        if os.path.exists(a) and os.path.exists(b) and not os.path.samefile(a, b):
            states.add("other")
            notes.append(f"{first} and {second} are no longer one file")
    if "other" in states or states == {"old", "new"}:
        if states == {"old", "new"}:
            notes.append("some names old, some new")
        return "mixed", notes
    return ("new" if states == {"new"} else "old"), notes


def leftovers_of(sandbox, kind, names_before):
    allowed = names_before | {kind.target}
    left = sorted(n for n in sandbox.names() - allowed)
    return left + sandbox.files_left_in(sandbox.state) + sandbox.files_left_in(sandbox.home)


def open_read_write(hexview, sandbox, kind, shim):
    """Opens the open file, and a save-as target that exists, read-write:
    the open that finishes or rolls back what a save left. The first failure
    is the result, else the last open's."""
    # An unwritable folder stays unwritable for the open that follows.
    env = shim_environment(sandbox, shim, kind, count=False) if kind.deny_folder else base_environment(sandbox)
    names = [kind.open_through] + ([kind.save_to] if kind.save_to and os.path.exists(sandbox.path(kind.save_to)) else [])
    result = None
    for name in names:
        result = run([hexview, "edit", sandbox.path(name)], env)
        if result.status != 0:
            break
    return result


def save_again_to_a_name_never_made(hexview, sandbox, kind):
    """A save-as killed before its target existed leaves no file to open:
    what it left is removed by the next save to that name, which this makes
    (after the content was judged) without a fault."""
    if not kind.save_to or os.path.exists(sandbox.path(kind.save_to)):
        return
    run(save_command(hexview, sandbox, kind), base_environment(sandbox))


def first_line(text):
    lines = [line for line in text.splitlines() if line.strip()]
    return lines[0] if lines else ""


def run_trial(args, kind, expected, fault):
    sandbox = Sandbox(args.work_dir)
    try:
        sandbox.lay_out(kind)
        names_before = sandbox.names()
        save = run(save_command(args.hexview, sandbox, kind), shim_environment(sandbox, args.shim, kind, fault))
        _, events = read_event_log(sandbox.count_file)
        reopen = open_read_write(args.hexview, sandbox, kind, args.shim)
        content, notes = judge_content(sandbox, kind, expected)
        save_again_to_a_name_never_made(args.hexview, sandbox, kind)
        if fault.mode in ("kill", "half") and save.status != -9:
            notes.append(f"not killed: the save made fewer events (status {save.status})")
        if kind.refusal_is_old and save.status == 2 and content == "old":
            notes.append("refused: " + first_line(save.stderr))
        error = ""
        if save.status is None:
            error = "the save hung"
        elif save.status == 0 and content == "old":
            error = "the save said it saved, but the file is old"
        elif reopen.status != 0:
            error = f"the read-write open failed ({reopen.status}): {first_line(reopen.stderr)}"
        elif reopen.stderr.strip():
            notes.append("open said: " + first_line(reopen.stderr))
        event_line = events[fault.at - 1].line().replace(sandbox.root + "/", "") if 0 < fault.at <= len(events) else ""
        return Outcome(fault, content, leftovers_of(sandbox, kind, names_before), error, notes, save, events, event_line)
    finally:
        if not args.keep:
            sandbox.remove()


# ---- The sweep ------------------------------------------------------------------------


def sample(points, step):
    """Every step-th point from the first, and the last one."""
    if not points:
        return []
    return sorted(set(points[::step]) | {points[-1]})


def points_of_mode(mode, events, step):
    if mode == "half":
        return sample([e.number for e in events if e.written_bytes() > 1], step)
    return sample([e.number for e in events], step)


@dataclasses.dataclass
class Row:
    kind: Kind
    mode: str
    outcomes: list

    def count(self, what):
        return sum(1 for o in self.outcomes if o.content == what)

    def failures(self):
        return [o for o in self.outcomes if o.failed()]


@dataclasses.dataclass
class KindReport:
    kind: Kind
    clean: Outcome  # the run without a fault, which counted the events
    rows: list

    def clean_failed(self):
        refused = self.kind.refusal_is_old and self.clean.save.status == 2 and self.clean.content == "old"
        return not self.clean.events or self.clean.failed() or (self.clean.content != "new" and not refused)

    def failed(self):
        return self.clean_failed() or any(row.failures() for row in self.rows)


def sweep(args, kinds, pool):
    """Counts each kind's events in a run without a fault, then runs its trials."""
    expected = {kind.key: expectation_of(kind) for kind in kinds}
    clean = {kind.key: pool.submit(run_trial, args, kind, expected[kind.key], Fault("none")) for kind in kinds}
    trials = {}
    for kind in kinds:
        events = clean[kind.key].result().events
        trials[kind.key] = {mode: [pool.submit(run_trial, args, kind, expected[kind.key], Fault(mode, k))
                                   for k in points_of_mode(mode, events, args.sample)] for mode in args.modes}
    reports = []
    for kind in kinds:
        rows = [Row(kind, mode, [f.result() for f in futures]) for mode, futures in trials[kind.key].items()]
        reports.append(KindReport(kind, clean[kind.key].result(), rows))
    return reports


# ---- The report ------------------------------------------------------------------------


def print_report(reports, seconds):
    header = f"{'kind':<44} {'mode':<5} {'trials':>6} {'old':>5} {'new':>5} {'mixed':>5} {'leftovers':>9} {'errors':>6}"
    print(header)
    print("-" * len(header))
    for report in reports:
        kind = report.kind
        label = f"{kind.key:<3}{kind.title}"
        for row in report.rows:
            left = sum(1 for o in row.outcomes if o.leftovers)
            errors = sum(1 for o in row.outcomes if o.error)
            print(f"{label:<44} {row.mode:<5} {len(row.outcomes):>6} {row.count('old'):>5} {row.count('new'):>5} "
                  f"{row.count('mixed'):>5} {left:>9} {errors:>6}")
    print()
    for report in reports:
        clean = report.clean
        said = "saved" if clean.save.status == 0 else f"status {clean.save.status}: {first_line(clean.save.stderr)}"
        print(f"{report.kind.key}: {len(clean.events)} events; without a fault: {said}")
        if not clean.events:
            print("    FAILED: the fault library saw no event (was it loaded?)")
        elif report.clean_failed():
            print(f"    FAILED without a fault: {clean.summary()}")
        for row in report.rows:
            failures = row.failures()
            for o in failures[:DETAILS_SHOWN]:
                print(f"    {row.mode}: {o.summary()}")
            if len(failures) > DETAILS_SHOWN:
                print(f"    {row.mode}: ... and {len(failures) - DETAILS_SHOWN} more")
    # The runs without a fault count as trials too.
    failed = sum(1 for r in reports for row in r.rows for o in row.outcomes if o.failed())
    failed += sum(1 for r in reports if r.clean_failed())
    total = sum(len(row.outcomes) for r in reports for row in r.rows) + len(reports)
    print()
    print(f"{total} trials in {seconds:.0f} s; {total - failed} kept the file whole and left nothing, {failed} did not")
    print(f"kill-sweep: {total - failed} passed, {failed} failed")


# ---- Command line ------------------------------------------------------------------------


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--hexview", required=True, help="the built hexview command")
    p.add_argument("--shim", required=True, help="the fault library (libhexview_fault_shim.so)")
    p.add_argument("--kinds", default="", help="kinds to run, e.g. a,b,d (d: d1 and d2); default all")
    p.add_argument("--sample", type=int, default=1, help="every STEP-th event (and the last); default every one")
    p.add_argument("--modes", default=",".join(MODES), help="kill, half, eio; default all")
    p.add_argument("-j", "--jobs", type=int, default=2, help="trials side by side (default 2)")
    p.add_argument("--work-dir", default=None, help="where trial folders go (default the system's temp folder)")
    p.add_argument("--keep", action="store_true", help="keep each trial's folder, to look at")
    args = p.parse_args(argv)
    args.hexview = os.path.abspath(args.hexview)
    args.shim = os.path.abspath(args.shim)
    args.modes = [m for m in args.modes.split(",") if m]
    for m in args.modes:
        if m not in MODES:
            p.error(f"unknown mode {m}: choose from {', '.join(MODES)}")
    if args.sample < 1 or args.jobs < 1:
        p.error("--sample and -j take a number from 1 up")
    for path in (args.hexview, args.shim):
        if not os.path.isfile(path):
            p.error(f"not found: {path}")
    return args


def chosen_kinds(selection):
    kinds = all_kinds()
    if not selection:
        return kinds
    wanted = [w for w in selection.split(",") if w]
    chosen = [k for k in kinds if any(k.key == w or k.key.rstrip("0123456789") == w for w in wanted)]
    unknown = [w for w in wanted if not any(k.key == w or k.key.rstrip("0123456789") == w for k in kinds)]
    if unknown:
        sys.exit(f"kill_sweep: unknown kind(s): {', '.join(unknown)}")
    return chosen


def main(argv):
    args = parse_args(argv)
    start = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        reports = sweep(args, chosen_kinds(args.kinds), pool)
    print_report(reports, time.monotonic() - start)
    return 1 if any(r.failed() for r in reports) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
