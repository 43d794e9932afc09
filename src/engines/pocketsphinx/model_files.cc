#include "engines/pocketsphinx/model_files.h"

#include <array>
#include <fstream>
#include <system_error>
#include <vector>

namespace veskar {
namespace {

// The acoustic model files the decoder reads; mixture weights come from
// sendump or, in models without it, from mixture_weights.
constexpr std::array<const char*, 6> kAcousticModelFiles = {
    "mdef", "means", "variances", "transition_matrices", "feat.params", "noisedict"};

// The first bytes of a regular file, or nullopt when it cannot be read or
// is empty.
std::optional<std::string> readPrefix(const std::filesystem::path& path, std::size_t count) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string prefix(count, '\0');
  file.read(prefix.data(), static_cast<std::streamsize>(count));
  prefix.resize(static_cast<std::size_t>(file.gcount()));
  if (prefix.empty()) return std::nullopt;
  return prefix;
}

bool isReadableFile(const std::filesystem::path& path) { return readPrefix(path, 1).has_value(); }

std::filesystem::path mixtureWeightsFile(const std::filesystem::path& acousticModel) {
  const std::filesystem::path sendump = acousticModel / "sendump";
  return isReadableFile(sendump) ? sendump : acousticModel / "mixture_weights";
}

}  // namespace

ModelPaths modelPaths(const std::string& directory) {
  const std::filesystem::path root(directory);
  return {root / "en-us", root / "en-us.lm.bin", root / "cmudict-en-us.dict"};
}

// The library stops the process on some malformed model files (see
// PocketSphinxFatalError) and names no file when it does; these checks of
// the files' first bytes catch the usual damage first and say which file.
std::optional<std::string> findDamagedModelFile(const std::string& directory) {
  const ModelPaths paths = modelPaths(directory);
  auto damaged = [](const std::filesystem::path& path) { return path.string() + " is not a PocketSphinx model file"; };
  const std::filesystem::path mdef = paths.acousticModel / "mdef";
  const std::string mdefStart = readPrefix(mdef, 4).value_or("");
  // Binary model definitions start with "BMDF" in either byte order; text
  // ones with their format version.
  if (mdefStart != "BMDF" && mdefStart != "FDMB" && mdefStart.rfind("0.3", 0) != 0) return damaged(mdef);
  // Means, variances, transition matrices and mixture weights are "s3"
  // files: a text header, then binary data.
  std::vector<std::filesystem::path> s3Files = {paths.acousticModel / "means", paths.acousticModel / "variances",
                                                paths.acousticModel / "transition_matrices"};
  const std::filesystem::path mixtureWeights = mixtureWeightsFile(paths.acousticModel);
  if (mixtureWeights.filename() == "sendump") {
    // A length-prefixed "BEGIN FILE FORMAT DESCRIPTION" header.
    const std::string start = readPrefix(mixtureWeights, 34).value_or("");
    if (start.size() < 34 || start.compare(4, 29, "BEGIN FILE FORMAT DESCRIPTION") != 0) {
      return damaged(mixtureWeights);
    }
  } else {
    s3Files.push_back(mixtureWeights);
  }
  for (const std::filesystem::path& path : s3Files) {
    if (readPrefix(path, 3).value_or("") != "s3\n") return damaged(path);
  }
  return std::nullopt;
}

std::optional<std::string> findMissingModelFile(const std::string& directory) {
  const ModelPaths paths = modelPaths(directory);
  std::error_code error;
  if (!std::filesystem::is_directory(paths.acousticModel, error)) {
    return "the acoustic model folder " + paths.acousticModel.string() + " is missing";
  }
  auto missing = [](const std::filesystem::path& path) { return path.string() + " is missing or unreadable"; };
  for (const char* name : kAcousticModelFiles) {
    const std::filesystem::path path = paths.acousticModel / name;
    if (!isReadableFile(path)) return missing(path);
  }
  const std::filesystem::path mixtureWeights = mixtureWeightsFile(paths.acousticModel);
  if (!isReadableFile(mixtureWeights)) return missing(paths.acousticModel / "sendump");
  if (!isReadableFile(paths.languageModel)) return missing(paths.languageModel);
  if (!isReadableFile(paths.dictionary)) return missing(paths.dictionary);
  return std::nullopt;
}

}  // namespace veskar
