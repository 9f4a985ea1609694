#include "cli/Cli.h"

namespace korvalane::cli {

int RunView(const std::string& command, const std::vector<std::string>&) {
  return UsageError("'" + command + "' is not built yet");
}

}  // namespace korvalane::cli
