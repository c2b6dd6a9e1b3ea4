#include "firewall/dfw_cli.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "base/logger.h"
#include "base/process_exit.h"
#include "firewall/process_exit.h"

namespace {

constexpr const char* kSubcomp = "agg-service";

// Level from a number 1..6 or a name; 0 when the text is neither.
int ParseLevel(const std::string& text) {
  static const std::pair<const char*, int> kNames[] = {{"fatal", 1}, {"error", 2}, {"warning", 3},
                                                       {"info", 4},  {"debug", 5}, {"verbose", 6}};
  for (const auto& [name, level] : kNames) {
    if (text == name) return level;
  }
  if (text.size() == 1 && text[0] >= '1' && text[0] <= '6') return text[0] - '0';
  return 0;
}

}  // namespace

int dfwRegisterCLI() { return dfwRegisterCLI(CliCommandTable::Global(), DfwCliOptions{}); }

int dfwRegisterCLI(CliCommandTable& table, DfwCliOptions options) {
  if (!options.schedule) options.schedule = qbx::firewall::RunAfter;
  if (!options.exitProcess) options.exitProcess = [](int status) { qbx::ExitProcess(status); };

  int rc = table.Register("set/loglevel", "<1-6|fatal|error|warning|info|debug|verbose>", 1, 1,
                          [](const std::vector<std::string>& args) -> CliReply {
                            int level = ParseLevel(args[0]);
                            if (level == 0) return {false, "invalid log level \"" + args[0] + "\"\n"};
                            qbx::Logger::logLevel = level;
                            QBX_LOG(qbx::loglevel::kInfo)
                                .subcomp(kSubcomp)
                                .put("[CLI][%s] Log level set to %d", "set/loglevel", level);
                            return {true, "log level set to " + std::to_string(level) + "\n"};
                          });

  auto stopping = std::make_shared<std::atomic<bool>>(false);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(options.stopDelay).count();
  int stopRc = table.Register(
      "set/stop", "", 0, 0, [options, stopping, seconds](const std::vector<std::string>&) -> CliReply {
        // A repeated request while the exit is pending neither adds a timer nor moves it.
        if (!stopping->exchange(true)) {
          QBX_LOG(qbx::loglevel::kInfo)
              .subcomp(kSubcomp)
              .put("[CLI][%s] Stop requested; exiting in %lld seconds", "set/stop", static_cast<long long>(seconds));
          auto exitProcess = options.exitProcess;
          options.schedule(options.stopDelay, [exitProcess] {
            QBX_LOG(qbx::loglevel::kInfo).subcomp(kSubcomp).put("[CLI][%s] Exiting on request", "set/stop");
            exitProcess(0);
          });
        }
        return {true, "exporter stops in " + std::to_string(seconds) + " seconds\n"};
      });
  return (rc == 0 && stopRc == 0) ? 0 : -1;
}
