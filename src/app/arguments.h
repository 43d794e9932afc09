// The command line: "--locale <identifier>" and "--sources <ids>".
#ifndef VESKAR_APP_ARGUMENTS_H_
#define VESKAR_APP_ARGUMENTS_H_

#include <string>
#include <vector>

#include "protocol/events.h"
#include "engine/speech_engine.h"

namespace veskar {

struct Arguments {
  Locale locale;
  std::vector<SourceId> sources;  // non-empty, ascending, distinct, each 0 or 1
};

// Parses the whole argument vector, program name first. The first exact
// "--locale" and "--sources" count, each with the argument after it taken
// whole; every other argument is ignored. Sources are split at commas, empty
// pieces dropped, pieces that are not [+-]digits within int64 dropped, values
// other than 0 and 1 dropped. Throws HelperError invalidArguments when an
// option or its value is missing or no source id remains.
Arguments arguments(const std::vector<std::string>& argv);

}  // namespace veskar

#endif  // VESKAR_APP_ARGUMENTS_H_
