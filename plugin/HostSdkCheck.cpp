// Compiled against the host author's header set alone (orvik_host_sdk): every
// header of the set must build with nothing else on the include path, and
// the entry-point header must bring in the whole decoder interface.
#include "plugin/Orvik7316.h"
#include "testdata/DataAccessAPIUnit.h"

static_assert(sizeof(THandSetDecode) == sizeof(void*));
static_assert(sizeof(TPositionBlock) == 24);
static_assert(DecoderSlotBase == 1 || DecoderSlotBase == 2);
