// Former place of the header, kept for code outside app/ that still names it (the benchmarks'
// stall probe); new code includes "app/connections/ConnectionsPage.h".
#pragma once

#include "app/connections/ConnectionsPage.h"
