#!/usr/bin/env bash
# InstalledTree.sh BUILD_DIR SOURCE_DIR: installs the build into a temporary prefix and checks what
# another project and an administrator find there: the layout, a consumer built with find_package
# and one built with pkg-config, kfctl making a home from the installed files alone, and the
# systemd units (where systemd-analyze is installed).
set -euo pipefail
build=$1 source=$2
prefix=$(mktemp -d "${TMPDIR:-/tmp}/orvelkf-installed-XXXXXX")
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" > "$prefix.log" 2>&1 || { cat "$prefix.log"; fail install; }
rm -f "$prefix.log"
for f in bin/kfctl bin/kitefeed-publish bin/kfpattern lib/libOrvelKF.so lib/libOrvelCommon.so \
         lib/orvelkf/QxUpdate.dll lib/orvelkf/engines/v1/ziran32.dll lib/orvelkf/engines/v2/qxaseng.dll \
         share/orvelkf/sql/sqlite/schema.sql share/orvelkf/sql/mssql/dbscript.conf \
         share/orvelkf/resources/IDG_ORVEL_UTIL/root.res include/OrvelKF/QxUpdate.h \
         include/OrvelCommon/Log.h include/OrvelPlatform/ServiceManager.h \
         lib/pkgconfig/orvelkf.pc lib/cmake/OrvelKF/OrvelKFConfig.cmake \
         lib/systemd/system/orvelkf-update.service lib/systemd/system/orvelkf-update.timer; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done

expected="5.764.00 1"
cmake -S "$source/tests/cli/consumer" -B "$prefix/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  > "$prefix/consumer.log" 2>&1 && cmake --build "$prefix/consumer" >> "$prefix/consumer.log" 2>&1 \
  || { cat "$prefix/consumer.log"; fail "a find_package consumer does not build"; }
[ "$("$prefix/consumer/consumer")" = "$expected" ] || fail "the find_package consumer answers wrong"
PKG_CONFIG_PATH=$prefix/lib/pkgconfig g++ -std=c++17 "$source/tests/cli/consumer/main.cpp" \
  -o "$prefix/pc-consumer" $(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs orvelkf) \
  || fail "a pkg-config consumer does not build"
[ "$("$prefix/pc-consumer")" = "$expected" ] || fail "the pkg-config consumer answers wrong"

# The installed kfctl makes a home from the installed files, whatever became of the build.
"$prefix/bin/kfctl" --home "$prefix/home" init > /dev/null || fail "installed kfctl init"
cmp "$prefix/lib/orvelkf/QxUpdate.dll" "$prefix/home/bin/QxUpdate.dll" || fail "init took another client"
"$prefix/bin/kfctl" --home "$prefix/home" --json status | grep -q '"component": "virus-pattern"' \
  || fail "installed kfctl status"

grep -qx "ExecStart=$prefix/bin/kfctl scheduled" "$prefix/lib/systemd/system/orvelkf-update.service" \
  || fail "the service does not run the installed kfctl"
if command -v systemd-analyze > /dev/null; then
  # It only warns of a line it cannot use: any word from it is a fault.
  said=$(systemd-analyze verify --man=no "$prefix/lib/systemd/system/orvelkf-update.service" \
    "$prefix/lib/systemd/system/orvelkf-update.timer" 2>&1) || fail "systemd-analyze verify: $said"
  [ -z "$said" ] || fail "systemd-analyze verify: $said"
fi
echo "installed tree: ok"
