// The library's two exported functions.
#include <new>

#include "api/VelmorPlayerBase.h"
#include "quorvantix/quorvantix.h"

extern "C" __attribute__((visibility("default"))) IVelmorPlayerBase* CreatePlayer() {
    return new (std::nothrow) velmor::VelmorPlayerBase();
}

extern "C" __attribute__((visibility("default"))) void DestroyPlayer(IVelmorPlayerBase* player, bool keepObject) {
    player->stop();
    if (!keepObject) delete static_cast<velmor::VelmorPlayerBase*>(player);
}
