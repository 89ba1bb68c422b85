// The tool's roads: the tool run with each kind of arguments against targets
// that the checker starts, its exit code and the target's classes judged.
#pragma once

#include "checker.h"
#include "children.h"

namespace check {

void roadUsage(Checker& checker);
void roadMissingProcess(Checker& checker);
// The boost, then the unboost, on one target of the kind given.
void roadBoostAndUnboost(Checker& checker, TargetKind kind);
// From a token without the privilege: "boost-elevated" must give 3 and
// change nothing; with `relay`, "boost" relaunches through "runas".
void roadWithoutPrivilege(Checker& checker, bool relay);

}  // namespace check
