// Former place of the header, kept for code outside app/ that still names it (the benchmarks'
// stall probe); new code includes "app/connections/StreamView.h".
#pragma once

#include "app/connections/StreamView.h"
