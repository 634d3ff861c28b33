#include "shared/run/run_state.h"

namespace korv {

RunState g_run;

void ResetRunState() { g_run = RunState(); }

}  // namespace korv
