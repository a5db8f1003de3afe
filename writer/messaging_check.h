// The store check's messaging part ([MS-PST] 2.4): the message store object, the name-to-id
// map, folders against their tables and the nodes below them, messages' recipient tables; the
// heap of every node (in the strict check, everything that stands on it, through LtpChecker).
#pragma once

#include <functional>

#include "common/byte_view.h"
#include "writer/check_findings.h"

namespace palvara {

// `nodes`: the node B-tree's entries, as the node database part read them. `touched` is called
// for each node read, so that a mapped file's pages can be dropped as the check goes on.
void CheckMessaging(ByteSpan file, const CheckedNodes& nodes, CheckFindings& findings,
                    const std::function<void()>& touched);

}  // namespace palvara
