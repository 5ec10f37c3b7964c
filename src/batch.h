// Conversions one after another, or side by side on worker threads (-j N):
// conversions whose files conflict run in input order, and what each prints
// is held and printed whole, in input order.
#pragma once

#include "job.h"

#include <vector>

// Runs the conversions, up to parallel at once; tells of each whether it converted whole.
std::vector<bool> run_conversions(std::vector<conversion>& jobs, unsigned parallel);
