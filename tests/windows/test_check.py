"""morvane-boost-check under Wine, against the tool as built: with the GPU
stand-in every road it checks must come out as expected; on plain Wine,
which has no GPU scheduling entry points, what depends on them must be
"cannot tell here", never a pass. Throttling cannot be read back under Wine
(Wine 8 has no GetProcessInformation; Wine 10's fails for throttling), so it
is "cannot tell here" on both."""
import os
import re
import sys
import tempfile
import unittest

from winerun import TOOL, StandInLog, assert_exit, read, run, windows_path

CHECK = os.environ["CHECK_EXE"]

SAME, DIFFERS, CANNOT = "as expected", "differs", "cannot tell here"


def verdicts(report):
    """[(road, item, verdict, reason)] in the report's order; a road is its
    "-- " heading without the target's ID."""
    found, road = [], None
    for line in report.splitlines():
        if line.startswith("-- "):
            road = re.sub(r", ID \d+$", "", line[3:])
        match = re.match(r"^ {4}(\S+(?: \S+)?) +(as expected|differs|cannot tell here)(?:: (.*))?$", line)
        if match:
            found.append((road, match[1], match[2], match[3] or ""))
    return found


def expected(gpu, relay):
    """The verdicts of the tool as it stands, with the GPU stand-in (gpu) or
    on plain Wine."""
    gpu_verdict = SAME if gpu else CANNOT
    effects = [("GPU class", gpu_verdict), ("CPU class", SAME), ("throttling", CANNOT)]
    roads = [
        ("Target: a plain waiting process", [("refusal", gpu_verdict)]),
        ("Target: a process that has created a Direct3D 11 device", [("refusal", gpu_verdict)]),
        ("Usage errors give 5 and touch nothing", [("exit code", SAME)] * 3 + effects),
        ("A process ID that does not exist gives 2", [("exit code", SAME)] * 2),
        ("boost of a target at normal", [("exit code", SAME)] + effects),
        ("unboost of that target", [("exit code", SAME)] + effects),
        ("boost of a target with a Direct3D 11 device at normal", [("exit code", SAME)] + effects),
        ("unboost of that target", [("exit code", SAME)] + effects),
        ("boost-elevated from a token without the base-priority privilege", [("exit code", SAME)] + effects),
    ]
    if relay:
        # Wine 8 starts the "runas" copy with its parent's token, so the copy
        # is refused as well: 3, passed on, and nothing changed. Wine 10
        # starts it elevated: 0, with the boost's effects. Either way every
        # item is as expected; which one this Wine took is read from the
        # report (below).
        roads.append(("boost from a token without the base-priority privilege (the relay)",
                      [("relay", SAME)] + effects))
    return [(road, item, verdict) for road, items in roads for item, verdict in items]


class Check(unittest.TestCase):
    def run_check(self, *args, stand_in=None):
        """A strict run writes its report with --output, as CI does; the
        others to standard output."""
        with tempfile.TemporaryDirectory() as folder:
            output = os.path.join(folder, "report.txt")
            log = StandInLog(folder)
            to_file = ["--output", windows_path(output)] if "--strict" in args else []
            result = run(CHECK, *args, *to_file, stdout_file=None if to_file else output,
                         stand_in=None if stand_in is None else log.script(**stand_in))
            report = ""
            if os.path.exists(output):
                with open(output, encoding="utf-8", errors="strict") as file:  # UTF-8, or it fails
                    report = file.read()
        return result, report

    def test_the_tool_as_it_stands_gives_what_it_promises(self):
        # (name, stand-in script or None for plain Wine, arguments, exit code)
        strict = ["--strict", "--allow-unknown", "throttling"]
        cases = [("GPU stand-in, with the relay, strict as CI runs it", {}, ["--relay", *strict], 0),
                 ("GPU stand-in", {}, [], 0),
                 ("plain Wine", None, [], 0),
                 # Strict: what depends on the GPU entries is unknown there.
                 ("plain Wine, strict", None, strict, 1)]
        for name, stand_in, args, code in cases:
            with self.subTest(name):
                result, report = self.run_check(windows_path(TOOL), *args, stand_in=stand_in)
                details = f"{result.details}\nreport:\n{report}"
                assert_exit(self, result, code)
                found = verdicts(report)
                self.assertEqual([entry[:3] for entry in found],
                                 expected(gpu=stand_in is not None, relay="--relay" in args), details)
                self.assertIn("Runs under:              Wine", report, details)
                summary = r"\n== Summary: 0 differ, \d+ cannot tell here"
                if "--strict" in args:
                    summary += r" \(strict; allowed unknown: throttling\)"
                self.assertRegex(report, summary + r"\r?\n$", details)
                if "--relay" in args:
                    # What this Wine did, as the report says it saw it: a copy
                    # given the target's ID and refused (Wine 8), or a copy
                    # that boosted the target (Wine 10).
                    (relay,) = [reason for road, item, verdict, reason in found if item == "relay"]
                    self.assertRegex(relay, r'^(0: the copy ran with the privilege and boosted the target'
                                            r'|3: a copy given "boost-elevated \d+" was refused as well)', details)
                    print(f"\nthe relay under this Wine: {relay}", file=sys.stderr)
                else:
                    self.assertIn("left out: run with --relay", report, details)

    def test_a_tool_that_does_nothing_differs(self):
        # The empty GUI program exits with 0 whatever it is given, so every
        # road that expects another code, or an effect, must say so.
        result, report = self.run_check(windows_path(os.environ["EMPTY_GUI_EXE"]), stand_in={})
        details = f"{result.details}\nreport:\n{report}"
        assert_exit(self, result, 1)
        differing = {(road, item) for road, item, verdict, reason in verdicts(report) if verdict == DIFFERS}
        self.assertEqual(differing, {
            ("Usage errors give 5 and touch nothing", "exit code"),
            ("A process ID that does not exist gives 2", "exit code"),
            ("boost of a target at normal", "GPU class"),
            ("boost of a target at normal", "CPU class"),
            ("boost of a target with a Direct3D 11 device at normal", "GPU class"),
            ("boost of a target with a Direct3D 11 device at normal", "CPU class"),
            ("unboost of that target", "CPU class"),
            ("boost-elevated from a token without the base-priority privilege", "exit code"),
        }, details)
        self.assertRegex(report, r"\n== Summary: [1-9]\d* differ, ", details)

    def test_a_tool_with_a_planted_fault_fails_the_check(self):
        # Copies of the tool built with one line changed (tests/windows/
        # CMakeLists.txt), run as CI runs the checker. (fault, the (road,
        # item) that must differ, as a regular expression on the reason)
        relay_road = "boost from a token without the base-priority privilege (the relay)"
        cases = [
            # Wine 8: the copy would be refused (3); Wine 10: it would boost (0).
            ("no_relay", (relay_road, "relay"), r"^3, but no copy started: the tool did not relay$"),
            ("wrong_id", (relay_road, "relay"), r'^[03], but the copy was given "boost-elevated \d+"$'),
            # Wine holds to the targets' access rules (the report's platform
            # facts say so), so the tool is refused the target: 2, not 0.
            ("all_access", ("boost of a target at normal", "exit code"), r"^0 expected, 2 seen$"),
        ]
        for fault, differing, reason in cases:
            with self.subTest(fault):
                if f"FAULTY_{fault}" not in os.environ:
                    self.fail(f"the tool with the fault {fault} was not built (see the configure's warning)")
                result, report = self.run_check(windows_path(os.environ[f"FAULTY_{fault}"]), "--relay",
                                                 "--strict", "--allow-unknown", "throttling", stand_in={})
                details = f"{result.details}\nreport:\n{report}"
                assert_exit(self, result, 1)
                reasons = [r for road, item, verdict, r in verdicts(report)
                           if (road, item) == differing and verdict == DIFFERS]
                self.assertTrue(reasons, details)
                self.assertRegex(reasons[0], reason, details)

    def test_usage_errors_give_2(self):
        with tempfile.TemporaryDirectory() as folder:
            cases = {"unknown option": ["--bogus"],
                     "allowed unknowns without --strict": ["--allow-unknown", "throttling"],
                     "two paths": [windows_path(TOOL), windows_path(TOOL)],
                     "no tool at the path": [windows_path(os.path.join(folder, "missing.exe"))]}
            for name, args in cases.items():
                with self.subTest(name):
                    result, report = self.run_check(*args)
                    assert_exit(self, result, 2)
                    self.assertIn("usage: morvane-boost-check", report, result.details)


if __name__ == "__main__":
    unittest.main()
