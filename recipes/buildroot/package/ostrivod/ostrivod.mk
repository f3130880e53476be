################################################################################
#
# ostrivod
#
################################################################################

OSTRIVOD_VERSION = 1.1.1
# These sources, two folders up; what a developer built in them stays out.
OSTRIVOD_SITE = $(BR2_EXTERNAL_OSTRIVO_PATH)/../..
OSTRIVOD_SITE_METHOD = local
OSTRIVOD_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude='/build*' --exclude='/obj-*'
OSTRIVOD_LICENSE = PROPRIETARY
OSTRIVOD_LICENSE_FILES = debian/copyright
OSTRIVOD_REDISTRIBUTE = NO

ifeq ($(BR2_INIT_SYSTEMD),y)
OSTRIVOD_CONF_OPTS += -DOSTRIVO_INIT=systemd
else
OSTRIVOD_CONF_OPTS += -DOSTRIVO_INIT=sysv
endif

define OSTRIVOD_USERS
	ostrivo -1 ostrivo -1 * - - - Ostrivo UDP relay
endef

# Started at boot under every init system that starts anything: systemd
# by a preset, the others once by an rc script or, chosen instead, for
# ever by an inittab respawn line.
define OSTRIVOD_INSTALL_INIT_SYSTEMD
	mkdir -p $(TARGET_DIR)/usr/lib/systemd/system-preset
	echo "enable ostrivod.service" \
		>$(TARGET_DIR)/usr/lib/systemd/system-preset/50-ostrivod.preset
endef

ifeq ($(BR2_PACKAGE_OSTRIVOD_RESPAWN),y)
# BusyBox init's lines have no id and no runlevels.
ifeq ($(BR2_INIT_SYSV),y)
OSTRIVOD_INITTAB_ID = ov:2345
else
OSTRIVOD_INITTAB_ID = :
endif
define OSTRIVOD_INSTALL_INIT_SYSV
	rm -f $(TARGET_DIR)/etc/init.d/S50ostrivod
endef
define OSTRIVOD_RESPAWN_LINE
	$(SED) '/ostrivod respawn/d' $(TARGET_DIR)/etc/inittab
	echo "$(OSTRIVOD_INITTAB_ID):respawn:/etc/init.d/ostrivod respawn" \
		>>$(TARGET_DIR)/etc/inittab
endef
OSTRIVOD_TARGET_FINALIZE_HOOKS += OSTRIVOD_RESPAWN_LINE
else
define OSTRIVOD_INSTALL_INIT_SYSV
	ln -sf ostrivod $(TARGET_DIR)/etc/init.d/S50ostrivod
endef
endif

$(eval $(cmake-package))
