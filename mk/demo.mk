# make demo: the plant simulator on a pseudo-terminal and kv830-host polling it.
EXTRA_DEPS += libmodbus-dev libsqlite3-dev pkg-config

.PHONY: demo
demo: build
	@BUILD=$(BUILD) ./scripts/demo.sh
