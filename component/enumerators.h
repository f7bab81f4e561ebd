// Enumerators for the connection point container and the connection point.
#pragma once

#include "kavrel/automation.h"

namespace kavrel {

// Both take a snapshot: each element is AddRef'd for the enumerator's life.
HRESULT MakeConnectionPointEnumerator(IConnectionPoint* const* points, size_t count,
                                      IEnumConnectionPoints** ppEnum);
HRESULT MakeConnectionEnumerator(const CONNECTDATA* connections, size_t count,
                                 IEnumConnections** ppEnum);

}  // namespace kavrel
