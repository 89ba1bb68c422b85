// What this Windows is and does: the report's "This Windows" section, and
// the platform facts, each call the tool relies on made directly on targets
// that the checker starts.
#pragma once

#include "checker.h"
#include "children.h"

namespace check {

Platform describeWindows(Report& report);
void probeTarget(Checker& checker, TargetKind kind);

}  // namespace check
