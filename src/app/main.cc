// The veskar-speech-helper executable: the helper over PocketSphinx.
#include <memory>
#include <string>
#include <vector>

#include "app/helper.h"
#include "engines/pocketsphinx/pocketsphinx_engine.h"
#include "engines/pocketsphinx/library.h"

int main(int argc, char** argv) {
  veskar::VeskarSpeechHelper::main(std::vector<std::string>(argv, argv + argc),
                                   []() -> std::unique_ptr<veskar::SpeechEngine> {
                                     auto library = veskar::PocketSphinxLibrary::load();
                                     if (!library) return nullptr;
                                     return std::make_unique<veskar::PocketSphinxEngine>(library);
                                   });
}
