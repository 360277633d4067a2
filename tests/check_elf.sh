#!/bin/sh
# The binary contract of kv830.so with its host: what it needs, what it leaves for the
# host process to provide, and what it exports.
set -u
so=${1:?usage: check_elf.sh kv830.so}
READELF=${READELF:-readelf}
NM=${NM:-nm}
fail=0
problem() { echo "FAIL: $*"; fail=1; }

soname=$($READELF -d "$so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "kv830.so" ] || problem "soname is '$soname', expected kv830.so"

needed=$($READELF -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[ "$needed" = "libstdc++.so.6 libm.so.6 libgcc_s.so.1 libc.so.6 " ] ||
    problem "NEEDED is '$needed'"

undefined=$($NM -D --undefined-only "$so" | c++filt)
echo "$undefined" | grep -q 'Json::Value::Value' || problem "jsoncpp symbols are not left undefined"
echo "$undefined" | grep -q 'QDXVDevice::SendSP' || problem "host symbols are not left undefined"
echo "$undefined" | grep -q 'get_ttime' || problem "get_ttime is not left undefined"

# Defined exported functions: only get_providers plain, the rest members of our classes.
$NM -D --defined-only "$so" | awk '$2 ~ /^[TtWwi]$/ {print $3}' > /tmp/kv830_exports.$$
plain=$(grep -v '^_Z' /tmp/kv830_exports.$$ | tr '\n' ' ')
[ "$plain" = "get_providers " ] || problem "undecorated exports: '$plain'"
others=$(grep '^_Z' /tmp/kv830_exports.$$ | c++filt |
    grep -v -E '^(KV830::|KV830Provider::|UniDataDevice<KV830_Data_t, SPModbus, 5156>::)')
[ -z "$others" ] || problem "exported functions outside the plug-in's classes: $others"
rm -f /tmp/kv830_exports.$$

[ $fail -eq 0 ] && echo "kv830.so: soname, NEEDED and exports as expected"
exit $fail
