"""The Windows programs as files: 32-bit, the subsystem, the size, ASLR and DEP, exactly the
DLLs and Palm functions (undecorated) they should import, resources as shipped (Quillet.exe
the icons of resources/Quillet.ico, which must be what tools/make-icon.py draws, and no
more; SetQuillet.exe none), and the ZIP for Windows users (cpack --preset win32) as built.

    pe_check.py WIN32_BUILD_DIR SOURCE_DIR
"""
import os
import struct
import subprocess
import sys
import tempfile
import zipfile

from winelib import Checks

RT_ICON, RT_GROUP_ICON = 3, 14
GUI, CONSOLE = 2, 3
RELOCS_STRIPPED = 0x0001
DYNAMIC_BASE, NX_COMPAT = 0x0040, 0x0100
BASE_RELOCATION_DIRECTORY = 5
SYSTEM = {"KERNEL32.dll", "USER32.dll", "ADVAPI32.dll", "msvcrt.dll"}
PALM = {
    "HSAPI.dll": {"HsCheckApiStatus", "HsGetSyncStatus", "HsSetAppStatus"},
    "USBPort.dll": {"PalmUsbGetAttachedDevices", "PalmUsbOpenPort", "PalmUsbSetTimeouts",
                    "PalmUsbReceiveBytes", "PalmUsbSendBytes"},
}


class Image:
    """Just enough of a PE32 file: header fields, imports, resources."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise ValueError(path + " is not a PE file")
        self.machine, sections, _, _, _, optional_size, self.characteristics = struct.unpack_from(
            "<HHIIIHH", self.data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", self.data, optional)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from(
            "<HH", self.data, optional + 68)
        self.directories = [struct.unpack_from("<II", self.data, optional + 96 + 8 * i)
                            for i in range(16)]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<IIII", self.data, table + 40 * i + 8)
                         for i in range(sections)]  # virtual size, address, raw size, offset

    def offset(self, rva):
        for size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError("RVA %#x outside every section" % rva)

    def string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("latin-1")

    def imports(self):
        """{dll: set of names}; ordinal imports appear as '#n'."""
        result = {}
        rva = self.directories[1][0]
        while rva:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if name == 0:
                break
            names = result.setdefault(self.string(name), set())
            entry = self.offset(lookup or thunks)
            while True:
                thunk = struct.unpack_from("<I", self.data, entry)[0]
                if thunk == 0:
                    break
                names.add("#%d" % (thunk & 0xFFFF) if thunk & 0x80000000
                          else self.string(thunk + 2))
                entry += 4
            rva += 20
        return result

    def resources(self):
        """{(type, id): data} of every resource; ids are numbers or names."""
        base_rva = self.directories[2][0]
        if base_rva == 0:
            return {}
        base = self.offset(base_rva)
        found = {}

        def walk(directory, path):
            named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + numbered):
                key, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                if key & 0x80000000:
                    length = struct.unpack_from("<H", self.data, base + (key & 0x7FFFFFFF))[0]
                    start = base + (key & 0x7FFFFFFF) + 2
                    key = self.data[start:start + 2 * length].decode("utf-16-le")
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, path + [key])
                else:
                    rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(rva)
                    found[(path[0], path[1])] = self.data[start:start + size]

        walk(0, [])
        return found


def icon_file_images(path):
    """The committed .ico: [(width, height, bit count, image bytes)] in file order."""
    with open(path, "rb") as f:
        data = f.read()
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    images = []
    for i in range(count):
        width, height, _, _, _, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        images.append((width or 256, height or 256, bits, data[offset:offset + size]))
    return images


def check_icon_group(checks, resources, ico_images):
    groups = [key for key in resources if key[0] == RT_GROUP_ICON]
    checks.equal("Quillet.exe: icon groups", 1, len(groups))
    if len(groups) != 1:
        return
    group = resources[groups[0]]
    _, kind, count = struct.unpack_from("<HHH", group, 0)
    checks.equal("Quillet.exe: images in the icon group", 3, count)
    shown = []
    for i in range(count):
        width, height, _, _, _, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        image = resources.get((RT_ICON, icon_id), b"")
        header = struct.unpack_from("<IiiHH", image, 0) if len(image) >= 16 else None
        shown.append((width, height, bits, header and header[1:3] + header[4:]))
        if i < len(ico_images):
            checks.true("Quillet.exe: image %d differs from resources/Quillet.ico" % i,
                        image == ico_images[i][3])
    checks.equal("Quillet.exe: the images (size, bits, bitmap header)",
                 [(16, 16, 32, (16, 32, 32)), (48, 48, 32, (48, 96, 32)),
                  (32, 32, 32, (32, 64, 32))], shown)


def check_zip(checks, build, source):
    packages = [name for name in os.listdir(build) if name.endswith("-win32.zip")]
    if len(packages) != 1:
        checks.fail("want one *-win32.zip in %s (cpack --preset win32), found %s"
                    % (build, packages))
        return
    version = packages[0][len("Quillet-"):-len("-win32.zip")]
    with open(os.path.join(source, "LICENSE"), "rb") as f:
        licence = f.read().replace(b"\n", b"\r\n")
    with zipfile.ZipFile(os.path.join(build, packages[0])) as package:
        names = sorted(package.namelist())
        checks.equal(packages[0] + ": files", ["LICENSE.txt", "Quillet.exe",
                                               "README-windows.txt", "SetQuillet.exe"], names)
        for name in ("Quillet.exe", "SetQuillet.exe"):
            with open(os.path.join(build, name), "rb") as built:
                checks.true("%s: %s is not the one built (run cpack again)" % (packages[0], name),
                            name in names and package.read(name) == built.read())
        readme = package.read("README-windows.txt") if "README-windows.txt" in names else b""
        checks.true(packages[0] + ": LICENSE.txt is not LICENSE with CR LF line ends",
                    "LICENSE.txt" in names and package.read("LICENSE.txt") == licence)
        checks.true(packages[0] + ": README-windows.txt has a line end without CR",
                    readme.count(b"\n") > 0 and readme.count(b"\n") == readme.count(b"\r\n"))
        checks.true(packages[0] + ": README-windows.txt does not open with 'Quillet %s for Windows'"
                    % version, readme.startswith(b"Quillet %s for Windows\r\n" % version.encode()))


def main():
    checks = Checks()
    build, source = sys.argv[1], sys.argv[2]
    expected = {
        "Quillet.exe": (GUI, 64 * 1024, dict({dll: None for dll in SYSTEM}, **PALM)),
        "SetQuillet.exe": (CONSOLE, 48 * 1024,
                           {"KERNEL32.dll": None, "ADVAPI32.dll": None, "msvcrt.dll": None}),
    }
    ico = os.path.join(source, "resources", "Quillet.ico")
    for name, (subsystem, limit, dlls) in expected.items():
        path = os.path.join(build, name)
        if not os.path.isfile(path):
            sys.exit("missing %s: build the win32 preset first" % path)
        image = Image(path)
        size = os.path.getsize(path)
        print("%s: %d bytes, subsystem %d" % (name, size, image.subsystem))
        checks.equal(name + ": machine and format (i386, PE32)", (0x14C, 0x10B),
                     (image.machine, image.magic))
        checks.equal(name + ": subsystem", subsystem, image.subsystem)
        checks.equal(name + ": ASLR and DEP (DllCharacteristics DYNAMIC_BASE, NX_COMPAT)",
                     DYNAMIC_BASE | NX_COMPAT, image.dll_characteristics & (DYNAMIC_BASE | NX_COMPAT))
        checks.true(name + ": relocations stripped, so ASLR cannot move it",
                    not image.characteristics & RELOCS_STRIPPED
                    and image.directories[BASE_RELOCATION_DIRECTORY][1] > 0)
        checks.true("%s: %d bytes, more than %d" % (name, size, limit), size <= limit)
        imports = image.imports()
        checks.equal(name + ": imported DLLs", sorted(dlls), sorted(imports))
        for dll, functions in dlls.items():
            if functions is not None:
                checks.equal("%s: imports from %s" % (name, dll), functions, imports.get(dll))
        resources = image.resources()
        kinds = sorted({kind for kind, _ in resources})
        if name == "Quillet.exe":
            checks.equal(name + ": resource types (icons and their group only)",
                         [RT_ICON, RT_GROUP_ICON], kinds)
            check_icon_group(checks, resources, icon_file_images(ico))
        else:
            checks.equal(name + ": resource types", [], kinds)

    check_zip(checks, build, source)
    with tempfile.TemporaryDirectory() as scratch:
        drawn = os.path.join(scratch, "Quillet.ico")
        subprocess.run([sys.executable, os.path.join(source, "tools", "make-icon.py"), drawn],
                       check=True)
        with open(drawn, "rb") as a, open(ico, "rb") as b:
            checks.true("resources/Quillet.ico is not what tools/make-icon.py draws",
                        a.read() == b.read())
    checks.finish()


if __name__ == "__main__":
    main()
