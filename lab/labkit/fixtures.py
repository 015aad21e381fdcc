"""Content of the lab: the package server's folders and the device's files (see lab/README.md).

Everything is deterministic: the same call lays out byte-identical files.
"""

import hashlib
import io
import os
import stat
import struct
import zipfile
import zlib

EVIDENCE_LOG = "/var/log/lab-evidence.log"
IDENTITY_FILE = "/run/lab/identity"  # lab folder unit/identity, read-only in the device
ZIP_TIME = (2026, 11, 1, 8, 0, 0)

# The units the lab knows: UID, model code, board name, model label on the package server.
UNITS = {
    "u51": {"uid": "7F3A90C1", "code": "51", "board": "K700MB", "label": "K700_R5_V3(051)"},
    "u12": {"uid": "A1B2C3D4", "code": "12", "board": "ZRMB-A", "label": "ZRMB-A(012)"},
}
QM_UNIT = {"uid": "3C4D5E6F", "code": "30", "board": "QMMB-C", "product": "QM measuring unit"}

DRIVER_PACKAGE = "DriverAndLib_V1.2.0.zip"
SERVER_PACKAGE = "QMServer_V3.1.zip"
CONFIG_VARIANTS = ("CN", "EU")
CALIBRATION_LOG = "Cal_20261101\nCal_20261015\nCal_20260920\n"
CURRENT_CALIBRATION = "Cal_20261101"
OLDER_CALIBRATION = "Cal_20261015"


def config_package(variant):
    return "ZRConfig_%s_V2.0.zip" % variant


def evidence(name):
    """The shell line with which a script records that it ran: name, user, folder."""
    return 'echo "%s $(id -un) $(pwd)" >> %s\n' % (name, EVIDENCE_LOG)


def payload(tag, size):
    """`size` bytes that do not compress, the same for the same tag."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(("%s:%d" % (tag, counter)).encode()).digest()
        counter += 1
    return bytes(out[:size])


# ---------------------------------------------------------------------------- scripts

SYSTEM_READ = """#!/bin/sh
# Writes the device report of this unit to standard output.
identity=%s
if [ ! -r "$identity" ]; then
  echo "SystemRead: no unit identity in $identity" >&2
  exit 1
fi
. "$identity"
echo "Board : $BOARD $MODEL_CODE"
echo "DeviceUID : $UID_TEXT"
echo "Model : $MODEL_CODE"
echo "Product : $PRODUCT"
echo "Kernel : lab"
echo "Status : ready"
""" % IDENTITY_FILE

ZELKAPI_INSTALL = "#!/bin/sh\n# Installs the measuring library's dependencies.\n" + evidence(
    "install_zelkapi_lib.sh")
SERVER_INSTALL = "#!/bin/sh\n# Installs the QM server.\n" + evidence("QMServer/install.sh")
SERVER_PAYLOAD = 25000
FIX_CAL_FILE = ("#!/bin/sh\n# Puts the calibration files of /opt/CalFile into effect.\n" +
                evidence("ZR_FixCalFile.sh") +
                'echo "ZR_FixCalFile.sh ls:" $(ls /opt/CalFile) >> %s\n' % EVIDENCE_LOG)
IP_CONFIG = "#!/bin/sh\n# Sets the unit's network address.\n" + evidence("IPConfig.sh")
LUMORA4 = "#!/bin/sh\n# The unit's measuring service.\nwhile :; do sleep 1; done\n"


def config_install(variant):
    folder = config_package(variant)[: -len(".zip")]
    return "#!/bin/sh\n# Installs the configuration tool.\n" + evidence(folder + "/install.sh")


def report(unit, product, with_uid=True):
    """The device report that SystemRead prints for a unit (`with_uid`: with its DeviceUID line)."""
    uid = "DeviceUID : %s\n" % unit["uid"] if with_uid else ""
    return ("Board : %s %s\n%sModel : %s\nProduct : %s\nKernel : lab\nStatus : ready\n"
            % (unit["board"], unit["code"], uid, unit["code"], product))


def identity(unit, product, with_uid=True):
    """The unit's identity file, which SystemRead sources. A unit whose report has no DeviceUID
    line prints its report from here and ends SystemRead, whose own lines always name the UID."""
    if not with_uid:
        return ("# This unit's report has no DeviceUID line.\ncat <<'REPORT'\n%sREPORT\nexit 0\n"
                % report(unit, product, with_uid=False))
    return "UID_TEXT=%s\nMODEL_CODE=%s\nBOARD=%s\nPRODUCT='%s'\n" % (
        unit["uid"], unit["code"], unit["board"], product)


# ---------------------------------------------------------------------------- writing


def write_file(path, content, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    data = content.encode() if isinstance(content, str) else content
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def make_zip(entries, stored=(), method=zipfile.ZIP_DEFLATED):
    """A zip of (name, content, mode) entries; names ending in "/" are folders. Files are
    compressed with `method` (deflated) except those named in `stored`. Unix modes are kept, so
    unzip restores the exec bits."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, content, mode in entries:
            info = zipfile.ZipInfo(name, ZIP_TIME)
            info.create_system = 3
            if name.endswith("/"):
                info.external_attr = ((stat.S_IFDIR | mode) << 16) | 0x10
                archive.writestr(info, b"")
                continue
            info.external_attr = (stat.S_IFREG | mode) << 16
            info.compress_type = zipfile.ZIP_STORED if name in stored else method
            data = content.encode() if isinstance(content, str) else content
            archive.writestr(info, data, compresslevel=6 if method == zipfile.ZIP_DEFLATED else None)
    return buffer.getvalue()


def flip_byte(archive, name):
    """`archive` with the middle byte of entry `name`'s data inverted: its CRC-32 no longer
    matches. Only a stored entry keeps its size and can be read to the end."""
    info = zipfile.ZipFile(io.BytesIO(archive)).getinfo(name)
    name_length, extra_length = struct.unpack_from("<HH", archive, info.header_offset + 26)
    data = info.header_offset + 30 + name_length + extra_length
    at = data + info.compress_size // 2
    return archive[:at] + bytes([archive[at] ^ 0xFF]) + archive[at + 1:]


def set_size(archive, name, size, crc):
    """`archive` with the size and CRC-32 of entry `name` set to `size` and `crc` in its local
    header and its central directory record alike, its data left as it is: a broken zip writer's
    headers."""
    archive = bytearray(archive)
    info = zipfile.ZipFile(io.BytesIO(bytes(archive))).getinfo(name)
    struct.pack_into("<I", archive, info.header_offset + 14, crc)  # local header
    struct.pack_into("<I", archive, info.header_offset + 22, size)
    record = archive.find(b"PK\x01\x02")
    while record != -1:
        name_length, = struct.unpack_from("<H", archive, record + 28)
        if archive[record + 46:record + 46 + name_length] == name.encode():
            struct.pack_into("<I", archive, record + 16, crc)
            struct.pack_into("<I", archive, record + 24, size)
        record = archive.find(b"PK\x01\x02", record + 1)
    return bytes(archive)


def powershell_zip(entries):
    """The files of `entries` zipped as PowerShell 5's Compress-Archive does: a backslash between
    folder names, no folder entries, no Unix modes (made on FAT, attribute "archive")."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, content, _ in entries:
            if name.endswith("/"):
                continue
            info = zipfile.ZipInfo(name.replace("/", "\\"), ZIP_TIME)
            info.create_system = 0
            info.external_attr = 0x20
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, content.encode() if isinstance(content, str) else content)
    return buffer.getvalue()


# What --malformed makes of a package: what a unit's unzip would unpack elsewhere, differently or
# not at all (see lab/README.md).
MALFORMED = ("parent-entry", "absolute-entry", "backslashes", "folders-only", "zero-stored",
             "bzip2")
CLIMBING_ENTRY = "../../etc/cron.d/x"
ABSOLUTE_ENTRY = "/etc/cron.d/x"
CRON_TABLE = "# A cron table that no package may put on a unit.\n"
ZERO_STORED_SIZE = 16


def malformed_zip(entries, program, kind):
    if kind == "parent-entry":
        return make_zip(entries + [(CLIMBING_ENTRY, CRON_TABLE, 0o644)])
    if kind == "absolute-entry":
        return make_zip(entries + [(ABSOLUTE_ENTRY, CRON_TABLE, 0o644)])
    if kind == "backslashes":
        return powershell_zip(entries)
    if kind == "folders-only":
        return make_zip([entry for entry in entries if entry[0].endswith("/")])
    if kind == "zero-stored":
        content = dict((name, data) for name, data, _ in entries)[program]
        first = (content.encode() if isinstance(content, str) else content)[:ZERO_STORED_SIZE]
        emptied = [(name, b"" if name == program else data, mode) for name, data, mode in entries]
        return set_size(make_zip(emptied, stored={program}), program, ZERO_STORED_SIZE,
                        zlib.crc32(first))
    if kind == "bzip2":
        return make_zip(entries, method=zipfile.ZIP_BZIP2)
    raise ValueError("no such malformed package: %s" % kind)


def binary_data(tag, size):
    """`size` bytes of binary data (control characters and NULs among them), the same for the same
    tag."""
    return hashlib.shake_256(tag.encode()).digest(size)


# The AppleDouble file that a Mac's zip stores for a file or folder: header, an empty Finder Info
# entry (id 9, 32 bytes) and an empty resource fork (id 2).
APPLE_DOUBLE = (struct.pack(">II16sH", 0x00051607, 0x00020000, b"Mac OS X        ", 2) +
                struct.pack(">III", 9, 50, 32) + struct.pack(">III", 2, 82, 0) + bytes(32))


def mac_entries(entries):
    """The __MACOSX folder that a Mac's zip puts beside the package's top folder: an AppleDouble
    file "._NAME" for the top folder and for each file, in folders that mirror the package's."""
    top = entries[0][0]
    added = [("__MACOSX/", None, 0o755), ("__MACOSX/._" + top.rstrip("/"), APPLE_DOUBLE, 0o644)]
    for name, _, _ in entries:
        if name.endswith("/"):
            added.append(("__MACOSX/" + name, None, 0o755))
        else:
            folder, base = os.path.split(name)
            added.append(("__MACOSX/%s/._%s" % (folder, base), APPLE_DOUBLE, 0o644))
    return added


def zip_package(entries, program, flipped=False, mac_made=False, malformed=None):
    """One package; `program` names its program entry. `flipped`: that entry is stored, and one
    byte of it flipped after zipping; `mac_made`: zipped on a Mac; `malformed`: one of MALFORMED."""
    if mac_made:
        entries = entries + mac_entries(entries)
    if malformed:
        return malformed_zip(entries, program, malformed)
    if not flipped:
        return make_zip(entries)
    return flip_byte(make_zip(entries, stored={program}), program)


def driver_package(**zipping):
    return zip_package([
        ("Install_driverandlib/", None, 0o755),
        ("Install_driverandlib/SystemRead", SYSTEM_READ, 0o755),
        ("Install_driverandlib/dependency/", None, 0o755),
        ("Install_driverandlib/dependency/install_zelkapi_lib.sh", ZELKAPI_INSTALL, 0o755),
        ("Install_driverandlib/lib/", None, 0o755),
        ("Install_driverandlib/lib/libzelkapi.so.1", payload("libzelkapi", 30000), 0o644),
    ], "Install_driverandlib/lib/libzelkapi.so.1", **zipping)


def with_exit(script, install_exit):
    """`script` ending with exit status `install_exit` after its evidence line (0: as it is)."""
    return script + ("exit %d\n" % install_exit if install_exit else "")


def rebuild(archive):
    """A rebuild of `archive` with the same number of bytes, as a package rebuilt with one setting
    changed: the middle byte of its largest entry inverted, every entry zipped again with its
    name, date, modes and method, and the archive padded to its old length with a comment of
    blanks. None when the rebuild would come out longer."""
    source = zipfile.ZipFile(io.BytesIO(archive))
    entries = source.infolist()
    largest = max(entries, key=lambda entry: entry.file_size)
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as out:
        for entry in entries:
            data = source.read(entry)
            if entry is largest and data:
                middle = len(data) // 2
                data = data[:middle] + bytes([data[middle] ^ 0xFF]) + data[middle + 1:]
            info = zipfile.ZipInfo(entry.filename, entry.date_time)
            info.create_system = entry.create_system
            info.external_attr = entry.external_attr
            info.compress_type = entry.compress_type
            out.writestr(info, data, compresslevel=6)
        out.comment = b""
    padding = len(archive) - len(buffer.getvalue())
    if padding < 0 or padding > 0xFFFF:
        return None
    buffer = io.BytesIO(buffer.getvalue())
    with zipfile.ZipFile(buffer, "a") as out:
        out.comment = b" " * padding
    return buffer.getvalue()


def damage(archive):
    """An archive cut off in the middle, as a broken transfer or a full disk leaves it."""
    return archive[: len(archive) // 2]


def server_package(install_pause=0, payload_size=SERVER_PAYLOAD, install_exit=0, **zipping):
    """The QM server package. Its install script first waits `install_pause` seconds without a word
    (an install that takes long) and ends with `install_exit`; `payload_size` sizes the program it
    carries; `zipping` as for zip_package."""
    install = with_exit(SERVER_INSTALL, install_exit)
    if install_pause:
        install = install.replace("\n" + evidence("QMServer/install.sh"),
                                  "\nsleep %d\n" % install_pause + evidence("QMServer/install.sh"))
    return zip_package([
        ("QMServer/", None, 0o755),
        ("QMServer/install.sh", install, 0o755),
        ("QMServer/bin/", None, 0o755),
        ("QMServer/bin/QMServer", payload("QMServer", payload_size), 0o755),
    ], "QMServer/bin/QMServer", **zipping)


def config_tool_package(variant, install_exit=0, **zipping):
    folder = config_package(variant)[: -len(".zip")]
    return zip_package([
        (folder + "/", None, 0o755),
        (folder + "/install.sh", with_exit(config_install(variant), install_exit), 0o755),
        (folder + "/ZRConfig.bin", payload("ZRConfig" + variant, 20000), 0o644),
    ], folder + "/ZRConfig.bin", **zipping)


def calibration_files(unit):
    """{relative path: content} of one unit's folder under /DeviceDataBase/<label>/<UID>/."""
    uid = unit["uid"]
    cal = CURRENT_CALIBRATION + "/"
    return {
        "Cal_LatestFileLog.txt": CALIBRATION_LOG,
        cal + "gain.cal": "gain %s %s\n1.0021\n0.9987\n" % (uid, CURRENT_CALIBRATION),
        cal + "offset.cfg": "offset %s %s\n-0.0012\n" % (uid, CURRENT_CALIBRATION),
        cal + "shared.ini": "[shared]\nsource=calibration\nunit=%s\n" % uid,
        cal + "raw.tdms": payload("raw.tdms" + uid, 4096),
        cal + "raw.tdms.bak": payload("raw.tdms.bak" + uid, 2048),
        cal + "NOTES.TDMS": "notes %s\n" % uid,
        # A name with blanks and a letter beyond ASCII, as technicians name files.
        cal + "Verst\u00e4rkung Kanal 1.cal": "gain channel 1 %s %s\n1.0004\n" % (
            uid, CURRENT_CALIBRATION),
        OLDER_CALIBRATION + "/gain.cal": "gain %s %s\n1.0100\n" % (uid, OLDER_CALIBRATION),
        "ConfigFile/device.json": '{"uid": "%s", "model": "%s"}\n' % (uid, unit["code"]),
        "ConfigFile/shared.ini": "[shared]\nsource=configfile\nunit=%s\n" % uid,
        "ConfigFile/Extra/extra.txt": "extra %s\n" % uid,
        "ConfigFile/Alt/alt.json": '{"uid": "%s", "set": "alt"}\n' % uid,
    }


def lay_packages(ftp_root, install_pause=0, server_payload=SERVER_PAYLOAD, package_name=None,
                install_exit=0, damaged=False, flipped=False, mac_made=False, malformed=None,
                binary_pointer=0):
    """The package server's content. `package_name` publishes the QM server package and each
    configuration tool under that name (their pointer files name it; the folders inside keep
    their names); `install_exit` gives them failing install scripts. `damaged` cuts them and the
    driver bundle off in the middle; `flipped`, `mac_made` and `malformed` zip the three kinds of
    package as zip_package says. `binary_pointer` replaces every pointer file by that many bytes
    of binary data."""
    finish = damage if damaged else (lambda archive: archive)
    zipping = {"flipped": flipped, "mac_made": mac_made, "malformed": malformed}
    pointer = binary_data("pointer", binary_pointer) if binary_pointer else None
    quorvex = ftp_root + "/ProcessEquipment/Quorvex/"
    write_file(quorvex + "DriverAndLib_LatestVersion.txt", pointer or DRIVER_PACKAGE)
    write_file(quorvex + DRIVER_PACKAGE, finish(driver_package(**zipping)))
    server = ftp_root + "/ProcessEquipment/QMServer/55/"
    server_name = package_name or SERVER_PACKAGE
    write_file(server + "QMServer_LatestVersion.txt", pointer or server_name)
    write_file(server + server_name,
               finish(server_package(install_pause, server_payload, install_exit, **zipping)))
    for variant in CONFIG_VARIANTS:
        folder = "%s/ProcessEquipment/ZRConfig/55/%s/" % (ftp_root, variant)
        tool_name = package_name or config_package(variant)
        write_file(folder + "ZRConfig_LatestVersion.txt", pointer or tool_name)
        write_file(folder + tool_name,
                   finish(config_tool_package(variant, install_exit, **zipping)))
    for unit in UNITS.values():
        base = "%s/DeviceDataBase/%s/%s/" % (ftp_root, unit["label"], unit["uid"])
        for path, content in calibration_files(unit).items():
            write_file(base + path, content)


def lay_device_common(lab_dir, unit, product, with_uid=True):
    device = lab_dir + "/device"
    log = device + EVIDENCE_LOG
    if not os.path.exists(log):
        write_file(log, "")
    os.chmod(log, 0o666)  # the ordinary user's install script writes it too
    write_file(lab_dir + "/unit/identity", identity(unit, product, with_uid))


def lay_device_qm(lab_dir):
    lay_device_common(lab_dir, QM_UNIT, QM_UNIT["product"])


def lay_device_zr(lab_dir, unit_name, with_uid=True, fix_exit=0):
    """A ZR unit; `with_uid`: its report has a DeviceUID line; `fix_exit`: the exit status of its
    fix-up script after the evidence lines (0: the script as it is)."""
    unit = UNITS[unit_name]
    product = "ZR measuring unit"
    lay_device_common(lab_dir, unit, product, with_uid)
    device = lab_dir + "/device"
    write_file(device + "/opt/sys.log", report(unit, product, with_uid))
    os.makedirs(device + "/opt/CalFile", exist_ok=True)
    write_file(device + "/opt/QMServer/shell/ZR_FixCalFile.sh", with_exit(FIX_CAL_FILE, fix_exit),
               0o755)
    write_file(device + "/root/IPConfig.sh", IP_CONFIG, 0o755)
    write_file(device + "/opt/Lumora/Lumora4", LUMORA4, 0o755)
