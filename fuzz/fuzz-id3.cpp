/* libFuzzer target: meta_ext_id3 on a file holding the fuzzer's bytes.
 *
 * The extractor reads through the tag library's own file access, so the
 * input goes through a real file, rewritten for every run.  The one
 * promise checked beyond "no crash, no bad memory access, no leak" is that
 * every file yields a list holding a "Title". */
#include <string.h>

#include "brisel_gst.h"
#include "fuzz-input.h"

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  const gchar *input_path
      = fuzz_input_write ("fuzz-id3-XXXXXX.mp3", data, size);

  MetaItem *list = meta_ext_id3 (input_path);
  bool title = false;
  for (MetaItem *i = list; i != NULL; i = i->next)
    if (strcmp (i->key, "Title") == 0)
      title = true;
  if (!title)
    abort ();
  meta_free_list (&list);
  return 0;
}
