// korvalane-cli owner and damaged: which file uses a sector, and which files a rescue
// map's unfinished areas fall into.
#include "cli/Cli.h"

namespace korvalane::cli {

int RunOwner(const Arguments&) { return UsageError("owner: not yet"); }
int RunDamaged(const Arguments&) { return UsageError("damaged: not yet"); }

}  // namespace korvalane::cli
