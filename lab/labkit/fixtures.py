"""Content of the lab: the package server's folders and the device's files (see lab/README.md).

Everything is deterministic: the same call lays out byte-identical files.
"""

import hashlib
import io
import os
import stat
import zipfile

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


def report(unit, product):
    """The device report that SystemRead prints for a unit."""
    return ("Board : %s %s\nDeviceUID : %s\nModel : %s\nProduct : %s\nKernel : lab\n"
            "Status : ready\n" % (unit["board"], unit["code"], unit["uid"], unit["code"], product))


def identity(unit, product):
    return "UID_TEXT=%s\nMODEL_CODE=%s\nBOARD=%s\nPRODUCT='%s'\n" % (
        unit["uid"], unit["code"], unit["board"], product)


# ---------------------------------------------------------------------------- writing


def write_file(path, content, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    data = content.encode() if isinstance(content, str) else content
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def make_zip(entries):
    """A zip of (name, content, mode) entries; names ending in "/" are folders. Unix modes are
    kept, so unzip restores the exec bits."""
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
            info.compress_type = zipfile.ZIP_DEFLATED
            data = content.encode() if isinstance(content, str) else content
            archive.writestr(info, data, compresslevel=6)
    return buffer.getvalue()


def driver_package():
    return make_zip([
        ("Install_driverandlib/", None, 0o755),
        ("Install_driverandlib/SystemRead", SYSTEM_READ, 0o755),
        ("Install_driverandlib/dependency/", None, 0o755),
        ("Install_driverandlib/dependency/install_zelkapi_lib.sh", ZELKAPI_INSTALL, 0o755),
        ("Install_driverandlib/lib/", None, 0o755),
        ("Install_driverandlib/lib/libzelkapi.so.1", payload("libzelkapi", 30000), 0o644),
    ])


def with_exit(script, install_exit):
    """`script` ending with exit status `install_exit` after its evidence line (0: as it is)."""
    return script + ("exit %d\n" % install_exit if install_exit else "")


def damage(archive):
    """An archive cut off in the middle, as a broken transfer or a full disk leaves it."""
    return archive[: len(archive) // 2]


def server_package(install_pause=0, payload_size=SERVER_PAYLOAD, install_exit=0):
    """The QM server package. Its install script first waits `install_pause` seconds without a word
    (an install that takes long) and ends with `install_exit`; `payload_size` sizes the program it
    carries."""
    install = with_exit(SERVER_INSTALL, install_exit)
    if install_pause:
        install = install.replace("\n" + evidence("QMServer/install.sh"),
                                  "\nsleep %d\n" % install_pause + evidence("QMServer/install.sh"))
    return make_zip([
        ("QMServer/", None, 0o755),
        ("QMServer/install.sh", install, 0o755),
        ("QMServer/bin/", None, 0o755),
        ("QMServer/bin/QMServer", payload("QMServer", payload_size), 0o755),
    ])


def config_tool_package(variant, install_exit=0):
    folder = config_package(variant)[: -len(".zip")]
    return make_zip([
        (folder + "/", None, 0o755),
        (folder + "/install.sh", with_exit(config_install(variant), install_exit), 0o755),
        (folder + "/ZRConfig.bin", payload("ZRConfig" + variant, 20000), 0o644),
    ])


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
        OLDER_CALIBRATION + "/gain.cal": "gain %s %s\n1.0100\n" % (uid, OLDER_CALIBRATION),
        "ConfigFile/device.json": '{"uid": "%s", "model": "%s"}\n' % (uid, unit["code"]),
        "ConfigFile/shared.ini": "[shared]\nsource=configfile\nunit=%s\n" % uid,
        "ConfigFile/Extra/extra.txt": "extra %s\n" % uid,
        "ConfigFile/Alt/alt.json": '{"uid": "%s", "set": "alt"}\n' % uid,
    }


def lay_packages(ftp_root, install_pause=0, server_payload=SERVER_PAYLOAD, package_name=None,
                install_exit=0, damaged=False):
    """The package server's content. `package_name` publishes the QM server package and each
    configuration tool under that name (their pointer files name it; the folders inside keep
    their names); `install_exit` and `damaged` give them failing install scripts or cut-off
    archives."""
    finish = damage if damaged else (lambda archive: archive)
    quorvex = ftp_root + "/ProcessEquipment/Quorvex/"
    write_file(quorvex + "DriverAndLib_LatestVersion.txt", DRIVER_PACKAGE)
    write_file(quorvex + DRIVER_PACKAGE, driver_package())
    server = ftp_root + "/ProcessEquipment/QMServer/55/"
    server_name = package_name or SERVER_PACKAGE
    write_file(server + "QMServer_LatestVersion.txt", server_name)
    write_file(server + server_name,
               finish(server_package(install_pause, server_payload, install_exit)))
    for variant in CONFIG_VARIANTS:
        folder = "%s/ProcessEquipment/ZRConfig/55/%s/" % (ftp_root, variant)
        tool_name = package_name or config_package(variant)
        write_file(folder + "ZRConfig_LatestVersion.txt", tool_name)
        write_file(folder + tool_name, finish(config_tool_package(variant, install_exit)))
    for unit in UNITS.values():
        base = "%s/DeviceDataBase/%s/%s/" % (ftp_root, unit["label"], unit["uid"])
        for path, content in calibration_files(unit).items():
            write_file(base + path, content)


def lay_device_common(lab_dir, unit, product):
    device = lab_dir + "/device"
    log = device + EVIDENCE_LOG
    if not os.path.exists(log):
        write_file(log, "")
    os.chmod(log, 0o666)  # the ordinary user's install script writes it too
    write_file(lab_dir + "/unit/identity", identity(unit, product))


def lay_device_qm(lab_dir):
    lay_device_common(lab_dir, QM_UNIT, QM_UNIT["product"])


def lay_device_zr(lab_dir, unit_name):
    unit = UNITS[unit_name]
    product = "ZR measuring unit"
    lay_device_common(lab_dir, unit, product)
    device = lab_dir + "/device"
    write_file(device + "/opt/sys.log", report(unit, product))
    os.makedirs(device + "/opt/CalFile", exist_ok=True)
    write_file(device + "/opt/QMServer/shell/ZR_FixCalFile.sh", FIX_CAL_FILE, 0o755)
    write_file(device + "/root/IPConfig.sh", IP_CONFIG, 0o755)
    write_file(device + "/opt/Lumora/Lumora4", LUMORA4, 0o755)
