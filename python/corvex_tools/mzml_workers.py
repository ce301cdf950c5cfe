"""Worker processes that render a sample's spectrum elements in parallel.

Building Python lists of a spectrum's peaks, packing them, compressing,
base64-encoding and formatting the element all hold the interpreter's lock,
so one process converts at the speed of one core whatever the number of
threads.  Here each of N worker processes streams the whole sample with
``iter_spectra`` and renders every N-th run of ``chunk_spectra`` spectra,
leaving the others untouched (their peak lists are never built).  The
parent reads the workers' pipes in turn, which gives the elements in
document order, and writes them into the psims document.

A worker gets its job as a pickle on its standard input, then, once the
parent has resolved them through psims, the texts of the controlled-
vocabulary parameters; it packs and compresses spectra before the texts
arrive and renders them afterwards.  It answers with frames on its standard
output: a header (kind, length of the metadata, length of the body), the
metadata and the body.
"""

from __future__ import annotations

import os
import pickle
import queue
import signal
import struct
import subprocess
import sys
import threading
import traceback
from typing import IO, Any, Dict, Iterator, List, NamedTuple, Optional

from . import ToolError, gc_paused

try:
    import fcntl
except ImportError:  # pragma: no cover - not on a POSIX system
    fcntl = None  # type: ignore[assignment]
from .elements import Layouts, ParamTexts, Pending, encode_arrays, render, spectrum_fields

_HEADER = struct.Struct("<BQQ")
_CHUNK, _END, _READER_ERROR, _FAULT = 1, 2, 3, 4
# Frames a worker may hold ready while the parent is busy with the others.
_QUEUED_FRAMES = 4


class Chunk(NamedTuple):
    """A run of consecutive spectrum elements, rendered."""

    native_ids: List[str]
    lengths: List[int]  # of each element in bytes, line break and indentation before it included
    body: bytes
    analyzer: Optional[str]  # the analyzer of the chunk's first spectrum


class WorkerProcesses:
    """``count`` worker processes rendering the spectra of ``sample``, started at once.

    Call :meth:`send_param_texts` once, iterate :meth:`chunks`, and
    :meth:`close` in every case (the class is a context manager).
    """

    def __init__(self, path: str, sample: str, count: int, chunk_spectra: int, compression: bool) -> None:
        if count < 1 or chunk_spectra < 1:
            raise ValueError("need at least one worker and one spectrum per chunk")
        self._count, self._chunk_spectra = count, chunk_spectra
        # A child sees the same modules as this interpreter, however they were found.
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(entry for entry in sys.path if entry))
        self._processes: List[subprocess.Popen[bytes]] = []
        try:
            for worker in range(count):
                process = subprocess.Popen(_worker_command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                           env=env)
                self._processes.append(process)
                _enlarge_pipe(process.stdout)
                job = {"path": path, "sample": sample, "worker": worker, "workers": count,
                       "chunk_spectra": chunk_spectra, "compression": compression}
                self._send(process, job, last=False)
        except BaseException:
            self.close()
            raise

    def __enter__(self) -> "WorkerProcesses":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    @staticmethod
    def _send(process: "subprocess.Popen[bytes]", message: Any, *, last: bool) -> None:
        stdin = process.stdin
        assert stdin is not None
        try:
            pickle.dump(message, stdin)
            stdin.flush()
            if last:
                stdin.close()
        except BrokenPipeError:
            pass  # the worker is gone; reading its output says why

    def send_param_texts(self, texts: ParamTexts) -> None:
        """Give the workers the text of every parameter their elements can use."""
        for process in self._processes:
            self._send(process, texts, last=True)

    def chunks(self) -> Iterator[Chunk]:
        """The rendered spectra in document order.

        Raises RuntimeError with the reader's message when reading the
        sample fails, and ToolError when a worker fails otherwise.
        """
        yielded = 0
        for number in range(sys.maxsize):
            worker = number % self._count
            kind, meta, body = self._read_frame(worker)
            if kind == _CHUNK:
                first_index, native_ids, lengths, analyzer = pickle.loads(meta)
                if first_index != yielded:
                    raise ToolError(f"conversion worker {worker} sent spectrum {first_index} "
                                    f"where {yielded} was due")
                yielded += len(native_ids)
                yield Chunk(native_ids, lengths, body, analyzer)
            elif kind == _END:
                total = pickle.loads(meta)
                if total != yielded:
                    raise ToolError(f"conversion worker {worker} counted {total} spectra where "
                                    f"{yielded} were rendered")
                return
            elif kind == _READER_ERROR:
                raise RuntimeError(meta.decode("utf-8", "replace"))
            else:
                raise ToolError(f"conversion worker {worker} failed: {meta.decode('utf-8', 'replace')}")

    def _read_frame(self, worker: int) -> "tuple[int, bytes, bytes]":
        stdout = self._processes[worker].stdout
        assert stdout is not None
        header = stdout.read(_HEADER.size)
        if len(header) == _HEADER.size:
            kind, meta_length, body_length = _HEADER.unpack(header)
            meta, body = stdout.read(meta_length), stdout.read(body_length)
            if len(meta) == meta_length and len(body) == body_length:
                return kind, meta, body
        status = self._processes[worker].wait()
        raise ToolError(f"conversion worker {worker} stopped unexpectedly (exit status {status})")

    def close(self) -> None:
        """Stop the workers: those that finished are reaped, the others killed."""
        for process in self._processes:
            if process.poll() is None:
                process.kill()
            for stream in (process.stdin, process.stdout):
                if stream is not None:
                    try:
                        stream.close()
                    except OSError:
                        pass
            process.wait()
        self._processes = []


def _worker_command() -> List[str]:
    return [sys.executable, "-m", __name__]


def _enlarge_pipe(pipe: Optional[IO[bytes]]) -> None:
    """Let a worker's pipe hold a whole chunk or so, to save context switches."""
    setsize = getattr(fcntl, "F_SETPIPE_SZ", None)
    if pipe is not None and setsize is not None:
        try:
            fcntl.fcntl(pipe.fileno(), setsize, 1 << 20)
        except OSError:
            pass  # above the system's limit: the default size works too


# -- the worker side ----------------------------------------------------------


class _Sender:
    """Writes frames to the parent from a thread, so that rendering goes on while the pipe is full."""

    def __init__(self, channel: IO[bytes]) -> None:
        self._channel = channel
        self._frames: "queue.Queue[Optional[List[bytes]]]" = queue.Queue(_QUEUED_FRAMES)
        self._failed = False
        self._thread = threading.Thread(target=self._run, name="corvex-send", daemon=True)
        self._thread.start()

    def send(self, kind: int, meta: bytes, body: bytes = b"") -> None:
        if self._failed:
            raise BrokenPipeError("the parent closed the pipe")
        self._frames.put([_HEADER.pack(kind, len(meta), len(body)), meta, body])

    def _run(self) -> None:
        while True:
            frame = self._frames.get()
            if frame is None:
                return
            if self._failed:
                continue  # keep taking frames, so that send() never blocks on a full queue
            try:
                for part in frame:
                    view = memoryview(part)
                    while view:
                        view = view[self._channel.write(view):]
            except OSError:
                self._failed = True  # the parent is gone

    def close(self) -> None:
        self._frames.put(None)
        self._thread.join()
        if self._failed:
            raise BrokenPipeError("the parent closed the pipe")


def _run_worker(job: Dict[str, Any], texts_received: "queue.Queue[Optional[ParamTexts]]",
                sender: _Sender) -> None:
    import corvex

    chunk_spectra, workers, worker = job["chunk_spectra"], job["workers"], job["worker"]
    compression = job["compression"]
    layouts: Optional[Layouts] = None
    # Chunks packed and encoded before the parameter texts arrived.
    backlog: List["tuple[int, List[Pending], List[bytes], Optional[str]]"] = []

    def flush(wait: bool) -> None:
        nonlocal layouts
        if layouts is None:
            if not wait and texts_received.empty():
                return
            texts = texts_received.get()
            if texts is None:
                raise BrokenPipeError("the parent sent no parameter texts")
            layouts = Layouts(texts.__getitem__, compression)
        for first_index, pending, encoded, analyzer in backlog:
            pieces, lengths = render(pending, encoded, layouts, first_index)
            meta = pickle.dumps((first_index, [fields[0] for fields in pending], lengths, analyzer))
            sender.send(_CHUNK, meta, b"".join(pieces))
        backlog.clear()

    pending: List[Pending] = []
    arrays: List[bytes] = []
    first_index, analyzer, position = 0, None, -1

    def end_chunk() -> None:
        nonlocal pending, arrays
        backlog.append((first_index, pending, encode_arrays(arrays, compression), analyzer))
        pending, arrays = [], []

    with gc_paused():
        for position, spectrum in enumerate(corvex.iter_spectra(job["path"], job["sample"])):
            if (position // chunk_spectra) % workers != worker:
                continue
            if not pending:
                first_index, analyzer = position, spectrum.analyzer
            fields, mz, intensity = spectrum_fields(spectrum)
            pending.append(fields)
            arrays += (mz, intensity)
            if position % chunk_spectra == chunk_spectra - 1:
                end_chunk()
                flush(wait=False)
        if pending:
            end_chunk()
        flush(wait=True)
    sender.send(_END, pickle.dumps(position + 1))


def main() -> int:
    # Ctrl-C reaches the whole process group; the parent handles it and stops us.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # The frames go to the parent on a private copy of standard output;
    # anything else that writes to standard output lands on standard error.
    channel = open(os.dup(1), "wb", buffering=0)
    os.dup2(2, 1)
    stdin = sys.stdin.buffer
    job = pickle.load(stdin)
    texts_received: "queue.Queue[Optional[ParamTexts]]" = queue.Queue()

    def receive_texts() -> None:
        try:
            texts_received.put(pickle.load(stdin))
        except Exception:  # the parent closed its end without sending them
            texts_received.put(None)

    threading.Thread(target=receive_texts, name="corvex-receive", daemon=True).start()
    sender = _Sender(channel)
    try:
        try:
            _run_worker(job, texts_received, sender)
        except RuntimeError as error:  # the reader's errors
            sender.send(_READER_ERROR, str(error).encode("utf-8"))
        except BrokenPipeError:
            raise
        except Exception as error:
            traceback.print_exc()
            sender.send(_FAULT, f"{type(error).__name__}: {error}".encode("utf-8"))
        sender.close()
    except BrokenPipeError:
        return 1  # the parent stopped reading: it has given up on this conversion
    return 0


if __name__ == "__main__":
    sys.exit(main())
