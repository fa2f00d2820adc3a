/* libFuzzer target: meta_ext_id3 on a file holding the fuzzer's bytes.
 *
 * The extractor reads through the tag library's own file access, so the
 * input goes through a real file, rewritten for every run.  The one
 * promise checked beyond "no crash, no bad memory access, no leak" is that
 * every file yields a list holding a "Title". */
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
      int fd = g_file_open_tmp ("fuzz-id3-XXXXXX.mp3", &input_path, NULL);
      if (fd < 0)
        abort ();
      close (fd);
      atexit (remove_input);
    }

  int fd = open (input_path, O_WRONLY | O_TRUNC);
  if (fd < 0)
    abort ();
  size_t done = 0;
  while (done < size)
    {
      ssize_t n = write (fd, data + done, size - done);
      if (n <= 0)
        abort ();
      done += n;
    }
  close (fd);

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
