// Conversions one after another, or side by side on worker threads (-j N):
// conversions whose files conflict run in input order, and what each prints
// is held and printed whole, in input order.
#pragma once

#include "job.h"

#include <vector>

// The most conversions that run at once, whatever -j asks.
constexpr unsigned max_side_by_side = 256;

// Runs the conversions, up to parallel at once; tells of each whether it
// converted whole. An interrupted or terminated run leaves no private folder,
// hidden output or encoder behind.
std::vector<bool> run_conversions(std::vector<conversion>& jobs, unsigned parallel);
