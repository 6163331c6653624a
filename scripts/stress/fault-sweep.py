#!/usr/bin/env python3
"""Fault-injection sweep: each file system call a run makes fails in turn, or the run is killed
there, and what is left must be sound.

Runs: the first ensure-key (it creates the keychain), ensure-key of a new name in a keychain
holding two keys, read-key of one of them, and, when build/ferrowick-keychain exists, its write
commands (passwd, delete NAME, backup DEST, restore SRC --replace, restore SRC into an empty
home). The runs that place a new file (the first ensure-key, backup and both restores) run a
second time on a folder that refuses unnamed files (a preloaded openat fails O_TMPFILE with
EOPNOTSUPP, as some network filesystems do), so the named-temporary path is swept too. Each runs once under strace
to count the calls it makes to write, pwrite64, fsync, fdatasync, openat, rename, renameat2,
linkat, unlink, unlinkat and ftruncate; then once per injection point under
`strace -e inject=SYSCALL:error=ERRNO:when=N` (EIO, ENOSPC, EINTR) or `:signal=SIGKILL`. Only
the traced program gets faults: strace runs without -f, so the scripted pinentry it starts runs
untouched, and the calls the dynamic loader makes before the program starts are left out.

After each: success with the right output, or status 1 with exactly one known message line, or
killed; then a plain ensure-key of an existing name says "exists" (it rolls back what a kill
left), `PRAGMA integrity_check` says ok, the earlier items are byte for byte what they were
(uuid, nonce and sealed secret, and the keychain record that wraps the key), and nothing but the
keychain is left in its folder. A backup file left at DEST, or a login keychain a restore into an
empty home left, is whole: it passes integrity_check and holds the earlier items byte for byte. At the end of each run kind the earlier keys are read back with
read-key and compared as bytes (never printed).

Short form: a sample of the points (spread over every call kind). STRESS_LONG=1: every point.
"""

import os
import random
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stresslib as s  # noqa: E402

SYSCALLS = ["write", "pwrite64", "fsync", "fdatasync", "openat", "rename", "renameat2", "linkat",
            "unlink", "unlinkat", "ftruncate"]
FAULTS = ["error=EIO", "error=ENOSPC", "error=EINTR", "signal=SIGKILL"]
SHORT_POINTS = 30  # per run kind: a few minutes for all twelve kinds

MESSAGES = re.compile(
    rb"^(Keychain insert failed: -?[0-9]+|Keychain lookup failed|Keychain read denied or "
    rb"unavailable|Random generation failed|Local user authentication unavailable|User approval "
    rb"denied or expired|Cannot write result)\n$"
)
TOOL_MESSAGE = re.compile(rb"^[A-Z][^\n]*\n$")


def keychain_tool(binary):
    tool = os.path.join(os.path.dirname(binary), "ferrowick-keychain")
    return tool if os.access(tool, os.X_OK) else None


def record_rows(path):
    """Fingerprints of the keychain record and every item, or None."""
    items = s.item_rows(path)
    if items is None:
        return None
    import sqlite3
    try:
        db = sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=10)
        try:
            row = db.execute("SELECT uuid, opslimit, memlimit, salt, wrap_nonce, wrapped_key "
                             "FROM keychain").fetchall()
        finally:
            db.close()
    except sqlite3.Error:
        return None
    return (repr(row), items)


# Makes the folders refuse unnamed files for the program it is preloaded into.
NO_UNNAMED_FILES = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>

static int forward(const char *symbol, int dirfd, const char *path, int flags, va_list ap) {
    int (*real)(int, const char *, int, ...) = dlsym(RTLD_NEXT, symbol);
    mode_t mode = (flags & (O_CREAT | __O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
    if ((flags & __O_TMPFILE) == __O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return real(dirfd, path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    int fd = forward("openat", dirfd, path, flags, ap);
    va_end(ap);
    return fd;
}

int openat64(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    int fd = forward("openat64", dirfd, path, flags, ap);
    va_end(ap);
    return fd;
}
"""


def build_no_unnamed_files(home):
    source = home.path("no-unnamed-files.c")
    library = home.path("no-unnamed-files.so")
    with open(source, "w", encoding="utf-8") as f:
        f.write(NO_UNNAMED_FILES)
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", library, source, "-ldl"], check=True)
    return library


class Kind:
    def __init__(self, label, argv, expected_out, earlier, pam=False, tool=False):
        self.label = label
        self.argv = argv  # after the binary
        self.expected_out = expected_out  # bytes, or None for any
        self.earlier = earlier  # names whose items must stay identical
        self.pam = pam
        self.tool = tool
        self.record_may_change = False  # passwd re-wraps the key
        self.keeps_old = False  # restore --replace keeps the old keychain beside the new
        self.preload = None  # a library preloaded into the program (no unnamed files)
        self.destination = None  # a file the run places that must be absent or whole
        self.into_empty = False  # starts from an empty home with only the restore source


def traced_command(home, kind, strace_args):
    binary = kind.tool if kind.tool else home.binary
    prefix = ["strace", "-qq", "-o", "/dev/null"] + strace_args
    if kind.preload:
        prefix += ["/usr/bin/env", "LD_PRELOAD=" + kind.preload]
    if kind.pam:
        preload = {k: v for k, v in home.environment(True).items()
                   if k not in home.environment(False)}
        prefix += ["/usr/bin/env"] + ["%s=%s" % item for item in sorted(preload.items())]
    return prefix + [binary] + kind.argv


def run(home, kind, strace_args):
    try:
        done = subprocess.run(traced_command(home, kind, strace_args),
                              env=home.environment(False), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=120, cwd=home.dir)
    except subprocess.TimeoutExpired as expired:
        return (-999, expired.stdout or b"", expired.stderr or b"")
    return (done.returncode, done.stdout, done.stderr)


def injection_points(home, kind):
    """[(syscall, N)] the run reaches after its program started."""
    trace = home.path("count.trace")
    names = ",".join(SYSCALLS + ["umask"])
    command = traced_command(home, kind, ["-e", "trace=" + names])
    command[3] = trace  # -o
    subprocess.run(command, env=home.environment(False), stdin=subprocess.DEVNULL,
                   capture_output=True, timeout=120, cwd=home.dir)
    with open(trace, encoding="utf-8", errors="replace") as f:
        lines = [line for line in f if re.match(r"^[a-z0-9_]+\(", line)]
    os.unlink(trace)
    # Points start where the program's main does (its first act is umask(077)): what the loader
    # and library constructors do before (the PAM stand-in copying its files among them) is the
    # harness's, and a fault there says nothing about the program.
    start = next((i for i, line in enumerate(lines) if line.startswith("umask(")), len(lines))
    # And end where the PAM stand-in's exit handler removes its /tmp/pam.X folder: a folder
    # left half-removed there would break every later PAM test on the machine.
    end = next((i for i, line in enumerate(lines) if i > start and re.match(
        r'^openat\([^"]*"/tmp/pam\.[^"/]*", [^)]*O_DIRECTORY', line)), len(lines))
    counts, points = {}, []
    for i, line in enumerate(lines):
        name = line.split("(", 1)[0]
        counts[name] = counts.get(name, 0) + 1
        if start <= i < end and name in SYSCALLS:
            points.append((name, counts[name]))
    return points


def remove_pam_leftovers(home):
    """The PAM stand-in's /tmp/pam.X folders that killed runs of this home left (it has only so
    many names)."""
    for entry in os.listdir("/tmp"):
        folder = os.path.join("/tmp", entry)
        if not entry.startswith("pam.") or os.path.islink(folder):
            continue
        ours = False
        for name, mark in (("ferrowick", home.pam), ("passdb", home.password)):
            try:
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    ours = ours or mark in f.read()
            except OSError:
                pass
        if ours:
            shutil.rmtree(folder, ignore_errors=True)


def reset(home, template, into_empty=False):
    shutil.rmtree(home.data, ignore_errors=True)
    if template is None or into_empty:
        os.mkdir(home.data, 0o700)
    else:
        shutil.copytree(template, home.data, symlinks=True)
    for leftover in os.listdir(home.dir):
        if leftover.startswith("backup.keychain-db"):
            os.unlink(home.path(leftover))
    if template is not None:
        source = home.path("restore.keychain-db")
        shutil.copyfile(os.path.join(template, "ferrowick", "keychains", "login.keychain-db"),
                        source)
        os.chmod(source, 0o600)


def whole(tally, path, before, what):
    """A keychain file a run placed: it passes integrity_check and holds the earlier items."""
    ok = tally.check(s.integrity(path) == "ok", what + ": integrity_check of " + path)
    return ok and tally.check(record_rows(path) == before, what + ": " + path + " differs")


def sound(outcome, kind, keys):
    status, out, err = outcome
    # libpam is opened only when approval starts, so a fault can land in the test's PAM
    # stand-in loading it; the stand-in then ends the process itself (status 255) before any
    # code of ours runs. Real PAM is not in the way there: our own failed load is "unavailable".
    if status == 255 and out == b"" and b"pwrap_load_lib_handle: Failed to dlopen" in err:
        return True
    # What the PAM stand-in logs (real PAM would send it to syslog).
    err = b"".join(line for line in err.splitlines(True) if not line.startswith(b"PWRAP_"))
    if status in (-9, 137):
        return True
    if status == 0:
        if kind.label == "read-key":
            return err == b"" and out == keys["a"]
        return err == b"" and (kind.expected_out is None or out == kind.expected_out)
    known = TOOL_MESSAGE if kind.tool else MESSAGES
    return status == 1 and out == b"" and known.match(err) is not None


def swept_by_next_run(home, kind, stray, entries):
    """A killed placement may leave its named temporary (no unnamed files there): nobody holds
    its lock, and the next placement of the same name removes it. Runs the command once more
    and returns what is still left then."""
    if not stray or not kind.tool or not all(e.endswith(".tmp") for e in stray):
        return stray
    run(home, kind, [])
    return [e for e in stray if e in entries()]


def check_after(tally, home, kind, before, what):
    ok = True
    if kind.destination is not None:
        # The backup file: absent, or whole; nothing else of its name beside it.
        if os.path.exists(kind.destination):
            ok &= whole(tally, kind.destination, before, what)
        stray = [e for e in os.listdir(home.dir)
                 if e.startswith("backup.keychain-db") and e != "backup.keychain-db"]
        stray = swept_by_next_run(home, kind, stray, lambda: os.listdir(home.dir))
        ok &= tally.check(not stray, what + ": left " + repr(stray))
    if kind.into_empty:
        # The login keychain: absent (the restore didn't happen) or whole; then the next run
        # finds the earlier keys, or makes a keychain of its own.
        if os.path.exists(home.keychain):
            ok &= whole(tally, home.keychain, before, what)
            follow = home.run("ensure-key", "a")
            ok &= tally.check(follow == s.EXISTS, what + ": next run " + s.describe(follow))
        stray = [e for e in home.folder_entries() if e != "login.keychain-db"]
        stray = swept_by_next_run(home, kind, stray, home.folder_entries)
        return ok and tally.check(not stray, what + ": left " + repr(stray))
    follow = home.run("ensure-key", "a") if before is not None else home.run("ensure-key", "z")
    if before is not None:
        ok &= tally.check(follow == s.EXISTS, what + ": next run " + s.describe(follow))
    else:
        ok &= tally.check(follow[0] == 0, what + ": next run " + s.describe(follow))
    if os.path.exists(home.keychain):
        ok &= tally.check(s.integrity(home.keychain) == "ok", what + ": integrity_check")
        now = record_rows(home.keychain)
        if before is not None and now is not None:
            record, items = now
            same = (kind.record_may_change or record == before[0]) and all(
                items.get(n) == before[1].get(n) for n in kind.earlier)
            ok &= tally.check(same, what + ": earlier items changed")
    # A journal a kill left before it was complete can't roll anything back (SQLite leaves it
    # until the next write reuses it); a complete (hot) one must have been rolled back by now.
    journal = home.keychain + "-journal"
    state = s.journal_state(journal)
    cold = state is not None and state[2] != s.JOURNAL_MAGIC
    stray = [e for e in home.folder_entries()
             if e != "login.keychain-db" and not (cold and e == "login.keychain-db-journal")
             and not (kind.keeps_old and e.startswith("login.keychain-db.")
                      and not e.endswith(".tmp"))]
    stray = swept_by_next_run(home, kind, stray, home.folder_entries)
    ok &= tally.check(not stray, what + ": left " + repr(stray))
    return ok


def main():
    options = s.arguments(__doc__.splitlines()[0])
    tally = s.Tally()
    rng = random.Random(options.seed)
    tally.note("seed %d, %s form" % (options.seed, "long" if options.long else "short"))
    home = s.Home(options.binary, keep=options.keep)
    try:
        # A keychain holding "a" and "b", kept as a template every run starts from.
        for name in ("a", "b"):
            outcome = home.run("ensure-key", name)
            if not tally.check(outcome == s.CREATED, "setup " + s.describe(outcome)):
                tally.finish()
        keys = {}
        for name in ("a", "b"):
            keys[name], outcome = home.read_key(name)
            if not tally.check(keys[name] is not None, "setup read " + s.describe(outcome)):
                tally.finish()
        template = home.path("template")
        shutil.copytree(home.data, template, symlinks=True)
        before = record_rows(home.keychain)

        kinds = [
            (Kind("first ensure-key", ["ensure-key", "first"], b"created\n", []), None),
            (Kind("ensure-key", ["ensure-key", "new"], b"created\n", ["a", "b"]), template),
            (Kind("read-key", ["read-key", "a"], None, ["a", "b"], pam=True), template),
        ]
        tool = keychain_tool(options.binary)
        if tool is None:
            tally.note("ferrowick-keychain not built: its write commands are skipped")
        else:
            backup = home.path("backup.keychain-db")
            restore = ["restore", home.path("restore.keychain-db")]
            tool_kinds = [
                Kind("passwd", ["passwd"], None, ["a", "b"]),
                Kind("delete", ["delete", "b"], None, ["a"]),
                Kind("backup", ["backup", backup], None, ["a", "b"]),
                Kind("restore", restore + ["--replace"], None, ["a", "b"]),
                Kind("restore into an empty home", restore, None, ["a", "b"]),
            ]
            tool_kinds[0].record_may_change = True
            tool_kinds[2].destination = backup
            tool_kinds[3].keeps_old = True
            tool_kinds[4].into_empty = True
            for kind in tool_kinds:
                kind.tool = tool
                kinds.append((kind, template))
        # The same placements where the folder has no unnamed files.
        no_unnamed = build_no_unnamed_files(home)
        for kind, start in list(kinds):
            if kind.label in ("first ensure-key", "backup", "restore",
                              "restore into an empty home"):
                twin = Kind(kind.label + ", no unnamed files", kind.argv, kind.expected_out,
                            kind.earlier, kind.pam, kind.tool)
                for field in ("record_may_change", "keeps_old", "destination", "into_empty"):
                    setattr(twin, field, getattr(kind, field))
                twin.preload = no_unnamed
                kinds.append((twin, start))
        tried = 0
        for kind, start in kinds:
            reset(home, start, kind.into_empty)
            points = injection_points(home, kind)
            plan = [(p, f) for p in points for f in FAULTS]
            if not options.long and len(plan) > SHORT_POINTS:
                plan = rng.sample(plan, SHORT_POINTS)
            tally.note("%s: %d calls reached, %d injection points tried"
                       % (kind.label, len(points), len(plan)))
            for (name, n), fault in sorted(plan):
                reset(home, start, kind.into_empty)
                what = "%s %s:%s:when=%d" % (kind.label, name, fault, n)
                outcome = run(home, kind, ["-e", "inject=%s:%s:when=%d" % (name, fault, n)])
                tried += 1
                if kind.pam:
                    remove_pam_leftovers(home)
                if tally.check(sound(outcome, kind, keys), what + ": " + s.describe(outcome)):
                    check_after(tally, home, kind, before if start else None, what)
            # The keys themselves, read back once per run kind from the last state.
            if start is not None and kind.into_empty:
                reset(home, start, True)
                outcome = run(home, kind, [])
                tally.check(outcome[0] == 0, kind.label + ": unfaulted " + s.describe(outcome))
            if start is not None:
                for name in kind.earlier:
                    if name == "b" and kind.label == "delete":
                        continue
                    got, outcome = home.read_key(name)
                    tally.check(got == keys[name], kind.label + ": key %s read back %s"
                                % (name, s.describe(outcome)))
        tally.note("%d injection points tried" % tried)
    finally:
        home.close()
    tally.finish()


if __name__ == "__main__":
    main()
