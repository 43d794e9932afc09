// Runs the helper binary over the scripted engine (for test binaries, which
// know where it is built).
#ifndef VESKAR_TESTS_SUPPORT_SCRIPTED_HELPER_H_
#define VESKAR_TESTS_SUPPORT_SCRIPTED_HELPER_H_

#include <string>
#include <vector>

#include "support/process_runner.h"

namespace veskar::testing {

// `script` as scriptedEngineFromText takes it ("noengine": no engine at all).
inline ProcessResult runScriptedHelper(const std::string& script, const std::vector<std::string>& args,
                                       const std::string& input, ProcessOptions options = {}) {
  std::vector<std::string> argv{VESKAR_SCRIPTED_HELPER_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  options.environment["VESKAR_ENGINE_SCRIPT"] = script;
  return runProcess(argv, input, options);
}

}  // namespace veskar::testing

#endif  // VESKAR_TESTS_SUPPORT_SCRIPTED_HELPER_H_
