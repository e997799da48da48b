#pragma once

#include "engine/ActionLog.h"

namespace quarnel {

// Close lines for the journal's own protocol: the text as on standard output, at priority info,
// with fields to search by: QUARNEL_RULE (local-port or remote-port), QUARNEL_PORT (the blocked
// port), QUARNEL_FAMILY, QUARNEL_LOCAL and QUARNEL_REMOTE (address:port), so that
// "journalctl -u quarnel QUARNEL_PORT=25" finds them; one of another network namespace has
// QUARNEL_NETNS too, its name as namespaceName gives it. Empty where built without libsystemd.
ActionLog::CloseSink JournalCloses(NamespaceNameOf namespaceName = {});

}  // namespace quarnel
