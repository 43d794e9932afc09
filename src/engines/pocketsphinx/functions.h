// The PocketSphinx entry points resolved by PocketSphinxLibrary. Included
// only by the engine's own files: it pulls in the engine's headers.
#ifndef VESKAR_ENGINES_POCKETSPHINX_FUNCTIONS_H_
#define VESKAR_ENGINES_POCKETSPHINX_FUNCTIONS_H_

#include <pocketsphinx.h>
#include <sphinxbase/cmd_ln.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>

namespace veskar {

// X(name): every function the engine calls, resolved by name.
#define VESKAR_POCKETSPHINX_FUNCTIONS(X) \
  X(err_set_logfp)                       \
  X(err_set_callback)                    \
  X(cmd_ln_parse_r)                      \
  X(cmd_ln_free_r)                       \
  X(ps_args)                             \
  X(ps_init)                             \
  X(ps_free)                             \
  X(ps_start_stream)                     \
  X(ps_start_utt)                        \
  X(ps_process_raw)                      \
  X(ps_end_utt)                          \
  X(ps_get_in_speech)                    \
  X(ps_get_hyp)                          \
  X(ps_seg_iter)                         \
  X(ps_seg_next)                         \
  X(ps_seg_word)                         \
  X(ps_seg_frames)                       \
  X(ps_get_feat)                         \
  X(cmn_live_update)

struct PocketSphinxFunctions {
#define VESKAR_DECLARE_POINTER(name) decltype(&::name) name = nullptr;
  VESKAR_POCKETSPHINX_FUNCTIONS(VESKAR_DECLARE_POINTER)
#undef VESKAR_DECLARE_POINTER
};

}  // namespace veskar

#endif  // VESKAR_ENGINES_POCKETSPHINX_FUNCTIONS_H_
