/* libbrisel_gst's entry point: every file through the GStreamer
 * extraction, and the base-name helper of the toolkit. */
#include "brisel_gst.h"
#include "brisel_cover-private.h"
#include "brisel_gst_extract-private.h"

extern "C" gchar *
meta_get_basename (const gchar *filename)
{
  if (filename == NULL)
    return NULL;
  return g_path_get_basename (filename);
}

/* The metadata list of one media file, head first "Filename", "Title"
 * (the base name when the file has no title tag), "MIME", "Bitrate",
 * "Length", then the mapped tags; the album's cover goes to the shared
 * media-art cache when the album has none there yet.  A file that cannot
 * be decoded still gets "Filename", "Title" and "MIME"; a relative name
 * gets none of them.
 * NULL for a NULL name, or when nothing at all was found.  The caller
 * releases the list with meta_free_list ().  Not reentrant. */
extern "C" MetaItem *
get_metadata (const gchar *filename)
{
  if (filename == NULL)
    return NULL;
  MetaItem *list = NULL;
  BriselCover cover;
  gboolean title_found = brisel_gst_read_stream (filename, &list, &cover);
  cover.store ();
  return brisel_add_common_keys (filename, title_found, NULL, 0, list);
}
