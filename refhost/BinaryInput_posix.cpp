#include "refhost/BinaryInput.h"

// POSIX streams carry bytes unchanged already.
void SetStdinBinary() {}
