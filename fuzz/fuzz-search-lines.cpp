/* libFuzzer target: the result lines of an asynchronous search, written by
 * the search process and parsed back by the reader thread, through the
 * public meta_search_async.
 *
 * The input is split at NUL bytes into fields taken alternately as a
 * column name and a value; they become one result row of
 *   SELECT CAST(X'..' AS TEXT) AS "name", ...
 * so names and values may hold any byte but NUL: TABs, newlines,
 * backslashes, invalid UTF-8.  Checked: the callback receives exactly the
 * non-empty pairs in order (at most 64), the row's "Filename" value as the
 * file name, then the end call; nothing crashes. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <glib.h>
#include <glib/gstdio.h>
#include <sqlite3.h>

#include "metadata.h"
#include "metadata_conf.h"
#include "metadata_storage.h"

namespace
{

gchar *dir;
sqlite3 *probe;

struct Received
{
  GMutex lock;
  GCond done_cond;
  gboolean done = FALSE;
  int rows = 0;
  std::vector<std::string> keys;
  std::vector<std::string> values;
  bool filename_set = false;
  std::string filename;
  bool bad = false;
};

void
cleanup ()
{
  sqlite3_close (probe);
  meta_destruct ();
  g_autofree gchar *db = g_build_filename (dir, "meta_storage", NULL);
  g_unlink (db);
  g_rmdir (dir);
  g_free (dir);
}

void
on_row (const gchar *filename, gchar **keys, gchar **values,
        gpointer user_data, gint id) noexcept
{
  (void) id;
  Received *r = static_cast<Received *> (user_data);
  g_mutex_lock (&r->lock);
  if (filename == NULL && keys == NULL && values == NULL)
    {
      r->done = TRUE;
      g_cond_signal (&r->done_cond);
    }
  else
    {
      r->rows++;
      for (int i = 0; keys != NULL && keys[i] != NULL; i++)
        {
          r->keys.emplace_back (keys[i]);
          r->values.emplace_back (values[i] != NULL ? values[i] : "<NULL>");
        }
      if (filename != NULL)
        {
          r->filename_set = true;
          r->filename = filename;
        }
    }
  g_mutex_unlock (&r->lock);
}

int baseline_threads;

int
count_threads ()
{
  GDir *tasks = g_dir_open ("/proc/self/task", 0, NULL);
  if (tasks == NULL)
    return 0;
  int n = 0;
  while (g_dir_read_name (tasks) != NULL)
    n++;
  g_dir_close (tasks);
  return n;
}

/* Waits until this process runs no more threads than before the first
 * search (libFuzzer keeps one of its own).  The previous search's
 * reader thread may still be releasing memory after its end call; a fork
 * at that moment would leave the sanitizer's allocator locked in the
 * child (this version does not guard it across fork, unlike the C
 * library's allocator, which the library relies on). */
void
wait_single_thread ()
{
  while (count_threads () > baseline_threads)
    g_usleep (50);
}

void
append_hex (std::string &sql, const std::string &bytes)
{
  static const char digits[] = "0123456789ABCDEF";
  sql += "CAST(X'";
  for (unsigned char c : bytes)
    {
      sql += digits[c >> 4];
      sql += digits[c & 15];
    }
  sql += "' AS TEXT)";
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  if (dir == NULL)
    {
      dir = g_dir_make_tmp ("fuzz-search-XXXXXX", NULL);
      if (dir == NULL)
        abort ();
      g_autofree gchar *db = g_build_filename (dir, "meta_storage", NULL);
      g_autofree gchar *conf = g_build_filename (dir, "none.conf", NULL);
      storage_set_path (db);
      meta_conf_set_path (conf);
      if (!meta_init ())
        abort ();
      baseline_threads = count_threads ();
      if (sqlite3_open (":memory:", &probe) != SQLITE_OK)
        abort ();
      atexit (cleanup);
    }

  std::vector<std::string> fields;
  std::string field;
  for (size_t i = 0; i < size; i++)
    if (data[i] == 0)
      {
        fields.push_back (field);
        field.clear ();
      }
    else
      field += static_cast<char> (data[i]);
  fields.push_back (field);
  if (fields.size () % 2 != 0)
    fields.emplace_back ("v");
  /* SQLite's limit on result columns is far above this. */
  if (fields.size () > 2 * 100)
    fields.resize (2 * 100);

  std::string sql = "SELECT ";
  std::vector<std::string> want_keys, want_values;
  std::string want_filename;
  bool want_filename_set = false;
  for (size_t i = 0; i < fields.size (); i += 2)
    {
      const std::string &name = fields[i];
      const std::string &value = fields[i + 1];
      if (i > 0)
        sql += ", ";
      append_hex (sql, value);
      sql += " AS \"";
      for (char c : name)
        {
          sql += c;
          if (c == '"')
            sql += '"';
        }
      sql += '"';
      if (name.empty () || value.empty ())
        continue;
      if (want_keys.size () < 64)
        {
          want_keys.push_back (name);
          want_values.push_back (value);
          if (!want_filename_set && name == "Filename")
            {
              want_filename_set = true;
              want_filename = value;
            }
        }
    }

  /* A text SQLite refuses gives only the end call; such inputs say
   * nothing about the lines. */
  sqlite3_stmt *stmt = NULL;
  int rc = sqlite3_prepare_v2 (probe, sql.c_str (), -1, &stmt, NULL);
  sqlite3_finalize (stmt);
  if (rc != SQLITE_OK)
    return 0;

  Received r;
  g_mutex_init (&r.lock);
  g_cond_init (&r.done_cond);
  /* The slot is freed by the reader thread right after the previous
   * search's end call. */
  wait_single_thread ();
  /* A slot still being freed clears within moments; a search that never
   * starts (no helper program found) is a failure, not a hang. */
  for (int tries = 0; meta_search_async (0, sql.c_str (), on_row, &r) < 0;
       tries++)
    {
      if (tries == 50000)
        {
          fprintf (stderr, "fuzz-search-lines: the search never starts\n");
          abort ();
        }
      g_usleep (100);
    }
  g_mutex_lock (&r.lock);
  while (!r.done)
    g_cond_wait (&r.done_cond, &r.lock);
  g_mutex_unlock (&r.lock);

  bool expect_row = !want_keys.empty ();
  if (r.rows != (expect_row ? 1 : 0))
    abort ();
  if (expect_row
      && (r.keys != want_keys || r.values != want_values
          || r.filename_set != want_filename_set
          || (want_filename_set && r.filename != want_filename)))
    abort ();
  g_mutex_clear (&r.lock);
  g_cond_clear (&r.done_cond);
  return 0;
}
