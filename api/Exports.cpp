#include "quorvantix/quorvantix.h"

extern "C" IVelmorPlayerBase* CreatePlayer() { return nullptr; }
extern "C" void DestroyPlayer(IVelmorPlayerBase*, bool) {}
