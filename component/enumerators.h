// Enumerators for the connection point container and the connection point.
#pragma once

#include "component/apartment.h"
#include "kavrel/automation.h"

namespace kavrel {

// Both take a snapshot: each element is AddRef'd for the enumerator's life.
// An enumerator belongs to the apartment of the object that made it.
HRESULT MakeConnectionPointEnumerator(const Apartment& apartment, IConnectionPoint* const* points,
                                      size_t count, IEnumConnectionPoints** ppEnum);
HRESULT MakeConnectionEnumerator(const Apartment& apartment, const CONNECTDATA* connections,
                                 size_t count, IEnumConnections** ppEnum);

}  // namespace kavrel
