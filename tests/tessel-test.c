#include "tessel-test.h"

#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <sqlite3.h>

static void
remove_tree (const gchar *path)
{
  GDir *dir = g_dir_open (path, 0, NULL);
  if (dir != NULL)
    {
      const gchar *name;
      while ((name = g_dir_read_name (dir)) != NULL)
        {
          gchar *child = g_build_filename (path, name, NULL);
          if (g_file_test (child, G_FILE_TEST_IS_DIR)
              && !g_file_test (child, G_FILE_TEST_IS_SYMLINK))
            remove_tree (child);
          else
            g_unlink (child);
          g_free (child);
        }
      g_dir_close (dir);
    }
  g_rmdir (path);
}

void
tessel_fixture_setup (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  GError *error = NULL;
  fx->dir = g_dir_make_tmp ("tessel-test-XXXXXX", &error);
  g_assert_no_error (error);
  fx->db = g_build_filename (fx->dir, "meta_storage", NULL);
  fx->conf = g_build_filename (fx->dir, "metadata_lib.conf", NULL);
  storage_set_path (fx->db);
  meta_conf_set_path (fx->conf);
}

void
tessel_fixture_teardown (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  storage_close ();
  meta_free_lib_conf ();
  config.max_file_sz = 0;
  config.max_storage_limit = 0;
  /* Restore write permission a test may have taken away before removing. */
  g_chmod (fx->dir, 0700);
  remove_tree (fx->dir);
  g_free (fx->dir);
  g_free (fx->db);
  g_free (fx->conf);
}

gchar *
tessel_fixture_write (TesselFixture *fx, const gchar *name, const gchar *text)
{
  gchar *path = g_build_filename (fx->dir, name, NULL);
  GError *error = NULL;
  g_file_set_contents (path, text, -1, &error);
  g_assert_no_error (error);
  return path;
}

void
tessel_test_sql (const gchar *db, const gchar *sql)
{
  sqlite3 *conn = NULL;
  g_assert_cmpint (sqlite3_open (db, &conn), ==, SQLITE_OK);
  sqlite3_busy_timeout (conn, 5000);
  char *message = NULL;
  int rc = sqlite3_exec (conn, sql, NULL, NULL, &message);
  if (rc != SQLITE_OK)
    g_error ("test SQL failed: %s: %s", sql, message);
  sqlite3_close (conn);
}

gchar *
tessel_test_sql_text (const gchar *db, const gchar *sql)
{
  sqlite3 *conn = NULL;
  sqlite3_stmt *stmt = NULL;
  gchar *result = NULL;
  g_assert_cmpint (sqlite3_open (db, &conn), ==, SQLITE_OK);
  sqlite3_busy_timeout (conn, 5000);
  g_assert_cmpint (sqlite3_prepare_v2 (conn, sql, -1, &stmt, NULL), ==,
                   SQLITE_OK);
  if (sqlite3_step (stmt) == SQLITE_ROW
      && sqlite3_column_type (stmt, 0) != SQLITE_NULL)
    result = g_strdup ((const gchar *) sqlite3_column_text (stmt, 0));
  sqlite3_finalize (stmt);
  sqlite3_close (conn);
  return result;
}

MetaValue
tessel_test_int_value (gint32 number)
{
  MetaValue v;
  memset (&v, 0, sizeof v);
  memcpy (v.value, &number, sizeof number);
  v.type = META_TYPE_INTEGER;
  return v;
}

MetaValue
tessel_test_float_value (gfloat number)
{
  MetaValue v;
  memset (&v, 0, sizeof v);
  memcpy (v.value, &number, sizeof number);
  v.type = META_TYPE_FLOAT;
  return v;
}

MetaValue
tessel_test_text_value (const gchar *text)
{
  MetaValue v;
  memset (&v, 0, sizeof v);
  g_strlcpy (v.value, text, sizeof v.value);
  v.type = META_TYPE_TEXT;
  return v;
}

gint
tessel_test_spawn (const gchar *const *argv, gchar **out, gchar **err)
{
  g_autofree gchar *own_out = NULL;
  g_autofree gchar *own_err = NULL;
  gint wait_status = 0;
  GError *error = NULL;
  g_spawn_sync (NULL, (gchar **) argv, NULL, G_SPAWN_DEFAULT, NULL, NULL,
                out != NULL ? out : &own_out, err != NULL ? err : &own_err,
                &wait_status, &error);
  g_assert_no_error (error);
  return WIFEXITED (wait_status) ? WEXITSTATUS (wait_status) : -1;
}

gchar *
tessel_test_tool_path (void)
{
  return g_test_build_filename (G_TEST_BUILT, "..", "tools", "tessel", NULL);
}

const gchar *
tessel_test_tool_arg (int argc, char **argv)
{
  if (argc < 2)
    {
      g_printerr ("usage: %s PATH-OF-TESSEL\n", argv[0]);
      exit (2);
    }
  return argv[1];
}

TesselRun
tessel_test_run (const gchar *tool, const gchar *const *args,
                 const gchar *const *tail)
{
  g_autoptr (GPtrArray) argv = g_ptr_array_new ();
  g_ptr_array_add (argv, (gpointer) tool);
  for (const gchar *const *a = args; *a != NULL; a++)
    g_ptr_array_add (argv, (gpointer) *a);
  for (const gchar *const *a = tail; a != NULL && *a != NULL; a++)
    g_ptr_array_add (argv, (gpointer) *a);
  g_ptr_array_add (argv, NULL);
  TesselRun run = { -1, NULL, NULL };
  run.status = tessel_test_spawn ((const gchar *const *) argv->pdata,
                                  &run.out, &run.err);
  g_test_message ("tessel %s: exit status %d; stderr: %s",
                  args[0] != NULL ? args[0] : "", run.status, run.err);
  g_assert_cmpint (run.status, >=, 0);
  return run;
}

gint
tessel_test_run_on (const gchar *tool, TesselFixture *fx,
                    const gchar *const *args, gchar **out, gchar **err)
{
  const gchar *const tail[] = { "--database", fx->db, NULL };
  TesselRun run = tessel_test_run (tool, args, tail);
  *out = run.out;
  *err = run.err;
  return run.status;
}

TesselRun
tessel_test_run_valist (const gchar *tool, const gchar *const *tail,
                        const gchar *first, va_list rest)
{
  g_autoptr (GPtrArray) args = g_ptr_array_new ();
  for (const gchar *a = first; a != NULL; a = va_arg (rest, const gchar *))
    g_ptr_array_add (args, (gpointer) a);
  g_ptr_array_add (args, NULL);
  return tessel_test_run (tool, (const gchar *const *) args->pdata, tail);
}

void
tessel_run_clear (TesselRun *run)
{
  g_clear_pointer (&run->out, g_free);
  g_clear_pointer (&run->err, g_free);
}

/* The stand-in file system: SQLite's unix files behind methods of version
 * 1, which has no shared memory.  Each file wraps a unix file that keeps
 * its own methods: a unix file whose methods were swapped for a copy
 * keeps its write lock after a commit, locking every other writer out. */
static sqlite3_vfs *unix_vfs;
static sqlite3_vfs shm_less_vfs;

typedef struct
{
  sqlite3_file base;
  sqlite3_file *unix_file; /* right behind this record */
} ShmLessFile;

#define UNIX_FILE(f) (((ShmLessFile *) (f))->unix_file)
#define FORWARD(f, method, ...)                                              \
  UNIX_FILE (f)->pMethods->method (UNIX_FILE (f), ##__VA_ARGS__)

static int
shm_less_close (sqlite3_file *f)
{
  return FORWARD (f, xClose);
}
static int
shm_less_read (sqlite3_file *f, void *buf, int n, sqlite3_int64 offset)
{
  return FORWARD (f, xRead, buf, n, offset);
}
static int
shm_less_write (sqlite3_file *f, const void *buf, int n,
                sqlite3_int64 offset)
{
  return FORWARD (f, xWrite, buf, n, offset);
}
static int
shm_less_truncate (sqlite3_file *f, sqlite3_int64 size)
{
  return FORWARD (f, xTruncate, size);
}
static int
shm_less_sync (sqlite3_file *f, int flags)
{
  return FORWARD (f, xSync, flags);
}
static int
shm_less_file_size (sqlite3_file *f, sqlite3_int64 *size)
{
  return FORWARD (f, xFileSize, size);
}
static int
shm_less_lock (sqlite3_file *f, int lock)
{
  return FORWARD (f, xLock, lock);
}
static int
shm_less_unlock (sqlite3_file *f, int lock)
{
  return FORWARD (f, xUnlock, lock);
}
static int
shm_less_check_reserved (sqlite3_file *f, int *out)
{
  return FORWARD (f, xCheckReservedLock, out);
}
static int
shm_less_file_control (sqlite3_file *f, int op, void *arg)
{
  return FORWARD (f, xFileControl, op, arg);
}
static int
shm_less_sector_size (sqlite3_file *f)
{
  return FORWARD (f, xSectorSize);
}
static int
shm_less_device (sqlite3_file *f)
{
  return FORWARD (f, xDeviceCharacteristics);
}

static const sqlite3_io_methods shm_less_methods = {
  1,
  shm_less_close,
  shm_less_read,
  shm_less_write,
  shm_less_truncate,
  shm_less_sync,
  shm_less_file_size,
  shm_less_lock,
  shm_less_unlock,
  shm_less_check_reserved,
  shm_less_file_control,
  shm_less_sector_size,
  shm_less_device,
  NULL, NULL, NULL, NULL, NULL, NULL,
};

static int
shm_less_open (sqlite3_vfs *vfs, const char *name, sqlite3_file *file,
               int flags, int *out_flags)
{
  (void) vfs;
  ShmLessFile *wrapper = (ShmLessFile *) file;
  wrapper->unix_file = (sqlite3_file *) (wrapper + 1);
  int rc = unix_vfs->xOpen (unix_vfs, name, wrapper->unix_file, flags,
                            out_flags);
  /* SQLite closes a file through its methods only when they are set. */
  file->pMethods
      = wrapper->unix_file->pMethods != NULL ? &shm_less_methods : NULL;
  return rc;
}

void
tessel_test_use_shm (gboolean available)
{
  if (unix_vfs == NULL)
    {
      unix_vfs = sqlite3_vfs_find ("unix");
      g_assert_nonnull (unix_vfs);
      shm_less_vfs = *unix_vfs;
      shm_less_vfs.zName = "tessel-test-shm-less";
      shm_less_vfs.pNext = NULL;
      shm_less_vfs.xOpen = shm_less_open;
      shm_less_vfs.szOsFile
          = (int) sizeof (ShmLessFile) + unix_vfs->szOsFile;
    }
  if (available)
    {
      sqlite3_vfs_unregister (&shm_less_vfs);
      sqlite3_vfs_register (unix_vfs, 1);
    }
  else
    sqlite3_vfs_register (&shm_less_vfs, 1);
}

gchar *
tessel_test_nested_json (const gchar *prefix, guint depth,
                         const gchar *suffix)
{
  GString *text = g_string_new (prefix);
  for (guint i = 0; i < depth; i++)
    g_string_append_c (text, '[');
  for (guint i = 0; i < depth; i++)
    g_string_append_c (text, ']');
  g_string_append (text, suffix);
  return g_string_free (text, FALSE);
}

gchar *
tessel_test_genres_json (guint count)
{
  GString *text = g_string_new ("[");
  for (guint i = 0; i < count; i++)
    g_string_append_printf (text, "%s{\"name\":\"g%u\",\"stationcount\":1}",
                            i > 0 ? "," : "", i);
  g_string_append_c (text, ']');
  return g_string_free (text, FALSE);
}
