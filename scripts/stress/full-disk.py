#!/usr/bin/env python3
"""A full disk under the keychain.

The keychain folder lives on a small tmpfs (in a private mount namespace, so the mount goes away
with this script even if it dies). A filler file takes all space but a few pages, for a sweep
of free sizes; at each size one new key is added with ensure-key. The add either succeeds
("created") or fails cleanly with "Keychain insert failed: <status>"; never a crash, a hang or
"created" for a key that isn't there. After each add, with the space freed again: the existing
keys read back unchanged, `PRAGMA integrity_check` says ok, the folder holds only the keychain,
the new key is stored exactly when "created" was said, and a failed name can now be created.
On the full disk itself the lookups still work: ensure-key of an existing name says "exists",
init-key of it is refused, and read-key gives its 32 bytes.

The same sweep is run for the first add of all, which creates the keychain file itself.

Needs root (mount). Short form by default; --long or STRESS_LONG=1 sweeps page by page.
"""

import errno
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stresslib as s  # noqa: E402

PAGE = 4096
DISK = 512 * 1024
INSERT_FAILED = re.compile(rb"^Keychain insert failed: (-?[0-9]+)\n$")


def free_bytes(path):
    info = os.statvfs(path)
    return info.f_bavail * info.f_frsize


def fill(mount_point, leave):
    """Takes all space on the tmpfs but `leave` bytes (in whole pages)."""
    filler = os.path.join(mount_point, "filler")
    empty(mount_point)
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        for chunk in (64 * 1024, PAGE):
            block = b"\0" * chunk
            while True:
                try:
                    os.write(fd, block)
                except OSError as error:
                    if error.errno != errno.ENOSPC:
                        raise
                    break
        size = os.fstat(fd).st_size
        os.ftruncate(fd, max(0, size - size % PAGE - leave))
    finally:
        os.close(fd)
    return free_bytes(mount_point)


def empty(mount_point):
    try:
        os.unlink(os.path.join(mount_point, "filler"))
    except FileNotFoundError:
        pass


def clean_failure(outcome):
    status, out, err = outcome
    match = INSERT_FAILED.match(err)
    return status == 1 and out == b"" and match is not None and int(match.group(1)) != 0


def add_sweep(options, tally):
    """Adds to an existing keychain at each free size."""
    home = s.Home(options.binary, keep=options.keep)
    mounted = False
    try:
        s.mount("-t", "tmpfs", "-o", "size=%d,mode=0700" % DISK, "ferrowick-full", home.data)
        mounted = True
        tally.check(home.run("ensure-key", "seed") == s.CREATED, "seed key created")
        seed, outcome = home.read_key("seed")
        tally.check(seed is not None, "seed key reads back: %s" % s.describe(outcome))

        last = 16 if options.long else 8
        leaves = [pages * PAGE for pages in range(0, last + 1)]
        rounds = 3 if options.long else 1
        statuses = {}
        created = failed = 0
        existing = ["seed"]
        for round_number in range(rounds):
            for leave in leaves:
                label = "round %d, %d bytes free" % (round_number, leave)
                name = "full-%d-%d" % (round_number, leave)
                free = fill(home.data, leave)
                if leave == 0:
                    # Lookups and reads need no space.
                    tally.check(home.run("ensure-key", "seed") == s.EXISTS, "%s: ensure-key seed says exists" % label)
                    tally.check(home.run("init-key", "seed") == s.REFUSED, "%s: init-key seed is refused" % label)
                    key, outcome = home.read_key("seed")
                    tally.check(key == seed, "%s: read-key seed on the full disk: %s" % (label, s.describe(outcome)))
                started = time.monotonic()
                outcome = home.run("ensure-key", name, timeout=60)
                seconds = time.monotonic() - started
                ok = outcome == s.CREATED or clean_failure(outcome)
                tally.check(ok, "%s (statvfs %d): ensure-key ended with %s" % (label, free, s.describe(outcome)))
                if clean_failure(outcome):
                    failed += 1
                    text = INSERT_FAILED.match(outcome[2]).group(1).decode()
                    statuses[text] = statuses.get(text, 0) + 1
                elif outcome == s.CREATED:
                    created += 1
                tally.check(seconds < 30, "%s: the add took %.1f s" % (label, seconds))
                empty(home.data)

                entries = home.folder_entries()
                tally.check(set(entries) <= {"login.keychain-db"}, "%s: folder holds %s" % (label, entries))
                verdict = s.integrity(home.keychain)
                tally.check(verdict == "ok", "%s: integrity_check says %r" % (label, verdict))
                stored = s.item_rows(home.keychain) or {}
                tally.check((name in stored) == (outcome == s.CREATED),
                            "%s: stored %s, said %s" % (label, name in stored, s.describe(outcome)))
                for other in existing:
                    tally.check(other in stored, "%s: %s is still stored" % (label, other))
                key, outcome = home.read_key("seed")
                tally.check(key == seed, "%s: seed reads back unchanged: %s" % (label, s.describe(outcome)))
                if name not in stored:
                    again = home.run("ensure-key", name)
                    tally.check(again == s.CREATED, "%s: with space again %s is created: %s"
                                % (label, name, s.describe(again)))
                existing.append(name)
        for name in existing:
            key, outcome = home.read_key(name)
            tally.check(key is not None, "read-key %s at the end: %s" % (name, s.describe(outcome)))
        tally.note("adds on a full disk: %d created, %d failed cleanly, statuses %s"
                   % (created, failed, statuses or "none"))
    finally:
        if mounted:
            s.umount(home.data)
        home.close()


def creation_sweep(options, tally):
    """The first add, which creates the keychain file, at each free size."""
    pages = range(0, 13) if options.long else (0, 3, 6, 10)
    leaves = [count * PAGE for count in pages]
    statuses = {}
    made = 0
    for leave in leaves:
        label = "keychain creation, %d bytes free" % leave
        home = s.Home(options.binary, keep=False)
        mounted = False
        try:
            s.mount("-t", "tmpfs", "-o", "size=%d,mode=0700" % DISK, "ferrowick-full", home.data)
            mounted = True
            fill(home.data, leave)
            outcome = home.run("ensure-key", "first", timeout=60)
            tally.check(outcome == s.CREATED or clean_failure(outcome),
                        "%s: ensure-key ended with %s" % (label, s.describe(outcome)))
            if clean_failure(outcome):
                text = INSERT_FAILED.match(outcome[2]).group(1).decode()
                statuses[text] = statuses.get(text, 0) + 1
            empty(home.data)
            entries = home.folder_entries()
            if outcome == s.CREATED:
                tally.check(entries == ["login.keychain-db"], "%s: folder holds %s" % (label, entries))
            else:
                # The keychain file may have been made before the item's insert ran out of
                # space: then it is complete and empty. Nothing else may be left.
                tally.check(entries in ([], ["login.keychain-db"]), "%s: folder holds %s" % (label, entries))
                if entries:
                    made += 1
                    tally.check(s.item_rows(home.keychain) == {}, "%s: the keychain made is empty" % label)
            if outcome != s.CREATED:
                outcome = home.run("ensure-key", "first")
                tally.check(outcome == s.CREATED, "%s: with space again: %s" % (label, s.describe(outcome)))
            verdict = s.integrity(home.keychain)
            tally.check(verdict == "ok", "%s: integrity_check says %r" % (label, verdict))
            key, outcome = home.read_key("first")
            tally.check(key is not None, "%s: read-key: %s" % (label, s.describe(outcome)))
        finally:
            if mounted:
                s.umount(home.data)
            home.close()
    tally.note("keychain creation on a full disk: %d sizes, failure statuses %s; %d failed adds left an "
               "empty, sound keychain" % (len(leaves), statuses or "none", made))


def main():
    s.in_private_mount_namespace(sys.argv)
    options = s.arguments(__doc__.splitlines()[0])
    tally = s.Tally()
    tally.note("full-disk (%s form)" % ("long" if options.long else "short"))
    add_sweep(options, tally)
    creation_sweep(options, tally)
    tally.finish()


if __name__ == "__main__":
    main()
