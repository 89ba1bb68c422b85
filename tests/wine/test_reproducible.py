"""Two clean builds of the same sources in different directories give the
same bytes: no link time and no build path inside the executable."""
import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.environ["SOURCE_DIR"]
PARTS = ["CMakeLists.txt", "cmake", "src", "check", "tests"]
PROGRAMS = ["morvane-boost", "morvane-boost-check"]


def build(folder):
    """Copies the sources into folder, builds the tool and the checker there,
    returns their bytes."""
    source = os.path.join(folder, "src-tree")
    os.makedirs(source)
    for part in PARTS:
        copy = shutil.copytree if os.path.isdir(os.path.join(SOURCE, part)) else shutil.copy
        copy(os.path.join(SOURCE, part), os.path.join(source, part))
    binary = os.path.join(folder, "build")
    toolchain = os.path.join(source, "cmake", "mingw-w64-x86_64.cmake")
    subprocess.run(["cmake", "-S", source, "-B", binary, f"-DCMAKE_TOOLCHAIN_FILE={toolchain}"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", binary, "--target", *PROGRAMS], check=True,
                   stdout=subprocess.DEVNULL)
    programs = []
    for program in PROGRAMS:
        with open(os.path.join(binary, program + ".exe"), "rb") as exe:
            programs.append(exe.read())
    return b"".join(programs)


class Reproducible(unittest.TestCase):
    def test_two_builds_are_identical(self):
        with tempfile.TemporaryDirectory() as one, tempfile.TemporaryDirectory() as two:
            first = build(os.path.join(one, "a"))
            second = build(os.path.join(two, "a-longer-directory-name"))
        digests = [hashlib.sha256(b).hexdigest() for b in (first, second)]
        print(f"\nSHA-256 of the two builds' programs, end to end:\n  {digests[0]}\n  {digests[1]}")
        self.assertEqual(first, second)
        # The directory names must not leak in any form.
        for name in (b"a-longer-directory-name", os.path.basename(one).encode()):
            self.assertNotIn(name, first)


if __name__ == "__main__":
    unittest.main()
