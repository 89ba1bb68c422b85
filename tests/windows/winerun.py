"""Running Windows programs under Wine from the tests, headless and quiet.

Output goes to files or nowhere, never to a pipe: wineserver outlives the
program and would hold a pipe open."""
import os
import subprocess

WINE = os.environ["WINE"]
TOOL = os.environ["MORVANE_EXE"]
HELPER = os.environ["WINE_HELPER_EXE"]


def environment(debug="-all"):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.update(WINEDEBUG=debug, WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def run(program, *args, stderr_file=None, debug="-all"):
    """Runs a program under Wine and returns its exit code."""
    with open(stderr_file or os.devnull, "wb") as err:
        return subprocess.run([WINE, program, *args], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=err, env=environment(debug),
                              timeout=120).returncode


def windows_path(path):
    """The path as Windows programs under Wine see it (Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")
