"""A stand-in for pinentry that answers as a test script says and logs what it was told.

State lives in the folder its copy was made for (BAKED_STATE, set in the program's first lines),
else in $SCRIPTED_PINENTRY_DIR:
  script  one answer per line, taken in order across runs (see ScriptedPinentry.h); a line
          "always <answer>" (e.g. "always pin secret") is never used up, so it answers every
          prompt from there on, however many runs ask
  cursor  how many script lines were taken so far
  runs    how many processes were started
  log     one JSON object per command received: {"run", "command", "text"}; the text is
          decoded, and bytes that are not UTF-8 appear as lone surrogates U+DC80..U+DCFF
  pid     the pid of the latest run; pids lists every run's pid
  environ the names (not the values) of the latest run's environment variables
  fds     the file descriptors the latest run was started with
  flavour "asks-once": SETREPEAT is acknowledged but ignored, as pinentry-curses does (each
          GETPIN takes one answer and no "S PIN_REPEATED" is ever sent); otherwise the
          repeat is confirmed as pinentry-tty and -gtk2 do
The state files are changed under an flock on "lock", so concurrent runs are safe.
"""

import fcntl
import json
import os
import signal
import sys
import time

# Each copy keeps to its own state, so several can sit on one PATH.
STATE = globals().get("BAKED_STATE") or os.environ.get("SCRIPTED_PINENTRY_DIR", "")


def locked(action):
    with open(os.path.join(STATE, "lock"), "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            return action()
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


def read_int(name):
    try:
        with open(os.path.join(STATE, name)) as f:
            return int(f.read().strip() or "0")
    except FileNotFoundError:
        return 0


def write_text(name, text, mode="w"):
    with open(os.path.join(STATE, name), mode) as f:
        f.write(text)


def open_descriptors():
    listed = [int(name) for name in os.listdir("/proc/self/fd")]
    result = []
    for fd in sorted(listed):
        try:
            os.fstat(fd)  # the listing's own descriptor is closed by now
            result.append(fd)
        except OSError:
            pass
    return result


def start_run():
    run = read_int("runs") + 1
    write_text("runs", str(run))
    write_text("pid", str(os.getpid()))
    write_text("pids", "%d\n" % os.getpid(), "a")
    write_text("environ", "".join(name + "\n" for name in sorted(os.environ)))
    write_text("fds", "".join("%d\n" % fd for fd in open_descriptors()))
    return run


def next_answer():
    def take():
        try:
            with open(os.path.join(STATE, "script"), encoding="utf-8") as f:
                lines = f.read().split("\n")
        except FileNotFoundError:
            lines = []
        if lines and lines[-1] == "":
            lines.pop()
        cursor = read_int("cursor")
        line = lines[cursor] if cursor < len(lines) else "cancel"
        # "always <answer>" answers this prompt and every later one: it is never used up.
        if line.startswith("always "):
            return line[len("always ") :]
        write_text("cursor", str(cursor + 1))
        return line

    return locked(take)


def log(run, command, text):
    entry = json.dumps({"run": run, "command": command, "text": text}) + "\n"
    locked(lambda: write_text("log", entry, "a"))


def unescape(data):
    out = bytearray()
    i = 0
    while i < len(data):
        if data[i] == 0x25 and len(data) - i >= 3:
            out.append(int(data[i + 1 : i + 3], 16))
            i += 3
        else:
            out.append(data[i])
            i += 1
    return out.decode("utf-8", "surrogateescape")


def escape(text):
    out = bytearray()
    for byte in text.encode("utf-8", "surrogateescape"):
        if byte < 0x20 or byte == 0x25:
            out += b"%%%02X" % byte
        else:
            out.append(byte)
    return bytes(out)


def reply(line):
    if isinstance(line, str):
        line = line.encode("utf-8")
    sys.stdout.buffer.write(line + b"\n")
    sys.stdout.buffer.flush()


def hang():
    while True:
        time.sleep(3600)


def await_file(path):
    # Bounded: a test that never releases the prompt fails by its answer, not by a hang.
    for _ in range(1200):
        if os.path.exists(path):
            return
        time.sleep(0.05)


def answer(command, answer_line, repeat):
    word, _, text = answer_line.partition(" ")
    if word == "await":
        path, _, answer_line = text.partition(" ")
        await_file(path)
        word, _, text = answer_line.partition(" ")
    if word == "hang":
        hang()
    if word == "stubborn":  # SIGINT is already ignored: only SIGKILL ends it
        hang()
    if word == "eof":
        sys.exit(0)
    if word == "timeout":
        reply("S ERROR pinentry.timeout 83886142")
        return reply("ERR 83886142 Timeout <Pinentry>")
    if word == "notty":
        return reply("ERR 83918950 Inappropriate ioctl for device <Pinentry>")
    if word == "ttydenied":  # pinentry-curses in a terminal that another user owns
        reply("S ERROR curses.open_tty_for_read 83918849")
        return reply("ERR 83918849 Permission denied <Pinentry>")
    if command == "CONFIRM":
        if word in ("confirm", "pin"):
            return reply("OK")
        if word == "deny":
            return reply("ERR 83886194 Not confirmed <Pinentry>")
        return reply("ERR 83886179 Operation cancelled <Pinentry>")
    if word == "pin":
        if repeat:
            reply("S PIN_REPEATED")
        reply(b"D " + escape(text))
        return reply("OK")
    return reply("ERR 83886179 Operation cancelled <Pinentry>")


def asks_once():
    try:
        with open(os.path.join(STATE, "flavour")) as f:
            return f.read().strip() == "asks-once"
    except FileNotFoundError:
        return False


def main():
    signal.signal(signal.SIGINT, lambda *_: os._exit(2))
    if not STATE:
        reply("ERR 1 SCRIPTED_PINENTRY_DIR is not set")
        return
    run = start_run()
    honours_repeat = not asks_once()
    reply("OK Pleased to meet you")
    repeat = False
    stdin = sys.stdin.buffer
    while True:
        raw = stdin.readline()
        if not raw:
            return
        raw = raw.rstrip(b"\n")
        command, _, argument = raw.partition(b" ")
        command = command.decode("ascii", "replace")
        if command in ("GETPIN", "CONFIRM"):
            answer_line = next_answer()
            if answer_line == "stubborn":  # before the log shows the prompt as pending
                signal.signal(signal.SIGINT, signal.SIG_IGN)
            log(run, command, unescape(argument))
            answer(command, answer_line, repeat)
            continue
        log(run, command, unescape(argument))
        if command == "BYE":
            reply("OK closing connection")
            return
        if command == "SETREPEAT" and honours_repeat:
            repeat = True
        reply("OK")


if __name__ == "__main__":
    main()
