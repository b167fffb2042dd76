"""The program around a call: other threads, signals, forks, descriptors and interpreters."""

import os
import signal
import subprocess
import sys
import threading
import time
import warnings

import pytest

import kestrune
from helpers import ran_alongside
from kestrune_tools.synthetic import RawFile

MiB = 1 << 20
LOG_SCANS = ["get_status_log_labels", "get_error_logs"]


def plain_file(files, length: int = 0) -> str:
    """A header and holes: no marker, so both log scans read the whole file."""
    return RawFile().header(version=66).at_least(length).write(files / "plain.raw")


def run_child(code: str, *args: str) -> list[str]:
    """Runs `code` in a fresh interpreter; the words it printed."""
    done = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


@pytest.mark.parametrize("method", LOG_SCANS)
def test_other_threads_run_during_a_log_scan(files, method):
    path = plain_file(files, 256 * MiB)
    reader = kestrune.RawFileReader(path)
    try:
        assert ran_alongside(lambda: getattr(reader, method)() == [])
    finally:
        os.remove(path)  # its holes now fill the page cache


INTERRUPTED = """
import os, signal, sys, kestrune
class Stop(Exception):
    pass
def stop(signum, frame):
    raise Stop
signal.signal(signal.SIGUSR1, stop)
reader = kestrune.RawFileReader(sys.argv[1])
descriptors = len(os.listdir("/proc/self/fd"))
print("started", flush=True)
try:
    getattr(reader, sys.argv[2])()
    print("finished")
except (KeyboardInterrupt, Stop) as caught:
    reader.initialize_caches()  # no borrow is left behind
    print(type(caught).__name__, len(os.listdir("/proc/self/fd")) == descriptors)
"""


@pytest.mark.parametrize(
    "method, signum, raised",
    [("get_status_log_labels", signal.SIGINT, "KeyboardInterrupt"), ("get_error_logs", signal.SIGUSR1, "Stop")],
)
def test_a_signal_ends_a_long_scan_with_its_handlers_exception(files, method, signum, raised):
    # 1 TiB of holes: the whole scan would take minutes.
    path = plain_file(files, 1 << 40)
    with subprocess.Popen([sys.executable, "-c", INTERRUPTED, path, method], stdout=subprocess.PIPE,
                          text=True) as child:
        try:
            assert child.stdout is not None
            assert child.stdout.readline() == "started\n"
            time.sleep(0.3)
            child.send_signal(signum)
            out, _ = child.communicate(timeout=30)
        finally:
            child.kill()
    os.remove(path)
    assert out.split() == [raised, "True"]


RACE = """
import sys, threading, kestrune
reader = kestrune.RawFileReader(sys.argv[1])
done = threading.Event()
refused = []
def reinitialise():
    while not done.is_set():
        try:
            reader.initialize_caches()
        except RuntimeError as error:
            refused.append(error)
thread = threading.Thread(target=reinitialise)
thread.start()
assert "numpy" not in sys.modules
reader.get_peaks(1)  # the process's first call imports NumPy
done.set()
thread.join()
print(len(refused))
"""


def test_the_first_get_peaks_holds_no_borrow_while_numpy_is_imported(files):
    pytest.importorskip("numpy")
    assert run_child(RACE, plain_file(files)) == ["0"]


ONE_DESCRIPTOR = """
import os, resource, sys, kestrune
def calls():
    reader = kestrune.RawFileReader(sys.argv[1])
    return reader.num_scans, len(reader.get_trailer_extra(1)), reader.get_error_logs()
calls()  # with descriptors to spare, for the sanitizers' first checks of each type
resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
held = []
try:
    while True:
        held.append(os.open("/dev/null", os.O_RDONLY))
except OSError:
    os.close(held.pop())
print(*calls())
"""


def test_one_free_descriptor_is_enough(files):
    assert run_child(ONE_DESCRIPTOR, plain_file(files)) == ["145", "6", "[]"]


SUBINTERPRETER = """
import _xxsubinterpreters as interpreters
sub = interpreters.create(isolated=True)
try:
    interpreters.run_string(sub, "import kestrune")
except interpreters.RunFailedError as refused:
    print("refused" if "does not support loading in subinterpreters" in str(refused) else refused)
import kestrune
print(kestrune.__all__)
"""


@pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="3.12 initialises before it refuses")
def test_an_import_refused_in_an_isolated_subinterpreter_leaves_the_module_free():
    assert run_child(SUBINTERPRETER) == ["refused", "['RawFileReader']"]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_reader_borrowed_by_another_thread_is_usable_in_a_forked_child(files):
    reader = kestrune.RawFileReader(plain_file(files))
    entered, release = threading.Event(), threading.Event()

    class Waiting:
        def __index__(self) -> int:
            entered.set()
            release.wait()
            return 1

    thread = threading.Thread(target=reader.get_rt, args=(Waiting(),))
    thread.start()
    entered.wait()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        pid = os.fork()
    if pid == 0:
        try:
            reader.initialize_caches()
            os._exit(0)
        except BaseException:
            os._exit(1)
    release.set()
    thread.join()
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
