#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds two tiny hosts against the installed
# files only: one through the CMake package, one through pkg-config. Both must load the library,
# create a player and destroy it.
set -euo pipefail
BUILD_DIR="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$BUILD_DIR" --prefix "$prefix" >/dev/null

mkdir -p "$work/host"
cat > "$work/host/host.cpp" <<'CPP'
#include <quorvantix/quorvantix.h>
#include <cstdio>
#include <cstring>
int main() {
    IVelmorPlayerBase* p = CreatePlayer();
    if (!p) return 1;
    const int level = p->getApiLevel();
    const size_t guid = strlen(p->getDeviceGuid());
    DestroyPlayer(p, false);
    printf("api level %d, identity length %zu\n", level, guid);
    return (level == 1 && guid == 40) ? 0 : 2;
}
CPP
cat > "$work/host/CMakeLists.txt" <<'CMK'
cmake_minimum_required(VERSION 3.20)
project(host CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(Quorvantix REQUIRED)
add_executable(host host.cpp)
target_link_libraries(host PRIVATE Quorvantix::quorvantix)
CMK
cmake -S "$work/host" -B "$work/host/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_EXE_LINKER_FLAGS="${QV_HOST_LDFLAGS:-}" >/dev/null
ninja -C "$work/host/build" >/dev/null
LD_LIBRARY_PATH="$prefix/lib" "$work/host/build/host"

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046
c++ -std=c++17 "$work/host/host.cpp" -o "$work/host/host_pc" $(pkg-config --cflags --libs quorvantix) ${QV_HOST_LDFLAGS:-}
LD_LIBRARY_PATH="$prefix/lib" "$work/host/host_pc"
echo "install check passed"
