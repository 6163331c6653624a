#!/usr/bin/env python3
"""64 concurrent creators on one keychain, released at the same instant.

  - 64 `ensure-key` on one name: exactly one "created", every other "exists" or
    "Key already exists; refusing overwrite";
  - 64 `init-key` on one name: exactly one "created", every other refused;
  - 64 `ensure-key` on one name started 50 ms apart: one "created", the rest "exists" or refused;
  - 64 `ensure-key` on 64 distinct names: all "created".
Afterwards the keychain holds exactly the names created, `PRAGMA integrity_check` says ok, only
the keychain file is in its folder, and read-key gives 32 bytes of its own for each name (a
sample in the short form, all of them in the long form, which also repeats every round).
"""

import os
import random
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stresslib as s  # noqa: E402

CREATORS = 64


def start_together(home, commands, spacing=0.0):
    """Starts every (operation, name) waiting on a FIFO, then releases them all at once, or
    one every `spacing` seconds."""
    fifo = os.path.join(tempfile.mkdtemp(dir=home.dir), "start")
    os.mkfifo(fifo, 0o600)
    # Held open for writing, so no child blocks in open(); each child then waits in `read`
    # for its own line, and one write of all the lines releases them together.
    gate = os.open(fifo, os.O_RDWR)
    processes = [
        subprocess.Popen(
            ["/bin/sh", "-c", 'read -r _ < "$0" && exec "$@"', fifo] + home.command(operation, name),
            env=home.environment(False),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            cwd=home.dir,
        )
        for operation, name in commands
    ]
    time.sleep(0.3)
    started = time.monotonic()
    if spacing:
        for _ in processes:
            os.write(gate, b"\n")
            time.sleep(spacing)
    else:
        os.write(gate, b"\n" * len(processes))
    outcomes = []
    for process in processes:
        out, err = process.communicate(timeout=300)
        outcomes.append((process.returncode, out, err))
    os.close(gate)
    return outcomes, time.monotonic() - started


def one_name(home, tally, operation, name, allowed, spacing=0.0):
    outcomes, seconds = start_together(home, [(operation, name)] * CREATORS, spacing)
    created = outcomes.count(s.CREATED)
    tally.check(created == 1, "%d x %s %s: %d said created" % (CREATORS, operation, name, created))
    others = [o for o in outcomes if o != s.CREATED]
    odd = [s.describe(o) for o in others if o not in allowed]
    tally.check(not odd, "%d x %s %s: unexpected outcomes %s" % (CREATORS, operation, name, odd[:3]))
    apart = ", started %d ms apart" % (1000 * spacing) if spacing else ""
    tally.note(
        "%d x %s on one name%s: %d created, %d exists, %d refused, %d other; %.1f s"
        % (CREATORS, operation, apart, created, outcomes.count(s.EXISTS),
           outcomes.count(s.REFUSED), len(odd), seconds)
    )
    return [name] if created else []


def many_names(home, tally, prefix):
    names = ["%s-%02d" % (prefix, i) for i in range(CREATORS)]
    outcomes, seconds = start_together(home, [("ensure-key", n) for n in names])
    odd = [(n, s.describe(o)) for n, o in zip(names, outcomes) if o != s.CREATED]
    tally.check(not odd, "%d x ensure-key on distinct names: not created: %s" % (CREATORS, odd[:3]))
    tally.note("%d x ensure-key on %d names: %d created; %.1f s"
               % (CREATORS, CREATORS, CREATORS - len(odd), seconds))
    return [n for n, o in zip(names, outcomes) if o == s.CREATED]


def main():
    options = s.arguments(__doc__.splitlines()[0])
    rng = random.Random(options.seed)
    tally = s.Tally()
    form = "long" if options.long else "short"
    tally.note("concurrent-creators (%s form, seed %d)" % (form, options.seed))
    repeats = 4 if options.long else 1
    home = s.Home(options.binary, keep=options.keep)
    try:
        tally.check(home.run("ensure-key", "seed") == s.CREATED, "seed key created")
        created = ["seed"]
        for repeat in range(repeats):
            created += one_name(home, tally, "ensure-key", "shared-%d" % repeat, (s.EXISTS, s.REFUSED))
            created += one_name(home, tally, "init-key", "init-%d" % repeat, (s.REFUSED,))
            # Spread out, the later runs find the item already there.
            created += one_name(home, tally, "ensure-key", "spread-%d" % repeat,
                                (s.EXISTS, s.REFUSED), 0.05)
            created += many_names(home, tally, "distinct-%d" % repeat)

        stored = s.item_rows(home.keychain) or {}
        tally.check(sorted(stored) == sorted(created), "the keychain holds exactly the names created")
        tally.check(all(length == 32 + 16 for _, length in stored.values()),
                    "every stored secret is 32 bytes")
        verdict = s.integrity(home.keychain)
        tally.check(verdict == "ok", "integrity_check says %r" % verdict)
        entries = home.folder_entries()
        tally.check(entries == ["login.keychain-db"], "only the keychain file is left: %s" % entries)
        left = s.wait_for_pinentries(home)
        tally.check(not left, "pinentries left running: %s" % left)

        distinct = [n for n in created if n.startswith("distinct")]
        sample = created if options.long else \
            [n for n in created if n not in distinct] + rng.sample(distinct, 6)
        keys = {}
        for name in sample:
            key, outcome = home.read_key(name)
            if tally.check(key is not None, "read-key %s: %s" % (name, s.describe(outcome))):
                keys[name] = key
        tally.check(len(set(keys.values())) == len(keys), "every name read has a key of its own")
        tally.note("read back %d of %d keys" % (len(keys), len(created)))
    finally:
        home.close()
    tally.finish()


if __name__ == "__main__":
    main()
