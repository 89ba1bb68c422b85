// What this Windows is and does: the report's "This Windows" section, and
// the platform facts, each call the tool relies on made directly on targets
// that the checker starts. What they find is what the roads expect by.
#pragma once

#include "checker.h"
#include "tokens.h"

namespace check {

// What "This Windows" found.
struct Platform {
  bool setClass, getClass, setInformation, getInformation;  // the entry points exist
  PrivilegeState privilege;      // the base-priority privilege in the checker's token
  bool elevatedWithLinkedToken;  // elevation type full, with a linked token
};

// What the roads take: "This Windows" and what the probes saw.
struct Facts {
  Platform platform;
  bool tookTimerBit;          // the plain target took {1, 0x5, 0}
  verdicts::GpuProbe gpu[2];  // the GPU sets on each kind of target (TargetKind)
};

// SeDebugPrivilege as the checker found it in its token at start, and as it
// left it for every process it starts.
struct DebugPrivilege {
  PrivilegeState found, left;
};

Platform describeWindows(Report& report, const DebugPrivilege& debug);
// Probes both kinds of target, with the privilege enabled as the tool
// enables it, and leaves the checker's token as it was.
Facts probeTargets(Checker& checker, const Platform& platform);

}  // namespace check
