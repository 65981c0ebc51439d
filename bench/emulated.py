"""The emulated board (board/build, board/run) driven over its console
socket for bench/run: one install from the rescue menu's USB choice, timed on
the host from the lines the launcher prints."""
import bisect
import os
import re
import select
import signal
import socket
import subprocess
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILT = os.path.join(REPO, "build", "board")
MENU = r"Option\? : "
WAIT = 300  # seconds for one line: the emulator shares two cores with the rest of the machine


def built():
    return all(os.path.exists(os.path.join(BUILT, f)) for f in ("vmlinux", "initramfs.cpio.gz"))


class Console:
    """One power-up of the board in DIR. Each chunk read keeps its time of
    arrival, so a line is dated when its first bytes reached the host."""

    def __init__(self, board, log):
        self.tmp = tempfile.TemporaryDirectory(prefix="bladebench-")
        path = os.path.join(self.tmp.name, "console")
        self.log = open(log, "ab")
        self.proc = subprocess.Popen([os.path.join(REPO, "board", "run"), "--serial-socket", path, board],
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log,
                                     start_new_session=True)
        self.sock = socket.socket(socket.AF_UNIX)
        self.text, self.pos, self.ends, self.times = "", 0, [], []
        deadline = time.monotonic() + WAIT
        while self.sock.connect_ex(path):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.fail("the console did not open")
            time.sleep(0.05)

    def fail(self, why):
        self.close()
        raise SystemExit(f"bench: board: {why}; console ends with:\n{self.text[-1500:]}")

    def expect(self, pattern):
        """The match of pattern past what was read, and when it arrived."""
        regex, deadline = re.compile(pattern), time.monotonic() + WAIT
        while not (m := regex.search(self.text, self.pos)):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                self.fail(f"no {pattern!r} within {WAIT} s")
            data = self.sock.recv(65536)
            if not data:
                self.fail(f"console closed waiting for {pattern!r}")
            self.text += data.decode("latin-1")
            self.ends.append(len(self.text))
            self.times.append(time.monotonic())
        self.pos = m.end()
        return m, self.times[bisect.bisect_right(self.ends, m.start())]

    def send(self, keys):
        self.sock.sendall(keys)
        return time.monotonic()

    def end(self):
        try:
            status = self.proc.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            self.fail(f"still running {WAIT} s after the last line")
        self.close()
        if status != 0:
            raise SystemExit(f"bench: board: board/run ended with {status}")

    def close(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()
        self.sock.close()
        self.log.write(self.text.encode("latin-1"))  # the console, for a look afterwards
        self.log.close()
        self.tmp.cleanup()


def install(board, log):
    """Seconds of the root filesystem's stage, of the slot file's, and of
    the whole package, for the stick's first file going into slot 1."""
    c = Console(board, log)
    c.expect(MENU)
    c.send(b"U")
    c.expect(r"Choose file number to install \(q to quit\): ")
    c.send(b"1\n")
    _, start = c.expect(r"Installing \S+\r?\n")
    _, rfs = c.expect(r"Installing Root Filesystem: ")
    _, app = c.expect(r"Installing Application: ")
    c.expect(r"Install image as image 1 or 2 \(hit return to just boot image\): ")
    # The slot's own line is not flushed before its write: the answer is
    # what starts it.
    slot = c.send(b"1\n")
    _, slot_done = c.expect(r"Image1 updated succeeded")
    _, done = c.expect(r"File processed")
    c.expect(MENU)
    c.send(b"R")
    c.end()
    return app - rfs, slot_done - slot, done - start


def slot1_md5(board, log):
    """What the application in slot 1 prints on the next power-up: it
    reads its own slot file on the board's jffs2."""
    c = Console(board, log)
    c.expect(MENU)
    c.send(b"E")
    m, _ = c.expect(r"([0-9a-f]{32})  /user/images/image1")
    c.end()
    return m.group(1)
