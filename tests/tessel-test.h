/* Shared test fixture: every test works in a temporary directory of its
 * own, with the database and configuration placed there. */
#ifndef TESSEL_TEST_H
#define TESSEL_TEST_H

#include <stdarg.h>

#include <glib.h>
#include <glib/gstdio.h>

#include "metadata.h"
#include "metadata_conf.h"
#include "metadata_storage.h"

G_BEGIN_DECLS

typedef struct
{
  gchar *dir;  /* the test's own temporary directory */
  gchar *db;   /* dir/meta_storage, set as the storage path */
  gchar *conf; /* dir/metadata_lib.conf, set as the configuration path */
} TesselFixture;

/* Creates the directory and points storage and configuration into it;
 * opens nothing. */
void tessel_fixture_setup (TesselFixture *fx, gconstpointer data);
/* Closes the database and configuration and removes the directory. */
void tessel_fixture_teardown (TesselFixture *fx, gconstpointer data);

/* Registers a test that runs in a fresh fixture. */
#define TESSEL_TEST_ADD(path, fn)                                            \
  g_test_add (path, TesselFixture, NULL, tessel_fixture_setup, fn,           \
              tessel_fixture_teardown)

/* Typed values as the array writer and the deletion by key take them. */
MetaValue tessel_test_int_value (gint32 number);
MetaValue tessel_test_float_value (gfloat number);
MetaValue tessel_test_text_value (const gchar *text);

/* Runs a program (argv NULL-terminated) to its end; returns its exit
 * status, or -1 when it did not exit normally.  Its stdout and stderr are
 * stored where out and err point (g_free them), or dropped for NULL. */
gint tessel_test_spawn (const gchar *const *argv, gchar **out, gchar **err);

/* The tessel program of this build, beside the tests (g_free it). */
gchar *tessel_test_tool_path (void);

/* The tessel program given as the test program's first argument (read
 * after g_test_init); without one, prints the usage and exits 2. */
const gchar *tessel_test_tool_arg (int argc, char **argv);

/* One run of the tessel program. */
typedef struct
{
  gint status; /* exit status */
  gchar *out;
  gchar *err;
} TesselRun;

/* Runs the tessel program at tool with args and then tail (both
 * NULL-terminated; tail may be NULL), to its end; logs its stderr and
 * fails the test when it did not exit normally (a crash).
 * tessel_run_clear the result. */
TesselRun tessel_test_run (const gchar *tool, const gchar *const *args,
                           const gchar *const *tail);
/* Runs tool with args and then --database and the fixture's database;
 * returns the exit status and stores stdout and stderr (g_free them). */
gint tessel_test_run_on (const gchar *tool, TesselFixture *fx,
                         const gchar *const *args, gchar **out, gchar **err);
/* The same with the arguments first, then those of rest up to a NULL. */
TesselRun tessel_test_run_valist (const gchar *tool, const gchar *const *tail,
                                  const gchar *first, va_list rest);
void tessel_run_clear (TesselRun *run);

/* Writes text to dir/name and returns the full path (g_free it). */
gchar *tessel_fixture_write (TesselFixture *fx, const gchar *name,
                             const gchar *text);

/* Runs SQL on the test database through a connection of its own, outside
 * the library; fails the test on an SQL error. */
void tessel_test_sql (const gchar *db, const gchar *sql);
/* The first column of the first row of a query as text (g_free it), or
 * NULL for no row or a NULL value. */
gchar *tessel_test_sql_text (const gchar *db, const gchar *sql);

/* Whether the file system under new SQLite connections of this process
 * offers shared memory (TRUE: SQLite's own unix files, the default) or
 * not (FALSE: SQLite then refuses write-ahead logging).  Open files keep
 * what they had. */
void tessel_test_use_shm (gboolean available);

/* Hostile answers of the radio directory (g_free them): an array nested
 * depth deep between prefix and suffix (which may open and close a string
 * or a comment that a careless scan would not see through); and a genre
 * listing of count entries named g0, g1, ... */
gchar *tessel_test_nested_json (const gchar *prefix, guint depth,
                                const gchar *suffix);
gchar *tessel_test_genres_json (guint count);

G_END_DECLS

#endif /* TESSEL_TEST_H */
