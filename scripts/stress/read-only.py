#!/usr/bin/env python3
"""A keychain that can't be written.

Cases: the keychain folder mounted read-only (EROFS); the folder without write permission
(0500); the file without write permission (0400); both; a read-only data folder before any
keychain exists; and a hot journal (a writer killed inside its commit) in a folder that can't
be written, where every run must fail cleanly until the folder is writable again. The runs of
the permission cases drop CAP_DAC_OVERRIDE (this runs as root, and root ignores permission bits
otherwise).

In each case ensure-key and init-key of a new name fail cleanly with
"Keychain insert failed: <status>", while ensure-key of an existing name says "exists", init-key
of it is refused, and read-key gives the same 32 bytes as before. The file is left byte for
byte as it was, with nothing new beside it; once writable again, `PRAGMA integrity_check` says
ok and the new name can be created.

Needs root (mounts, capabilities). One form only: it is short.
"""

import hashlib
import os
import re
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stresslib as s  # noqa: E402

INSERT_FAILED = re.compile(rb"^Keychain insert failed: (-?[0-9]+)\n$")
NO_DAC = ("setpriv", "--bounding-set", "-dac_override,-dac_read_search,-fowner", "--")


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def clean_failure(outcome):
    status, out, err = outcome
    match = INSERT_FAILED.match(err)
    return status == 1 and out == b"" and match is not None and int(match.group(1)) != 0


def status_of(outcome):
    match = INSERT_FAILED.match(outcome[2])
    return match.group(1).decode() if match else None


class Case:
    def __init__(self, label, restrict, lift, prefix=()):
        self.label = label
        self.restrict = restrict
        self.lift = lift
        self.prefix = prefix


def folder_mode(mode):
    return lambda home: os.chmod(home.folder, mode)


def file_mode(mode):
    return lambda home: os.chmod(home.keychain, mode)


def both(*steps):
    def run(home):
        for step in steps:
            step(home)

    return run


def read_only_mount(path_of):
    def restrict(home):
        s.mount("--bind", path_of(home), path_of(home))
        s.mount("-o", "remount,bind,ro", path_of(home))

    def lift(home):
        s.umount(path_of(home))

    return restrict, lift


def existing_keychain_case(options, tally, case, statuses):
    home = s.Home(options.binary, keep=options.keep)
    restricted = False
    try:
        tally.check(home.run("ensure-key", "seed") == s.CREATED, "%s: seed created" % case.label)
        tally.check(home.run("ensure-key", "other") == s.CREATED, "%s: other created" % case.label)
        seed, outcome = home.read_key("seed")
        tally.check(seed is not None, "%s: seed reads back: %s" % (case.label, s.describe(outcome)))
        before = digest(home.keychain)
        entries_before = home.folder_entries()

        case.restrict(home)
        restricted = True
        run = lambda operation, name: home.run(operation, name, prefix=case.prefix)
        for operation in ("ensure-key", "init-key"):
            outcome = run(operation, "new-" + operation)
            if tally.check(clean_failure(outcome), "%s: %s of a new name: %s"
                           % (case.label, operation, s.describe(outcome))):
                statuses.setdefault(case.label, set()).add(status_of(outcome))
        outcome = run("ensure-key", "seed")
        tally.check(outcome == s.EXISTS, "%s: ensure-key seed: %s" % (case.label, s.describe(outcome)))
        outcome = run("init-key", "seed")
        tally.check(outcome == s.REFUSED, "%s: init-key seed: %s" % (case.label, s.describe(outcome)))
        key, outcome = home.read_key("seed", prefix=case.prefix)
        tally.check(key == seed, "%s: read-key seed gives the same key: %s" % (case.label, s.describe(outcome)))
        key, outcome = home.read_key("other", prefix=case.prefix)
        tally.check(key is not None, "%s: read-key other: %s" % (case.label, s.describe(outcome)))
        tally.check(digest(home.keychain) == before, "%s: the file is unchanged" % case.label)
        tally.check(home.folder_entries() == entries_before, "%s: nothing new beside it: %s"
                    % (case.label, home.folder_entries()))

        case.lift(home)
        restricted = False
        verdict = s.integrity(home.keychain)
        tally.check(verdict == "ok", "%s: integrity_check says %r" % (case.label, verdict))
        stored = s.item_rows(home.keychain) or {}
        tally.check(sorted(stored) == ["other", "seed"], "%s: stored %s" % (case.label, sorted(stored)))
        outcome = home.run("ensure-key", "new-ensure-key")
        tally.check(outcome == s.CREATED, "%s: writable again, the new name is created: %s"
                    % (case.label, s.describe(outcome)))
        tally.check(home.folder_entries() == ["login.keychain-db"], "%s: folder holds %s"
                    % (case.label, home.folder_entries()))
    finally:
        if restricted:
            case.lift(home)
        home.close()


def no_keychain_yet(options, tally, statuses):
    label = "read-only data folder, no keychain yet"
    home = s.Home(options.binary, keep=options.keep)
    restrict, lift = read_only_mount(lambda h: h.data)
    restricted = False
    try:
        restrict(home)
        restricted = True
        for operation in ("ensure-key", "init-key"):
            outcome = home.run(operation, "first")
            if tally.check(clean_failure(outcome), "%s: %s: %s" % (label, operation, s.describe(outcome))):
                statuses.setdefault(label, set()).add(status_of(outcome))
        key, outcome = home.read_key("first")
        tally.check(outcome[0] == 1 and outcome[2] == b"Keychain read denied or unavailable\n",
                    "%s: read-key: %s" % (label, s.describe(outcome)))
        lift(home)
        restricted = False
        tally.check(os.listdir(home.data) == [], "%s: nothing was made: %s" % (label, os.listdir(home.data)))
        tally.check(home.run("ensure-key", "first") == s.CREATED, "%s: writable again, created" % label)
    finally:
        if restricted:
            lift(home)
        home.close()


def leave_hot_journal(home, name):
    """Kills an ensure-key of `name` at the journal's unlink, the last step of its commit, so a
    hot journal is left beside the keychain whatever the filesystem (on a tmpfs a kill from
    outside comes too late: the commit is done before it lands). The run itself unlinks nothing
    else (its pinentry, a child, is not traced), and the journal's path goes through
    /proc/self/fd, so it is the first unlink that is stopped. True when the journal is hot."""
    journal = home.keychain + "-journal"
    killer = ("strace", "-qq", "-o", "/dev/null", "-e", "trace=unlink,unlinkat",
              "-e", "inject=unlink,unlinkat:signal=SIGKILL:when=1", "--")
    status, _, _ = home.run("ensure-key", name, prefix=killer)
    state = s.journal_state(journal)
    return status == -signal.SIGKILL and state is not None and state[2] == s.JOURNAL_MAGIC


def hot_journal_case(options, tally):
    """A writer killed inside its commit left a hot journal, and then the folder can't be
    written: no run can roll the journal back, so every run must fail cleanly rather than read
    the half-written file or report a key as missing (and create it)."""
    label = "hot journal in a folder 0500"
    home = s.Home(options.binary, keep=options.keep)
    try:
        tally.check(home.run("ensure-key", "seed") == s.CREATED, "%s: seed created" % label)
        seed, outcome = home.read_key("seed")
        if not tally.check(leave_hot_journal(home, "victim"), "%s: a hot journal was left" % label):
            return
        os.chmod(home.folder, 0o500)
        expected = [
            ("ensure-key", "seed", (1, b"", b"Keychain lookup failed\n")),
            ("ensure-key", "victim", (1, b"", b"Keychain lookup failed\n")),
            ("ensure-key", "new", (1, b"", b"Keychain lookup failed\n")),
        ]
        for operation, name, want in expected:
            outcome = home.run(operation, name, prefix=NO_DAC)
            tally.check(outcome == want, "%s: %s %s: %s" % (label, operation, name, s.describe(outcome)))
        outcome = home.run("init-key", "victim", prefix=NO_DAC)
        tally.check(clean_failure(outcome), "%s: init-key victim: %s" % (label, s.describe(outcome)))
        key, outcome = home.read_key("seed", prefix=NO_DAC)
        tally.check(outcome == (1, b"", b"Keychain read denied or unavailable\n"),
                    "%s: read-key seed: %s" % (label, s.describe(outcome)))
        os.chmod(home.folder, 0o700)
        # Writable again: the next run rolls the journal back and all is as before the kill.
        tally.check(home.run("ensure-key", "seed") == s.EXISTS, "%s: then seed exists" % label)
        tally.check(home.folder_entries() == ["login.keychain-db"], "%s: the journal is gone: %s"
                    % (label, home.folder_entries()))
        verdict = s.integrity(home.keychain)
        tally.check(verdict == "ok", "%s: integrity_check says %r" % (label, verdict))
        tally.check(sorted(s.item_rows(home.keychain) or {}) == ["seed"], "%s: only seed is stored" % label)
        key, outcome = home.read_key("seed")
        tally.check(key == seed, "%s: seed reads back unchanged: %s" % (label, s.describe(outcome)))
        tally.check(home.run("ensure-key", "victim") == s.CREATED, "%s: victim can be created" % label)
    finally:
        if os.path.isdir(home.folder):
            os.chmod(home.folder, 0o700)
        home.close()


def main():
    s.in_private_mount_namespace(sys.argv)
    options = s.arguments(__doc__.splitlines()[0])
    tally = s.Tally()
    tally.note("read-only")
    restrict, lift = read_only_mount(lambda h: h.folder)
    cases = [
        Case("read-only mount of the folder", restrict, lift),
        Case("folder 0500", folder_mode(0o500), folder_mode(0o700), NO_DAC),
        Case("file 0400", file_mode(0o400), file_mode(0o600), NO_DAC),
        Case("folder 0500 and file 0400", both(folder_mode(0o500), file_mode(0o400)),
             both(folder_mode(0o700), file_mode(0o600)), NO_DAC),
    ]
    statuses = {}
    for case in cases:
        existing_keychain_case(options, tally, case, statuses)
    no_keychain_yet(options, tally, statuses)
    hot_journal_case(options, tally)
    for label, found in statuses.items():
        tally.note("%s: insert failed with %s" % (label, ", ".join(sorted(found))))
    tally.finish()


if __name__ == "__main__":
    main()
