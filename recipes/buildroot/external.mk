include $(sort $(wildcard $(BR2_EXTERNAL_OSTRIVO_PATH)/package/*/*.mk))
