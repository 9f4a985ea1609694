#include "cli/Cli.h"

namespace korvalane::cli {

int RunExport(const std::vector<std::string>&) { return UsageError("'export' is not built yet"); }

}  // namespace korvalane::cli
