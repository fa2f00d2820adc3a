/* The fuzzers whose code under test reads a file: the input goes through
 * one temporary file per process, rewritten for every run and removed at
 * exit. */
#ifndef TESSEL_FUZZ_INPUT_H
#define TESSEL_FUZZ_INPUT_H

#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <glib.h>
#include <glib/gstdio.h>

static gchar *fuzz_input_path;

static void
fuzz_input_remove (void)
{
  g_unlink (fuzz_input_path);
  g_free (fuzz_input_path);
}

/* Writes data to the input file, made from name_template (as for
 * g_file_open_tmp) on the first call, and returns its path.  Any failure
 * aborts: a fuzzer cannot go on without its input. */
static const gchar *
fuzz_input_write (const char *name_template, const uint8_t *data,
                  size_t size)
{
  if (fuzz_input_path == NULL)
    {
      int fd = g_file_open_tmp (name_template, &fuzz_input_path, NULL);
      if (fd < 0)
        abort ();
      close (fd);
      atexit (fuzz_input_remove);
    }
  int fd = open (fuzz_input_path, O_WRONLY | O_TRUNC);
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
  return fuzz_input_path;
}

#endif /* TESSEL_FUZZ_INPUT_H */
