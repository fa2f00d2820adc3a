/* A stand-in extractor for the loader's tests, built under several names
 * and in several shapes (see meson.build).  Its list says which library
 * made it and how many calls that library has seen since it was loaded. */
#include <stdio.h>

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
