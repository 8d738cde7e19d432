// Former place of the header, kept for code outside app/ that still names it (the benchmarks'
// stall probe); new code includes "app/connections/ConnectionModel.h".
#pragma once

#include "app/connections/ConnectionModel.h"
