#pragma once
// The switches moved to the engine, where vtupdate shares them without the shell; this name
// stays for the files that still include it.
#include "update/Options.h"
