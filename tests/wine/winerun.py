"""Running Windows programs under Wine from the tests, headless and quiet.

Output goes to files or nowhere, never to a pipe: wineserver outlives the
program and would hold a pipe open.

Wine (8 and 10 alike) has no GPU scheduling entry points. A run can switch on the test-only
stand-ins installed in the prefix (tests/wine/stand-in): a gdi32 that
answers the scheduling-class calls as scripted, and a shell32 whose launch
fails as scripted. Only that run and the processes it starts load them."""
import contextlib
import os
import re
import subprocess
import sys
import tempfile
import time

WINE = os.environ["WINE"]
TOOL = os.environ["MORVANE_EXE"]
HELPER = os.environ["WINE_HELPER_EXE"]

# CPU classes as the helper names and numbers them.
CPU_CLASSES = ["idle", "below-normal", "normal", "above-normal", "high", "realtime"]


# Quiet, but for the one message that says Wine could not start a process.
QUIET = "-all,err+virtual"
OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"


def environment(debug=QUIET, stand_in=None):
    """stand_in: None for plain Wine; else the stand-ins' script, a dict of
    MORVANE_STANDIN_* variables without the prefix. The shell stand-in is
    switched on only when the script says how the launch ends (SHELL)."""
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    # Arguments reach Wine as UTF-8 whatever the machine's locale.
    # No Mono or Gecko installers, and no menu entries in the user's home.
    env.update(WINEDEBUG=debug, WINEDLLOVERRIDES=OVERRIDES, LC_ALL="C.UTF-8")
    if stand_in is not None:
        overrides = "gdi32,shell32" if "SHELL" in stand_in else "gdi32"
        env["WINEDLLOVERRIDES"] += f";{overrides}=n,b"
        env.update({f"MORVANE_STANDIN_{name}": str(value) for name, value in stand_in.items()})
    return env


class Exit(int):
    """A run's exit code, with what a diagnosis needs in .details: the
    command, the stand-ins' script and log, and the tail of Wine's standard
    error. Pass it as the message of the assertions about a run."""

    def __new__(cls, code, details):
        exit_code = super().__new__(cls, code)
        exit_code.details = details
        return exit_code


def assert_exit(test, result, code):
    test.assertEqual(result, code, result.details)


# Trace lines that explain nothing about a run: the relay trace of calls the
# tool does not make itself, and the loader's comings and goings.
TRACE = re.compile(r"^[0-9a-f]{4}:(Call|Ret) ")
TOOL_CALLS = re.compile(r"SetProcessInformation|SetPriorityClass|OpenProcess|ShellExecuteEx|D3DKMT|"
                        r"WaitForSingleObject|GetExitCodeProcess|_wtoi|_configure_wide_argv")
NOISE = re.compile(r"HeapFree|HeapAlloc|PROCESS_DETACH|PROCESS_ATTACH|THREAD_DETACH|THREAD_ATTACH")


def tail(path, lines=25):
    """The last lines of a Wine stderr file, without trace noise."""
    kept = [line for line in read(path).splitlines()
            if not NOISE.search(line) and (not TRACE.match(line) or TOOL_CALLS.search(line))]
    return "\n".join(kept[-lines:])


# Now and then Wine 8 cannot set up a new process's address space (seen
# about once in a thousand starts, more often under load): it prints this and
# the program never runs. Such a start is tried again; nothing else is.
WINE_START_FAILED = "virtual_alloc_first_teb"
START_TRIES = 3


def run(program, *args, stdout_file=None, stderr_file=None, debug=QUIET, stand_in=None, cwd=None):
    """Runs a program under Wine and returns its Exit."""
    with tempfile.TemporaryDirectory() as folder:
        stderr_file = stderr_file or os.path.join(folder, "stderr")
        retried = []
        for _ in range(START_TRIES):
            with open(stdout_file or os.devnull, "wb") as out, open(stderr_file, "wb") as err:
                try:
                    code = subprocess.run([WINE, program, *args], stdin=subprocess.DEVNULL, stdout=out,
                                          stderr=err, env=environment(debug, stand_in), cwd=cwd,
                                          timeout=120).returncode
                except subprocess.TimeoutExpired:
                    raise AssertionError(f"run: {program} {' '.join(args)}\nstill running after 120 s\n"
                                         f"tail of Wine's stderr:\n{tail(stderr_file)}") from None
            if code == 0 or WINE_START_FAILED not in read(stderr_file):
                break
            retried.append(tail(stderr_file, 3))
            print(f"note: Wine failed to start {program} {' '.join(args)}; starting it again",
                  file=sys.stderr)
        details = f"run: {program} {' '.join(args)}\nexit code: {code}"
        if retried:
            details += "\nstarted again after Wine failed to start it:\n" + "\n".join(retried)
        if stand_in and "LOG" in stand_in:
            log = unix_path(stand_in["LOG"])
            details += f"\nstand-in script: {stand_in}\nstand-in log:\n{read(log) or '(empty)'}"
        details += f"\ntail of Wine's stderr:\n{tail(stderr_file) or '(empty)'}"
        return Exit(code, details)


def windows_path(path):
    """The path as Windows programs under Wine see it (Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def unix_path(path):
    """The inverse of windows_path."""
    return path[2:].replace("\\", "/") if path.startswith("Z:") else path


def read(path):
    if not os.path.exists(path):
        return ""
    with open(path, errors="replace") as file:
        return file.read()


@contextlib.contextmanager
def live_target(priority_class, program=HELPER):
    """A helper process running at the given CPU class; yields its Windows ID."""
    with tempfile.TemporaryDirectory() as folder:
        pid_file, target_stderr = os.path.join(folder, "pid"), os.path.join(folder, "stderr")
        pid = process = None
        try:
            for attempt in range(START_TRIES):
                with open(target_stderr, "wb") as err:
                    process = subprocess.Popen([WINE, program, "target", priority_class,
                                                windows_path(pid_file)], stdin=subprocess.DEVNULL,
                                               stdout=subprocess.DEVNULL, stderr=err, env=environment())
                deadline = time.monotonic() + 60
                while not read(pid_file).endswith("\n"):
                    if process.poll() is not None or time.monotonic() > deadline:
                        break
                    time.sleep(0.05)
                else:
                    break
                if process.poll() is None or WINE_START_FAILED not in read(target_stderr) \
                        or attempt == START_TRIES - 1:
                    raise AssertionError(f"target did not start (exit {process.poll()})\n"
                                         f"target's stderr:\n{tail(target_stderr)}")
                print("note: Wine failed to start a target; starting it again", file=sys.stderr)
            pid = int(read(pid_file))
            taken, reading = read_cpu_class(pid)
            if taken != priority_class:
                state = "running" if process.poll() is None else f"exited with {process.poll()}"
                raise AssertionError(f"target {pid} ({state}) read as {taken}, not {priority_class}\n"
                                     f"target's stderr:\n{tail(target_stderr)}\n"
                                     f"the reading:\n{reading.details}")
            yield pid
        finally:
            if process and process.poll() is None:
                if not pid or run(HELPER, "stop", str(pid)) != 0:
                    process.kill()
                process.wait(timeout=30)


def read_cpu_class(pid):
    """The process's CPU class, and the Exit of the run that read it."""
    result = run(HELPER, "class", str(pid))
    name = CPU_CLASSES[result - 1] if 0 < result <= len(CPU_CLASSES) else f"unreadable ({result})"
    return name, result


def cpu_class(pid):
    return read_cpu_class(pid)[0]


class StandInLog:
    """The stand-ins' log for one run: a temporary file, and its lines as
    (caller's process ID, copy, arguments, call, details...)."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "stand-in.log")

    def script(self, **answers):
        return {"LOG": windows_path(self.path), **answers}

    def lines(self):
        return [line.split("\t") for line in read(self.path).splitlines()]

    def calls(self):
        """"<copy> <call> <details>" for each line, in order; the target's
        process ID is left out of the GPU calls."""
        described = []
        for caller, copy, args, call, *details in self.lines():
            if call in ("set", "get"):
                details = [details[1], details[2]]  # class, status
            described.append(" ".join([copy, call, *details]))
        return described

    def copies(self):
        """{process ID: arguments} of every copy that made a call."""
        return {caller: args for caller, copy, args, *rest in self.lines()}
