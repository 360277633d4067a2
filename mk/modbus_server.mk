# The Modbus server's tests ask it with clients nobody here wrote: mbpoll, and pymodbus for
# Debian's Python (with the serial module its client package imports).
EXTRA_DEPS += mbpoll python3-pymodbus python3-serial-asyncio
