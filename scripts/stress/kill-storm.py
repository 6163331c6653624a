#!/usr/bin/env python3
"""kill -9 storm over key creations on one keychain.

Rounds of concurrent `ensure-key` runs on a pool of names in one login keychain (created
first), each run killed with SIGKILL at a random moment (some are left to finish). After every
round, with no run left:
  - the runs that finished said "created", "exists" or "Key already exists; refusing overwrite";
  - the next run opens the file (rolling back what a killed writer left) and finds the seed key;
  - the folder holds the keychain and at most SQLite's journal, nothing else;
  - `PRAGMA integrity_check` says ok;
  - no item is lost or replaced: every item seen before is still there with the same stored
    record, every name a finished run reported on is stored, no name is "created" twice.
At the end every name answers "created"/"exists" to ensure-key, read-key gives 32 bytes for
each (all different), only the keychain file is left, and no pinentry outlived its run.

A second, smaller phase kills runs while they create the login keychain itself (fresh homes)
and checks the keychain is usable afterwards; temporary files a killed creation leaves are
counted and reported.

Short form by default (CI); --long or STRESS_LONG=1 for hundreds of kills.
"""

import os
import random
import signal
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stresslib as s  # noqa: E402


def kill_delay(rng, typical):
    """When to kill a run: anywhere in its life, or (half the time) close to its end, where it
    commits its add."""
    if rng.random() < 0.5:
        return rng.uniform(0, 1.2 * typical)
    return max(0.0, rng.gauss(0.95 * typical, 0.1 * typical))


def trigger_for(kind, journal):
    """A test telling when a writer is where this kind of round wants to kill it: "fresh" as
    soon as a new journal appears (the transaction has begun), "hot" once the journal is
    complete and the file itself is being changed."""
    if kind == "timed":
        return None
    before = s.journal_state(journal)

    def fired():
        now = s.journal_state(journal)
        if now is None:
            return False
        if kind == "hot":
            return now[2] == s.JOURNAL_MAGIC
        return before is None or now[:2] != before[:2]

    return fired


HUNG = 120  # seconds after which a run left to finish counts as hung and is killed


def reap(runs, started, trigger=None):
    """Kills each run at its moment unless it ended first; with `trigger`, kills every run
    marked for killing as soon as the trigger fires. Returns how many runs the kills ended, and
    when each run ended."""
    kills = 0
    ends = {}
    fired = False
    while len(ends) < len(runs):
        if not fired and trigger is not None and trigger():
            fired = True
            # Signal everyone first and reap afterwards: the writer's window is short.
            for index, (_, process, delay) in enumerate(runs):
                if index not in ends and delay is not None:
                    os.kill(process.pid, signal.SIGKILL)
        now = time.monotonic()
        for index, (_, process, delay) in enumerate(runs):
            if index in ends:
                continue
            if process.poll() is not None:
                ends[index] = now
                kills += process.returncode == -signal.SIGKILL and delay is not None
            elif (delay is not None and (fired or now >= started + delay)) or now > started + HUNG:
                os.kill(process.pid, signal.SIGKILL)
        if trigger is None:
            time.sleep(0.002)
    return kills, ends


def storm(options, tally, rng):
    rounds = 300 if options.long else 24
    pool_size = 500 if options.long else 48
    names_per_round = 4 if options.long else 3
    runs_per_name = 2
    finish_share = 0.25  # runs left to finish on their own

    home = s.Home(options.binary, keep=options.keep)
    try:
        tally.check(home.run("ensure-key", "seed") == s.CREATED, "seed key created")
        pool = ["storm-%03d" % i for i in range(pool_size)]
        stored = s.item_rows(home.keychain) or {}
        created_claims = {}
        durations = [0.15]  # seconds from start to exit of the runs that created a key
        figures = dict(runs=0, kills=0, finished=0, silent_commits=0, rolled_back=0, stale=0)
        lost = replaced = 0

        for round_number in range(rounds):
            missing = [n for n in pool if n not in stored]
            chosen = rng.sample(missing, min(len(missing), names_per_round - 1))
            chosen.append(rng.choice(pool))
            typical = statistics.median(durations[-40:])
            runs = []
            started = time.monotonic()
            for name in chosen:
                for _ in range(runs_per_name):
                    delay = None if rng.random() < finish_share else kill_delay(rng, typical)
                    runs.append((name, home.spawn("ensure-key", name), delay))
            figures["runs"] += len(runs)
            # Two rounds in three kill at random moments; the others kill as soon as a writer
            # has begun its transaction, or once its journal is complete (a late deadline
            # backs them up).
            kind = ("timed", "timed", "fresh", "timed", "timed", "hot")[round_number % 6]
            if kind != "timed":
                runs = [(n, p, 4 * typical) for n, p, _ in runs]
            kills, ends = reap(runs, started, trigger_for(kind, home.keychain + "-journal"))
            figures["kills"] += kills
            claims = []
            for index, (name, process, delay) in enumerate(runs):
                out, err = process.communicate(timeout=60)
                outcome = (process.returncode, out, err)
                if outcome == s.CREATED and delay is None and kind == "timed":
                    durations.append(ends[index] - started)
                tally.check(process.returncode != -9 or delay is not None,
                            "round %d: ensure-key %s hung" % (round_number, name))
                if process.returncode == -9:
                    # Killed after it had finished its add and printed: still a claim.
                    if out == b"created\n":
                        claims.append((name, "created"))
                    continue
                figures["finished"] += 1
                if not tally.check(
                    outcome in (s.CREATED, s.EXISTS, s.REFUSED),
                    "round %d: ensure-key %s ended with %s" % (round_number, name, s.describe(outcome)),
                ):
                    continue
                claims.append((name, {s.CREATED: "created", s.EXISTS: "exists"}.get(outcome, "refused")))

            journal = home.keychain + "-journal"
            journal_before = os.path.exists(journal)
            entries = home.folder_entries()
            tally.check(
                set(entries) <= {"login.keychain-db", "login.keychain-db-journal"},
                "round %d: after the kills the folder holds only the keychain and its journal: %s"
                % (round_number, entries),
            )
            probe = home.run("ensure-key", "seed")
            tally.check(probe == s.EXISTS, "round %d: the next run finds the seed key (%s)"
                        % (round_number, s.describe(probe)))
            if journal_before:
                if os.path.exists(journal):
                    figures["stale"] += 1
                else:
                    figures["rolled_back"] += 1
            entries = home.folder_entries()
            tally.check(
                set(entries) <= {"login.keychain-db", "login.keychain-db-journal"},
                "round %d: after the next run the folder holds only the keychain and its journal: %s"
                % (round_number, entries),
            )
            verdict = s.integrity(home.keychain)
            tally.check(verdict == "ok", "round %d: integrity_check says %r" % (round_number, verdict))

            now = s.item_rows(home.keychain)
            if not tally.check(now is not None, "round %d: keychain readable with sqlite3" % round_number):
                break
            for name, before in stored.items():
                if name not in now:
                    lost += 1
                    tally.check(False, "round %d: item %s lost" % (round_number, name))
                elif now[name] != before:
                    replaced += 1
                    tally.check(False, "round %d: item %s replaced" % (round_number, name))
            for name, claim in claims:
                tally.check(name in now, "round %d: %s reported %s but is not stored" % (round_number, name, claim))
                if claim == "created":
                    tally.check(name not in stored,
                                "round %d: %s created although it existed before" % (round_number, name))
                    created_claims[name] = created_claims.get(name, 0) + 1
            claimed = {name for name, _ in claims}
            figures["silent_commits"] += len([n for n in now if n not in stored and n not in claimed])
            tally.check(all(length == 32 + 16 for _, length in now.values()),
                        "round %d: every stored secret is 32 bytes" % round_number)
            stored = now

        twice = [name for name, count in created_claims.items() if count > 1]
        tally.check(not twice, "names created more than once: %s" % twice)

        # Every name answers, then reads back as 32 bytes of its own.
        keys = {}
        for name in ["seed"] + pool:
            outcome = home.run("ensure-key", name)
            expected = s.EXISTS if name in stored or name == "seed" else s.CREATED
            tally.check(outcome == expected, "final ensure-key %s: %s" % (name, s.describe(outcome)))
        for name in ["seed"] + pool:
            key, outcome = home.read_key(name)
            if tally.check(key is not None, "final read-key %s: %s" % (name, s.describe(outcome))):
                keys[name] = key
        tally.check(len(set(keys.values())) == len(keys), "every name has a key of its own")
        # A journal that a killed writer left before its transaction was complete is not hot:
        # SQLite keeps it until the next write, which this one is.
        tally.check(home.run("ensure-key", "last-write") == s.CREATED, "one more key created")
        entries = home.folder_entries()
        tally.check(entries == ["login.keychain-db"], "only the keychain file is left: %s" % entries)
        verdict = s.integrity(home.keychain)
        tally.check(verdict == "ok", "final integrity_check says %r" % verdict)
        final = s.item_rows(home.keychain) or {}
        tally.check(sorted(final) == sorted(["seed", "last-write"] + pool),
                    "the keychain holds exactly the pool, the seed and the last write")
        left = s.wait_for_pinentries(home)
        tally.check(not left, "pinentries left running: %s" % left)

        tally.note(
            "storm: %d rounds, %d runs, %d killed by SIGKILL, %d finished; "
            "%d killed after their add committed; %d hot journals rolled back, %d stale journals; "
            "items lost %d, replaced %d; typical creation %.0f ms"
            % (rounds, figures["runs"], figures["kills"], figures["finished"], figures["silent_commits"],
               figures["rolled_back"], figures["stale"], lost, replaced, 1000 * typical)
        )
    finally:
        home.close()


def creation(options, tally, rng):
    """Kills while the login keychain itself is being created."""
    trials = 60 if options.long else 6
    names = ["first", "second", "third"]
    kills = stray = 0
    for trial in range(trials):
        home = s.Home(options.binary, keep=False)
        try:
            started = time.monotonic()
            runs = [(name, home.spawn("ensure-key", name), rng.uniform(0, 0.25)) for name in names]
            for name, process, delay in sorted(runs, key=lambda r: r[2]):
                pause = started + delay - time.monotonic()
                if pause > 0:
                    time.sleep(pause)
                if s.kill(process):
                    kills += 1
            created = set()
            for name, process, _ in runs:
                out, err = process.communicate(timeout=60)
                outcome = (process.returncode, out, err)
                if process.returncode == -9:
                    if out == b"created\n":
                        created.add(name)
                    continue
                if tally.check(outcome in (s.CREATED, s.REFUSED),
                               "creation %d: ensure-key %s ended with %s" % (trial, name, s.describe(outcome))):
                    if outcome == s.CREATED:
                        created.add(name)
            entries = home.folder_entries()
            leftovers = [e for e in entries if e not in ("login.keychain-db", "login.keychain-db-journal")]
            stray += len([e for e in leftovers if e.endswith(".tmp") or e.endswith(".tmp-journal")])
            # A new keychain gets its name only once it is complete, so a kill leaves nothing.
            tally.check(not leftovers, "creation %d: files left behind %s" % (trial, leftovers))
            for name in names:
                outcome = home.run("ensure-key", name)
                expected = (s.EXISTS,) if name in created else (s.CREATED, s.EXISTS)
                tally.check(outcome in expected,
                            "creation %d: afterwards ensure-key %s: %s" % (trial, name, s.describe(outcome)))
            verdict = s.integrity(home.keychain)
            tally.check(verdict == "ok", "creation %d: integrity_check says %r" % (trial, verdict))
            key, outcome = home.read_key(names[0])
            tally.check(key is not None, "creation %d: read-key: %s" % (trial, s.describe(outcome)))
            left = s.wait_for_pinentries(home)
            tally.check(not left, "creation %d: pinentries left running: %s" % (trial, left))
        finally:
            home.close()
    tally.note("creation: %d trials, %d killed by SIGKILL; temporary files left by killed creations: %d"
               % (trials, kills, stray))


def main():
    options = s.arguments(__doc__.splitlines()[0])
    rng = random.Random(options.seed)
    tally = s.Tally()
    tally.note("kill-storm (%s form, seed %d)" % ("long" if options.long else "short", options.seed))
    started = time.monotonic()
    storm(options, tally, rng)
    tally.note("storm phase: %.1f s" % (time.monotonic() - started))
    started = time.monotonic()
    creation(options, tally, rng)
    tally.note("creation phase: %.1f s" % (time.monotonic() - started))
    tally.finish()


if __name__ == "__main__":
    main()
