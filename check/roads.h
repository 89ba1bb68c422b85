// The tool's roads: the tool run with each kind of arguments against targets
// that the checker starts, its exit code and the target's classes judged by
// what the platform facts showed.
#pragma once

#include "checker.h"
#include "children.h"
#include "facts.h"

namespace check {

void roadUsage(Checker& checker, const Facts& facts);
void roadMissingProcess(Checker& checker);
// The boost, then the unboost, on one target of the kind given.
void roadBoostAndUnboost(Checker& checker, const Facts& facts, TargetKind kind);
// From a token without the privilege: "boost-elevated" must give 3 and
// change nothing; with `relay`, "boost" relaunches through "runas".
void roadWithoutPrivilege(Checker& checker, const Facts& facts, bool relay);

}  // namespace check
