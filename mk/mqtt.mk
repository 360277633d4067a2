# MQTT publishing links libmosquitto; its tests start a real mosquitto broker.
EXTRA_DEPS += libmosquitto-dev mosquitto
