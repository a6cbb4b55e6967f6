#include "refhost/BinaryInput.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

void SetStdinBinary() { _setmode(_fileno(stdin), _O_BINARY); }
