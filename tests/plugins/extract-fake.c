/* A stand-in extractor plug-in for the `tessel extract` tests: fixed
 * items of every value type, built through libtessel's list calls
 * resolved at load time like the real plug-in's. */
#include "metadata.h"

__attribute__ ((visibility ("default"))) MetaItem *
get_metadata (const gchar *filename)
{
  MetaItem *list = meta_list_append_text ("Filename", filename, NULL);
  list = meta_list_append_int ("Track", 7, list);
  return meta_list_append_float ("Ratio", 0.5f, list);
}
