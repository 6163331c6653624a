"""Shared pieces of the stress scripts: a throw-away home for the real binary, the scripted
pinentry answering every prompt, PAM through libpam_wrapper, a tally of checks, and read-only
views of the keychain file.

Key bytes never leave memory: they are compared as bytes and never printed.
"""

import argparse
import hashlib
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PINENTRY_SOURCE = os.path.join(ROOT, "tests", "support", "scripted_pinentry.py")
PYTHON = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else shutil.which("python3")
PAM_LIBRARY_DIR = "/usr/lib/x86_64-linux-gnu"

CREATED = (0, b"created\n", b"")
EXISTS = (0, b"exists\n", b"")
REFUSED = (1, b"", b"Key already exists; refusing overwrite\n")


def arguments(description):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument(
        "--binary",
        default=os.environ.get("FERROWICK", os.path.join(ROOT, "build", "Ferrowick")),
        help="the Ferrowick binary (default: $FERROWICK or build/Ferrowick)",
    )
    parser.add_argument(
        "--long",
        action="store_true",
        default=os.environ.get("STRESS_LONG", "") not in ("", "0"),
        help="the long form (also STRESS_LONG=1)",
    )
    parser.add_argument("--seed", type=int, default=None, help="random seed (printed)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    options = parser.parse_args()
    if not os.access(options.binary, os.X_OK):
        sys.exit("build first: %s not found" % options.binary)
    options.binary = os.path.abspath(options.binary)
    if options.seed is None:
        options.seed = int.from_bytes(os.urandom(4), "little")
    return options


class Tally:
    """Counts checks; prints failures at once and the closing "N passed, N failed" line."""

    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.started = time.monotonic()

    def check(self, ok, what):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print("FAIL: " + what, flush=True)
        return ok

    def note(self, text):
        print(text, flush=True)

    def finish(self):
        print("time: %.1f s" % (time.monotonic() - self.started))
        print("%d passed, %d failed" % (self.passed, self.failed), flush=True)
        sys.exit(1 if self.failed or not self.passed else 0)


def describe(outcome):
    """An outcome for a message: status and the texts, never more than the first line."""
    status, out, err = outcome
    shown = lambda b: b[:120].decode("utf-8", "replace").strip()
    if status == 0 and len(out) == 32:
        return "status 0 with 32 bytes"
    return "status %s, out %r, err %r" % (status, shown(out), shown(err))


_sanitized = {}


def sanitized(binary):
    """Whether the binary is built with AddressSanitizer."""
    if binary not in _sanitized:
        try:
            done = subprocess.run(["nm", "-D", binary], capture_output=True, text=True)
            _sanitized[binary] = "__asan_init" in done.stdout
        except OSError:
            _sanitized[binary] = False
    return _sanitized[binary]


class Home:
    """A private home with the scripted pinentry on PATH and a PAM service for ferrowick.

    Every prompt gets the same answer ("always pin <password>"): the owner's PAM password and
    the keychain password are the same throw-away value.
    """

    def __init__(self, binary, keep=False, base=None):
        self.binary = binary
        self.sanitized = sanitized(binary)
        self.keep = keep
        self.dir = tempfile.mkdtemp(prefix="ferrowick-stress-", dir=base)
        os.chmod(self.dir, 0o700)
        self.home = self.path("home")
        self.data = self.path("data")
        self.state = self.path("pinentry")
        self.bin = self.path("bin")
        self.pam = self.path("pam")
        for folder in (self.home, self.data, self.state, self.bin, self.pam):
            os.mkdir(folder, 0o700)
        with open(PINENTRY_SOURCE, encoding="utf-8") as f:
            program = "#!%s -IS\n" % PYTHON + f.read()
        pinentry = os.path.join(self.bin, "pinentry")
        with open(pinentry, "w", encoding="utf-8") as f:
            f.write(program)
        os.chmod(pinentry, 0o700)
        self.password = os.urandom(12).hex()
        user = subprocess.run(["id", "-un"], capture_output=True, text=True).stdout.strip()
        matrix = os.path.join(PAM_LIBRARY_DIR, "pam_wrapper", "pam_matrix.so")
        passdb = os.path.join(self.pam, "passdb")
        with open(passdb, "w") as f:
            f.write("%s:%s:ferrowick\n" % (user, self.password))
        os.chmod(passdb, 0o600)
        with open(os.path.join(self.pam, "ferrowick"), "w") as f:
            f.write("auth required %s passdb=%s\n" % (matrix, passdb))
            f.write("account required %s passdb=%s\n" % (matrix, passdb))
        with open(os.path.join(self.pam, "other"), "w") as f:
            f.write("auth required pam_deny.so\naccount required pam_deny.so\n")
        self.script(["always pin " + self.password])

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    @property
    def folder(self):
        return os.path.join(self.data, "ferrowick", "keychains")

    @property
    def keychain(self):
        return os.path.join(self.folder, "login.keychain-db")

    def script(self, lines):
        with open(os.path.join(self.state, "script"), "w", encoding="utf-8") as f:
            f.write("".join(line + "\n" for line in lines))
        with open(os.path.join(self.state, "cursor"), "w") as f:
            f.write("0")

    def pinentry_runs(self):
        try:
            with open(os.path.join(self.state, "runs")) as f:
                return int(f.read().strip() or "0")
        except FileNotFoundError:
            return 0

    def pinentry_pids(self):
        try:
            with open(os.path.join(self.state, "pids")) as f:
                return [int(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def environment(self, pam=False):
        env = {
            "HOME": self.home,
            "XDG_DATA_HOME": self.data,
            "PATH": "%s:/usr/bin:/bin" % self.bin,
            "SCRIPTED_PINENTRY_DIR": self.state,
            "LANG": "C.UTF-8",
        }
        if pam:
            # Only for the runs that ask the owner: the wrapper sets itself up in every process
            # it enters, and many at once trip over each other's /tmp/pam.X folders.
            env["LD_PRELOAD"] = os.path.join(PAM_LIBRARY_DIR, "libpam_wrapper.so")
            env["PAM_WRAPPER"] = "1"
            env["PAM_WRAPPER_SERVICE_DIR"] = self.pam
            if self.sanitized:
                # The wrapper's RTLD_DEEPBIND breaks the sanitizers' interposition, and ASan
                # wants to come first in the library list.
                env["UID_WRAPPER_DISABLE_DEEPBIND"] = "1"
                env["PAM_WRAPPER_DISABLE_DEEPBIND"] = "1"
                env["ASAN_OPTIONS"] = "verify_asan_link_order=0"
        return env

    def command(self, operation, operand, prefix=(), pam=False):
        """The command line; with a `prefix` (a program that runs the binary), PAM's variables
        are set only for the binary: the wrapper makes a /tmp/pam.X folder in every process it
        is loaded into and removes it at exit, so a process that goes on to exec leaves its
        folder behind."""
        if not (prefix and pam):
            return list(prefix) + [self.binary, operation, operand]
        preload = {k: v for k, v in self.environment(True).items() if k not in self.environment(False)}
        settings = ["%s=%s" % item for item in sorted(preload.items())]
        return list(prefix) + ["/usr/bin/env"] + settings + [self.binary, operation, operand]

    def run(self, operation, operand, pam=None, timeout=120, prefix=()):
        """(status, stdout, stderr); a status below 0 is the signal that ended the run."""
        if pam is None:
            pam = operation in ("read-key", "approve")
        try:
            done = subprocess.run(
                self.command(operation, operand, prefix, pam),
                env=self.environment(pam and not prefix),
                stdin=subprocess.DEVNULL,
                capture_output=True,
                timeout=timeout,
                cwd=self.dir,
            )
        except subprocess.TimeoutExpired as expired:
            return (-999, expired.stdout or b"", expired.stderr or b"")
        return (done.returncode, done.stdout, done.stderr)

    def spawn(self, operation, operand):
        return subprocess.Popen(
            self.command(operation, operand),
            env=self.environment(False),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            cwd=self.dir,
        )

    def read_key(self, name, prefix=()):
        """The 32 key bytes, or None; the outcome for the message."""
        outcome = self.run("read-key", name, pam=True, prefix=prefix)
        status, out, err = outcome
        return (out if status == 0 and len(out) == 32 and err == b"" else None), outcome

    def folder_entries(self):
        try:
            return sorted(os.listdir(self.folder))
        except FileNotFoundError:
            return []

    def close(self):
        if self.keep:
            print("work folder kept: " + self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)


def item_rows(path):
    """{account: fingerprint of the stored record} read with a read-only connection, or None
    when the file can't be read. The fingerprint covers the item's uuid, nonce and sealed
    secret, so a replaced or rewritten item shows as a changed value."""
    try:
        db = sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=10)
        try:
            rows = db.execute("SELECT account, uuid, nonce, secret, length(secret) FROM item")
            result = {}
            for account, uuid, nonce, secret, length in rows:
                digest = hashlib.sha256(bytes(uuid) + bytes(nonce) + bytes(secret)).hexdigest()
                result[bytes(account).decode("utf-8", "replace")] = (digest, length)
            return result
        finally:
            db.close()
    except sqlite3.Error:
        return None


def integrity(path):
    """What `sqlite3 <file> 'PRAGMA integrity_check'` says."""
    done = subprocess.run(
        ["sqlite3", path, "PRAGMA integrity_check"], capture_output=True, text=True, timeout=60
    )
    return (done.stdout + done.stderr).strip()


def alive(pid):
    """A pid that is still one of our scripted pinentries."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return b"pinentry" in f.read()
    except OSError:
        return False


def wait_for_pinentries(home, seconds=5.0):
    """The scripted pinentries still running after a grace period (their parents are gone)."""
    deadline = time.monotonic() + seconds
    while True:
        left = [pid for pid in home.pinentry_pids() if alive(pid)]
        if not left or time.monotonic() > deadline:
            return left
        time.sleep(0.1)


def kill(process):
    """SIGKILL; True when it ended the process (it had not exited by itself before)."""
    if process.poll() is not None:
        return False
    try:
        os.kill(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        return False
    process.wait()
    return process.returncode == -signal.SIGKILL


JOURNAL_MAGIC = bytes.fromhex("d9d505f920a163d7")  # a rollback journal that is complete: hot


def journal_state(journal):
    """(inode, change time, first 8 bytes) of the journal, or None when there is none."""
    try:
        with open(journal, "rb") as f:
            info = os.fstat(f.fileno())
            return (info.st_ino, info.st_ctime_ns, f.read(8))
    except OSError:
        return None


def leave_hot_journal(home, name, attempts=20):
    """Kills an ensure-key of `name` in the middle of its commit, so that a hot journal is left
    beside the keychain. True when it is."""
    journal = home.keychain + "-journal"
    for _ in range(attempts):
        process = home.spawn("ensure-key", name)
        while process.poll() is None:
            state = journal_state(journal)
            if state is not None and state[2] == JOURNAL_MAGIC:
                os.kill(process.pid, signal.SIGKILL)
                break
        process.communicate()
        state = journal_state(journal)
        if process.returncode == -signal.SIGKILL and state is not None and state[2] == JOURNAL_MAGIC:
            return True
        if process.returncode == 0:
            return False  # it got through: the name is taken now
    return False


def in_private_mount_namespace(argv):
    """Re-runs this script in a private mount namespace (mounts vanish with it), once."""
    if os.environ.get("FERROWICK_STRESS_UNSHARED") == "1":
        return
    if os.geteuid() != 0:
        sys.exit("needs root (mounts a small tmpfs): run as root or skip this script")
    env = dict(os.environ, FERROWICK_STRESS_UNSHARED="1")
    done = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", sys.executable] + argv, env=env
    )
    sys.exit(done.returncode)


def mount(*arguments):
    subprocess.run(["mount"] + list(arguments), check=True)


def umount(path):
    subprocess.run(["umount", "-l", path], check=False)
