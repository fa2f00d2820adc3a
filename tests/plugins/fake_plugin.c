/* A stand-in extractor for the loader's tests, built under several names
 * and in several shapes (see meson.build).  Its list says which library
 * made it and how many calls that library has seen since it was loaded,
 * or, in the shape that reads tags, what the file says. */
#include <stdio.h>
#include <string.h>

#include "metadata.h"

#define FAKE_API __attribute__ ((visibility ("default")))

#if defined(FAKE_NO_ENTRY)
/* Exports something, just not the entry point. */
FAKE_API int
fake_not_the_entry_point (void)
{
  return 0;
}
#elif defined(FAKE_RETURNS_NULL)
FAKE_API MetaItem *
get_metadata (const char *filename)
{
  (void) filename;
  return NULL;
}
#elif defined(FAKE_READS_TAGS)
/* The file holds its own tags, one "Key=value" a line, so that a test
 * retags it by writing it anew.  A value of digits only is an integer. */
FAKE_API MetaItem *
get_metadata (const char *filename)
{
  gchar *text = NULL;
  if (!g_file_get_contents (filename, &text, NULL, NULL))
    return NULL;
  MetaItem *list = meta_list_append_text ("Filename", filename, NULL);
  gchar **lines = g_strsplit (text, "\n", -1);
  for (gchar **line = lines; *line != NULL; line++)
    {
      gchar *value = strchr (*line, '=');
      if (value == NULL)
        continue;
      *value++ = '\0';
      gchar *end = NULL;
      gint64 number = g_ascii_strtoll (value, &end, 10);
      if (end != value && *end == '\0')
        list = meta_list_append_int (*line, (gint32) number, list);
      else
        list = meta_list_append_text (*line, value, list);
    }
  g_strfreev (lines);
  g_free (text);
  return list;
}
#elif defined(FAKE_GROWS_FILE)
/* A file still being written while it is read: each read finds a line
 * more at its end. */
FAKE_API MetaItem *
get_metadata (const char *filename)
{
  FILE *file = fopen (filename, "a");
  if (file == NULL)
    return NULL;
  fputs ("more\n", file);
  fclose (file);
  MetaItem *list = meta_list_append_text ("Title", "growing", NULL);
  return meta_list_append_text ("Filename", filename, list);
}
#else
static int calls;

FAKE_API MetaItem *
get_metadata (const char *filename)
{
  char title[32];
  snprintf (title, sizeof title, "call %d", ++calls);
  MetaItem *list = meta_list_append_text ("Title", title, NULL);
  list = meta_list_append_text ("Artist", FAKE_NAME, list);
  return meta_list_append_text ("Filename", filename, list);
}
#endif
