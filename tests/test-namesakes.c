/* An application whose own globals bear the names of the library's
 * exported data (config, search_lock, search_ids), as one that never
 * heard of them might: the library keeps to its own objects and leaves the
 * application's alone.  Built like an application, against the shared
 * library and nothing of the tests. */
#include <glib.h>
#include <glib/gstdio.h>

/* The headers declare the library's data under these names; here they are
 * the program's own, of other types. */
#define config header_config
#define search_lock header_search_lock
#define search_ids header_search_ids
#include "metadata.h"
#include "metadata_conf.h"
#include "metadata_storage.h"
#undef config
#undef search_lock
#undef search_ids

int config = 42;
int search_lock = 7;
int search_ids = 9;

typedef struct
{
  GMutex lock;
  GCond cond;
  gint rows;
  gboolean ended;
} Rows;

static void
count_rows (const gchar *filename, gchar **keys, gchar **values,
            gpointer user_data, gint search_id)
{
  (void) keys;
  (void) values;
  (void) search_id;
  Rows *rows = user_data;
  g_mutex_lock (&rows->lock);
  if (filename != NULL)
    rows->rows++;
  else
    rows->ended = TRUE;
  g_cond_signal (&rows->cond);
  g_mutex_unlock (&rows->lock);
}

static void
assert_namesakes_untouched (void)
{
  g_assert_cmpint (config, ==, 42);
  g_assert_cmpint (search_lock, ==, 7);
  g_assert_cmpint (search_ids, ==, 9);
}

static void
test_namesakes (void)
{
  g_autofree gchar *dir = g_dir_make_tmp ("tessel-namesakes-XXXXXX", NULL);
  g_assert_nonnull (dir);
  g_autofree gchar *conf = g_build_filename (dir, "metadata_lib.conf", NULL);
  g_autofree gchar *db = g_build_filename (dir, "meta.db", NULL);
  g_assert_true (g_file_set_contents (conf, "mp3 libnone\n", -1, NULL));

  /* Before any configuration is loaded, and after. */
  g_assert_cmpint (meta_has_recognized_extension ("a.mp3"), ==, 0);
  assert_namesakes_untouched ();
  meta_conf_set_path (conf);
  storage_set_path (db);
  g_assert_cmpint (meta_init (), ==, 1);
  g_assert_cmpint (meta_has_recognized_extension ("a.mp3"), ==, 1);
  g_assert_cmpint (meta_has_recognized_extension ("a.ogg"), ==, 0);
  g_assert_cmpint (meta_conf_get_max_file_sz (), ==, 5242880);
  assert_namesakes_untouched ();

  g_assert_cmpint (meta_add_url ("http://radio.example/one"), ==, 1);
  g_assert_cmpint (meta_add_url ("http://radio.example/two"), ==, 1);
  Rows rows = { 0 };
  g_assert_cmpint (meta_search_sync ("SELECT Filename FROM Metadata",
                                     count_rows, &rows),
                   ==, 1);
  g_assert_cmpint (rows.rows, ==, 2);

  /* The asynchronous search reserves its slot under the library's lock. */
  rows = (Rows){ 0 };
  gint id = meta_search_async (0, "SELECT Filename FROM Metadata",
                               count_rows, &rows);
  g_assert_cmpint (id, ==, 0);
  g_mutex_lock (&rows.lock);
  while (!rows.ended)
    g_cond_wait (&rows.cond, &rows.lock);
  g_mutex_unlock (&rows.lock);
  g_assert_cmpint (rows.rows, ==, 2);
  meta_search_cancel (id);
  assert_namesakes_untouched ();

  g_assert_cmpint (meta_destruct (), ==, 0);
  g_unlink (conf);
  g_unlink (db);
  g_autofree gchar *wal = g_strconcat (db, "-wal", NULL);
  g_autofree gchar *shm = g_strconcat (db, "-shm", NULL);
  g_unlink (wal);
  g_unlink (shm);
  g_assert_cmpint (g_rmdir (dir), ==, 0);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
  g_test_add_func ("/link/namesakes/application-globals-left-alone",
                   test_namesakes);
  return g_test_run ();
}
