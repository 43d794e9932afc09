// Opens the PocketSphinx shared libraries at run time and resolves the
// functions the engine calls. The helper never links the engine, so that it
// starts, and says what is missing, on a system without it.
#ifndef VESKAR_ENGINES_POCKETSPHINX_LIBRARY_H_
#define VESKAR_ENGINES_POCKETSPHINX_LIBRARY_H_

#include <memory>
#include <string>
#include <vector>

#include "engine/speech_engine.h"

namespace veskar {

// Thrown from inside the library where it would otherwise end the process: a
// "fatal" error (a model file it cannot parse, memory it cannot get) makes it
// call exit(). The library's log callback throws this instead, and the
// exception unwinds through the library's frames (built with unwind tables)
// back to the engine. The object the library was working on is left
// half-built or inconsistent: it must be abandoned, never used or freed.
class PocketSphinxFatalError : public SpeechEngineError {
 public:
  using SpeechEngineError::SpeechEngineError;
};

// The resolved entry points, typed from the engine's own headers (see
// pocketsphinx_library.cc); opaque here so that only the engine's files
// include those headers.
struct PocketSphinxFunctions;

class PocketSphinxLibrary {
 public:
  // The versioned sonames of the Debian packages.
  static std::vector<std::string> defaultSonames();

  // Opens the libraries (in order: the base library first) and resolves every
  // function. Returns null when a library cannot be opened or a function is
  // missing, with the reason in `*why` if given. Silences the engine's own
  // logging, which would otherwise go to standard error: its error messages
  // are kept for loggedErrors() and its fatal errors become
  // PocketSphinxFatalError.
  static std::shared_ptr<const PocketSphinxLibrary> load(const std::vector<std::string>& sonames = defaultSonames(),
                                                         std::string* why = nullptr);

  ~PocketSphinxLibrary();
  PocketSphinxLibrary(const PocketSphinxLibrary&) = delete;
  PocketSphinxLibrary& operator=(const PocketSphinxLibrary&) = delete;

  const PocketSphinxFunctions& functions() const { return *functions_; }

  // The first error messages the library logged on the calling thread since
  // clearLoggedErrors(), without their source-file prefix, joined by "; ";
  // empty if none.
  static std::string loggedErrors();
  static void clearLoggedErrors();

 private:
  PocketSphinxLibrary();

  std::vector<void*> handles_;
  std::unique_ptr<PocketSphinxFunctions> functions_;
};

}  // namespace veskar

#endif  // VESKAR_ENGINES_POCKETSPHINX_LIBRARY_H_
