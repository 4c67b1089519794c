// Loading the engine library the way a host does: dlopen, then the two exported functions.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "quorvantix/quorvantix.h"

struct PlayerLibrary {
    void* handle = nullptr;
    CreatePlayerFn create = nullptr;
    DestroyPlayerFn destroy = nullptr;

    // Loads $QV_LIBRARY, or the library this program was built with; says why on standard error
    // when that fails.
    bool load() {
        const char* path = getenv("QV_LIBRARY") ? getenv("QV_LIBRARY") : QV_LIBRARY_PATH;
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
            return false;
        }
        create = reinterpret_cast<CreatePlayerFn>(dlsym(handle, "CreatePlayer"));
        destroy = reinterpret_cast<DestroyPlayerFn>(dlsym(handle, "DestroyPlayer"));
        if (!create || !destroy) {
            fprintf(stderr, "%s does not export the player factory\n", path);
            return false;
        }
        return true;
    }
};
