#include "engines/pocketsphinx/library.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <string_view>

#include "engines/pocketsphinx/functions.h"
#include "veskar_config.h"

namespace veskar {
namespace {

// Per thread, so that decoders on different threads share nothing. The
// first few since the last clearErrors(): the first says most often what
// went wrong, the later ones what failed of it.
constexpr std::size_t kErrorsKept = 4;
thread_local std::vector<std::string> loggedErrors;

// The library formats its messages as `LEVEL: "file.c", line N: text`;
// the text is what describes the problem.
std::string messageText(std::string_view message) {
  const std::size_t line = message.find("\", line ");
  if (line != std::string_view::npos) {
    const std::size_t colon = message.find(": ", line);
    if (colon != std::string_view::npos) message.remove_prefix(colon + 2);
  }
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ' || message.back() == '\r')) {
    message.remove_suffix(1);
  }
  return std::string(message);
}

// Nothing but the helper's own protocol may reach standard output or
// standard error, so the library's log lines end here.
void onLibraryLog(void*, err_lvl_t level, const char* format, ...) {
  if (level != ERR_ERROR && level != ERR_FATAL) return;
  char buffer[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  std::string text = messageText(buffer);
  if (level == ERR_FATAL) {
    // The library calls exit() when this returns (see PocketSphinxFatalError).
    throw PocketSphinxFatalError(text.empty() ? "PocketSphinx failed" : text);
  }
  if (loggedErrors.size() < kErrorsKept && !text.empty()) loggedErrors.push_back(std::move(text));
}

}  // namespace

std::vector<std::string> PocketSphinxLibrary::defaultSonames() {
  return {std::string(config::kSphinxBaseSoname), std::string(config::kPocketSphinxSoname)};
}

std::string PocketSphinxLibrary::loggedErrors() {
  std::string joined;
  for (const std::string& error : veskar::loggedErrors) {
    if (!joined.empty()) joined += "; ";
    joined += error;
  }
  return joined;
}

void PocketSphinxLibrary::clearLoggedErrors() { veskar::loggedErrors.clear(); }

PocketSphinxLibrary::PocketSphinxLibrary() : functions_(std::make_unique<PocketSphinxFunctions>()) {}

PocketSphinxLibrary::~PocketSphinxLibrary() {
  // The libraries stay mapped: the engine's threads may outlive this object
  // while the process exits, and unloading code that may still run gains
  // nothing.
}

std::shared_ptr<const PocketSphinxLibrary> PocketSphinxLibrary::load(const std::vector<std::string>& sonames,
                                                                     std::string* why) {
  auto fail = [&](std::string reason) -> std::shared_ptr<const PocketSphinxLibrary> {
    if (why != nullptr) *why = std::move(reason);
    return nullptr;
  };
  std::shared_ptr<PocketSphinxLibrary> library(new PocketSphinxLibrary());
  for (const std::string& soname : sonames) {
    void* handle = ::dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* error = ::dlerror();
      return fail(error != nullptr ? error : "cannot open " + soname);
    }
    library->handles_.push_back(handle);
  }
  auto resolve = [&](const char* name) -> void* {
    for (void* handle : library->handles_) {
      if (void* symbol = ::dlsym(handle, name)) return symbol;
    }
    return nullptr;
  };
  PocketSphinxFunctions& f = *library->functions_;
#define VESKAR_RESOLVE(name)                                   \
  f.name = reinterpret_cast<decltype(f.name)>(resolve(#name)); \
  if (f.name == nullptr) return fail(std::string("missing function ") + #name);
  VESKAR_POCKETSPHINX_FUNCTIONS(VESKAR_RESOLVE)
#undef VESKAR_RESOLVE
  // Both are process-wide settings of the library; setting them again for a
  // second load is harmless.
  f.err_set_callback(onLibraryLog, nullptr);
  f.err_set_logfp(nullptr);
  return library;
}

}  // namespace veskar
