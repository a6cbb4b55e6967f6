#include "testdata/DataAccessAPIUnit.h"
