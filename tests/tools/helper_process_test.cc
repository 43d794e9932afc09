// Where veskar-transcribe finds the helper when no --helper is given.
#include "helper_process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/temp_folder.h"
#include "veskar_config.h"

namespace veskar::tools {
namespace {

namespace fs = std::filesystem;

void makeFile(const fs::path& path, fs::perms permissions) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "#!/bin/sh\n";
  fs::permissions(path, permissions);
}

constexpr fs::perms kExecutable = fs::perms::owner_all;
constexpr fs::perms kNotExecutable = fs::perms::owner_read | fs::perms::owner_write;

TEST(DefaultHelperPath, FindsTheHelperOfTheToolsOwnLayout) {
  struct Case {
    const char* layout;
    fs::path tool;
    fs::path helper;
  };
  const fs::path installedHelper = (fs::path("prefix/bin") / config::kHelperFromToolFolder).lexically_normal();
  const Case cases[] = {
      {"next to the tool", "bin/veskar-transcribe", "bin/veskar-speech-helper"},
      {"a build folder, the tool in its tools/", "build/tools/veskar-transcribe", "build/veskar-speech-helper"},
      {"an installation moved elsewhere", "prefix/bin/veskar-transcribe", installedHelper},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.layout);
    veskar::testing::TempFolder folder;
    const fs::path root = fs::canonical(folder.path());
    makeFile(root / c.tool, kExecutable);
    makeFile(root / c.helper, kExecutable);
    EXPECT_EQ(defaultHelperPath((root / c.tool).string()), (root / c.helper).string());
  }
}

TEST(DefaultHelperPath, PassesOverAHelperItCannotRun) {
  veskar::testing::TempFolder folder;
  const fs::path root = fs::canonical(folder.path());
  makeFile(root / "bin/veskar-transcribe", kExecutable);
  makeFile(root / "bin/veskar-speech-helper", kNotExecutable);
  // Then the installed helper if this machine has one, else PATH decides.
  const std::string fallback = ::access(std::string(config::kInstalledHelper).c_str(), X_OK) == 0
                                   ? std::string(config::kInstalledHelper)
                                   : "veskar-speech-helper";
  EXPECT_EQ(defaultHelperPath((root / "bin/veskar-transcribe").string()), fallback);
}

}  // namespace
}  // namespace veskar::tools
