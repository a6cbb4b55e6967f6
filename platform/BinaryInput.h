// Standard input as a byte stream.
#pragma once

// Makes standard input deliver bytes unchanged (Windows otherwise translates
// CR LF and stops at 0x1A). Call before the first read. Never fails.
void SetStdinBinary();
