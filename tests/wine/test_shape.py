"""The shape of the built executable: what Windows sees before running it."""
import os
import subprocess
import unittest

import pefile

TOOL = os.environ["MORVANE_EXE"]
UNSTRIPPED = os.environ["MORVANE_EXE_UNSTRIPPED"]
EMPTY_GUI = os.environ["EMPTY_GUI_EXE"]

SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "shell32.dll", "gdi32.dll"}
OPTIONAL_ENTRIES = {
    b"D3DKMTSetProcessSchedulingPriorityClass",
    b"D3DKMTGetProcessSchedulingPriorityClass",
    b"SetProcessInformation",
}


def imports(pe):
    """{dll name, lower case: {function names}}"""
    return {
        entry.dll.decode().lower(): {i.name for i in entry.imports if i.name}
        for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    }


class Shape(unittest.TestCase):
    path = TOOL  # the release test checks a signed copy too

    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(cls.path)
        cls.imports = imports(cls.pe)

    def test_is_a_64_bit_gui_program(self):
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, 0x20B, "PE32+")
        self.assertEqual(self.pe.FILE_HEADER.Machine, 0x8664, "x86-64")
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, 2, "Windows GUI")

    def test_starts_through_the_wide_gui_start_up(self):
        # The symbols of the same link, unstripped, name the entry point.
        unstripped = pefile.PE(UNSTRIPPED)
        entry = unstripped.OPTIONAL_HEADER.ImageBase + unstripped.OPTIONAL_HEADER.AddressOfEntryPoint
        symbols = subprocess.run([os.environ["MINGW_NM"], UNSTRIPPED], check=True,
                                 capture_output=True, text=True).stdout.split("\n")
        at_entry = {line.split()[2] for line in symbols
                    if line.strip() and line.split()[0] != "U" and int(line.split()[0], 16) == entry}
        self.assertIn("WinMainCRTStartup", at_entry)  # the GUI start-up, not mainCRTStartup
        defined = {line.split()[2] for line in symbols if line.strip() and line.split()[1] in "TtDdBbRr"}
        self.assertIn("wWinMain", defined)
        self.assertNotIn("WinMain", defined)
        self.assertEqual(self.pe.OPTIONAL_HEADER.AddressOfEntryPoint,
                         unstripped.OPTIONAL_HEADER.AddressOfEntryPoint)
        # The wide argument vector comes from the runtime (the Wine runs show
        # the start-up calling for it).
        self.assertIn(b"_configure_wide_argv", self.imports["api-ms-win-crt-runtime-l1-1-0.dll"])

    def test_carries_no_resources(self):
        resources = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
        self.assertEqual((resources.VirtualAddress, resources.Size), (0, 0))
        self.assertNotIn(b".rsrc", [s.Name.rstrip(b"\0") for s in self.pe.sections])

    def test_imports_only_system_dlls_and_the_universal_runtime(self):
        dlls = set(self.imports)
        crt = {d for d in dlls if d.startswith("api-ms-win-crt-")}
        self.assertTrue(crt, "no UCRT import")
        self.assertEqual(dlls - crt - SYSTEM_DLLS, set())
        # gdi32 is mapped at load time only so that its entries can be found.
        self.assertIn("gdi32.dll", dlls)

    def test_optional_entries_are_looked_up_not_imported(self):
        imported = set().union(*self.imports.values())
        self.assertEqual(imported & OPTIONAL_ENTRIES, set())

    def test_aslr_high_entropy_dep_and_terminal_server_awareness_are_on(self):
        flags = self.pe.OPTIONAL_HEADER.DllCharacteristics
        for name in ("IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE",
                     "IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA",
                     "IMAGE_DLLCHARACTERISTICS_NX_COMPAT",
                     "IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE"):
            with self.subTest(name):
                self.assertTrue(flags & pefile.DLL_CHARACTERISTICS[name])

    def test_stays_small(self):
        size, empty = os.path.getsize(self.path), os.path.getsize(EMPTY_GUI)
        print(f"\nmorvane-boost.exe: {size} bytes; empty GUI program, same build: {empty} bytes")
        # A few KiB of logic over the bare start-up; much more means something
        # (libstdc++, exception tables) was linked in by mistake.
        self.assertLessEqual(size, empty + 8192)


class Floor(unittest.TestCase):
    def test_the_start_up_floor_maps_every_dll_the_tool_maps(self):
        # measure.sh times the tool against it: a floor without one of them,
        # the runtime's sets included, would count its mapping (most of a
        # start under Wine) as the tool's cost.
        self.assertEqual(set(imports(pefile.PE(os.environ["FLOOR_GUI_EXE"]))), set(imports(pefile.PE(TOOL))))


class CheckerShape(unittest.TestCase):
    """morvane-boost-check.exe: a 64-bit console program that, like the tool,
    runs on a stock Windows with nothing beside it."""

    path = os.environ["CHECK_EXE"]  # the release test checks a signed copy too

    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(cls.path)

    def test_is_a_64_bit_console_program_importing_only_system_dlls(self):
        self.assertEqual((self.pe.OPTIONAL_HEADER.Magic, self.pe.FILE_HEADER.Machine), (0x20B, 0x8664))
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, 3, "Windows console")
        dlls = set(imports(self.pe))
        self.assertEqual({d for d in dlls if not d.startswith("api-ms-win-crt-")} - SYSTEM_DLLS, set())
        # Whatever a supported Windows may lack is looked up, not imported.
        imported = set().union(*imports(self.pe).values())
        self.assertEqual(imported & (OPTIONAL_ENTRIES | {b"GetProcessInformation", b"IsWow64Process2",
                                                         b"D3D11CreateDevice"}), set())


if __name__ == "__main__":
    unittest.main()
