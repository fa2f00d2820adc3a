/* The habits of the tessel command: --version, help, typo suggestions,
 * options before the command, first-run messages, reading commands that
 * never create a database, canonical folders, display-width tables, the
 * one sort order, and prune. */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tessel-test.h"

static const char *tool; /* path of the tessel program, from argv */

static gboolean
one_line (const gchar *text)
{
  return g_str_has_suffix (text, "\n")
         && strchr (text, '\n') == text + strlen (text) - 1;
}

static void
test_version (void)
{
  const char *args[] = { "--version", NULL };
  TesselRun r = tessel_test_run (tool, args, NULL);
  g_assert_cmpint (r.status, ==, 0);
  g_assert_true (g_str_has_prefix (r.out, "tessel "));
  g_assert_true (one_line (r.out));
  g_assert_true (g_ascii_isdigit (r.out[strlen ("tessel ")]));
  tessel_run_clear (&r);
}

static void
test_command_help (void)
{
  static const char *const commands[]
      = { "init",   "index",  "ls",        "prune",    "extract",
          "search", "songs",  "albums",    "artists",  "genres",
          "videos", "played", "playlists", "unplayed", "added",
          "stats",  "radio" };
  for (gsize i = 0; i < G_N_ELEMENTS (commands); i++)
    {
      const char *args[] = { commands[i], "--help", NULL };
      TesselRun r = tessel_test_run (tool, args, NULL);
      g_assert_cmpint (r.status, ==, 0);
      g_autofree gchar *usage
          = g_strdup_printf ("Usage: tessel %s [OPTION…]", commands[i]);
      g_assert_true (g_str_has_prefix (r.out, usage));
      g_assert_nonnull (strstr (r.out, "--database"));
      tessel_run_clear (&r);
    }
}

/* A command's help asked for before it or through "help": the command's
 * own, not the general one; an unknown name is a usage error. */
static const struct
{
  const char *args[3];
  gint status;
  const char *out_prefix; /* NULL: nothing on stdout */
} help_forms[] = {
  { { "--help", "ls", NULL }, 0, "Usage: tessel ls [OPTION…]" },
  { { "-h", "radio", NULL }, 0, "Usage: tessel radio [OPTION…]" },
  { { "help", "songs", NULL }, 0, "Usage: tessel songs [OPTION…]" },
  { { "--help", NULL, NULL }, 0, "Usage: tessel COMMAND" },
  { { "help", NULL, NULL }, 0, "Usage: tessel COMMAND" },
  { { "--help", "lss", NULL }, 2, NULL },
};

static void
test_help_for_command (gconstpointer data)
{
  gsize i = GPOINTER_TO_SIZE (data);
  TesselRun r = tessel_test_run (tool, help_forms[i].args, NULL);
  g_assert_cmpint (r.status, ==, help_forms[i].status);
  if (help_forms[i].out_prefix != NULL)
    g_assert_true (g_str_has_prefix (r.out, help_forms[i].out_prefix));
  else
    {
      g_assert_cmpstr (r.out, ==, "");
      g_assert_nonnull (strstr (r.err, "did you mean 'ls'"));
    }
  tessel_run_clear (&r);
}

/* Without --database the database is .meta_storage in the home folder of
 * whoever runs the program. */
static void
test_default_database_in_home (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *home_var = g_strconcat ("HOME=", fx->dir, NULL);
  const gchar *argv[] = { "/usr/bin/env", home_var, tool, "init", NULL };
  g_autofree gchar *err = NULL;
  g_assert_cmpint (tessel_test_spawn (argv, NULL, &err), ==, 0);
  g_assert_cmpstr (err, ==, "");
  g_autofree gchar *db = g_build_filename (fx->dir, ".meta_storage", NULL);
  g_assert_true (g_file_test (db, G_FILE_TEST_IS_REGULAR));

  /* The help names the same default. */
  const gchar *help[] = { "/usr/bin/env", home_var, tool, "--help", "init", NULL };
  g_autofree gchar *out = NULL;
  g_assert_cmpint (tessel_test_spawn (help, &out, NULL), ==, 0);
  g_assert_nonnull (strstr (out, "(default: ~/.meta_storage)"));
}

static const struct
{
  const char *typed;
  const char *suggestion; /* NULL: none */
} typos[] = {
  { "lss", "ls" },         { "serch", "search" }, { "indx", "index" },
  { "ablums", "albums" },  { "sogns", "songs" },  { "xyzzy", NULL },
  { "--verbose", NULL },
};

static void
test_typo_suggestion (gconstpointer data)
{
  const gsize i = GPOINTER_TO_SIZE (data);
  const char *args[] = { typos[i].typed, NULL };
  TesselRun r = tessel_test_run (tool, args, NULL);
  g_assert_cmpint (r.status, ==, 2);
  g_assert_cmpstr (r.out, ==, "");
  g_assert_true (g_str_has_prefix (r.err, "tessel: "));
  g_assert_true (one_line (r.err));
  if (typos[i].suggestion != NULL)
    {
      g_autofree gchar *hint
          = g_strdup_printf ("did you mean '%s'?", typos[i].suggestion);
      g_assert_nonnull (strstr (r.err, hint));
    }
  else
    g_assert_null (strstr (r.err, "did you mean"));
  tessel_run_clear (&r);
}

/* --database and --config before the command, in both spellings. */
static void
test_options_before_command (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *db_eq = g_strconcat ("--database=", fx->db, NULL);
  const char *init[] = { "--database", fx->db, "init", NULL };
  TesselRun r = tessel_test_run (tool, init, NULL);
  g_assert_cmpint (r.status, ==, 0);
  g_assert_true (g_file_test (fx->db, G_FILE_TEST_IS_REGULAR));
  tessel_run_clear (&r);
  const char *ls[] = { db_eq, "ls", "--json", NULL };
  r = tessel_test_run (tool, ls, NULL);
  g_assert_cmpint (r.status, ==, 0);
  g_assert_cmpstr (r.out, ==, "[]\n");
  tessel_run_clear (&r);
  const char *dangling[] = { "--database", NULL };
  r = tessel_test_run (tool, dangling, NULL);
  g_assert_cmpint (r.status, ==, 2);
  tessel_run_clear (&r);
}

/* Reading commands on a database that is not there: one line, status 1,
 * and no file left behind. */
static void
test_missing_database (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  static const char *const reading[][3]
      = { { "ls", NULL, NULL },          { "songs", NULL, NULL },
          { "genres", "--json", NULL },  { "stats", NULL, NULL },
          { "played", NULL, NULL },      { "prune", "--yes", NULL },
          { "search", "SELECT 1", NULL } };
  g_autofree gchar *typo = g_build_filename (fx->dir, "nope.db", NULL);
  g_autofree gchar *expected = g_strdup_printf (
      "no database at '%s' (tessel index creates one)\n", typo);
  for (gsize i = 0; i < G_N_ELEMENTS (reading); i++)
    {
      const char *args[] = { reading[i][0], "--database", typo,
                             reading[i][1], reading[i][2], NULL };
      TesselRun r = tessel_test_run (tool, args, NULL);
      g_assert_cmpint (r.status, ==, 1);
      g_assert_cmpstr (r.out, ==, "");
      g_autofree gchar *prefix
          = g_strdup_printf ("tessel: %s: ", reading[i][0]);
      g_assert_true (g_str_has_prefix (r.err, prefix));
      g_assert_true (g_str_has_suffix (r.err, expected));
      g_assert_false (g_file_test (typo, G_FILE_TEST_EXISTS));
      tessel_run_clear (&r);
    }
  /* Creating commands still create it. */
  const char *init[] = { "init", "--database", typo, NULL };
  TesselRun r = tessel_test_run (tool, init, NULL);
  g_assert_cmpint (r.status, ==, 0);
  g_assert_true (g_file_test (typo, G_FILE_TEST_IS_REGULAR));
  tessel_run_clear (&r);
}

/* No readable configuration: one line naming it and the way out. */
static void
test_missing_configuration (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *song = tessel_fixture_write (fx, "a.ogg", "x");
  static const char *const commands[] = { "index", "extract" };
  for (gsize i = 0; i < G_N_ELEMENTS (commands); i++)
    {
      /* fx->conf has not been written. */
      const char *args[] = { commands[i], "--database", fx->db,
                             "--config",  fx->conf,     song,
                             NULL };
      TesselRun r = tessel_test_run (tool, args, NULL);
      g_assert_cmpint (r.status, ==, 1);
      g_assert_true (one_line (r.err));
      g_autofree gchar *named
          = g_strdup_printf ("cannot read configuration '%s'", fx->conf);
      g_assert_nonnull (strstr (r.err, named));
      g_assert_nonnull (strstr (r.err, "--config FILE"));
      g_assert_nonnull (strstr (r.err, "install"));
      tessel_run_clear (&r);
    }
  g_assert_false (g_file_test (fx->db, G_FILE_TEST_EXISTS));

  /* A configuration that maps none of the files: nothing was tried. */
  g_free (tessel_fixture_write (fx, "metadata_lib.conf", "xyz libfakeok\n"));
  const char *args[] = { "index", "--database", fx->db, "--config", fx->conf,
                         fx->dir, NULL };
  TesselRun r = tessel_test_run (tool, args, NULL);
  g_assert_cmpint (r.status, ==, 1);
  g_assert_nonnull (strstr (r.err, "maps to a plug-in"));
  tessel_run_clear (&r);
}

/* The rows' file names, sorted, one a line (g_free it). */
static gchar *
stored_names (TesselFixture *fx)
{
  return tessel_test_sql_text (
      fx->db, "SELECT group_concat (Filename, '\n') FROM "
              "(SELECT Filename FROM Metadata ORDER BY Filename)");
}

/* A folder indexed through a link gives the rows of the folder itself; a
 * link named like a memory card keeps the card's name. */
static void
test_folder_through_link (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_free (tessel_fixture_write (fx, "metadata_lib.conf", "aaa libfakeok\n"));
  g_autofree gchar *real = g_build_filename (fx->dir, "music", NULL);
  g_assert_cmpint (g_mkdir (real, 0700), ==, 0);
  g_free (tessel_fixture_write (fx, "music/a.aaa", "a"));
  g_free (tessel_fixture_write (fx, "music/b.aaa", "b"));
  g_autofree gchar *link = g_build_filename (fx->dir, "link", NULL);
  g_assert_cmpint (symlink ("music", link), ==, 0);

  /* Through the link (and a trailing "/."), then the folder itself. */
  g_autofree gchar *via = g_build_filename (link, ".", NULL);
  const char *first[] = { "index", "--database", fx->db, "--config",
                          fx->conf, via, NULL };
  TesselRun r = tessel_test_run (tool, first, NULL);
  g_assert_cmpint (r.status, ==, 0);
  g_assert_true (g_str_has_prefix (r.out, "2 seen, 2 indexed"));
  tessel_run_clear (&r);
  const char *second[] = { "index", "--database", fx->db, "--config",
                           fx->conf, real, NULL };
  r = tessel_test_run (tool, second, NULL);
  g_assert_cmpint (r.status, ==, 0);
  g_assert_true (g_str_has_prefix (r.out, "2 seen, 0 indexed, 2 unchanged"));
  tessel_run_clear (&r);

  char *resolved = realpath (real, NULL);
  g_autofree gchar *expected
      = g_strdup_printf ("%s/a.aaa\n%s/b.aaa", resolved, resolved);
  free (resolved);
  g_autofree gchar *names = stored_names (fx);
  g_assert_cmpstr (names, ==, expected);

  /* A card's name is how rows follow the card: it is kept. */
  g_autofree gchar *card = g_build_filename (fx->dir, "mmc1", NULL);
  g_assert_cmpint (symlink ("music", card), ==, 0);
  tessel_test_sql (fx->db, "DELETE FROM Metadata");
  const char *on_card[] = { "index", "--database", fx->db, "--config",
                            fx->conf, card, NULL };
  r = tessel_test_run (tool, on_card, NULL);
  g_assert_cmpint (r.status, ==, 0);
  tessel_run_clear (&r);
  g_autofree gchar *card_names = stored_names (fx);
  g_autofree gchar *card_expected
      = g_strdup_printf ("%s/a.aaa\n%s/b.aaa", card, card);
  g_assert_cmpstr (card_names, ==, card_expected);
}

static void
seed (TesselFixture *fx, const char *values)
{
  g_assert_cmpint (storage_init (), ==, 1);
  storage_close ();
  g_autofree gchar *sql = g_strconcat (
      "INSERT INTO Metadata (Filename, Title, Present) VALUES ", values,
      NULL);
  tessel_test_sql (fx->db, sql);
}

/* Wide and combining characters take the columns they show in; names sort
 * without regard to case. */
static void
test_display_width_and_order (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  /* "東京 café": two wide characters, an e with a combining accent. */
  seed (fx, "('/m/\xe6\x9d\xb1\xe4\xba\xac cafe\xcc\x81.ogg', 'Tokyo', 1), "
            "('/m/b.ogg', 'Bee', 1), ('/m/A.ogg', 'Aaa', 1), "
            "('/m/C.ogg', 'Cee', 1)");
  const char *args[] = { "ls", "--database", fx->db, NULL };
  TesselRun r = tessel_test_run (tool, args, NULL);
  g_assert_cmpint (r.status, ==, 0);
  g_assert_cmpstr (r.out, ==,
                   "FILE              TITLE  ARTIST  ALBUM  LENGTH\n"
                   "/m/A.ogg          Aaa                   \n"
                   "/m/b.ogg          Bee                   \n"
                   "/m/C.ogg          Cee                   \n"
                   "/m/\xe6\x9d\xb1\xe4\xba\xac cafe\xcc\x81.ogg  Tokyo"
                   "                 \n");
  tessel_run_clear (&r);
}

static gchar *
count_rows (TesselFixture *fx, const char *where)
{
  g_autofree gchar *sql
      = g_strconcat ("SELECT COUNT(*) FROM Metadata WHERE ", where, NULL);
  return tessel_test_sql_text (fx->db, sql);
}

static void
test_prune (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  seed (fx, "('/m/gone1.ogg', 'G1', 0), ('/m/here.ogg', 'H', 1), "
            "('/m/gone2.ogg', 'G2', 0)");
  const char *count[] = { "prune", "--database", fx->db, NULL };
  TesselRun r = tessel_test_run (tool, count, NULL);
  g_assert_cmpint (r.status, ==, 0);
  g_assert_true (g_str_has_prefix (r.out, "2 absent rows"));
  g_assert_nonnull (strstr (r.out, "--yes"));
  tessel_run_clear (&r);
  g_autofree gchar *kept = count_rows (fx, "Present = 0");
  g_assert_cmpstr (kept, ==, "2");

  const char *yes[] = { "prune", "--yes", "--database", fx->db, NULL };
  r = tessel_test_run (tool, yes, NULL);
  g_assert_cmpint (r.status, ==, 0);
  g_assert_cmpstr (r.out, ==, "2 absent rows removed\n");
  tessel_run_clear (&r);
  g_autofree gchar *absent = count_rows (fx, "Present = 0");
  g_assert_cmpstr (absent, ==, "0");
  g_autofree gchar *present = count_rows (fx, "Present = 1");
  g_assert_cmpstr (present, ==, "1");

  /* Nothing left to remove. */
  r = tessel_test_run (tool, count, NULL);
  g_assert_cmpstr (r.out, ==, "0 absent rows\n");
  tessel_run_clear (&r);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
  tool = tessel_test_tool_arg (argc, argv);
  g_test_add_func ("/tool/cli/version", test_version);
  g_test_add_func ("/tool/cli/command-help-usage", test_command_help);
  for (gsize i = 0; i < G_N_ELEMENTS (help_forms); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/tool/cli/help-for-command/%s-%s", help_forms[i].args[0],
          help_forms[i].args[1] != NULL ? help_forms[i].args[1] : "none");
      g_test_add_data_func (path, GSIZE_TO_POINTER (i),
                            test_help_for_command);
    }
  TESSEL_TEST_ADD ("/tool/cli/default-database-in-home",
                   test_default_database_in_home);
  for (gsize i = 0; i < G_N_ELEMENTS (typos); i++)
    {
      g_autofree gchar *path
          = g_strdup_printf ("/tool/cli/typo/%s", typos[i].typed);
      g_test_add_data_func (path, GSIZE_TO_POINTER (i), test_typo_suggestion);
    }
  TESSEL_TEST_ADD ("/tool/cli/options-before-command",
                   test_options_before_command);
  TESSEL_TEST_ADD ("/tool/cli/missing-database-not-created",
                   test_missing_database);
  TESSEL_TEST_ADD ("/tool/cli/missing-configuration",
                   test_missing_configuration);
  TESSEL_TEST_ADD ("/tool/cli/folder-through-link",
                   test_folder_through_link);
  TESSEL_TEST_ADD ("/tool/cli/display-width-and-order",
                   test_display_width_and_order);
  TESSEL_TEST_ADD ("/tool/cli/prune", test_prune);
  return g_test_run ();
}
