"""The release path: scripts/release.sh run twice unsigned, once signed with a
throw-away code-signing certificate made here (never kept), once with a
wrong password, and as the workflow runs it (tag and tested programs
checked, pre-release tags, winget manifests); scripts/sign.sh with a key
generated inside a SoftHSM2 token, with each osslsigncode this machine has
(its own, and Debian 12's 2.5 where that is not its own). release.sh builds
what is committed, so it runs in a throw-away repository holding the working
tree as one commit: what is tested is what is checked out, uncommitted
changes included."""
import hashlib
import os
import re
import shutil
import subprocess
import sys
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
PIN = "4711"
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
KEY = "pkcs11:token=morvane-test;object=signing;type=private"
REPO = "example/morvane-boost"
# Debian 12's own osslsigncode, unpacked by scripts/setup.sh where this
# machine carries another.
DEBIAN12_OSSLSIGNCODE = os.path.join(SOURCE, "build", "osslsigncode-2.5-4", "usr", "bin")

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
    for variable in ("MORVANE_SIGN_PASSWORD", "GITHUB_REPOSITORY"):
        env.pop(variable, None)
    if password is not None:
        env["MORVANE_SIGN_PASSWORD"] = password
        env["MORVANE_SIGN_CA"] = runs["certificate"]  # the throw-away certificate is its own root
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


def make_token(folder):
    """A SoftHSM2 token with an RSA key pair generated inside it, and a
    self-signed code-signing certificate for that key; returns the
    environment that finds the token, and the certificate."""
    tokens = os.path.join(folder, "tokens")
    os.makedirs(tokens)
    config = os.path.join(folder, "softhsm2.conf")
    with open(config, "w") as file:
        file.write(f"directories.tokendir = {tokens}\nobjectstore.backend = file\nlog.level = ERROR\n")
    env = dict(os.environ, SOFTHSM2_CONF=config)
    for command in (["softhsm2-util", "--init-token", "--free", "--label", "morvane-test", "--pin", PIN,
                     "--so-pin", "0000"],
                    ["pkcs11-tool", "--module", SOFTHSM, "--token-label", "morvane-test", "--login", "--pin", PIN,
                     "--keypairgen", "--key-type", "rsa:2048", "--label", "signing", "--id", "01"],
                    ["openssl", "req", "-new", "-x509", "-days", "2", "-engine", "pkcs11", "-keyform", "engine",
                     "-key", f"{KEY};pin-value={PIN}", "-subj", "/CN=morvane-boost token test signer",
                     "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature",
                     "-out", os.path.join(folder, "token-certificate.pem")]):
        subprocess.run(command, check=True, capture_output=True, env=env)
    return env, os.path.join(folder, "token-certificate.pem")


def osslsigncodes():
    """{version: folder to put first on the PATH}: this machine's own, and
    Debian 12's where that is another."""
    found = {}
    for folder in ("", DEBIAN12_OSSLSIGNCODE):
        if folder and not os.path.exists(os.path.join(folder, "osslsigncode")):
            continue
        program = os.path.join(folder, "osslsigncode") if folder else "osslsigncode"
        version = subprocess.run([program, "--version"], capture_output=True, text=True).stdout.split()[1].rstrip(",")
        found.setdefault(version, folder)
    return found


def sign_with_token(archive, pin, folder=""):
    """scripts/sign.sh through PKCS#11, the certificate as the trust anchor."""
    env = dict(runs["token env"], MORVANE_SIGN_PIN=pin, MORVANE_SIGN_CA=runs["token certificate"])
    env.pop("MORVANE_SIGN_TIMESTAMP_URL", None)
    if folder:
        env["PATH"] = folder + os.pathsep + env["PATH"]
    return subprocess.run([os.path.join(runs["repository"], "scripts", "sign.sh"), archive, "--pkcs11", SOFTHSM,
                           "--key", KEY, "--cert", runs["token certificate"]],
                          env=env, capture_output=True, text=True, timeout=300)


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
    # Pre-release tags, and winget manifests beside the archive.
    runs["rc"] = release(os.path.join(folder, "rc"), "--tag", f"v{version}-rc.1", "--repo", REPO)
    runs["not an rc"] = release(os.path.join(folder, "not-rc"), "--tag", f"v{version}-beta")
    # Signing with a key in a token, with each osslsigncode this machine has.
    runs["token env"], runs["token certificate"] = make_token(folder)
    runs["token signed"] = {}
    for release_version, path in osslsigncodes().items():
        copy = shutil.copy(runs["first"], os.path.join(folder, f"token-{release_version}.zip"))
        runs["token signed"][release_version] = (copy, sign_with_token(copy, PIN, path))
    runs["wrong pin"] = shutil.copy(runs["first"], os.path.join(folder, "wrong-pin.zip"))
    runs["wrong pin result"] = sign_with_token(runs["wrong pin"], "9999")
    runs["rc before signing"] = sha256(archive_of(runs["rc"]))
    with open(os.path.join(folder, "rc", "winget", "example.morvane-boost.installer.yaml")) as file:
        runs["rc manifest before signing"] = re.search(r"InstallerSha256: (\w+)", file.read())[1]
    runs["rc signed"] = sign_with_token(archive_of(runs["rc"]), PIN)
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
        self.assertIn("scripts/release.sh [--sign CERT.pfx] [--dist DIR] [--tag vX.Y.Z[-rc.N]]",
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
                self.assertIn("signing morvane-boost.exe failed", result.stderr)
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


class SignedInHardware(unittest.TestCase):
    """scripts/sign.sh with a key that never leaves its token."""

    def test_signs_verifies_and_gives_back_the_unsigned_bytes(self):
        print(f"\nosslsigncode versions signed with: {', '.join(sorted(runs['token signed']))}", file=sys.stderr)
        with open(member("first", "BUILDINFO")) as file:
            unsigned_info = file.read()
        for version, (archive, result) in runs["token signed"].items():
            with self.subTest(osslsigncode=version):
                self.assertEqual(result.returncode, 0, result.stderr)
                folder = os.path.join(runs["folder"], f"token-{version}")
                self.assertEqual(extract(archive, folder), NAMES)
                with open(os.path.join(folder, "BUILDINFO")) as file:
                    self.assertIn("a key in hardware, through PKCS#11", file.read())
                for name in PROGRAMS:
                    signed = os.path.join(folder, name)
                    verified = subprocess.run(["osslsigncode", "verify", "-CAfile", runs["token certificate"],
                                               "-in", signed], capture_output=True, text=True)
                    self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
                    stripped = signed + ".stripped"
                    subprocess.run(["osslsigncode", "remove-signature", "-in", signed, "-out", stripped],
                                   check=True, capture_output=True)
                    self.assertIn(f"  {sha256(stripped)}  {name}\n", unsigned_info)

    def test_a_wrong_pin_fails_and_leaves_the_archive_as_it_was(self):
        result = runs["wrong pin result"]
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("signing morvane-boost.exe failed", result.stderr)
        self.assertNotIn(PIN, result.stderr + result.stdout)
        self.assertEqual(sha256(runs["wrong pin"]), sha256(runs["first"]))


class PreRelease(unittest.TestCase):
    def test_an_rc_tag_of_the_version_names_the_archive_by_the_whole_tag(self):
        path = archive_of(runs["rc"])
        self.assertEqual(os.path.basename(path), f"morvane-boost-{runs['version']}-rc.1-windows-x86_64.zip")
        result = runs["not an rc"]
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(f"the tag v{runs['version']}-beta does not match", result.stderr)


class Winget(unittest.TestCase):
    """The three manifests release.sh writes for the archive: what the
    project decides (the schemas themselves are checked in CI)."""

    @classmethod
    def setUpClass(cls):
        cls.archive = archive_of(runs["rc"])
        cls.folder = os.path.join(os.path.dirname(cls.archive), "winget")
        cls.texts = {}
        for name in sorted(os.listdir(cls.folder)):
            with open(os.path.join(cls.folder, name)) as file:
                cls.texts[name] = file.read()

    def field(self, manifest, name):
        (value,) = re.findall(rf"^ *-? *{name}: (.*)$", self.texts[manifest], re.M)
        return value

    def test_are_the_three_files_winget_pkgs_names(self):
        self.assertEqual(sorted(self.texts), ["example.morvane-boost.installer.yaml",
                                              "example.morvane-boost.locale.en-US.yaml",
                                              "example.morvane-boost.yaml"])

    def test_every_version_is_quoted_text(self):
        for name, text in self.texts.items():
            with self.subTest(name):
                self.assertIn(f'\nPackageVersion: "{runs["version"]}-rc.1"\n', text)
                self.assertIn('\nManifestVersion: "1.12.0"\n', text)

    def test_installs_the_archive_from_the_release_machine_wide_as_two_commands(self):
        installer = "example.morvane-boost.installer.yaml"
        tag = f"v{runs['version']}-rc.1"
        self.assertEqual(self.field(installer, "InstallerUrl"),
                         f"https://github.com/{REPO}/releases/download/{tag}/{os.path.basename(self.archive)}")
        self.assertEqual((self.field(installer, "InstallerType"), self.field(installer, "NestedInstallerType"),
                          self.field(installer, "Scope")), ("zip", "portable", "machine"))
        files = re.findall(r"RelativeFilePath: (\S+)\n +PortableCommandAlias: (\S+)", self.texts[installer])
        self.assertEqual(files, [("morvane-boost.exe", "morvane-boost"),
                                 ("morvane-boost-check.exe", "morvane-boost-check")])
        with zipfile.ZipFile(self.archive) as archive:
            self.assertLessEqual({name for name, alias in files}, set(archive.namelist()))
        # The commit's day in UTC, whatever this machine's time zone.
        commit_date = subprocess.run(["git", "log", "-1", "--date=format-local:%Y-%m-%d", "--format=%cd"],
                                     cwd=runs["repository"], env=dict(os.environ, TZ="UTC"), check=True,
                                     capture_output=True, text=True).stdout.strip()
        self.assertEqual(self.field(installer, "ReleaseDate"), f'"{commit_date}"')
        locale = "example.morvane-boost.locale.en-US.yaml"
        self.assertEqual((self.field(locale, "License"), self.field(locale, "Publisher")), ("MIT", "example"))

    def test_names_the_archive_by_its_hash_before_and_after_signing(self):
        installer = "example.morvane-boost.installer.yaml"
        self.assertEqual(runs["rc manifest before signing"], runs["rc before signing"].upper())
        self.assertEqual(runs["rc signed"].returncode, 0, runs["rc signed"].stderr)
        self.assertNotEqual(sha256(self.archive), runs["rc before signing"])
        self.assertEqual(self.field(installer, "InstallerSha256"), sha256(self.archive).upper())

    def test_without_a_repository_writes_none_and_says_so(self):
        self.assertFalse(os.path.exists(os.path.join(runs["dist"], "winget")))
        self.assertIn("no winget manifests written", runs["wrong tag"].stderr + runs["tagged"].stderr)


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
