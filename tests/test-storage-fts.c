/* The word index beside Metadata: the user's text as a query, the index
 * kept in step by every writer of the table, built for a database made
 * before it, and a connection whose SQLite cannot read it.  Linked with
 * the library's objects, for the query builder and the connection. */
#include <string.h>

#include <sqlite3.h>

#include "metadata_storage_fts-private.h"
#include "mp_library_store_database.h"
#include "tessel-test.h"

/* The library's one connection (internal to it). */
extern sqlite3 *storage_db;

#define STORE mp_library_store_database_get_instance ()

typedef struct
{
  const char *text, *expression;
} ExpressionCase;

static const ExpressionCase expression_cases[] = {
  { NULL, NULL },
  { "", NULL },
  { " \t\n ", NULL },
  { "!?.,;:-+*()[]{}^$#@&%/\\~`'", NULL },
  { "\"\"\"", NULL },
  { "\xcc\x81", NULL }, /* a combining mark alone */
  { "harb lig", "\"harb\"* \"lig\"*" },
  { "\"harb\" OR x*", "\"harb\"* \"OR\"* \"x\"*" },
  { "Title:harb NEAR(a b)", "\"Title\"* \"harb\"* \"NEAR\"* \"a\"* \"b\"*" },
  { "o'brien", "\"o\"* \"brien\"*" },
  { "Café", "\"Café\"*" },
  { "Bjo\xcc\x88rk", "\"Bjo\xcc\x88rk\"*" }, /* decomposed umlaut stays */
  { "東京_2", "\"東京\"* \"2\"*" },
  { "a\xff" "b", "\"a\"* \"b\"*" }, /* invalid UTF-8 separates */
};

static void
test_expression (gconstpointer data)
{
  const ExpressionCase *c = data;
  g_autofree gchar *got = storage_search_match_expression (c->text);
  g_assert_cmpstr (got, ==, c->expression);
}

/* The file names find gives for text, comma separated. */
static gchar *
found (const char *text)
{
  GError *error = NULL;
  GList *list = mp_library_store_database_find (STORE, text, &error);
  g_assert_no_error (error);
  GString *s = g_string_new (NULL);
  for (GList *l = list; l != NULL; l = l->next)
    g_string_append_printf (s, "%s%s", l == list ? "" : ",",
                            mp_media_resource_get_uri (l->data));
  g_list_free_full (list, g_object_unref);
  return g_string_free (s, FALSE);
}

#define ASSERT_FOUND(text, expected)                                          \
  do                                                                          \
    {                                                                         \
      g_autofree gchar *got_ = found (text);                                  \
      g_assert_cmpstr (got_, ==, expected);                                   \
    }                                                                         \
  while (0)

/* The index holds words of exactly the rows there are (none of a row gone,
 * every row with a word), and FTS5 finds it sound. */
static void
assert_in_step (TesselFixture *fx)
{
  tessel_test_sql (fx->db, "CREATE VIRTUAL TABLE IF NOT EXISTS IndexedWords "
                           "USING fts5vocab (MetadataSearch, 'instance')");
  g_autofree gchar *orphans = tessel_test_sql_text (
      fx->db, "SELECT count(*) FROM (SELECT doc FROM IndexedWords EXCEPT "
              "SELECT rowid FROM Metadata)");
  g_assert_cmpstr (orphans, ==, "0");
  g_autofree gchar *missing = tessel_test_sql_text (
      fx->db, "SELECT count(*) FROM (SELECT rowid FROM Metadata EXCEPT "
              "SELECT doc FROM IndexedWords)");
  g_assert_cmpstr (missing, ==, "0");
  tessel_test_sql (fx->db, "INSERT INTO MetadataSearch (MetadataSearch) "
                           "VALUES ('integrity-check')");
}

static void
store_song (const char *filename, const char *title)
{
  MetaItem *list = meta_list_append_text ("Filename", filename, NULL);
  list = meta_list_append_text ("Title", title, list);
  list = meta_list_append_text ("MIME", "audio/mpeg", list);
  g_assert_cmpint (storage_store (list, filename, 1), ==, 1);
  meta_free_list (&list);
}

/* Every way the library changes a row reaches the index. */
static void
test_in_step (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (storage_init (), ==, 1);
  store_song ("/media/mmc1/a.mp3", "Harbour Lights");
  store_song ("/media/mmc1/Östlich Song.ogg", "Other");
  ASSERT_FOUND ("harb", "/media/mmc1/a.mp3");
  ASSERT_FOUND ("ostl", "/media/mmc1/Östlich Song.ogg");
  ASSERT_FOUND ("media", ""); /* the file's name, not its folders */

  g_assert_cmpint (storage_write_text ("/media/mmc1/a.mp3", "Title",
                                       "Salt Water"),
                   ==, 1);
  ASSERT_FOUND ("harb", "");
  ASSERT_FOUND ("salt", "/media/mmc1/a.mp3");

  /* The card shows up under the other name: the row is renamed. */
  store_song ("/media/mmc2/a.mp3", "Salt Water");
  ASSERT_FOUND ("salt", "/media/mmc2/a.mp3");
  assert_in_step (fx);

  g_assert_cmpint (storage_clear_present ("/media/mmc2/a.mp3"), ==, 1);
  ASSERT_FOUND ("salt", "");
  g_assert_cmpint (storage_set_present ("/media/mmc2/a.mp3"), ==, 1);
  ASSERT_FOUND ("salt", "/media/mmc2/a.mp3");

  g_assert_cmpint (
      storage_delete_by_key ("Title", tessel_test_text_value ("Salt Water")),
      ==, 1);
  ASSERT_FOUND ("salt", "");
  assert_in_step (fx);

  /* The trim removes the absent row. */
  g_assert_cmpint (storage_clear_present ("/media/mmc1/Östlich Song.ogg"), ==,
                   1);
  storage_vacuum (0);
  g_autofree gchar *rows
      = tessel_test_sql_text (fx->db, "SELECT count(*) FROM Metadata");
  g_assert_cmpstr (rows, ==, "0");
  assert_in_step (fx);

  /* Another process writing the table directly. */
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename, Artist, Present) "
                           "VALUES ('/x/1.mp3', 'Ñandú', 1)");
  ASSERT_FOUND ("nandu", "/x/1.mp3");
  assert_in_step (fx);
}

/* A file made before the index: its rows become findable on open, and the
 * table Metadata is not touched. */
static void
test_existing_database (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (storage_init (), ==, 1);
  storage_close ();
  tessel_test_sql (fx->db, "DROP TRIGGER MetadataSearchInsert; DROP TRIGGER "
                           "MetadataSearchDelete; DROP TRIGGER "
                           "MetadataSearchUpdate; DROP TABLE MetadataSearch");
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename, Title, Present) "
                           "VALUES ('/m/1.mp3', 'Harbour Lights', 1), "
                           "('/m/2.mp3', 'Café', 1)");
  const char *schema_sql
      = "SELECT group_concat(type || ' ' || name || ' ' || ifnull(sql, ''), "
        "'; ') FROM sqlite_master WHERE tbl_name = 'Metadata' AND type != "
        "'trigger'";
  g_autofree gchar *before = tessel_test_sql_text (fx->db, schema_sql);

  g_assert_cmpint (storage_init (), ==, 1);
  ASSERT_FOUND ("harb lig", "/m/1.mp3");
  ASSERT_FOUND ("cafe", "/m/2.mp3");
  assert_in_step (fx);
  g_autofree gchar *after = tessel_test_sql_text (fx->db, schema_sql);
  g_assert_cmpstr (after, ==, before);
}

/* A file whose triggers marked a group of rows in the pending table
 * itself, as an earlier version made them: the open gives it today's
 * triggers and the words of every row, also of rows that the old triggers
 * indexed. */
static void
test_earlier_group_mark (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (storage_init (), ==, 1);
  storage_close ();
  tessel_test_sql (
      fx->db,
      "DROP TABLE IF EXISTS MetadataWordsGroup; DROP TRIGGER "
      "MetadataSearchInsert; "
      "CREATE TRIGGER MetadataSearchInsert AFTER INSERT ON Metadata BEGIN "
      "INSERT INTO MetadataSearch (rowid, Title, Artist, Album, Genre, Name) "
      "SELECT new.rowid, new.Title, new.Artist, new.Album, new.Genre, '' "
      "WHERE NOT EXISTS (SELECT 1 FROM MetadataPendingWords); INSERT INTO "
      "MetadataPendingWords (remove, docid, Title) SELECT 0, new.rowid, "
      "new.Title WHERE EXISTS (SELECT 1 FROM MetadataPendingWords); END; "
      "INSERT INTO Metadata (Filename, Title, Present) VALUES ('/m/1.mp3', "
      "'Harbour Lights', 1)");

  g_assert_cmpint (storage_init (), ==, 1);
  g_autofree gchar *marked = tessel_test_sql_text (
      fx->db, "SELECT count(*) FROM sqlite_master WHERE type = 'trigger' AND "
              "sql LIKE '%MetadataWordsGroup%'");
  g_assert_cmpstr (marked, ==, "3");
  ASSERT_FOUND ("harb lig", "/m/1.mp3");
  store_song ("/m/2.mp3", "Salt Water");
  ASSERT_FOUND ("salt", "/m/2.mp3");
  assert_in_step (fx);
}

/* The same file opened read-only: it opens and lists as before, finding
 * fails with the store's error, and nothing is added to it. */
static void
test_read_only_existing (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (storage_init (), ==, 1);
  storage_close ();
  /* The table dropped by hand leaves triggers that fail every insertion;
   * opening again removes them (or builds the index anew). */
  tessel_test_sql (fx->db, "DROP TABLE MetadataSearch");
  g_assert_cmpint (storage_init (), ==, 1);
  store_song ("/m/0.mp3", "Harbour Days");
  ASSERT_FOUND ("harb", "/m/0.mp3");
  storage_close ();
  tessel_test_sql (fx->db, "DROP TRIGGER MetadataSearchInsert; DROP TRIGGER "
                           "MetadataSearchDelete; DROP TRIGGER "
                           "MetadataSearchUpdate; DROP TABLE MetadataSearch; "
                           "INSERT INTO Metadata (Filename, Title, MIME, "
                           "Present) VALUES ('/m/1.mp3', 'Harbour', "
                           "'audio/mpeg', 1)");
  g_autofree gchar *uri = g_strdup_printf ("file:%s?mode=ro", fx->db);
  storage_set_path (uri);
  g_assert_cmpint (storage_init (), ==, 1);

  GError *error = NULL;
  GList *songs = mp_library_store_database_get_songs (STORE, &error);
  g_assert_no_error (error);
  g_assert_cmpuint (g_list_length (songs), ==, 2);
  g_list_free_full (songs, g_object_unref);
  g_assert_null (mp_library_store_database_find (STORE, "harb", &error));
  g_assert_error (error, g_quark_from_string ("Could not connect to media "
                                              "database"),
                  -1);
  g_clear_error (&error);
  g_autofree gchar *objects = tessel_test_sql_text (
      fx->db, "SELECT count(*) FROM sqlite_master WHERE name LIKE "
              "'MetadataSearch%'");
  g_assert_cmpstr (objects, ==, "0");
}

/* A connection whose SQLite has no FTS5 (its modules dropped): the
 * triggers go, so that the table stays writable; find
 * fails with the store's error; the next open with FTS5 builds the index
 * again, with the rows written meanwhile. */
static void
test_without_fts5 (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (storage_init (), ==, 1);
  store_song ("/m/1.mp3", "Harbour Lights");
  g_assert_cmpint (storage_close (), ==, SQLITE_OK);
  /* Opened as storage_init opens it, with the modules gone before the
   * schema is read (dropping a module that is in use is not allowed). */
  g_assert_cmpint (sqlite3_open (fx->db, &storage_db), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_drop_modules (storage_db, NULL), ==, SQLITE_OK);

  g_assert_false (storage_ensure_search_index ());
  g_autofree gchar *triggers = tessel_test_sql_text (
      fx->db, "SELECT count(*) FROM sqlite_master WHERE type = 'trigger'");
  g_assert_cmpstr (triggers, ==, "0");
  store_song ("/m/2.mp3", "Harbour Days");
  g_assert_cmpint (storage_write_text ("/m/1.mp3", "Title", "Salt"), ==, 1);
  GError *error = NULL;
  g_assert_null (mp_library_store_database_find (STORE, "harb", &error));
  g_assert_error (error, g_quark_from_string ("Could not connect to media "
                                              "database"),
                  -1);
  g_clear_error (&error);
  g_assert_cmpint (storage_close (), ==, SQLITE_OK);

  g_assert_cmpint (storage_init (), ==, 1);
  ASSERT_FOUND ("harb", "/m/2.mp3");
  ASSERT_FOUND ("salt", "/m/1.mp3");
  assert_in_step (fx);
}

/* Damage to the index's blocks, and whether the library has the database
 * open while it happens (then the search meets it) or not (then the next
 * open meets it). */
typedef struct
{
  const char *damage;
  gboolean while_open;
} DamageCase;

static const DamageCase damage_cases[] = {
  /* Leaf blocks zeroed: the index finds nothing at all. */
  { "UPDATE MetadataSearch_data SET block = zeroblob(length(block)) WHERE "
    "id > 10",
    FALSE },
  /* The list of segments unreadable: no statement can even open the index. */
  { "UPDATE MetadataSearch_data SET block = X'0102030405060708090a0b0c' "
    "WHERE id = 10",
    FALSE },
  { "DELETE FROM MetadataSearch_data WHERE id = 10", FALSE },
  /* Leaf blocks overwritten behind the library's back: searching fails. */
  { "UPDATE MetadataSearch_data SET block = randomblob(length(block)) WHERE "
    "id > 10",
    TRUE },
};

/* A damaged index is rebuilt from the table, with a warning, where it is
 * met, and finds the rows again. */
static void
test_damaged_index (TesselFixture *fx, gconstpointer data)
{
  const DamageCase *c = data;
  g_assert_cmpint (storage_init (), ==, 1);
  store_song ("/m/a.mp3", "Harbour Lights");
  store_song ("/m/b.mp3", "Salt Road");
  store_song ("/m/c.mp3", "Harbour Wall");
  if (!c->while_open)
    storage_close ();
  tessel_test_sql (fx->db, c->damage);

  g_test_expect_message ("tessel", G_LOG_LEVEL_WARNING,
                         "The word index of the database */meta_storage was "
                         "damaged; it has been rebuilt from the table "
                         "Metadata");
  if (!c->while_open)
    g_assert_cmpint (storage_init (), ==, 1);
  ASSERT_FOUND ("harb", "/m/c.mp3,/m/a.mp3");
  g_test_assert_expected_messages ();
  ASSERT_FOUND ("salt", "/m/b.mp3");
  assert_in_step (fx);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
  for (guint i = 0; i < G_N_ELEMENTS (expression_cases); i++)
    {
      g_autofree gchar *path
          = g_strdup_printf ("/storage/fts/expression/%u", i);
      g_test_add_data_func (path, &expression_cases[i], test_expression);
    }
  TESSEL_TEST_ADD ("/storage/fts/in-step-with-every-writer", test_in_step);
  TESSEL_TEST_ADD ("/storage/fts/existing-database-indexed-on-open",
                   test_existing_database);
  TESSEL_TEST_ADD ("/storage/fts/earlier-group-mark-replaced",
                   test_earlier_group_mark);
  TESSEL_TEST_ADD ("/storage/fts/read-only-existing-database",
                   test_read_only_existing);
  TESSEL_TEST_ADD ("/storage/fts/without-fts5-table-stays-writable",
                   test_without_fts5);
  for (guint i = 0; i < G_N_ELEMENTS (damage_cases); i++)
    {
      g_autofree gchar *path
          = g_strdup_printf ("/storage/fts/damaged-index-rebuilt/%u", i);
      g_test_add (path, TesselFixture, &damage_cases[i], tessel_fixture_setup,
                  test_damaged_index, tessel_fixture_teardown);
    }
  return g_test_run ();
}
