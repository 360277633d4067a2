# The plant simulator (sim/) serves Modbus through libmodbus.
EXTRA_DEPS += libmodbus-dev pkg-config
