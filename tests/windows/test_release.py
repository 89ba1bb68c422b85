"""The release path: scripts/release.sh run twice unsigned, once signed with a
throw-away code-signing certificate made here (never kept), once with a
wrong password, and as the workflow runs it (tag and tested programs checked). release.sh builds what is committed, so it runs in a
throw-away repository holding the working tree as one commit: what is
tested is what is checked out, uncommitted changes included."""
import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest
import zipfile

import test_shape
from winerun import TOOL, StandInLog, assert_exit, cpu_class, live_target, read, run

SOURCE = os.environ["SOURCE_DIR"]
CHECK = os.environ["CHECK_EXE"]
PROGRAMS = {"morvane-boost.exe": TOOL, "morvane-boost-check.exe": CHECK}
NAMES = ["morvane-boost.exe", "morvane-boost-check.exe", "README.txt", "LICENSE", "SHA256SUMS",
         "BUILDINFO"]
PASSWORD = "throw-away password"

runs = {}  # what setUpModule found: the runs' results and the files they made


def git(*args, cwd):
    return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True,
                          text=True).stdout


def snapshot(repository):
    """A repository whose one commit is the working tree (ignored files left out)."""
    for name in git("ls-files", "-z", "--cached", "--others", "--exclude-standard",
                    cwd=SOURCE).split("\0"):
        if name and os.path.isfile(os.path.join(SOURCE, name)):
            os.makedirs(os.path.dirname(os.path.join(repository, name)), exist_ok=True)
            shutil.copy2(os.path.join(SOURCE, name), os.path.join(repository, name))
    git("init", "-q", cwd=repository)
    git("add", "-A", cwd=repository)
    git("-c", "user.name=test", "-c", "user.email=test@invalid", "commit", "-q", "-m", "snapshot",
        cwd=repository)


def release(dist, *args, password=None):
    """Runs release.sh with an npm first on the PATH that fails and leaves a
    mark: a release needs no npm."""
    env = dict(os.environ)
    env.pop("MORVANE_SIGN_PASSWORD", None)
    if password is not None:
        env["MORVANE_SIGN_PASSWORD"] = password
    env["PATH"] = runs["no npm"] + os.pathsep + env["PATH"]
    repository = runs["repository"]
    return subprocess.run([os.path.join(repository, "scripts", "release.sh"), "--dist", dist, *args],
                          cwd=repository, env=env, capture_output=True, text=True, timeout=600)


def archive_of(result):
    """The archive the run names on its last line of output, kept aside."""
    if result.returncode != 0:
        raise AssertionError(f"release.sh failed:\n{result.stderr}")
    return result.stdout.splitlines()[-1]


def extract(archive, folder):
    with zipfile.ZipFile(archive) as zip_file:
        names = zip_file.namelist()
        zip_file.extractall(folder)
    return names


def sha256(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def setUpModule():
    folder = runs["folder"] = tempfile.mkdtemp()
    runs["no npm"] = os.path.join(folder, "no-npm")
    os.makedirs(runs["no npm"])
    with open(os.path.join(runs["no npm"], "npm"), "w") as npm:
        npm.write(f'#!/bin/sh\ntouch "{runs["no npm"]}/called"\nexit 1\n')
    os.chmod(os.path.join(runs["no npm"], "npm"), 0o755)
    snapshot(runs.setdefault("repository", os.path.join(folder, "repository")))
    certificate = os.path.join(folder, "certificate.pem")
    key = os.path.join(folder, "key.pem")
    pfx = runs["pfx"] = os.path.join(folder, "certificate.pfx")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=morvane-boost test signer", "-keyout", key, "-out", certificate,
                    "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature"],
                   check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", certificate, "-out", pfx,
                    "-passout", f"pass:{PASSWORD}"], check=True, capture_output=True)
    runs["certificate"] = certificate

    dist = runs["dist"] = os.path.join(folder, "dist")
    for name, args, password in [("first", [], None), ("second", [], None),
                                 ("signed", ["--sign", pfx], PASSWORD)]:
        path = archive_of(release(dist, *args, password=password))
        runs[name + " path"] = path
        runs[name] = shutil.move(path, os.path.join(folder, name + ".zip"))
        runs[name + " names"] = extract(runs[name], os.path.join(folder, name))
    runs["wrong password"] = release(dist, "--sign", pfx, password="wrong")
    # Into a directory that does not exist yet: a failure must not leave it.
    runs["new dist"] = os.path.join(folder, "new", "dist")
    os.makedirs(os.path.dirname(runs["new dist"]))
    runs["wrong password, new dist"] = release(runs["new dist"], "--sign", pfx, password="wrong")
    runs["help"] = release(dist, "--help")
    # As the workflow runs it: the tag checked, the programs compared with
    # the tested ones; once with a tag that is not the version, once against
    # a checker that is not the one built.
    runs["version"] = version = git("show", "HEAD:CMakeLists.txt", cwd=runs["repository"]).split(
        "project(morvane-boost VERSION ")[1].split()[0]
    tested = os.path.dirname(TOOL)
    runs["tagged"] = release(os.path.join(folder, "tagged"), "--tag", f"v{version}", "--same-as", tested)
    runs["wrong tag"] = release(os.path.join(folder, "wrong-tag"), "--tag", "v0.0.0-wrong")
    other = os.path.join(folder, "other-programs")
    os.makedirs(other)
    shutil.copy(TOOL, other)
    with open(os.path.join(other, "morvane-boost-check.exe"), "wb") as file:
        file.write(b"MZ not the checker that was built")
    runs["not the tested programs"] = release(os.path.join(folder, "untested"), "--same-as", other)
    SignedShape.path = os.path.join(folder, "signed", "morvane-boost.exe")
    SignedCheckerShape.path = os.path.join(folder, "signed", "morvane-boost-check.exe")


def tearDownModule():
    shutil.rmtree(runs["folder"], ignore_errors=True)


def member(run_name, name):
    return os.path.join(runs["folder"], run_name, name)


class Release(unittest.TestCase):
    def test_two_runs_give_the_same_archive(self):
        self.assertEqual(runs["first path"], runs["second path"])
        self.assertRegex(os.path.basename(runs["first path"]),
                         r"^morvane-boost-\d+\.\d+\.\d+(-[0-9a-f]{7,})?-windows-x86_64\.zip$")
        self.assertEqual(sha256(runs["first"]), sha256(runs["second"]))
        print(f"\n{os.path.basename(runs['first path'])}: {os.path.getsize(runs['first'])} bytes, "
              f"SHA-256 {sha256(runs['first'])}")

    def test_holds_the_five_files_and_their_sums_check_out(self):
        for run_name in ("first", "signed"):
            with self.subTest(run_name):
                self.assertEqual(runs[run_name + " names"], NAMES)
                with open(member(run_name, "SHA256SUMS")) as sums:
                    listed = dict(reversed(line.split()) for line in sums)
                self.assertEqual(set(listed), set(NAMES) - {"SHA256SUMS"})
                for name, digest in listed.items():
                    self.assertEqual(sha256(member(run_name, name)), digest, name)

    def test_buildinfo_says_how_to_rebuild_the_unsigned_bytes(self):
        commit = git("rev-parse", "HEAD", cwd=runs["repository"]).strip()
        with open(member("first", "BUILDINFO")) as file:
            info = file.read()
        self.assertIn(f"commit: {commit}", info)
        self.assertIn(f"git checkout {commit}", info)
        self.assertIn("cmake --build build/release --target morvane-boost morvane-boost-check\n", info)
        for package in ("g++-mingw-w64-x86-64-win32", "binutils-mingw-w64-x86-64",
                        "mingw-w64-x86-64-dev", "cmake"):
            version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], check=True,
                                     capture_output=True, text=True).stdout
            self.assertIn(f"  {package} {version}\n", info)
        for name in PROGRAMS:
            self.assertIn(f"  {sha256(member('first', name))}  {name}\n", info)

    def test_ships_the_programs_the_other_tests_checked(self):
        # The build does not depend on where it runs, so the archive's copies
        # are the very files that the shape and Wine tests ran.
        for name, built in PROGRAMS.items():
            self.assertEqual(sha256(member("first", name)), sha256(built), name)

    def test_ships_the_windows_users_readme(self):
        with open(member("first", "README.txt")) as shipped, \
                open(os.path.join(SOURCE, "docs", "README.txt")) as source:
            self.assertEqual(shipped.read(), source.read())

    def test_help_prints_the_usage(self):
        self.assertEqual(runs["help"].returncode, 0, runs["help"].stderr)
        self.assertIn("scripts/release.sh [--sign CERT.pfx] [--dist DIR] [--tag vX.Y.Z] [--same-as DIR]",
                      runs["help"].stdout)

    def test_never_calls_npm(self):
        self.assertFalse(os.path.exists(os.path.join(runs["no npm"], "called")))

    def test_a_tag_of_the_version_names_the_archive_by_it_alone(self):
        path = archive_of(runs["tagged"])
        self.assertEqual(os.path.basename(path), f"morvane-boost-{runs['version']}-windows-x86_64.zip")

    def test_refuses_a_tag_that_is_not_the_version_and_programs_that_were_not_tested(self):
        cases = {"wrong tag": ("wrong-tag", "the tag v0.0.0-wrong does not match the project's version"),
                 "not the tested programs": ("untested", "morvane-boost-check.exe as built here differs")}
        for name, (dist, message) in cases.items():
            with self.subTest(name):
                result = runs[name]
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(runs["folder"], dist)), "an archive was left")


class Signed(unittest.TestCase):
    def test_keeps_the_archive_name(self):
        self.assertEqual(runs["signed path"], runs["first path"])

    def test_verifies_with_the_certificate_as_trust_anchor(self):
        for name in PROGRAMS:
            with self.subTest(name):
                result = subprocess.run(["osslsigncode", "verify", "-CAfile", runs["certificate"],
                                         "-in", member("signed", name)], capture_output=True, text=True)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_is_the_reproducible_bytes_plus_a_signature(self):
        with open(member("signed", "BUILDINFO")) as file:
            info = file.read()
        for name in PROGRAMS:
            with self.subTest(name):
                signed = member("signed", name)
                stripped = os.path.join(runs["folder"], "stripped-" + name)
                subprocess.run(["osslsigncode", "remove-signature", "-in", signed, "-out", stripped],
                               check=True, capture_output=True)
                unsigned = member("first", name)
                self.assertEqual(sha256(stripped), sha256(unsigned))
                self.assertIn(f"  {sha256(unsigned)}  {name}\n", info)
                print(f"\nsigned {name}: {os.path.getsize(signed)} bytes "
                      f"({os.path.getsize(signed) - os.path.getsize(unsigned)} more than unsigned)")

    def test_a_wrong_password_fails_clearly_and_leaves_nothing(self):
        for name, dist in [("wrong password", runs["dist"]), ("wrong password, new dist", runs["new dist"])]:
            with self.subTest(name):
                result = runs[name]
                self.assertNotEqual(result.returncode, 0)
                self.assertIn("signing failed", result.stderr)
        self.assertEqual(os.listdir(runs["dist"]), [])
        self.assertFalse(os.path.exists(runs["new dist"]), "a failed run left the dist it made")

    def test_runs_under_wine(self):
        tool = member("signed", "morvane-boost.exe")
        assert_exit(self, run(tool, "boost"), 5)
        with live_target("normal") as pid, tempfile.TemporaryDirectory() as folder:
            result = run(tool, "boost", str(pid), stand_in=StandInLog(folder).script())
            assert_exit(self, result, 0)
            self.assertEqual(cpu_class(pid), "high", result.details)

    def test_the_signed_checker_finds_the_signed_tool_as_promised(self):
        with tempfile.TemporaryDirectory() as folder:
            report = os.path.join(folder, "report.txt")
            result = run(member("signed", "morvane-boost-check.exe"), stdout_file=report,
                         stand_in=StandInLog(folder).script())
            self.assertEqual(result, 0, f"{result.details}\nreport:\n{read(report)}")


class SignedCheckerShape(test_shape.CheckerShape):
    """The checker's PE checks on its signed copy."""


class SignedShape(test_shape.Shape):
    """The PE checks of the built executable, on the signed one: the
    signature is no resource and changes no import."""

    def test_imports_what_the_unsigned_build_imports(self):
        self.assertEqual(self.imports, test_shape.imports(test_shape.pefile.PE(TOOL)))

    def test_carries_the_signature_in_the_security_directory(self):
        security = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            test_shape.pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        self.assertGreater(security.Size, 0)


if __name__ == "__main__":
    unittest.main()
