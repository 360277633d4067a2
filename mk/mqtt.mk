# MQTT publishing links libmosquitto; its tests start a real mosquitto broker
# (with a certificate openssl makes for the TLS test).
# Jinja renders Home Assistant's discovery templates in the end-to-end test.
EXTRA_DEPS += python3-jinja2
EXTRA_DEPS += libmosquitto-dev mosquitto openssl

# Store and forward against a real broker with the real programs (bench/mqtt_outage_bench.cpp),
# in the benchmarks' Release build:
#   make bench-mqtt-outage   a 24-hour outage (86,400 rounds) with two restarts, delivered
#                            at the default replay rate; judges the catch-up and live delay
#   make bench-mqtt-fleet    20 gateways, the broker away for two minutes, a small queue;
#                            counts what arrived
.PHONY: bench-mqtt-outage bench-mqtt-fleet

bench-mqtt-outage bench-mqtt-fleet: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DKV830_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target kv830_mqtt_outage_bench
	$(BENCH_BUILD)/bench/kv830_mqtt_outage_bench \
	    $(if $(filter bench-mqtt-fleet,$@),fleet,day) $(MQTT_OUTAGE_ARGS)
