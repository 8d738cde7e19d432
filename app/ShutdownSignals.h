// Former place of the window's signal set-up, kept for code outside app/ that still names it
// (the benchmarks' stall probe); new code includes "app/startup/ProgramSignals.h".
#pragma once

#include "app/startup/ProgramSignals.h"

using TShutdownSignals = TProgramSignals;
