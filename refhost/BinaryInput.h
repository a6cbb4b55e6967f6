// Standard input as raw bytes: no line-end translation, no end at Ctrl-Z.
#pragma once

// Switches standard input to binary mode where the system distinguishes one.
void SetStdinBinary();
