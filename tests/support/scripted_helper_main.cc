// The helper over the scripted engine. The script comes from the variable
// VESKAR_ENGINE_SCRIPT (see scriptedEngineFromText); "noengine" stands for a
// system without a speech engine.
#include <cstdlib>
#include <string>
#include <vector>

#include "app/helper.h"
#include "support/scripted_engine.h"

int main(int argc, char** argv) {
  const char* script = std::getenv("VESKAR_ENGINE_SCRIPT");
  const std::string text = script != nullptr ? script : "";
  veskar::VeskarSpeechHelper::main(std::vector<std::string>(argv, argv + argc),
                                   [&]() -> std::unique_ptr<veskar::SpeechEngine> {
                                     if (text == "noengine") return nullptr;
                                     return veskar::testing::scriptedEngineFromText(text);
                                   });
}
