/* tessel search, run as a user would run it: tables, JSON, the
 * asynchronous form and the failures. */
#include <string.h>
#include <sys/wait.h>

#include <json-glib/json-glib.h>

#include "tessel-test.h"

static const char *tool; /* path of the tessel program, from argv */

/* Runs tessel search with args and --database; returns the exit status and
 * stores stdout and stderr (g_free them). */
static int
run_search (TesselFixture *fx, const char *const *args, gchar **out,
            gchar **err)
{
  const gchar *search[8] = { "search" };
  for (gsize i = 0; args[i] != NULL; i++)
    {
      g_assert_cmpuint (i + 2, <, G_N_ELEMENTS (search));
      search[i + 1] = args[i];
    }
  return tessel_test_run_on (tool, fx, search, out, err);
}

static void
seed (TesselFixture *fx, gconstpointer data)
{
  tessel_fixture_setup (fx, data);
  g_assert_cmpint (storage_init (), ==, 1);
  storage_close ();
  tessel_test_sql (fx->db,
                   "INSERT INTO Metadata (Filename, Title, Track) VALUES "
                   "('/m/1.mp3', 'First song', 1), ('/m/2.mp3', NULL, 12), "
                   "('/m/3.mp3', 'a' || char(9) || 'b', NULL)");
}

/* Numbers to the right, a NULL as an empty cell. */
static const char table[] = "Filename  Title       Track\n"
                            "/m/1.mp3  First song      1\n"
                            "/m/2.mp3                 12\n"
                            "/m/3.mp3  a\\tb             \n";

static void
test_table (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  const char *sync_args[]
      = { "SELECT Filename, Title, Track FROM Metadata ORDER BY Filename",
          NULL };
  g_autofree gchar *out = NULL, *err = NULL;
  g_assert_cmpint (run_search (fx, sync_args, &out, &err), ==, 0);
  g_assert_cmpstr (out, ==, table);
  g_assert_cmpstr (err, ==, "");

  /* The asynchronous form prints the same. */
  const char *async_args[]
      = { "--async", "SELECT Filename, Title, Track FROM Metadata ORDER BY "
                     "Filename",
          NULL };
  g_autofree gchar *async_out = NULL, *async_err = NULL;
  g_assert_cmpint (run_search (fx, async_args, &async_out, &async_err), ==,
                   0);
  g_assert_cmpstr (async_out, ==, table);

  /* No rows: the header alone. */
  const char *none[] = { "SELECT Filename FROM Metadata WHERE Track = 99",
                         NULL };
  g_autofree gchar *none_out = NULL, *none_err = NULL;
  g_assert_cmpint (run_search (fx, none, &none_out, &none_err), ==, 0);
  g_assert_cmpstr (none_out, ==, "Filename\n");
  /* Every column in the query's order, duplicates and all-NULL columns
   * included. */
  const char *dup[] = { "SELECT Track, Title, Track, NULL AS Missing FROM "
                        "Metadata WHERE Filename = '/m/2.mp3'",
                        NULL };
  g_autofree gchar *dup_out = NULL, *dup_err = NULL;
  g_assert_cmpint (run_search (fx, dup, &dup_out, &dup_err), ==, 0);
  g_assert_cmpstr (dup_out, ==, "Track  Title  Track  Missing\n"
                                "   12            12  \n");
}

static void
test_json (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  const char *args[] = { "--json",
                         "SELECT Filename, Title, Track, Track / 8.0 AS R "
                         "FROM Metadata ORDER BY Filename",
                         NULL };
  g_autofree gchar *out = NULL, *err = NULL;
  g_assert_cmpint (run_search (fx, args, &out, &err), ==, 0);
  g_autoptr (JsonParser) parser = json_parser_new ();
  GError *error = NULL;
  g_assert_true (json_parser_load_from_data (parser, out, -1, &error));
  g_assert_no_error (error);
  JsonArray *rows = json_node_get_array (json_parser_get_root (parser));
  g_assert_cmpuint (json_array_get_length (rows), ==, 3);
  JsonObject *third = json_array_get_object_element (rows, 2);
  /* JSON carries the value exactly, TAB included. */
  g_assert_cmpstr (json_object_get_string_member (third, "Title"), ==,
                   "a\tb");
  JsonObject *second = json_array_get_object_element (rows, 1);
  /* NULL is null; integers and reals are numbers. */
  g_assert_true (json_object_get_null_member (second, "Title"));
  JsonNode *track = json_object_get_member (second, "Track");
  g_assert_cmpint (json_node_get_value_type (track), ==, G_TYPE_INT64);
  g_assert_cmpint (json_node_get_int (track), ==, 12);
  JsonNode *real = json_object_get_member (second, "R");
  g_assert_cmpint (json_node_get_value_type (real), ==, G_TYPE_DOUBLE);
  g_assert_cmpfloat (json_node_get_double (real), ==, 1.5);
  g_assert_true (json_object_get_null_member (third, "Track"));
}

static void
test_failures (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  const char *bad[] = { "SELECT Filename FROM Metdata", NULL };
  g_autofree gchar *out = NULL, *err = NULL;
  g_assert_cmpint (run_search (fx, bad, &out, &err), ==, 1);
  g_assert_cmpstr (out, ==, "");
  g_assert_cmpstr (err, ==, "tessel: search: the query failed: no such "
                            "table: Metdata\n");
  /* Asynchronously too, with SQLite's reason. */
  const char *bad_async[] = { "--async", "SELECT Filename FROM Metdata",
                              NULL };
  g_autofree gchar *out4 = NULL, *err4 = NULL;
  g_assert_cmpint (run_search (fx, bad_async, &out4, &err4), ==, 1);
  g_assert_cmpstr (out4, ==, "");
  g_assert_cmpstr (err4, ==, "tessel: search: the query failed: no such "
                             "table: Metdata\n");

  const char *missing[] = { NULL };
  g_autofree gchar *out2 = NULL, *err2 = NULL;
  g_assert_cmpint (run_search (fx, missing, &out2, &err2), ==, 2);
  g_assert_true (g_str_has_prefix (err2, "tessel: "));

}

/* search prints rows: a statement that would write (or yields no rows) is
 * refused with one line before the library runs it, and the database
 * stays as it was. */
static const struct
{
  const char *name;
  const char *sql;
} writing_statements[] = {
  { "update", "UPDATE Metadata SET Title = 'x'" },
  { "delete", "DELETE FROM Metadata" },
  { "select-then-delete", "SELECT 1; DELETE FROM Metadata" },
  { "pragma-setting", "PRAGMA user_version = 7" },
  /* Would create the file; @DIR@ is the test's folder. */
  { "attach", "ATTACH '@DIR@/attached.db' AS a" },
  { "begin", "BEGIN" },
};

static void
test_refused (TesselFixture *fx, gconstpointer data)
{
  g_auto (GStrv) parts = g_strsplit (data, "@DIR@", -1);
  g_autofree gchar *sql = g_strjoinv (fx->dir, parts);
  for (int async = 0; async <= 1; async++)
    {
      const char *args[] = { async ? "--async" : sql, async ? sql : NULL,
                             NULL };
      g_autofree gchar *out = NULL, *err = NULL;
      g_assert_cmpint (run_search (fx, args, &out, &err), ==, 1);
      g_assert_cmpstr (out, ==, "");
      g_assert_true (g_str_has_prefix (err, "tessel: search: refused: '"));
      g_assert_true (g_str_has_suffix (err, "' is not a read-only query "
                                            "(search only prints rows)\n"));
      g_assert_true (strchr (err, '\n') == err + strlen (err) - 1);
    }
  g_autofree gchar *attached = g_build_filename (fx->dir, "attached.db", NULL);
  g_assert_false (g_file_test (attached, G_FILE_TEST_EXISTS));
  g_autofree gchar *rows = tessel_test_sql_text (
      fx->db, "SELECT COUNT(*) FROM Metadata WHERE Title IS NULL");
  g_assert_cmpstr (rows, ==, "1");
  g_autofree gchar *version
      = tessel_test_sql_text (fx->db, "PRAGMA user_version");
  g_assert_cmpstr (version, !=, "7");
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
  tool = tessel_test_tool_arg (argc, argv);
  g_test_add ("/tessel/search/table", TesselFixture, NULL, seed, test_table,
              tessel_fixture_teardown);
  g_test_add ("/tessel/search/json", TesselFixture, NULL, seed, test_json,
              tessel_fixture_teardown);
  g_test_add ("/tessel/search/failures", TesselFixture, NULL, seed,
              test_failures, tessel_fixture_teardown);
  for (gsize i = 0; i < G_N_ELEMENTS (writing_statements); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/tessel/search/refused/%s", writing_statements[i].name);
      g_test_add (path, TesselFixture, writing_statements[i].sql, seed,
                  test_refused, tessel_fixture_teardown);
    }
  return g_test_run ();
}
