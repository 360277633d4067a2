# The HTTP server of kv830-host (hostprog/http/) is built on Debian's cpp-httplib; its
# tests check /metrics with promtool from the prometheus package.
EXTRA_DEPS += libcpp-httplib-dev zlib1g-dev prometheus
