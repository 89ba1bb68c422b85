"""The real executable run end to end under Wine (8 on Debian 12, 10 on
Debian 13).

Plain Wine (8 and 10 alike) has no GPU scheduling entry points, so there every run that opens
its target takes the road for a system without them: a boost returns 4 and
changes nothing; an unboost returns 4 after putting the CPU class back to
normal. StartUp.test_gdi32_lacks_gpu_entry_points pins that premise down.
Every other road runs with the test-only stand-ins for Windows' GPU scheduler
and for a failing launch (see winerun.py)."""
import os
import re
import shutil
import sys
import tempfile
import unittest

from winerun import (HELPER, TOOL, StandInLog, assert_exit, cpu_class, live_target, read, run,
                     windows_path)

NO_SUCH_PROCESS = "99999996"  # Wine numbers processes in small multiples of 4

# What Wine writes, headless, when a program asks for a window (an error box).
ERROR_BOX = "tried to create a window"

# Statuses as the GPU stand-in logs them.
OK, REFUSED, FAILED = "0x00000000", "0xc0000061", "0xc0000001"


def full_width(number):
    """The number in full-width digits (U+FF10 to U+FF19)."""
    return "".join(chr(0xFF10 + int(digit)) for digit in str(number))


class Usage(unittest.TestCase):
    def test_usage_errors_return_5(self):
        cases = {
            "no arguments": [],
            "mode alone": ["boost"],
            "ID 0": ["boost", "0"],
            "ID of letters": ["boost", "abc"],
            "mode differing in case": ["Boost", "4"],
            "unknown mode": ["frobnicate", "4"],
            # A prefix compare would take these for the modes they start with.
            "boost with a suffix": ["boostx", "4"],
            "boost-elevated with a suffix": ["boost-elevatedx", "4"],
            "unboost with a suffix": ["unboostx", "4"],
            "a mode's prefix": ["boos", "4"],
        }
        for name, args in cases.items():
            with self.subTest(name):
                assert_exit(self, run(TOOL, *args), 5)


class MissingTarget(unittest.TestCase):
    def test_a_process_that_does_not_exist_returns_2(self):
        for mode in ("boost", "boost-elevated", "unboost"):
            with self.subTest(mode):
                assert_exit(self, run(TOOL, mode, NO_SUCH_PROCESS), 2)


class LiveTarget(unittest.TestCase):
    """Plain Wine: (name, class the target starts at, arguments with {pid} or
    {full_width_pid}, code, class afterwards)."""

    CASES = [
        ("boost without GPU entries changes nothing", "below-normal", ["boost", "{pid}"], 4, "below-normal"),
        ("boost-elevated without GPU entries changes nothing", "idle", ["boost-elevated", "{pid}"], 4, "idle"),
        ("unboost without GPU entries still restores", "high", ["unboost", "{pid}"], 4, "normal"),
        ("ID text with trailing letters acts on the digits", "high", ["unboost", "{pid}abc"], 4, "normal"),
        ("quoted ID with leading blanks", "high", ["unboost", "  {pid}"], 4, "normal"),
        ("extra arguments are ignored", "high", ["unboost", "{pid}", "boost", "1"], 4, "normal"),
        ("mode words are case-sensitive", "high", ["Unboost", "{pid}"], 5, "high"),
        # The runtime's _wtoi reads other scripts' digits and skips Unicode
        # blanks; the tool takes what it reads.
        ("ID in full-width digits", "high", ["unboost", "{full_width_pid}"], 4, "normal"),
        ("no-break space before the ID", "high", ["unboost", "\u00a0{pid}"], 4, "normal"),
        ("ideographic space before the ID", "high", ["unboost", "\u3000{pid}"], 4, "normal"),
        ("superscript digit ends the ID", "high", ["unboost", "{pid}\u00b2"], 4, "normal"),
    ]

    def test_runs_against_a_live_target(self):
        for name, start_class, args, code, end_class in self.CASES:
            with self.subTest(name), live_target(start_class) as pid:
                args = [a.format(pid=pid, full_width_pid=full_width(pid)) for a in args]
                result = run(TOOL, *args)
                self.assertEqual(result, code, result.details)
                self.assertEqual(cpu_class(pid), end_class, result.details)


class StandIn(unittest.TestCase):
    """Every road that needs a GPU scheduler, with the stand-in answering as
    each row scripts it: (name, class the target starts at, mode, script,
    code, class afterwards, the stand-ins' calls in order, processes that
    called them). A second process is the elevated copy, started by the
    first through the real shell unless the row scripts the launch."""

    CASES = [
        ("boost confirmed", "normal", "boost", {}, 0, "high",
         [f"first set 5 {OK}", f"first get 5 {OK}"], 1),
        ("boost reads back another class and is reverted", "normal", "boost", {"GET": 3}, 4, "normal",
         [f"first set 5 {OK}", f"first get 3 {OK}", f"first set 2 {OK}"], 1),
        ("boost whose read-back writes nothing is reverted", "normal", "boost", {"GET": "none"}, 4, "normal",
         [f"first set 5 {OK}", f"first get none {FAILED}", f"first set 2 {OK}"], 1),
        ("boost failing with another status is not reverted", "normal", "boost", {"SET": FAILED}, 4, "normal",
         [f"first set 5 {FAILED}", f"first get 2 {OK}"], 1),
        ("boost refused, elevated copy confirms", "normal", "boost", {"SET": REFUSED, "ELEVATED_SET": 0}, 0, "high",
         [f"first set 5 {REFUSED}", f"first get 2 {OK}", f"elevated set 5 {OK}", f"elevated get 5 {OK}"], 2),
        ("boost refused in both copies", "normal", "boost", {"SET": REFUSED}, 3, "normal",
         [f"first set 5 {REFUSED}", f"first get 2 {OK}", f"elevated set 5 {REFUSED}", f"elevated get 2 {OK}"], 2),
        ("boost-elevated refused starts no copy", "normal", "boost-elevated", {"SET": REFUSED}, 3, "normal",
         [f"elevated set 5 {REFUSED}", f"elevated get 2 {OK}"], 1),
        ("the elevated copy's own exit code is passed on", "normal", "boost",
         {"SET": REFUSED, "ELEVATED_SET": 0, "ELEVATED_EXIT": 77}, 77, "normal",
         [f"first set 5 {REFUSED}", f"first get 2 {OK}", f"elevated set 5 {OK}"], 2),
        ("prompt declined", "normal", "boost", {"SET": REFUSED, "SHELL": "declined"}, 10, "normal",
         [f"first set 5 {REFUSED}", f"first get 2 {OK}", "first launch error 1223"], 1),
        ("launch fails with another error", "normal", "boost", {"SET": REFUSED, "SHELL": "error:5"}, 11, "normal",
         [f"first set 5 {REFUSED}", f"first get 2 {OK}", "first launch error 5"], 1),
        ("launch returns no process handle", "normal", "boost", {"SET": REFUSED, "SHELL": "no-handle"}, 11, "normal",
         [f"first set 5 {REFUSED}", f"first get 2 {OK}", "first launch no handle"], 1),
        ("unboost confirmed", "high", "unboost", {}, 0, "normal",
         [f"first set 2 {OK}", f"first get 2 {OK}"], 1),
        ("unboost refused for privilege gives 4, never 3", "high", "unboost", {"SET": REFUSED}, 4, "normal",
         [f"first set 2 {REFUSED}", f"first get 2 {OK}"], 1),
        ("unboost reads back another class, no revert", "high", "unboost", {"GET": 5}, 4, "normal",
         [f"first set 2 {OK}", f"first get 5 {OK}"], 1),
    ]

    def test_every_road_of_the_exit_code_table(self):
        for name, start_class, mode, script, code, end_class, calls, processes in self.CASES:
            with self.subTest(name), live_target(start_class) as pid, \
                    tempfile.TemporaryDirectory() as folder:
                log = StandInLog(folder)
                result = run(TOOL, mode, str(pid), stand_in=log.script(**script))
                self.assertEqual(result, code, result.details)
                self.assertEqual(cpu_class(pid), end_class, result.details)
                self.assertEqual(log.calls(), calls, result.details)
                self.assertTrue(all(line[4] == str(pid) for line in log.lines() if line[3] != "launch"),
                                "a GPU call on another process\n" + result.details)
                copies = log.copies()
                self.assertEqual(len(copies), processes, result.details)
                # The elevated copy is run as "boost-elevated <pid>".
                self.assertEqual(list(copies.values()), [f"{mode} {pid}", f"boost-elevated {pid}"][:processes],
                                 result.details)


class Relay(unittest.TestCase):
    """The relaunch as the real shell sees it, a launch that really fails, and
    the throttling calls, each read from Wine's traces of the real run."""

    def copy_of_the_tool(self, folder):
        os.makedirs(folder, exist_ok=True)
        return shutil.copy(TOOL, folder)

    def test_the_shell_receives_the_launch_record(self):
        with tempfile.TemporaryDirectory() as folder:
            paths = {"the tool where it was built": TOOL,
                     "a path with spaces": self.copy_of_the_tool(os.path.join(folder, "morvane boost dir"))}
            for name, tool in paths.items():
                with self.subTest(name), live_target("normal") as pid:
                    log, trace = StandInLog(folder), os.path.join(folder, "exec.log")
                    script = log.script(SET=REFUSED, ELEVATED_SET=0)
                    result = run(tool, "boost", str(pid), stand_in=script, debug="+exec", stderr_file=trace)
                    self.assertEqual(result, 0, result.details)
                    self.assertEqual(cpu_class(pid), "high", result.details)
                    launches = re.findall(r"SHELL_execute mask=(\w+) hwnd=(\w+) verb=(.*?) file=(.*?) "
                                          r"parm=(.*?) dir=(.*?) show=(\w+)", read(trace))
                    wine_path = '"' + windows_path(tool).replace("\\", "\\\\") + '"'
                    self.assertEqual(launches, [("0x00000440", "0000000000000000", 'L"runas"', "L" + wine_path,
                                                 f'L"boost-elevated {pid}"', "(null)", "0x00000000")],
                                     result.details)

    def test_the_relay_holds_its_target_until_the_copy_has_ended(self):
        # While a handle to the target is open its ID cannot go to another
        # process, so the copy boosts the same target. Read from the relay
        # trace of the first copy's own calls (those returning into the
        # tool's image): the query-only handle is opened after the target's
        # handle is closed, before the launch, and closed last, after the wait.
        with tempfile.TemporaryDirectory() as folder, live_target("normal") as pid:
            log, trace = StandInLog(folder), os.path.join(folder, "relay.log")
            result = run(TOOL, "boost", str(pid), stand_in=log.script(SET=REFUSED, ELEVATED_SET=0),
                         debug="+pid,+relay", stderr_file=trace)
            assert_exit(self, result, 0)
            calls = tool_calls(read(trace), pid)
            names = [call for call, args, retval in calls]
            target = next(retval for call, args, retval in calls if call == "OpenProcess" and args[0] == "00001200")
            pin = next(retval for call, args, retval in calls if call == "OpenProcess" and args[0] == "00001000")
            # A handle value may be used again once closed: the pin's close is
            # the last close of its value.
            pin_closed = len(calls) - 1 - calls[::-1].index(("CloseHandle", [pin], None))
            order = [names.index("OpenProcess"), calls.index(("CloseHandle", [target], None)),
                     calls.index(("OpenProcess", ["00001000", "00000000", f"{pid:08x}"], pin)),
                     names.index("ShellExecuteExW"), names.index("WaitForSingleObject"), pin_closed]
            self.assertEqual(order, sorted(order), f"{calls}\n{result.details}")
            last_close = max(i for i, (call, args, retval) in enumerate(calls) if call == "CloseHandle")
            self.assertEqual(pin_closed, last_close, f"{calls}\n{result.details}")

    def test_a_target_that_ends_before_the_relay(self):
        # The stand-in ends the target at the first copy's refused set call.
        # Whether its ID can still be opened then is the platform's answer,
        # read from the trace: Wine 8 and 10 keep an ended process openable
        # (so the tool relays as usual, and the copy, refused by the script,
        # gives 3); a platform that lets the ID go must give 2 and launch
        # nothing, which the unit test Roads/Relay...TargetEndedBeforeTheRelay
        # covers wherever this Wine does not.
        with tempfile.TemporaryDirectory() as folder, live_target("normal") as pid:
            log, trace = StandInLog(folder), os.path.join(folder, "relay.log")
            result = run(TOOL, "boost", str(pid), stand_in=log.script(SET=REFUSED, END_TARGET="yes"),
                         debug="+pid,+relay", stderr_file=trace)
            calls = tool_calls(read(trace), pid)
            (pin,) = [retval for call, args, retval in calls if call == "OpenProcess" and args[0] == "00001000"]
            launched = "ShellExecuteExW" in [call for call, args, retval in calls]
            print(f"\nthis Wine {'still opens' if int(pin, 16) else 'no longer opens'} an ended target",
                  file=sys.stderr)
            if int(pin, 16):
                self.assertEqual((result, launched), (3, True), result.details)
                self.assertEqual(list(log.copies().values()), [f"boost {pid}", f"boost-elevated {pid}"],
                                 result.details)
            else:
                self.assertEqual((result, launched), (2, False), result.details)
                self.assertEqual(list(log.copies().values()), [f"boost {pid}"], result.details)

    def test_a_launch_that_really_fails_gives_11_without_an_error_box(self):
        # The stand-in moves the running tool away before the relaunch, so the
        # real shell cannot find the file. Without SEE_MASK_FLAG_NO_UI Wine's
        # shell then opens an error box; headless, Wine reports that a window
        # was asked for (on a desktop it would wait for a click).
        with tempfile.TemporaryDirectory() as folder, live_target("normal") as pid:
            tool = self.copy_of_the_tool(os.path.join(folder, "tool"))
            log, trace = StandInLog(folder), os.path.join(folder, "exec.log")
            script = log.script(SET=REFUSED, MOVE_TOOL=windows_path(os.path.join(folder, "moved.exe")))
            result = run(tool, "boost", str(pid), stand_in=script, debug="+exec", stderr_file=trace)
            self.assertEqual(result, 11, result.details)
            self.assertFalse(os.path.exists(tool), result.details)
            self.assertEqual(log.calls(), [f"first set 5 {REFUSED}", f"first get 2 {OK}"], result.details)
            self.assertIn("SHELL_execute retval 2", read(trace), result.details)  # file not found
            self.assertNotIn(ERROR_BOX, read(trace), result.details)

    def test_the_error_box_check_can_fail(self):
        # The same failed launch by the helper, with and without NO_UI: the
        # message that the check above looks for must appear when a box is
        # asked for, or a reworded Wine would make that check pass blindly.
        with tempfile.TemporaryDirectory() as folder:
            missing = windows_path(os.path.join(folder, "missing.exe"))
            for mask, box in [("0x40", True), ("0x440", False)]:
                with self.subTest(mask=mask):
                    trace = os.path.join(folder, f"exec-{mask}.log")
                    result = run(HELPER, "launch", mask, missing, debug="+exec", stderr_file=trace)
                    self.assertNotEqual(result, 0, result.details)  # not started
                    self.assertEqual(ERROR_BOX in read(trace), box, result.details)

    def test_power_throttling_fallback_follows_the_platform_answer(self):
        # Wine answers the boost's {1, 0x5, 0} as one of the two Windows
        # generations does: Wine 8's stub returns FALSE, as Windows 10 does
        # for the timer-resolution bit; Wine 10 returns TRUE, as Windows 11
        # does. The trace shows which answer this Wine gave. A boost must ask
        # again (for execution speed alone) exactly when the first call
        # returned FALSE; an unboost asks once whatever the answer. The branch
        # this Wine does not take is covered by the unit tests'
        # Boost/Apply.TakesTheRoadItsAnswersCallFor/ rows
        # ThrottlingRecordRejectedFallsBackToExecutionSpeed and Confirmed, the
        # Unboost/ rows ThrottlingRecordRejectedIsNotRetried and Confirmed,
        # and the exhaustive check's setInformationSucceeds axis.
        for mode, start_class, end_class in [("boost", "normal", "high"), ("unboost", "high", "normal")]:
            with self.subTest(mode), live_target(start_class) as pid, \
                    tempfile.TemporaryDirectory() as folder:
                trace = os.path.join(folder, "relay.log")
                result = run(TOOL, mode, str(pid), stand_in={}, debug="+relay", stderr_file=trace)
                assert_exit(self, result, 0)
                self.assertEqual(cpu_class(pid), end_class, result.details)
                trace = read(trace)
                asked = re.findall(r"Call KERNEL32\.SetProcessInformation\(\w+,00000004,\w+,0000000c\)", trace)
                answers = re.findall(r"Ret  KERNEL32\.SetProcessInformation\(\) retval=(\w+)", trace)
                self.assertEqual(len(asked), len(answers), result.details)
                self.assertTrue(answers, "no throttling call in the trace\n" + result.details)
                refused = int(answers[0], 16) == 0
                print(f"\n{mode}: this Wine answered the first throttling call with "
                      f"{'FALSE' if refused else 'TRUE'}", file=sys.stderr)
                self.assertEqual(len(asked), 2 if mode == "boost" and refused else 1, result.details)


def tool_calls(trace, pid):
    """The calls of the first copy of the tool that return into its own
    image, from a "+pid,+relay" trace: [(name, [arguments], retval or None)].
    The first copy is the process that opens the target first."""
    opening = re.search(r"^(\w+):\w+:Call KERNEL32\.OpenProcess\(00001200,00000000,%08x\) ret=(\w+)" % pid,
                        trace, re.M)
    process, image = opening[1], int(opening[2], 16) >> 16
    calls = []
    for line in trace.splitlines():
        call = re.match(r"^(\w+):(\w+):Call (?:\w+)\.(\w+)\((.*)\) ret=(\w+)$", line)
        if call and call[1] == process and int(call[5], 16) >> 16 == image:
            calls.append([call[3], call[4].split(",") if call[4] else [], None, call[2]])
        back = re.match(r"^(\w+):(\w+):Ret  (?:\w+)\.(\w+)\(\) retval=(\w+) ret=(\w+)$", line)
        if back and back[1] == process and int(back[5], 16) >> 16 == image and back[3] == "OpenProcess":
            pending = [c for c in calls if c[0] == "OpenProcess" and c[2] is None and c[3] == back[2]]
            if pending:
                pending[-1][2] = back[4]
    return [(name, args, retval) for name, args, retval, thread in calls]


class StartUp(unittest.TestCase):
    def test_gdi32_lacks_gpu_entry_points(self):
        # If a later Wine adds them, the road of the plain live-target runs
        # changes and their expectations must be revisited (the stand-in's
        # build stops then too).
        assert_exit(self, run(HELPER, "gpu-entries"), 0)

    def test_asks_the_runtime_to_expand_wildcards(self):
        # Wine's UCRT ignores the request, so an argument with * reaches the
        # tool unchanged there; what can be checked is that the start-up
        # asks for expansion (2) rather than for the plain vector (1).
        # Other Wine processes appear in the trace too: the tool's is the one
        # that reads the marker with _wtoi.
        marker = "*wildcard-marker*"
        with tempfile.TemporaryDirectory() as folder:
            trace = os.path.join(folder, "relay.log")
            assert_exit(self, run(TOOL, "boost", marker, stderr_file=trace, debug="+pid,+relay"), 5)
            lines = read(trace).splitlines()
        tool = {line.split(":")[0] for line in lines if re.search(r'ucrtbase\._wtoi\(\w+ L"' + re.escape(marker), line)}
        self.assertEqual(len(tool), 1, "the tool's process is not in the trace")
        requests = [int(m.group(1), 16) for line in lines if line.split(":")[0] in tool
                    for m in [re.search(r"_configure_wide_argv\((\w+)\)", line)] if m]
        self.assertEqual(requests, [2])

    def test_relaunch_parameters_take_a_wide_mode_word(self):
        # The tool's toolchain and runtime give _snwprintf's %s the wide meaning.
        assert_exit(self, run(HELPER, "format"), 0)


def readme_batch_file():
    """The batch file in the Windows users' README (docs/README.txt, the
    archive's README.txt), under "Use it from scripts"."""
    readme = read(os.path.join(os.environ["SOURCE_DIR"], "docs", "README.txt"))
    (batch,) = [block for block in re.findall(r"```bat\n(.*?)```", readme, re.S) if "tasklist" in block]
    return batch


class Callers(unittest.TestCase):
    def test_a_waiting_caller_gets_the_exit_code(self):
        cases = {"usage error": (["boost", "abc"], 5), "missing target": (["unboost", NO_SUCH_PROCESS], 2)}
        for name, (args, code) in cases.items():
            command = " ".join([windows_path(TOOL), *args])
            with self.subTest(name, caller="CreateProcess"):
                assert_exit(self, run(HELPER, "run", command), code)
            with self.subTest(name, caller="cmd start /wait"):
                assert_exit(self, run("cmd", "/c", "start", "/wait", "", *command.split()), code)

    def test_the_readme_batch_file_boosts_every_game(self):
        # Run as it stands, with the tool installed where README says. Wine
        # 8's tasklist is a stub that prints nothing, and the test must not
        # depend on any Wine's listing, so a tasklist.bat in
        # the current directory (which cmd searches first) prints what
        # Windows' tasklist prints: a CSV line per match, or a note.
        program_files = os.path.join(os.environ["WINEPREFIX"], "drive_c", "Program Files")
        installed = os.path.join(program_files, "morvane-boost")
        os.makedirs(installed, exist_ok=True)
        shutil.copy(TOOL, installed)
        self.addCleanup(shutil.rmtree, installed)
        matches = {
            "one game running": '"game.exe","{pid}","Console","1","123,456 K"',
            "none running": "INFO: No tasks are running which match the specified criteria.",
        }
        for name, listing in matches.items():
            with self.subTest(name), live_target("normal") as pid, \
                    tempfile.TemporaryDirectory() as folder:
                for file_name, text in [("boost-games.bat", readme_batch_file()),
                                        ("tasklist.csv", listing.format(pid=pid) + "\n"),
                                        ("tasklist.bat", '@type "%~dp0tasklist.csv"\n')]:
                    with open(os.path.join(folder, file_name), "w", newline="\r\n") as file:
                        file.write(text)
                output = os.path.join(folder, "output.txt")
                log = StandInLog(folder)
                result = run("cmd", "/c", "boost-games.bat", cwd=folder, stdout_file=output,
                             stand_in=log.script())
                assert_exit(self, result, 0)
                if "{pid}" in listing:
                    self.assertEqual(read(output).splitlines(), [f"game.exe {pid}: exit code 0"],
                                     result.details)
                    self.assertEqual(cpu_class(pid), "high", result.details)
                else:
                    self.assertEqual((read(output), log.calls(), cpu_class(pid)), ("", [], "normal"),
                                     result.details)


if __name__ == "__main__":
    unittest.main()
