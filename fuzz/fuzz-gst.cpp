/* libFuzzer target: the plug-in's entry point get_metadata on a file
 * holding the fuzzer's bytes.
 *
 * GStreamer's own parsers are not ours to fix; what is checked is our
 * side: whatever the pipeline returns, the entry point must not crash,
 * read bad memory or leak, and its list must hold "Filename" with the
 * file's name.  Each run may take up to the pre-roll timeout, so runs are
 * short: give -max_total_time. */
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <glib.h>
#include <glib/gstdio.h>

#include "brisel_gst.h"

static gchar *input_path;

static void
remove_input (void)
{
  g_unlink (input_path);
  g_free (input_path);
}

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  if (input_path == NULL)
    {
      /* An extension decodebin does not lean on: the contents decide. */
      int fd = g_file_open_tmp ("fuzz-gst-XXXXXX.media", &input_path, NULL);
      if (fd < 0)
        abort ();
      close (fd);
      atexit (remove_input);
    }

  int fd = open (input_path, O_WRONLY | O_TRUNC);
  if (fd < 0)
    abort ();
  for (size_t done = 0; done < size;)
    {
      ssize_t n = write (fd, data + done, size - done);
      if (n <= 0)
        abort ();
      done += n;
    }
  close (fd);

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
