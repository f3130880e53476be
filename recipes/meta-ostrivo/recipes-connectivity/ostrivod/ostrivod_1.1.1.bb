SUMMARY = "UDP relay from one source host to one destination"
DESCRIPTION = "ostrivod listens on one UDP port, accepts datagrams from one \
               configured host and sends each one unchanged to one destination, \
               often a subnet broadcast address. ostrivod-check tells whether \
               it will relay with a settings file."
HOMEPAGE = "https://ostrivo.example/"
SECTION = "net"
LICENSE = "CLOSED"

# The sources, a release's tree without a build, as files/ostrivod/ beside
# this recipe, or where a bbappend's FILESEXTRAPATHS names.
SRC_URI = "file://ostrivod/"
# Yocto 5.1 and later unpack into UNPACKDIR; 5.0 has none, and unpacks
# into WORKDIR.
S = "${@d.getVar('UNPACKDIR') or d.getVar('WORKDIR')}/ostrivod"

inherit cmake systemd update-rc.d useradd

# The init files of the image's init system; the image ships libstdc++, so
# the programs link it rather than carry it.
OSTRIVOD_INIT = "${@bb.utils.contains('DISTRO_FEATURES', 'systemd', 'systemd', 'sysv', d)}"
EXTRA_OECMAKE = "-DOSTRIVO_SYSTEMD_UNIT_DIR=${systemd_system_unitdir} \
                 -DOSTRIVO_INIT=${OSTRIVOD_INIT} -DOSTRIVO_STATIC_CXX_RUNTIME=OFF"

FILES:${PN} += "/opt/Ostrivo"

# Started at boot under systemd and SysV init alike.
SYSTEMD_SERVICE:${PN} = "ostrivod.service"
SYSTEMD_AUTO_ENABLE = "enable"
INITSCRIPT_NAME = "ostrivod"
INITSCRIPT_PARAMS = "defaults 50"

USERADD_PACKAGES = "${PN}"
USERADD_PARAM:${PN} = "--system --user-group --no-create-home --home-dir /nonexistent --shell /bin/false ostrivo"
