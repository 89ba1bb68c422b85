"""morvane-boost-check under Wine, against the tool as built: with the GPU
stand-in every road it checks must come out as expected; on plain Wine,
which has no GPU scheduling entry points, what depends on them must be
"cannot tell here", never a pass. Throttling cannot be read back under Wine
(Wine 8 has no GetProcessInformation; Wine 10's fails for throttling), so it
is "cannot tell here" on both.

Whether the relay's copy is raised by elevation can be seen only where the
tool's first copy runs limited: Wine 10 runs programs limited and "runas"
elevates the copy; Wine 8 runs everything elevated. The tests read which from
the report's own line about the first copy's token."""
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


def first_copy_raised(report):
    """Whether the relay's first copy already ran elevated (full, or default
    at high integrity), as the report says."""
    match = re.search(r"the first copy's token: (\w+), (\w+) integrity", report)
    return bool(match) and (match[1] == "full" or (match[1] == "default" and match[2] in ("high", "system")))


def expected(gpu, relay, raised=False):
    """The verdicts of the tool as it stands, with the GPU stand-in (gpu) or
    on plain Wine; raised: the relay's first copy ran elevated."""
    gpu_verdict = SAME if gpu else CANNOT
    effects = [("GPU class", gpu_verdict), ("CPU class", SAME), ("throttling", CANNOT)]
    roads = [
        ("Target: a plain waiting process", [("access rules", SAME), ("refusal", gpu_verdict)]),
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
        # is refused as well: 3, passed on, and nothing changed; and as its
        # first copy already ran elevated, no elevation can be seen. Wine 10
        # starts it elevated: 0, with the boost's effects, and the copy's
        # token shows the elevation. Which one this Wine took is read from the
        # report (below).
        roads.append(("boost from a token without the base-priority privilege (the relay)",
                      [("relay", SAME), ("elevation", CANNOT if raised else SAME)] + effects))
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
        cases = [("GPU stand-in, with the relay, strict as CI runs it as a limited user", {},
                  ["--relay", *strict], None),
                 ("GPU stand-in, with the relay, strict as CI runs it as the runner", {},
                  ["--relay", "--strict", "--allow-unknown", "throttling,elevation"], 0),
                 ("GPU stand-in", {}, [], 0),
                 ("plain Wine", None, [], 0),
                 # Strict: what depends on the GPU entries is unknown there.
                 ("plain Wine, strict", None, strict, 1)]
        for name, stand_in, args, code in cases:
            with self.subTest(name):
                result, report = self.run_check(windows_path(TOOL), *args, stand_in=stand_in)
                details = f"{result.details}\nreport:\n{report}"
                raised = first_copy_raised(report)
                if code is None:
                    # Without elevation allowed, this passes only where the
                    # elevation could be seen.
                    code = 1 if raised else 0
                assert_exit(self, result, code)
                found = verdicts(report)
                self.assertEqual([entry[:3] for entry in found],
                                 expected(gpu=stand_in is not None, relay="--relay" in args, raised=raised),
                                 details)
                self.assertIn("Runs under:              Wine", report, details)
                # The checker's token never hands SeDebugPrivilege on.
                self.assertRegex(report, r"\nSeDebugPrivilege: +(not held as found; nothing to remove|"
                                         r".* as found; removed, so that the targets and the tool run without it)\r?\n",
                                 details)
                summary = r"\n== Summary: 0 differ, \d+ cannot tell here"
                if "--strict" in args:
                    allow = args[args.index("--allow-unknown") + 1].split(",")
                    allowed = ",".join(item for item in allow if item != "elevation" or raised)
                    summary += rf" \(strict; allowed unknown: {allowed}\)"
                self.assertRegex(report, summary + r"\r?\n$", details)
                if "--relay" in args:
                    # What this Wine did, as the report says it saw it: a copy
                    # given the target's ID and refused (Wine 8), or a copy
                    # that boosted the target (Wine 10).
                    (relay,) = [reason for road, item, verdict, reason in found if item == "relay"]
                    self.assertRegex(relay, r'^(0: the copy ran with the privilege and boosted the target'
                                            r'|3: a copy given "boost-elevated \d+" was refused as well)', details)
                    (elevation,) = [reason for road, item, verdict, reason in found if item == "elevation"]
                    self.assertRegex(elevation, r"^the tool already ran elevated" if raised
                                     else r"^the copy ran (full|default) at (high|system) integrity", details)
                    print(f"\nthe relay under this Wine: {relay}\nits elevation: {elevation}", file=sys.stderr)
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
        # Copies of the tool built with one line changed (tests/wine/
        # CMakeLists.txt), run as CI runs the checker: elevation is allowed
        # unknown only where the first copy already ran elevated, as the
        # runner's own run allows it. (fault, the (road, item) that must
        # differ, as a regular expression on the reason)
        relay_road = "boost from a token without the base-priority privilege (the relay)"
        cases = [
            # Wine 8: the copy would be refused (3); Wine 10: it would boost (0).
            ("no_relay", (relay_road, "relay"), r"^3, but no copy started: the tool did not relay$"),
            ("wrong_id", (relay_road, "relay"), r'^[03], but the copy was given "boost-elevated \d+"$'),
            # The copy started with "open" runs with the first copy's token:
            # seen where that token is limited (Wine 10); where it is
            # already elevated (Wine 8) no check can see it, and the run says
            # so instead.
            ("runas_open", (relay_road, "elevation"), r"^the copy ran limited at \w+ integrity, as the first did"),
            # Wine holds to the targets' access rules (the report's platform
            # facts say so), so the tool is refused the target: 2, not 0.
            ("all_access", ("boost of a target at normal", "exit code"), r"^0 expected, 2 seen$"),
        ]
        for fault, differing, reason in cases:
            with self.subTest(fault):
                if f"FAULTY_{fault}" not in os.environ:
                    self.fail(f"the tool with the fault {fault} was not built (see the configure's warning)")
                tool = windows_path(os.environ[f"FAULTY_{fault}"])
                result, report = self.run_check(tool, "--relay", "--strict", "--allow-unknown",
                                                "throttling,elevation", stand_in={})
                if not first_copy_raised(report):
                    result, report = self.run_check(tool, "--relay", "--strict", "--allow-unknown",
                                                    "throttling", stand_in={})
                details = f"{result.details}\nreport:\n{report}"
                found = verdicts(report)
                if fault == "runas_open" and first_copy_raised(report):
                    (elevation,) = [(verdict, r) for road, item, verdict, r in found if item == "elevation"]
                    self.assertEqual(elevation[0], CANNOT, details)
                    self.assertRegex(elevation[1], r"^the tool already ran elevated", details)
                    assert_exit(self, result, 0)
                    continue
                assert_exit(self, result, 1)
                reasons = [r for road, item, verdict, r in found if (road, item) == differing and verdict == DIFFERS]
                self.assertTrue(reasons, details)
                self.assertRegex(reasons[0], reason, details)

    def test_a_class_the_platform_refuses_turns_the_roads_to_4(self):
        # The stand-in refuses every set with a status other than the
        # privilege's. The platform facts see it first, so the boosts and
        # unboosts must give 4, and their GPU class is never "as expected".
        refused = "0xc00000bb"
        result, report = self.run_check(windows_path(TOOL), "--relay", stand_in={"SET": refused})
        details = f"{result.details}\nreport:\n{report}"
        assert_exit(self, result, 0)
        found = verdicts(report)
        roads = {"boost of a target at normal", "unboost of that target",
                 "boost of a target with a Direct3D 11 device at normal"}
        codes = [reason for road, item, verdict, reason in found if road in roads and item == "exit code"]
        self.assertEqual(codes, ["4 expected, 4 seen"] * 4, details)
        classes = [(verdict, reason) for road, item, verdict, reason in found if road in roads and item == "GPU class"]
        self.assertEqual(len(classes), 4, details)
        for verdict, reason in classes:
            self.assertEqual(verdict, CANNOT, details)
            self.assertIn(f"status {refused}", reason, details)
        (relay,) = [(verdict, reason) for road, item, verdict, reason in found if item == "relay"]
        self.assertEqual(relay[0], SAME, details)

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
