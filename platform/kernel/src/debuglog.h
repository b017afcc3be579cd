// The debug log's starting state, for the test scope.
#pragma once

namespace wrk::detail {

// Echo back to what WRENLOK_DEBUG_ECHO asks for.
void ResetDebugEcho();

}  // namespace wrk::detail
