// Descendants of the host: every process it started, and every process those
// started, even one that left its session or lost its parent. The host makes
// itself a child subreaper, so that an orphan below it is adopted by the host
// instead of by init, and on the way out ends whatever is still below it.
#pragma once

namespace descendants {

// Makes the host the adoptive parent of orphans below it; false where the
// system does not allow it (they are then ended only while still found).
bool adoptOrphans();

// Asks every descendant to end (SIGTERM), kills those still there after
// `graceMs` (SIGKILL) and reaps them all; returns how many were found.
int endAll(int graceMs);

} // namespace descendants
