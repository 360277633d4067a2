# MQTT publishing links libmosquitto; its tests start a real mosquitto broker
# (with a certificate openssl makes for the TLS test).
# Jinja renders Home Assistant's discovery templates in the end-to-end test.
EXTRA_DEPS += python3-jinja2
EXTRA_DEPS += libmosquitto-dev mosquitto openssl
