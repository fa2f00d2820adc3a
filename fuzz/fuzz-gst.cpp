/* libFuzzer target: the plug-in's entry point get_metadata on a file
 * holding the fuzzer's bytes.
 *
 * GStreamer's own parsers are not ours to fix; what is checked is our
 * side: whatever the pipeline returns, the entry point must not crash,
 * read bad memory or leak, and its list must hold "Filename" with the
 * file's name.  Each run may take up to the pre-roll timeout, so runs are
 * short: give -max_total_time. */
#include <string.h>

#include "brisel_gst.h"
#include "fuzz-input.h"

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  /* An extension decodebin does not lean on: the contents decide. */
  const gchar *input_path
      = fuzz_input_write ("fuzz-gst-XXXXXX.media", data, size);

  MetaItem *list = get_metadata (input_path);
  if (list != NULL)
    {
      bool named = false;
      for (MetaItem *i = list; i != NULL; i = i->next)
        if (strcmp (i->key, "Filename") == 0
            && strcmp (i->value, input_path) == 0)
          named = true;
      if (!named)
        abort ();
    }
  meta_free_list (&list);
  return 0;
}
