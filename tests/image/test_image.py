"""The Windows images, the filter's and the decoder's, field by field, read
with pefile: every check holds for both, each with its own names, and for
either architecture's images, each with its own form (FORMS).

    /usr/bin/python3 tests/image/test_image.py
        (B64FILTER_WIN32_IMAGE and B64UNFILTER_WIN32_IMAGE name the images;
        with B64_WINDOWS_ARCH=x64, B64FILTER_WIN64_IMAGE and B64UNFILTER_WIN64_IMAGE)

pefile (Debian's python3-pefile) is the reader here, never the project's own
build tools, so a fault in those cannot hide itself. Where pefile gives no
structure (the load configuration's raw bytes, the icon directory), the bytes
are read straight from the file through pefile's RVA mapping.
"""

import collections
import os
import re
import struct
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

from images import ARCH, PROGRAMS, missing, path as image_path

# The one version of the sources; the image must carry it in all four places.
with open(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                       "VERSION"), encoding="ascii") as version_file:
    VERSION = version_file.read().strip()

IMPORTS = [
    ("KERNEL32.dll", ["WriteFile", "ExitProcess", "CloseHandle", "ReadFile", "GetLastError",
                      "GetStdHandle"]),
    ("USER32.dll", ["wvsprintfA"]),
]

# IMAGE_FILE_* and IMAGE_DLLCHARACTERISTICS_* values, from the PE format.
FILE_EXECUTABLE_IMAGE = 0x0002
FILE_LARGE_ADDRESS_AWARE = 0x0020
FILE_32BIT_MACHINE = 0x0100
FILE_REMOVABLE_RUN_FROM_SWAP = 0x0400
FILE_NET_RUN_FROM_SWAP = 0x0800
DLL_HIGH_ENTROPY_VA = 0x0020
DLL_DYNAMIC_BASE = 0x0040
DLL_NX_COMPAT = 0x0100
DLL_NO_SEH = 0x0400
DLL_TERMINAL_SERVER_AWARE = 0x8000

SCN_CNT_CODE = 0x00000020
SCN_CNT_INITIALIZED_DATA = 0x00000040
SCN_MEM_DISCARDABLE = 0x02000000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_READ = 0x40000000
SCN_MEM_WRITE = 0x80000000
SCN_ALIGN_MASK = 0x00F00000  # meaningless in an image; lld leaves it zero anyway

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V2 = "urn:schemas-microsoft-com:asm.v2"
COMPATIBILITY_V1 = "urn:schemas-microsoft-com:compatibility.v1"
SUPPORTED_OS = [
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10
]


READ_DATA = SCN_CNT_INITIALIZED_DATA | SCN_MEM_READ
CODE = (".code", SCN_CNT_CODE | SCN_MEM_EXECUTE | SCN_MEM_READ)
SHARED_FLAGS = FILE_EXECUTABLE_IMAGE | FILE_LARGE_ADDRESS_AWARE | FILE_REMOVABLE_RUN_FROM_SWAP | FILE_NET_RUN_FROM_SWAP
SHARED_DLL = DLL_DYNAMIC_BASE | DLL_NX_COMPAT | DLL_TERMINAL_SERVER_AWARE
SHARED_DIRECTORIES = {"IMPORT", "IAT", "RESOURCE", "LOAD_CONFIG"}

# What an architecture's image is: machine, optional header's magic, subsystem
# and OS versions, file header and DLL characteristics, sections with their
# flags, data directories, the width of an import slot, the load
# configuration (its Size, its directory's size, where DependentLoadFlags lies).
# x86 (PE32): Windows XP on a Pentium; relocated through .reloc; no SEH handlers,
# which the flag says. x64 (PE32+): XP x64 and Server 2003 on; its code reaches
# everything relative to RIP, so it has no relocations and no .reloc, and may
# still be placed at any base in 64 bits (HIGH_ENTROPY_VA); the unwind data x64
# walks the stack with (the EXCEPTION directory, in .const).
Form = collections.namedtuple("Form", "machine magic subsystem os_version characteristics dll sections "
                                      "directories slot load_config")
FORMS = {
    "x86": Form(0x14C, 0x10B, (5, 1), (5, 0), SHARED_FLAGS | FILE_32BIT_MACHINE, SHARED_DLL | DLL_NO_SEH,
                [CODE, (".const", READ_DATA), (".rsrc", READ_DATA), (".reloc", READ_DATA | SCN_MEM_DISCARDABLE)],
                SHARED_DIRECTORIES | {"BASERELOC"}, 4, (0x68, 64, 54)),
    "x64": Form(0x8664, 0x20B, (5, 2), (5, 2), SHARED_FLAGS, SHARED_DLL | DLL_HIGH_ENTROPY_VA,
                [CODE, (".const", READ_DATA), (".rsrc", READ_DATA)],
                SHARED_DIRECTORIES | {"EXCEPTION"}, 8, (0xA0, 0xA0, 78)),
}
FORM = FORMS[ARCH]

_LOADED = {}


class ImageTest(unittest.TestCase):
    """The checks of one program's image: `program`, its bytes `data`, and
    `pe` as pefile reads them."""

    program = None

    @classmethod
    def setUpClass(cls):
        path = image_path(cls.program)
        if path not in _LOADED:
            if missing(cls.program):
                raise RuntimeError(missing(cls.program))
            with open(path, "rb") as f:
                data = f.read()
            _LOADED[path] = (data, pefile.PE(data=data))
        cls.data, cls.pe = _LOADED[path]

    def directory(self, name):
        return self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[name]]

    def slot_at(self, rva):
        """An import slot: a pointer of the architecture."""
        return (self.pe.get_qword_at_rva if FORM.slot == 8 else self.pe.get_dword_at_rva)(rva)

    def section_of(self, rva):
        for s in self.pe.sections:
            if s.VirtualAddress <= rva < s.VirtualAddress + s.Misc_VirtualSize:
                return s.Name.rstrip(b"\0").decode()
        return None

    def resources(self):
        """{(type, id): [(language, sublanguage, data)]} for every resource leaf."""
        found = {}
        for type_entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            for name_entry in type_entry.directory.entries:
                leaves = found.setdefault((type_entry.id, name_entry.id), [])
                for leaf in name_entry.directory.entries:
                    entry = leaf.data.struct
                    leaves.append((leaf.data.lang, leaf.data.sublang,
                                   self.pe.get_data(entry.OffsetToData, entry.Size)))
        return found


class Headers:
    def test_machine_format_console_and_versions(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, FORM.machine)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, FORM.magic)
        oh = self.pe.OPTIONAL_HEADER
        self.assertEqual(oh.Subsystem, 3)  # Windows console
        self.assertEqual((oh.MajorSubsystemVersion, oh.MinorSubsystemVersion), FORM.subsystem)
        self.assertEqual((oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion), FORM.os_version)
        # A.B.C.D as A and BCD: the field has a major and a minor number only.
        major, *rest = VERSION.split(".")
        self.assertEqual((oh.MajorImageVersion, oh.MinorImageVersion), (int(major), int("".join(rest))))

    def test_entry_point_is_in_the_code(self):
        self.assertEqual(self.section_of(self.pe.OPTIONAL_HEADER.AddressOfEntryPoint), ".code")

    def test_file_header_flags_and_time_stamp(self):
        # Never RELOCS_STRIPPED: the loader may place either image at any base.
        self.assertEqual(self.pe.FILE_HEADER.Characteristics, FORM.characteristics)
        self.assertEqual(self.pe.FILE_HEADER.TimeDateStamp, 0xFFFFFFFF)

    def test_dll_characteristics(self):
        self.assertEqual(self.pe.OPTIONAL_HEADER.DllCharacteristics, FORM.dll)

    def test_checksum_is_filled_in_and_right(self):
        self.assertNotEqual(self.pe.OPTIONAL_HEADER.CheckSum, 0)
        self.assertEqual(self.pe.OPTIONAL_HEADER.CheckSum, self.pe.generate_checksum())

    def test_at_most_24_kib(self):
        self.assertLessEqual(len(self.data), 24 * 1024)

    def test_data_directories_of_its_form(self):
        present = {name for name in pefile.DIRECTORY_ENTRY
                   if isinstance(name, str) and self.directory(name).VirtualAddress != 0}
        self.assertEqual(present, {"IMAGE_DIRECTORY_ENTRY_" + name for name in FORM.directories})


class Sections:
    def test_names_order_and_flags(self):
        actual = [(s.Name.rstrip(b"\0").decode(), s.Characteristics & ~SCN_ALIGN_MASK)
                  for s in self.pe.sections]
        self.assertEqual(actual, FORM.sections)
        self.assertEqual(self.pe.FILE_HEADER.NumberOfSections, len(FORM.sections))

    def test_no_writable_or_empty_section(self):
        for s in self.pe.sections:
            self.assertFalse(s.Characteristics & SCN_MEM_WRITE, s.Name)
            self.assertGreater(s.Misc_VirtualSize, 0, s.Name)
            self.assertGreater(s.SizeOfRawData, 0, s.Name)

    def test_const_holds_the_tables_and_messages(self):
        for name in {"IMPORT", "IAT", "LOAD_CONFIG", "EXCEPTION"} & FORM.directories:
            entry = self.directory("IMAGE_DIRECTORY_ENTRY_" + name)
            self.assertEqual(self.section_of(entry.VirtualAddress), ".const", name)
            self.assertEqual(self.section_of(entry.VirtualAddress + entry.Size - 1), ".const", name)
        for descriptor in self.pe.DIRECTORY_ENTRY_IMPORT:
            for rva in (descriptor.struct.OriginalFirstThunk, descriptor.struct.Name):
                self.assertEqual(self.section_of(rva), ".const")
            for imported in descriptor.imports:
                self.assertEqual(self.section_of(imported.hint_name_table_rva), ".const")
        const = next(s for s in self.pe.sections if s.Name.rstrip(b"\0") == b".const").get_data()
        texts = self.program.texts + [
                 b"GetStdHandle(%s) returned error %lu\r\n", b"STD_OUTPUT_HANDLE\0",
                 b"STD_INPUT_HANDLE\0", b"ReadFile() returned error %lu\r\n",
                 b"WriteFile() returned error %lu\r\n",
                 b"WriteFile() failed, %lu of %lu characters written\r\n",
                 b"CloseHandle() returned error %lu\r\n"]
        for text in texts:
            self.assertIn(text, const)

    @unittest.skipIf(ARCH == "x64", "x64 code reaches the image relative to RIP: it has no relocations")
    def test_base_relocations_cover_absolute_addresses(self):
        # Dynamic base needs them: every HIGHLOW fix-up must hold an address in the image.
        oh = self.pe.OPTIONAL_HEADER
        fixups = [r for block in self.pe.DIRECTORY_ENTRY_BASERELOC for r in block.entries
                  if r.type != pefile.RELOCATION_TYPE["IMAGE_REL_BASED_ABSOLUTE"]]
        self.assertTrue(fixups)
        for fixup in fixups:
            self.assertEqual(fixup.type, pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"])
            target = self.pe.get_dword_at_rva(fixup.rva)
            self.assertTrue(oh.ImageBase <= target < oh.ImageBase + oh.SizeOfImage, hex(target))
        # The code reaches every imported function through a relocated address.
        iat = self.directory("IMAGE_DIRECTORY_ENTRY_IAT")
        targets = {self.pe.get_dword_at_rva(f.rva) - oh.ImageBase for f in fixups}
        for descriptor in self.pe.DIRECTORY_ENTRY_IMPORT:
            for imported in descriptor.imports:
                self.assertIn(imported.address - oh.ImageBase, targets, imported.name)
                self.assertTrue(iat.VirtualAddress <= imported.address - oh.ImageBase
                                < iat.VirtualAddress + iat.Size)

    def test_tables_the_code_reaches_lie_on_64_byte_boundaries(self):
        # The sections and the base of any load lie on page boundaries, so
        # that a table's boundary holds wherever the image loads.
        oh = self.pe.OPTIONAL_HEADER
        for table in self.program.aligned:
            reached = [rva for rva in self.table_addresses() if self.pe.get_data(rva, len(table)) == table]
            self.assertEqual(len(reached), 1, table)
            self.assertEqual(reached[0] % 64, 0, "%s at 0x%X" % (table, reached[0]))
        self.assertEqual(oh.SectionAlignment % 4096, 0)

    def table_addresses(self):
        """The addresses the code may hold a table at: in a PE32 image, its
        relocated absolute addresses; x64 code reaches the data relative to
        RIP, with no fix-up to read, so there every place in .const."""
        oh = self.pe.OPTIONAL_HEADER
        if FORM.slot == 4:
            return {self.pe.get_dword_at_rva(r.rva) - oh.ImageBase
                    for block in self.pe.DIRECTORY_ENTRY_BASERELOC for r in block.entries
                    if r.type == pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]}
        const = next(s for s in self.pe.sections if s.Name.rstrip(b"\0") == b".const")
        return range(const.VirtualAddress, const.VirtualAddress + const.Misc_VirtualSize)


class Imports:
    def test_exactly_the_seven_functions_by_name_in_order(self):
        actual = [(d.dll.decode(), [i.name.decode() for i in d.imports])
                  for d in self.pe.DIRECTORY_ENTRY_IMPORT]
        self.assertEqual(actual, IMPORTS)
        for d in self.pe.DIRECTORY_ENTRY_IMPORT:
            for i in d.imports:
                self.assertFalse(i.import_by_ordinal, i.name)

    def test_lookup_and_address_tables_agree(self):
        # Before binding, each IAT slot holds what its lookup-table slot holds.
        for d in self.pe.DIRECTORY_ENTRY_IMPORT:
            self.assertNotEqual(d.struct.OriginalFirstThunk, 0)
            for k in range(len(d.imports) + 1):
                self.assertEqual(self.slot_at(d.struct.OriginalFirstThunk + FORM.slot * k),
                                 self.slot_at(d.struct.FirstThunk + FORM.slot * k))

    def test_directories_span_the_tables(self):
        # The import directory: one entry per library and a null one.
        entry = self.directory("IMAGE_DIRECTORY_ENTRY_IMPORT")
        self.assertEqual(entry.Size, 20 * (len(IMPORTS) + 1))
        self.assertEqual(self.pe.get_data(entry.VirtualAddress + 20 * len(IMPORTS), 20), bytes(20))
        # The IAT directory: the address tables, each with its null end, back to back.
        iat = self.directory("IMAGE_DIRECTORY_ENTRY_IAT")
        self.assertEqual(iat.VirtualAddress, self.pe.DIRECTORY_ENTRY_IMPORT[0].struct.FirstThunk)
        self.assertEqual(iat.Size, FORM.slot * sum(len(names) + 1 for _, names in IMPORTS))


class LoadConfiguration:
    def test_dependent_load_flags_and_sizes(self):
        size, directory_size, flags = FORM.load_config
        entry = self.directory("IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG")
        self.assertEqual(entry.Size, directory_size)
        structure = self.pe.get_data(entry.VirtualAddress, size)
        self.assertEqual(struct.unpack_from("<I", structure, 0)[0], size)
        # DependentLoadFlags is LOAD_LIBRARY_SEARCH_SYSTEM32; every other byte
        # of the structure, past Size, is zero.
        self.assertEqual(struct.unpack_from("<H", structure, flags)[0], 0x0800)
        rest = structure[4:flags] + structure[flags + 2:]
        self.assertEqual(rest, bytes(len(rest)))


class UnwindData:
    """x64's table of the functions' unwind data (RUNTIME_FUNCTION entries):
    what its Windows walks the stack with. test_instructions.py checks that
    it covers every function that calls or moves the stack pointer."""

    def test_entries_sorted_in_the_code_with_no_handler(self):
        entry = self.directory("IMAGE_DIRECTORY_ENTRY_EXCEPTION")
        functions = self.pe.DIRECTORY_ENTRY_EXCEPTION
        self.assertEqual(entry.Size, 12 * len(functions))
        self.assertGreaterEqual(len(functions), 4)
        end = 0
        for function in functions:
            begin, end_before, unwind = (function.struct.BeginAddress, function.struct.EndAddress,
                                         function.struct.UnwindData)
            where = hex(begin)
            # Sorted and apart: the unwinder searches the table by halves.
            self.assertLessEqual(end, begin, where)
            self.assertLess(begin, end_before, where)
            end = end_before
            self.assertEqual((self.section_of(begin), self.section_of(end - 1)), (".code", ".code"), where)
            self.assertEqual(self.section_of(unwind), ".const", where)
            info = function.unwindinfo
            # Version 1; no exception or termination handler, no chained entry.
            self.assertEqual((info.Version, info.Flags), (1, 0), where)
            self.assertLessEqual(info.SizeOfProlog, end - begin, where)
        entry_point = self.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        self.assertIn(entry_point, [f.struct.BeginAddress for f in functions])


class DosHeader:
    def test_stub_spans_exactly_up_to_the_pe_header(self):
        # DOS loads e_cp pages (the last one e_cblp bytes long): the stub, not the PE image.
        e_cblp, e_cp, _, e_cparhdr = struct.unpack_from("<HHHH", self.data, 2)
        stub_bytes = (e_cp - 1) * 512 + (e_cblp or 512)
        e_lfanew = self.pe.DOS_HEADER.e_lfanew
        self.assertEqual(stub_bytes, e_lfanew)
        self.assertEqual(self.data[e_lfanew:e_lfanew + 4], b"PE\0\0")
        self.assertGreater(e_lfanew, e_cparhdr * 16)  # there is a load module
        # The message is "$"-terminated and ends in CR LF and a bell.
        module = self.data[e_cparhdr * 16:e_lfanew]
        self.assertRegex(module, re.compile(rb"[ -~]+\r\n\x07\$", re.DOTALL))


class Resources:
    def setUp(self):
        self.found = self.resources()

    def test_exactly_these_entries_all_language_neutral(self):
        self.assertEqual(sorted(self.found), [(RT_ICON, 1), (RT_ICON, 2), (RT_ICON, 3),
                                              (RT_GROUP_ICON, 1), (RT_VERSION, 1),
                                              (RT_MANIFEST, 1)])
        for key, leaves in self.found.items():
            self.assertEqual([(lang, sublang) for lang, sublang, _ in leaves], [(0, 0)], key)

    def test_icons_and_group(self):
        group = self.found[(RT_GROUP_ICON, 1)][0][2]
        reserved, kind, count = struct.unpack_from("<HHH", group, 0)
        self.assertEqual((reserved, kind, count), (0, 1, 3))
        self.assertEqual(len(group), 6 + 14 * count)
        for index, size in enumerate((48, 32, 16)):
            width, height, colours, _, planes, bits, data_bytes, icon_id = struct.unpack_from(
                "<BBBBHHIH", group, 6 + 14 * index)
            self.assertEqual((width, height, colours, planes, bits, icon_id),
                             (size, size, 0, 1, 32, index + 1))
            image = self.found[(RT_ICON, icon_id)][0][2]
            self.assertEqual(data_bytes, len(image))
            self.check_icon_image(image, size)

    def check_icon_image(self, image, size):
        header_bytes, width, height, planes, bits, compression = struct.unpack_from(
            "<IiiHHI", image, 0)
        # biHeight counts the colour rows and the AND mask's rows.
        self.assertEqual((header_bytes, width, height, planes, bits, compression),
                         (40, size, 2 * size, 1, 32, 0))
        mask_stride = (size + 31) // 32 * 4
        self.assertEqual(len(image), 40 + 4 * size * size + mask_stride * size)
        alpha = image[40 + 3:40 + 4 * size * size:4]
        mask = image[40 + 4 * size * size:]
        # Artwork, not a blank: some opaque pixels, a transparent corner.
        self.assertIn(255, alpha)
        self.assertEqual(alpha[0], 0)
        # Older loaders draw with the mask: it must agree with the alpha channel.
        for y in range(size):
            for x in range(size):
                bit = mask[y * mask_stride + x // 8] >> (7 - x % 8) & 1
                self.assertEqual(bit, int(alpha[y * size + x] == 0), (size, x, y))

    def test_version_record(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        a, b, c, d = map(int, VERSION.split("."))
        packed = (a << 16 | b, c << 16 | d)  # 16 bits a number, the first two in the high word
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), packed)
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), packed)
        self.assertEqual((fixed.FileFlagsMask, fixed.FileFlags, fixed.FileOS, fixed.FileType,
                          fixed.FileSubtype, fixed.FileDateMS, fixed.FileDateLS),
                         (0x3F, 0x28, 0x40004, 1, 0, 0, 0))

        infos = {info.Key: info for info in self.pe.FileInfo[0]}
        self.assertEqual(sorted(infos), [b"StringFileInfo", b"VarFileInfo"])
        tables = infos[b"StringFileInfo"].StringTable
        self.assertEqual([t.LangID for t in tables], [b"040904B0"])
        table = tables[0]
        # In the order of the file, whatever the reader's dictionary does.
        keys = sorted(table.entries, key=lambda k: table.entries_offsets[k][0])
        self.assertEqual([k.decode() for k in keys],
                         ["Comments", "CompanyName", "FileDescription", "FileVersion",
                          "InternalName", "LegalCopyright", "OriginalFilename", "PrivateBuild",
                          "ProductName", "ProductVersion", "SpecialBuild"])
        values = {k.decode(): v.decode() for k, v in table.entries.items()}
        for key, value in values.items():
            self.assertTrue(value.strip(), key)
        self.assertEqual(values["FileDescription"], self.program.title)
        self.assertEqual(values["ProductName"], self.program.title)
        self.assertEqual(values["FileVersion"], VERSION)
        self.assertEqual(values["ProductVersion"], VERSION)
        self.assertEqual(values["PrivateBuild"], "NOMSVCRT")
        self.assertEqual(values["SpecialBuild"], "Release")
        self.assertEqual(values["OriginalFilename"], self.program.file)
        self.assertEqual(values["InternalName"], self.program.internal)

        variables = infos[b"VarFileInfo"].Var
        self.assertEqual([v.entry for v in variables], [{b"Translation": "0x0409 0x04b0"}])

    def test_manifest(self):
        text = self.found[(RT_MANIFEST, 1)][0][2]
        # The XML declaration, then a comment line, then the assembly.
        self.assertRegex(text, rb"\A<\?xml [^>]*\?>\s*<!--[^\n]*-->\s*<assembly ")
        root = ElementTree.fromstring(text)
        company = {k.decode(): v.decode()
                   for k, v in self.pe.FileInfo[0][0].StringTable[0].entries.items()}["CompanyName"]
        self.compare(root, self.expected_manifest(company))

    def expected_manifest(self, company):
        """(tag, attributes, text, children); an attribute value None: checked by the caller."""
        title = self.program.title

        def name_check(name):
            # A dotted name: the maker, the product family, the title.
            parts = name.split(".")
            return (len(parts) == 3 and all(parts) and parts[0] in company.split()
                    and parts[2] == title.replace(" ", ""))
        identity = {"processorArchitecture": "*", "type": "win32", "version": VERSION,
                    "name": name_check}
        return ("{%s}assembly" % ASM_V1, {"manifestVersion": "1.0"}, None, [
            ("{%s}assemblyIdentity" % ASM_V1, identity, None, []),
            # Windows reads application and supportedOS in this namespace only.
            ("{%s}compatibility" % COMPATIBILITY_V1, {}, None, [
                ("{%s}application" % COMPATIBILITY_V1, {}, None, [
                    ("{%s}supportedOS" % COMPATIBILITY_V1, {"Id": guid}, None, [])
                    for guid in SUPPORTED_OS])]),
            ("{%s}description" % ASM_V1, {}, title, []),
            ("{%s}trustInfo" % ASM_V2, {}, None, [
                ("{%s}security" % ASM_V2, {}, None, [
                    ("{%s}requestedPrivileges" % ASM_V2, {}, None, [
                        ("{%s}requestedExecutionLevel" % ASM_V2,
                         {"level": "asInvoker", "uiAccess": "false"}, None, [])])])]),
        ])

    def compare(self, element, expected, path=""):
        tag, attributes, text, children = expected
        path += "/" + tag
        self.assertEqual(element.tag, tag, path)
        self.assertEqual(sorted(element.attrib), sorted(attributes), path)
        for key, want in attributes.items():
            got = element.attrib[key]
            if callable(want):
                self.assertTrue(want(got), "%s@%s=%r" % (path, key, got))
            else:
                self.assertEqual(got, want, "%s@%s" % (path, key))
        self.assertEqual((element.text or "").strip(), text or "", path)
        self.assertEqual([c.tag for c in element], [c[0] for c in children], path)
        for child, want in zip(element, children):
            self.compare(child, want, path)


# Every check above, once for each program's image (the unwind data's on x64 alone).
for _program in PROGRAMS:
    for _checks in (Headers, Sections, Imports, LoadConfiguration, DosHeader, Resources) + (
            (UnwindData,) if ARCH == "x64" else ()):
        _name = "%s_%s" % (_checks.__name__, _program.name)
        globals()[_name] = type(_name, (_checks, ImageTest), {"program": _program})


if __name__ == "__main__":
    unittest.main()
