# MQTT publishing links libmosquitto; its tests start a real mosquitto broker
# (with a certificate openssl makes for the TLS test).
EXTRA_DEPS += libmosquitto-dev mosquitto openssl
