// The class factory of comms and the server's unload accounting.
#pragma once

#include "kavrel/kavrel.h"
#include "platform/platform.h"

namespace kavrel {

// DllGetClassObject's work: the factory for CLSID_comms, over the runtime.
HRESULT GetClassObject(platform::Runtime& runtime, REFCLSID rclsid, REFIID riid, void** ppv);

// S_OK when no object and no factory lock remain, else S_FALSE.
HRESULT CanUnloadNow();

}  // namespace kavrel
