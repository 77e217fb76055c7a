"""A subprocess that makes the API campaign's calls, so that a crash or a hang of one call is seen
as such instead of ending the test run. `Worker` (the test side) sends each call as a pickled
(entry name, argument recipes) over a pipe and waits at most `timeout` seconds for its outcome:
("ok",), ("documented", type name), ("undocumented", type name, message, traceback), or, seen
from outside, ("crash", exit status, standard error) and ("hang",). Run as a script it is the
subprocess: it limits its address space (unless AddressSanitizer runs it), so that an oversized
allocation fails instead of swapping, and makes every call on a fresh environment of valid
objects."""

import os
import pickle
import select
import struct
import subprocess
import sys
import tempfile
import time

import qarn_py

ADDRESS_SPACE = 6 << 30
STARTUP = 300.0  # seconds for the imports of a new worker (slow under sanitizers)
HEADER = struct.Struct("<Q")


def _write(fd, payload):
    data = HEADER.pack(len(payload)) + payload
    while data:
        data = data[os.write(fd, data):]


def _read_exactly(fd, size, deadline=None):
    chunks, remaining = [], size
    while remaining:
        if deadline is not None:
            ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                return None
        chunk = os.read(fd, remaining)
        if not chunk:
            raise EOFError
        chunks.append(chunk)
        remaining -= len(chunk)
    return b"".join(chunks)


class Worker:
    """The test side: one subprocess at a time, started again after a crash or a hang."""

    def __init__(self, timeout=10.0):
        self.timeout = timeout
        self.calls = 0
        self.process = None
        self._start()

    def _start(self):
        request_read, self._requests = os.pipe()
        self._responses, response_write = os.pipe()
        self._stderr = tempfile.TemporaryFile()
        environment = dict(os.environ)
        package_root = os.path.dirname(os.path.dirname(qarn_py.__file__))
        environment["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, environment.get("PYTHONPATH")]))
        self.process = subprocess.Popen(
            [sys.executable, __file__, str(request_read), str(response_write)], pass_fds=(request_read, response_write),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self._stderr, env=environment)
        os.close(request_read)
        os.close(response_write)
        # The subprocess says when its imports are done, so that a call's time limit counts the call alone.
        header = _read_exactly(self._responses, HEADER.size, time.monotonic() + STARTUP)
        if header is None or pickle.loads(_read_exactly(self._responses, HEADER.unpack(header)[0])) != ("ready",):
            raise RuntimeError(f"the campaign worker did not start: {self._stop()}")

    def _stop(self):
        self.process.kill()
        self.process.wait()
        os.close(self._requests)
        os.close(self._responses)
        self._stderr.seek(0)
        tail = self._stderr.read()[-3000:].decode(errors="replace")
        self._stderr.close()
        return tail

    def call(self, name, args):
        self.calls += 1
        try:
            _write(self._requests, pickle.dumps((name, args)))
            deadline = time.monotonic() + self.timeout
            header = _read_exactly(self._responses, HEADER.size, deadline)
            payload = header and _read_exactly(self._responses, HEADER.unpack(header)[0], deadline)
        except (EOFError, BrokenPipeError):
            self.process.wait()
            status = self.process.returncode
            outcome = ("crash", status, self._stop())
            self._start()
            return outcome
        if payload is None:
            self._stop()
            self._start()
            return ("hang",)
        return pickle.loads(payload)

    def close(self):
        self._stop()


PROBES = {"_abort": lambda _: os.abort(), "_sleep": time.sleep}


def serve(request_fd, response_fd):
    import resource
    import traceback
    import warnings

    # Under AddressSanitizer (preloaded) the shadow memory alone needs terabytes of address space;
    # its own allocation limit (make test-asan) stands in.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))
    warnings.simplefilter("ignore")
    import api_catalogue as catalogue

    entries = {entry.name: entry for entry in catalogue.ENTRIES}
    _write(response_fd, pickle.dumps(("ready",)))
    while True:
        try:
            header = _read_exactly(request_fd, HEADER.size)
        except EOFError:
            return
        name, args = pickle.loads(_read_exactly(request_fd, HEADER.unpack(header)[0]))
        if name in PROBES:  # the worker's own test: how a crash and a hang look from outside
            PROBES[name](args)
        entry = entries[name]
        try:
            env = catalogue.Env()
            catalogue.call_entry(entry, env, catalogue.resolve(args, env))
            outcome = ("ok",)
        except catalogue.DOCUMENTED as error:
            outcome = ("documented", type(error).__name__)
        except BaseException as error:  # noqa: B036 - anything else is what the campaign looks for
            outcome = ("undocumented", f"{type(error).__module__}.{type(error).__qualname__}", str(error)[:500],
                       traceback.format_exc()[-3000:])
        _write(response_fd, pickle.dumps(outcome))


if __name__ == "__main__":
    serve(int(sys.argv[1]), int(sys.argv[2]))
