# make live: the plant simulator and kv830-host serving the page, until Ctrl-C.
# make screenshot: the picture of the page docs/monitoring.md shows (docs/dashboard.png).
# The browser tests and the screenshot run Debian's Chromium; the CJK font shows the
# controller's Chinese signal names.
EXTRA_DEPS += chromium fonts-wqy-microhei gzip

LIVE_PORT ?= 8830

.PHONY: live screenshot
live: configure
	cmake --build $(BUILD) -j$(JOBS) --target kv830 kv830-host plant-sim
	@BUILD=$(BUILD) LIVE_PORT=$(LIVE_PORT) ./scripts/live.sh

screenshot: configure
	cmake --build $(BUILD) -j$(JOBS) --target kv830 kv830-host plant-sim kv830_page_shot
	@BUILD=$(BUILD) LIVE_PORT=$(LIVE_PORT) ./scripts/live.sh --screenshot docs/dashboard.png
