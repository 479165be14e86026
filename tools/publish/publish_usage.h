// The release tool's usage text, printed by --help and after a command line
// that is not understood.
#pragma once

extern const char Usage[];
