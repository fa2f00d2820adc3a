/* libFuzzer target: the station directory client's reading of JSON, with
 * the fuzzer's bytes as an answer of the service and as a cache file.
 *
 * Beyond "no crash, no bad memory access, no leak, no stack exhaustion"
 * it checks what the reading promises: a text it takes is nested no
 * deeper than the bound; a listing holds only entries of its shape, at
 * most the entry cap, with its count; presets are only those of the
 * station asked for; a failure is the client's "malformed" or "too
 * large", and a cache file that fails gives no tree; every node made is
 * freed again. */
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <glib.h>
#include <glib/gstdio.h>

#include "gisds-private.h"

namespace
{

gchar *cache_home;
IsdsHttp *http;
gchar *station_file; /* the cache file of the preset of "u-1" */

void
cleanup ()
{
  g_autofree gchar *genres = g_build_filename (isds_http_cache_dir (http),
                                               "genres.json", NULL);
  g_unlink (genres);
  g_unlink (station_file);
  g_free (station_file);
  g_rmdir (isds_http_cache_dir (http));
  g_autofree gchar *tessel = g_build_filename (cache_home, "tessel", NULL);
  g_rmdir (tessel);
  g_rmdir (cache_home);
  g_free (cache_home);
  isds_http_free (http);
}

void
check (bool promise)
{
  if (!promise)
    abort ();
}

void
check_error (GError *error)
{
  check (error != NULL && error->domain == ISDS_ERROR
         && (error->code == ISDS_ERROR_MALFORMED
             || error->code == ISDS_ERROR_TOO_LARGE));
}

guint
depth_of (JsonNode *node)
{
  guint deepest = 0;
  if (JSON_NODE_HOLDS_ARRAY (node))
    {
      JsonArray *array = json_node_get_array (node);
      for (guint i = 0; i < json_array_get_length (array); i++)
        deepest = MAX (deepest,
                       depth_of (json_array_get_element (array, i)));
      return deepest + 1;
    }
  if (JSON_NODE_HOLDS_OBJECT (node))
    {
      JsonObjectIter iter;
      JsonNode *member;
      json_object_iter_init (&iter, json_node_get_object (node));
      while (json_object_iter_next (&iter, NULL, &member))
        deepest = MAX (deepest, depth_of (member));
      return deepest + 1;
    }
  return 0;
}

/* A listing as a caller receives it: a top node whose count is its number
 * of children, each a named entry, or a station with one stream. */
void
check_listing (GNode *tree, bool stations)
{
  if (tree == NULL)
    return;
  guint children = g_node_n_children (tree);
  check (children <= ISDS_JSON_MAX_ENTRIES);
  check (((IsdsNode *) tree->data)->count == (gint) children);
  for (GNode *c = tree->children; c != NULL; c = c->next)
    {
      const IsdsNode *record = static_cast<const IsdsNode *> (c->data);
      check (record->name != NULL && record->id != NULL);
      check (c->children == NULL);
      check ((record->type == ISDS_NODE_CHANNEL) == stations);
      if (stations)
        check (record->servers != NULL && record->servers->next == NULL
               && static_cast<IsdsServer *> (record->servers->data)->url
                      != NULL);
    }
}

void
check_presets (GSList *presets)
{
  check (g_slist_length (presets) <= 1);
  for (GSList *l = presets; l != NULL; l = l->next)
    check (g_strcmp0 (((IsdsNode *) ((GNode *) l->data)->data)->id, "u-1")
           == 0);
}

void
as_answer (const uint8_t *data, size_t size, GSList *asked)
{
  g_autofree gchar *text = static_cast<gchar *> (g_memdup2 (data, size));
  g_autoptr (GError) error = NULL;
  g_autoptr (JsonNode) root = isds_json_parse (text, size,
                                               ISDS_JSON_ANSWER_DEPTH, &error);
  if (root == NULL)
    {
      check_error (error);
      return;
    }
  check (depth_of (root) <= ISDS_JSON_ANSWER_DEPTH);
  if (!JSON_NODE_HOLDS_ARRAY (root))
    return;
  JsonArray *array = json_node_get_array (root);
  static const IsdsTestingListing kinds[]
      = { ISDS_TESTING_GENRES, ISDS_TESTING_HOTPICKS,
          ISDS_TESTING_GENRE_CHANNELS };
  for (IsdsTestingListing kind : kinds)
    {
      g_autoptr (GError) local = NULL;
      GNode *tree = isds_json_listing (kind, "t", array, &local);
      check ((tree == NULL) == (local != NULL));
      if (tree == NULL)
        check_error (local);
      check_listing (tree, kind != ISDS_TESTING_GENRES);
      isds_browser_free_nodes_tree (tree);
    }
  GSList *presets = isds_json_presets (array, asked);
  check_presets (presets);
  isds_browser_free_nodes_tree_slist (presets);
}

/* Rewritten in place: no temporary file and no sync, for speed. */
void
write_file (const gchar *path, const uint8_t *data, size_t size)
{
  int fd = open (path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0)
    abort ();
  for (size_t done = 0; done < size;)
    {
      ssize_t n = write (fd, data + done, size - done);
      if (n <= 0)
        abort ();
      done += static_cast<size_t> (n);
    }
  close (fd);
}

void
as_cache_file (const uint8_t *data, size_t size, GSList *asked)
{
  g_autofree gchar *path = g_build_filename (isds_http_cache_dir (http),
                                             "genres.json", NULL);
  write_file (path, data, size);
  g_autoptr (GError) error = NULL;
  GNode *tree = isds_http_list_cached (http, ISDS_TESTING_GENRES, NULL,
                                       &error);
  check (tree == NULL || error == NULL);
  if (tree == NULL)
    check_error (error);
  check_listing (tree, false);
  isds_browser_free_nodes_tree (tree);

  write_file (station_file, data, size);
  g_clear_error (&error);
  GSList *presets = isds_http_cached_preset (http, asked, &error);
  if (error != NULL)
    check_error (error);
  check_presets (presets);
  isds_browser_free_nodes_tree_slist (presets);
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  if (http == NULL)
    {
      /* Before GLib reads the cache folder: it does so once. */
      cache_home = g_dir_make_tmp ("fuzz-gisds-XXXXXX", NULL);
      if (cache_home == NULL)
        abort ();
      g_setenv ("XDG_CACHE_HOME", cache_home, TRUE);
      http = isds_http_new ();
      if (g_mkdir_with_parents (isds_http_cache_dir (http), 0700) != 0)
        abort ();
      g_autofree gchar *digest
          = g_compute_checksum_for_string (G_CHECKSUM_SHA1, "u-1", -1);
      g_autofree gchar *name = g_strdup_printf ("station-%s.json", digest);
      station_file = g_build_filename (isds_http_cache_dir (http), name,
                                       NULL);
      atexit (cleanup);
    }
  gint live = isds_browser_testing_live_nodes ();
  /* The channel asked for carries no stream, so a preset can only come
   * from the cache file. */
  GSList *asked = g_slist_append (
      NULL, isds_browser_testing_node_new (ISDS_NODE_CHANNEL, "asked", "u-1",
                                           0, NULL, NULL));
  as_answer (data, size, asked);
  as_cache_file (data, size, asked);
  isds_browser_free_nodes_tree_slist (asked);
  check (isds_browser_testing_live_nodes () == live);
  return 0;
}
