#include "standins/tessik/HandsetFieldsStore.h"

#include <new>

extern "C" {

// The object comes from this library's own heap; the caller's `delete` runs
// the virtual destructor, whose deleting variant lives here as well, so it
// goes back to the same heap.
ORVIK_TESSIK_API THandsetFields* ORVIK_STDCALL NewHandsetFieldsInstance(void) {
  return new (std::nothrow) THandsetFieldsStore;
}

}  // extern "C"
