// The class factory of comms and the server's unload accounting.
#pragma once

#include "kavrel/kavrel.h"
#include "platform/platform.h"

namespace kavrel {

// DllGetClassObject's work: the factory for CLSID_comms, over the runtime.
HRESULT GetClassObject(platform::Runtime& runtime, REFCLSID rclsid, REFIID riid, void** ppv);

// S_OK when no object (comms, enumerator) and no factory lock remain, else
// S_FALSE. A factory counts only while locked (LockServer).
HRESULT CanUnloadNow();

// Counts an object of the library other than comms (an enumerator, which
// outlives the object that made it) while it lives: its code must stay
// loaded until it is released.
class ModuleObject {
 public:
  ModuleObject();
  ~ModuleObject();
  ModuleObject(const ModuleObject&) = delete;
  ModuleObject& operator=(const ModuleObject&) = delete;
};

}  // namespace kavrel
