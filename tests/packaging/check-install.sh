#!/bin/sh
# Installs a build into a fresh prefix, then builds the host example
# against the installed tree twice, as its users would: with CMake's
# find_package and with pkg-config.  Each host must load the installed
# library and call it.
#   check-install.sh BUILD_DIR EXAMPLE_SOURCE C_COMPILER
set -eu
build=$1 source=$2 cc=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libovdelete.so.1' | head -n 1)")
[ -n "$libdir" ] || { echo "no libovdelete.so.1 installed"; exit 1; }

expect() {  # what a host prints after deleting two files
    mkdir -p "$work/files-$1"
    out=$(LD_LIBRARY_PATH=$libdir "$2" "$work/files-$1")
    printf '%s\n' "$out"
    printf '%s\n' "$out" | grep -qx 'FileDeleteWC: 1' || { echo "$1: FileDeleteWC did not delete"; exit 1; }
    printf '%s\n' "$out" | grep -qx 'PasteArgs: 0x001D000F FileDeleteWC( WildCard_String );' ||
        { echo "$1: no template"; exit 1; }
    LD_LIBRARY_PATH=$libdir ldd "$2" | grep -q "$libdir/libovdelete.so.1" || { echo "$1: did not load the installed library"; exit 1; }
}

echo "== find_package(ovdelete CONFIG)"
cmake -S "$(dirname "$0")/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
    -DHOST_SOURCE="$source" >/dev/null
cmake --build "$work/cmake" >/dev/null
expect cmake "$work/cmake/host_linked"

echo "== pkg-config ovdelete"
flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs ovdelete)
"$cc" "$source" $flags -o "$work/pkg-config-host"
expect pkg-config "$work/pkg-config-host"
echo "installed tree usable from find_package and pkg-config"
