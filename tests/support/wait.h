// Waiting for a condition instead of sleeping and hoping.
#pragma once
#include <functional>

// Polls cond every stepMs until it is true or timeoutMs have passed.
// Returns the last value of cond. The default deadline is generous: a
// loaded build machine may be slow, a healthy run returns at once.
bool waitFor(const std::function<bool()>& cond, int timeoutMs = 15000, int stepMs = 5);
