// kivra-trace's library: read a trace (reader.h), summarise it (summary.h), draw or export it
// (export.h).
#pragma once

#include "export.h"
#include "reader.h"
#include "summary.h"
