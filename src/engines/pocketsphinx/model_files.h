// The files of a PocketSphinx model on disk: where they are, and whether
// they are there and look like model files before the library, which stops
// the process on some damaged files, is given them.
#ifndef VESKAR_ENGINES_POCKETSPHINX_MODEL_FILES_H_
#define VESKAR_ENGINES_POCKETSPHINX_MODEL_FILES_H_

#include <filesystem>
#include <optional>
#include <string>

namespace veskar {

// A model folder holds the acoustic model folder en-us/, the language model
// en-us.lm.bin and the dictionary cmudict-en-us.dict.
struct ModelPaths {
  std::filesystem::path acousticModel;
  std::filesystem::path languageModel;
  std::filesystem::path dictionary;
};

ModelPaths modelPaths(const std::string& directory);

// Why the model in `directory` cannot be used (a missing or unreadable
// file, named), or nullopt when every file it needs is there and readable.
std::optional<std::string> findMissingModelFile(const std::string& directory);

// Which file of the model in `directory` is not a PocketSphinx model file
// (by its first bytes), or nullopt when all look right.
std::optional<std::string> findDamagedModelFile(const std::string& directory);

}  // namespace veskar

#endif  // VESKAR_ENGINES_POCKETSPHINX_MODEL_FILES_H_
