"""The real executable run end to end under Wine 8.

Wine's gdi32 has no GPU scheduling entry points, so every run that opens its
target takes the road for a system without them: a boost returns 4 and
changes nothing; an unboost returns 4 after putting the CPU class back to
normal. StartUp.test_gdi32_lacks_gpu_entry_points pins that premise down."""
import contextlib
import os
import re
import subprocess
import tempfile
import time
import unittest

from winerun import HELPER, TOOL, WINE, environment, run, windows_path

# CPU classes as the helper names and numbers them.
CPU_CLASSES = ["idle", "below-normal", "normal", "above-normal", "high", "realtime"]
NO_SUCH_PROCESS = "99999996"  # Wine numbers processes in small multiples of 4


@contextlib.contextmanager
def live_target(priority_class):
    """A helper process running at the given CPU class; yields its Windows ID."""
    with tempfile.TemporaryDirectory() as folder:
        pid_file = os.path.join(folder, "pid")
        process = subprocess.Popen([WINE, HELPER, "target", priority_class, windows_path(pid_file)],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, env=environment())
        try:
            deadline = time.monotonic() + 60
            while not read(pid_file).endswith("\n"):
                if process.poll() is not None or time.monotonic() > deadline:
                    raise AssertionError(f"target did not start (exit {process.poll()})")
                time.sleep(0.05)
            pid = int(read(pid_file))
            assert cpu_class(pid) == priority_class, "target did not take its class"
            yield pid
        finally:
            if process.poll() is None:
                run(HELPER, "stop", str(pid)) if "pid" in locals() else process.kill()
            process.wait(timeout=30)


def cpu_class(pid):
    code = run(HELPER, "class", str(pid))
    return CPU_CLASSES[code - 1] if 0 < code <= len(CPU_CLASSES) else f"unreadable ({code})"


def read(path):
    if not os.path.exists(path):
        return ""
    with open(path) as file:
        return file.read()


class Usage(unittest.TestCase):
    def test_usage_errors_return_5(self):
        cases = {
            "no arguments": [],
            "mode alone": ["boost"],
            "ID 0": ["boost", "0"],
            "ID of letters": ["boost", "abc"],
            "mode differing in case": ["Boost", "4"],
            "unknown mode": ["frobnicate", "4"],
        }
        for name, args in cases.items():
            with self.subTest(name):
                self.assertEqual(run(TOOL, *args), 5)


class MissingTarget(unittest.TestCase):
    def test_a_process_that_does_not_exist_returns_2(self):
        for mode in ("boost", "boost-elevated", "unboost"):
            with self.subTest(mode):
                self.assertEqual(run(TOOL, mode, NO_SUCH_PROCESS), 2)


class LiveTarget(unittest.TestCase):
    """(name, class the target starts at, arguments with {pid}, code, class afterwards)"""

    CASES = [
        ("boost without GPU entries changes nothing", "below-normal", ["boost", "{pid}"], 4, "below-normal"),
        ("boost-elevated without GPU entries changes nothing", "idle", ["boost-elevated", "{pid}"], 4, "idle"),
        ("unboost without GPU entries still restores", "high", ["unboost", "{pid}"], 4, "normal"),
        ("ID text with trailing letters acts on the digits", "high", ["unboost", "{pid}abc"], 4, "normal"),
        ("quoted ID with leading blanks", "high", ["unboost", "  {pid}"], 4, "normal"),
        ("extra arguments are ignored", "high", ["unboost", "{pid}", "boost", "1"], 4, "normal"),
        ("mode words are case-sensitive", "high", ["Unboost", "{pid}"], 5, "high"),
    ]

    def test_runs_against_a_live_target(self):
        for name, start_class, args, code, end_class in self.CASES:
            with self.subTest(name), live_target(start_class) as pid:
                self.assertEqual(run(TOOL, *[a.format(pid=pid) for a in args]), code)
                self.assertEqual(cpu_class(pid), end_class)


class StartUp(unittest.TestCase):
    def test_gdi32_lacks_gpu_entry_points(self):
        # If a later Wine adds them, the road of the live-target runs changes
        # and their expectations must be revisited.
        self.assertEqual(run(HELPER, "gpu-entries"), 0)

    def test_asks_the_runtime_to_expand_wildcards(self):
        # Wine's UCRT ignores the request, so an argument with * reaches the
        # tool unchanged there; what can be checked is that the start-up
        # asks for expansion (2) rather than for the plain vector (1).
        # Other Wine processes appear in the trace too: the tool's is the one
        # that reads the marker with _wtoi.
        marker = "*wildcard-marker*"
        with tempfile.TemporaryDirectory() as folder:
            trace = os.path.join(folder, "relay.log")
            self.assertEqual(run(TOOL, "boost", marker, stderr_file=trace, debug="+pid,+relay"), 5)
            with open(trace, errors="replace") as file:
                lines = file.read().splitlines()
        tool = {line.split(":")[0] for line in lines if re.search(r'ucrtbase\._wtoi\(\w+ L"' + re.escape(marker), line)}
        self.assertEqual(len(tool), 1, "the tool's process is not in the trace")
        requests = [int(m.group(1), 16) for line in lines if line.split(":")[0] in tool
                    for m in [re.search(r"_configure_wide_argv\((\w+)\)", line)] if m]
        self.assertEqual(requests, [2])

    def test_relaunch_parameters_take_a_wide_mode_word(self):
        # The tool's toolchain and runtime give _snwprintf's %s the wide meaning.
        self.assertEqual(run(HELPER, "format"), 0)


class Callers(unittest.TestCase):
    def test_a_waiting_caller_gets_the_exit_code(self):
        cases = {"usage error": (["boost", "abc"], 5), "missing target": (["unboost", NO_SUCH_PROCESS], 2)}
        for name, (args, code) in cases.items():
            command = " ".join([windows_path(TOOL), *args])
            with self.subTest(name, caller="CreateProcess"):
                self.assertEqual(run(HELPER, "run", command), code)
            with self.subTest(name, caller="cmd start /wait"):
                self.assertEqual(run("cmd", "/c", "start", "/wait", "", *command.split()), code)


if __name__ == "__main__":
    unittest.main()
