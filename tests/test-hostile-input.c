/* Hostile configuration files, file names and values.  Names and values
 * holding any byte are stored and found again exactly, or refused
 * cleanly; no SQL is ever run from them; odd configuration lines give
 * their documented results. */
#include <stdlib.h>
#include <string.h>

#include <glib/gstdio.h>
#include <sqlite3.h>

#include "tessel-test.h"

static void
load_conf (TesselFixture *fx, const gchar *text, gssize len)
{
  g_assert_true (g_file_set_contents (fx->conf, text, len, NULL));
  meta_free_lib_conf ();
  config.max_file_sz = config.max_storage_limit = 0;
  meta_load_lib_conf ();
}

static gsize
table_size (void)
{
  gsize n = 0;
  while (config.libconf != NULL && config.libconf[n] != NULL)
    n++;
  return n;
}

static void
test_conf_empty_and_odd_lines (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  load_conf (fx, "", 0);
  g_assert_nonnull (config.libconf);
  g_assert_cmpuint (table_size (), ==, 0);
  g_assert_cmpint (meta_conf_get_max_file_sz (), ==, 5242880);
  g_assert_cmpint (meta_conf_get_max_storage_limit (), ==, 5000);

  /* A line without a separator is an entry matching nothing; a carriage
   * return stays part of the value; a NUL ends what is read of a line;
   * a value after several blanks keeps them. */
  static const char odd[] = "mp3\n"
                            "ogg libogg\r\n"
                            "wav \n"
                            "avi\0hidden libx\n"
                            "flac  libflac\n"
                            "aaa libfakeok\n";
  load_conf (fx, odd, sizeof odd - 1);
  g_assert_cmpuint (table_size (), ==, 6);
  g_assert_null (meta_get_libname ("/m/a.mp3"));
  g_assert_cmpint (meta_conf_has_recognized_extension ("/m/a.mp3"), ==, 0);
  g_autofree gchar *ogg = meta_get_libname ("/m/a.ogg");
  g_assert_cmpstr (ogg, ==, "libogg\r");
  g_assert_null (meta_get_libname ("/m/a.wav"));
  g_assert_cmpint (meta_conf_has_recognized_extension ("/m/a.wav"), ==, 1);
  g_assert_null (meta_get_libname ("/m/a.avi"));
  g_autofree gchar *flac = meta_get_libname ("/m/a.flac");
  g_assert_cmpstr (flac, ==, " libflac");
  g_autofree gchar *aaa = meta_get_libname ("/m/a.AAA");
  g_assert_cmpstr (aaa, ==, "libfakeok");
}

static void
test_conf_long_lines_and_repeats (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  /* 100,000 bytes without a newline, then a 300-byte extension, then
   * 5,000 entries for one extension: the first entry answers. */
  GString *text = g_string_new (NULL);
  for (int i = 0; i < 100000; i++)
    g_string_append_c (text, 'a' + i % 26);
  g_string_append_c (text, '\n');
  for (int i = 0; i < 300; i++)
    g_string_append_c (text, 'x');
  g_string_append (text, " libwide\n");
  for (int i = 0; i < 5000; i++)
    g_string_append_printf (text, "mp3 lib%d\n", i);
  g_string_append (text, "max_storage_limit 7\n");
  load_conf (fx, text->str, text->len);
  g_string_free (text, TRUE);

  g_autofree gchar *mp3 = meta_get_libname ("/m/a.MP3");
  g_assert_cmpstr (mp3, ==, "lib0");
  g_assert_cmpint (meta_conf_get_max_storage_limit (), ==, 7);
  /* Pieces of 255 bytes: 393 of the long line, two of the wide one, then
   * the entries. */
  g_assert_cmpuint (table_size (), ==, 393 + 2 + 5000);
  meta_reload_lib_conf ();
  g_assert_cmpuint (table_size (), ==, 393 + 2 + 5000);
}

/* A negative row limit counts as 0: every insertion first trims the
 * absent rows; present rows stay. */
static void
test_conf_negative_limit_trims (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  load_conf (fx, "max_storage_limit -2147483649\n", -1);
  g_assert_cmpint (meta_conf_get_max_storage_limit (), ==, G_MININT32);
  g_assert_cmpint (storage_init (), ==, 1);
  g_assert_cmpint (meta_add_url ("http://a"), ==, 1);
  g_assert_cmpint (meta_add_url ("http://b"), ==, 1);
  g_assert_cmpint (storage_clear_present ("http://a"), ==, 1);
  g_assert_cmpint (meta_add_url ("http://c"), ==, 1);
  g_assert_cmpint (storage_file_exists ("http://a", 0, NULL), ==, 0);
  g_assert_cmpint (storage_file_exists ("http://b", 0, NULL), ==, 1);
  g_assert_cmpint (storage_file_exists ("http://c", 0, NULL), ==, 1);
}

/* The fixture's database must still hold its table, with the rows. */
static void
assert_table_intact (TesselFixture *fx, int rows)
{
  g_autofree gchar *count = tessel_test_sql_text (
      fx->db, "SELECT count(*) FROM Metadata");
  g_assert_cmpint (atoi (count), ==, rows);
  g_autofree gchar *check = tessel_test_sql_text (fx->db,
                                                  "PRAGMA integrity_check");
  g_assert_cmpstr (check, ==, "ok");
}

typedef struct
{
  GPtrArray *names;
  gboolean ended;
} Found;

static void
collect (const gchar *filename, gchar **keys, gchar **values,
         gpointer user_data, gint id)
{
  (void) keys;
  (void) values;
  (void) id;
  Found *found = user_data;
  if (filename == NULL && keys == NULL)
    found->ended = TRUE;
  else if (filename != NULL)
    g_ptr_array_add (found->names, g_strdup (filename));
}

static gboolean
found_exactly (Found *found, const gchar *name)
{
  for (guint i = 0; i < found->names->len; i++)
    if (strcmp (found->names->pdata[i], name) == 0)
      return TRUE;
  return FALSE;
}

/* Files whose names hold every byte from 1 to 255 (but '/', which
 * separates folders) are
 * indexed through a plug-in and found again byte for byte: by the
 * existence test, the change test, key reads, a search and the file
 * list. */
static void
test_names_every_byte (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  load_conf (fx, "aaa libfakeok\n", -1);
  g_assert_cmpint (storage_init (), ==, 1);

  GPtrArray *names = g_ptr_array_new_with_free_func (g_free);
  GString *part = g_string_new (NULL);
  for (int b = 1; b <= 255; b++)
    {
      if (b != '/')
        g_string_append_c (part, (gchar) b);
      if (part->len == 80 || b == 255)
        {
          g_string_append (part, ".aaa");
          gchar *path = g_build_filename (fx->dir, part->str, NULL);
          g_assert_true (g_file_set_contents (path, "data", -1, NULL));
          g_ptr_array_add (names, path);
          g_string_truncate (part, 0);
        }
    }
  g_string_free (part, TRUE);
  /* A name of exactly 255 bytes is the longest a row can hold. */
  gsize room = 255 - strlen (fx->dir) - 1 - strlen (".aaa");
  gchar *filler = g_strnfill (room, 'n');
  gchar *longest = g_strconcat (fx->dir, "/", filler, ".aaa", NULL);
  g_free (filler);
  g_assert_cmpuint (strlen (longest), ==, 255);
  g_assert_true (g_file_set_contents (longest, "data", -1, NULL));
  g_ptr_array_add (names, longest);

  guint n = names->len;
  gchar **batch = g_new0 (gchar *, n + 1);
  for (guint i = 0; i < n; i++)
    batch[i] = names->pdata[i];
  g_assert_cmpint (meta_add_files_with_check (batch, n, NULL, 0), ==, 1);
  g_free (batch);

  Found found = { g_ptr_array_new_with_free_func (g_free), FALSE };
  g_assert_cmpint (storage_search_sync ("SELECT Filename FROM Metadata",
                                        collect, &found),
                   ==, 1);
  g_assert_true (found.ended);
  gchar **list = NULL;
  g_assert_cmpint (storage_get_file_list (&list), ==, 1);
  for (guint i = 0; i < n; i++)
    {
      const gchar *name = names->pdata[i];
      g_assert_cmpint (storage_file_exists (name, 0, NULL), ==, 1);
      gchar modified = 9, present = 9;
      g_assert_cmpint (meta_is_modified_or_new (name, &modified, &present),
                       ==, 1);
      g_assert_cmpint (modified, ==, 0);
      g_assert_cmpint (present, ==, 1);
      gchar *stored = NULL;
      g_assert_cmpint (storage_read_text (name, "Filename", &stored), ==, 1);
      g_assert_cmpmem (stored, strlen (stored), name, strlen (name));
      g_free (stored);
      g_assert_true (found_exactly (&found, name));
      g_assert_true (g_strv_contains ((const gchar *const *) list, name));
    }
  g_assert_cmpuint (found.names->len, ==, n);
  g_strfreev (list);
  g_ptr_array_free (found.names, TRUE);
  g_ptr_array_free (names, TRUE);
  assert_table_intact (fx, n);
}

/* Values with quotes, percent signs, backslashes, newlines, TABs, SQL and
 * invalid UTF-8 are written and read back byte for byte and never run;
 * keys that are no plain identifiers are refused before any SQL. */
static void
test_values_and_keys (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (storage_init (), ==, 1);
  static const char *const rows[] = { "/m/it's.mp3", "/m/100%.mp3",
                                      "/m/back\\slash.mp3", "/m/%s%n%d.mp3",
                                      "/m/tab\tnew\nline.mp3" };
  for (gsize i = 0; i < G_N_ELEMENTS (rows); i++)
    {
      MetaItem *list = meta_list_append_text ("Filename", rows[i], NULL);
      g_assert_cmpint (storage_store (list, rows[i], 1), ==, 1);
      meta_free_list (&list);
    }
  static const char *const values[] = {
    "it's \"live\"",
    "100% %s %n %d %%",
    "back\\slash \\' \\\"",
    "tab\there\nnew line\r\n",
    "'); DROP TABLE Metadata; --",
    "\"; DELETE FROM Metadata; --",
    "\xff\xfe\xc3( invalid \x80 utf-8",
    "Title",
    "MT_ARRAY|3|a|",
    "",
  };
  for (gsize r = 0; r < G_N_ELEMENTS (rows); r++)
    for (gsize v = 0; v < G_N_ELEMENTS (values); v++)
      {
        g_assert_cmpint (storage_write_text (rows[r], "Comment", values[v]),
                         ==, 1);
        gchar *back = NULL;
        g_assert_cmpint (storage_read_text (rows[r], "Comment", &back), ==,
                         1);
        g_assert_cmpstr (back, ==, values[v]);
        g_free (back);
        MetaValue element = { .type = META_TYPE_TEXT };
        g_strlcpy (element.value, values[v], sizeof element.value);
        g_assert_cmpint (storage_write_text (rows[r], "Tags", NULL), ==, 1);
        g_assert_cmpint (storage_write_text (rows[r], "Tags", "MT_ARRAY|3|"),
                         ==, 1);
        g_assert_cmpint (storage_write_array (rows[r], "Tags", -1, element),
                         ==, 1);
        gint index = 0;
        MetaType type;
        gchar area[META_VALUE_SIZE];
        g_assert_cmpint (storage_read_array (rows[r], "Tags", &index, area,
                                             &type),
                         ==, 1);
        /* Bars separate elements: inside one they are kept as blanks. */
        g_autofree gchar *element_text = g_strdelimit (g_strdup (values[v]),
                                                       "|", ' ');
        g_assert_cmpstr (area, ==, element_text);
      }
  assert_table_intact (fx, G_N_ELEMENTS (rows));

  /* A value equal to a column's name is text, not the column. */
  g_assert_cmpint (storage_write_text (rows[0], "Title", "Filename"), ==, 1);
  g_autofree gchar *title = tessel_test_sql_text (
      fx->db, "SELECT Title FROM Metadata WHERE Filename = '/m/it''s.mp3'");
  g_assert_cmpstr (title, ==, "Filename");

  static const char *const keys[] = {
    "Title; DROP TABLE Metadata", "Title = 1 --", "x y",   "",
    "Title\"",                    "1abc",         "Ti-tle", "Tï",
    "Title)",                     "*",
  };
  for (gsize k = 0; k < G_N_ELEMENTS (keys); k++)
    {
      g_assert_cmpint (storage_write_text (rows[0], keys[k], "x"), ==, 0);
      g_assert_cmpint (storage_write_int (rows[0], keys[k], 1), ==, 0);
      gchar *back = NULL;
      g_assert_cmpint (storage_read_text (rows[0], keys[k], &back), ==, 0);
      g_assert_cmpint (storage_get_key_type (rows[0], keys[k]), ==, 0);
      MetaValue v = { .type = META_TYPE_INTEGER };
      g_assert_cmpint (storage_delete_by_key (keys[k], v), ==, 0);
      MetaItem *list = meta_list_append_text ("Filename", rows[0], NULL);
      list = meta_list_append_int (keys[k], 1, list);
      g_assert_cmpint (storage_store (list, rows[0], 1), ==, 0);
      meta_free_list (&list);
    }
  assert_table_intact (fx, G_N_ELEMENTS (rows));
  g_autofree gchar *columns = tessel_test_sql_text (
      fx->db, "SELECT group_concat(name) FROM pragma_table_info('Metadata') "
              "WHERE name NOT GLOB '[A-Za-z_]*' OR name GLOB '*[^A-Za-z0-9_]*'");
  g_assert_null (columns);
}

/* Names longer than a row can hold -- 4,000 bytes, or 256 -- are refused:
 * no row appears under a name cut short, where it would stand for another
 * file.  Statements too long are not run; the row stays as it was. */
static void
test_names_too_long (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  load_conf (fx, "aaa libfakeok\n", -1);
  g_assert_cmpint (storage_init (), ==, 1);

  /* Real files some 400 and 4,000 bytes deep, in pairs that are the same
   * in their first 255 bytes. */
  GString *path = g_string_new (fx->dir);
  GPtrArray *files = g_ptr_array_new_with_free_func (g_free);
  while (path->len < 3800)
    {
      g_string_append_c (path, '/');
      for (int i = 0; i < 200; i++)
        g_string_append_c (path, 'd');
      g_assert_cmpint (g_mkdir (path->str, 0700), ==, 0);
      if (path->len < 300 || path->len >= 3800)
        for (int f = 0; f < 2; f++)
          {
            gchar *file = g_strdup_printf ("%s/%0150d.aaa", path->str, f);
            g_assert_true (g_file_set_contents (file, "data", -1, NULL));
            g_ptr_array_add (files, file);
          }
    }
  g_string_free (path, TRUE);
  g_assert_cmpuint (files->len, ==, 4);
  gchar *first = g_strdup (files->pdata[0]);
  gchar *second = g_strdup (files->pdata[3]);
  g_ptr_array_add (files, NULL);
  g_assert_cmpint (meta_add_files_with_check ((gchar **) files->pdata, 4,
                                              NULL, 0),
                   ==, 1);
  g_ptr_array_free (files, TRUE);
  assert_table_intact (fx, 0);
  gchar modified = 9, present = 9;
  g_assert_cmpint (meta_is_modified_or_new (first, &modified, &present), ==,
                   1);
  g_assert_cmpint (modified, ==, 1);

  gchar *url = g_strnfill (256, 'u');
  memcpy (url, "http://", 7);
  g_assert_cmpint (meta_add_url (url), ==, 0);
  g_assert_cmpint (meta_add_url_with_title_and_mime (url, "t", "m"), ==, 0);
  url[255] = '\0';
  g_assert_cmpint (meta_add_url (url), ==, 1);
  g_assert_cmpint (storage_file_exists (url, 0, NULL), ==, 1);
  g_assert_cmpint (storage_file_exists (first, 1, NULL), ==, 0);

  /* A value too long for one statement is refused, the old one kept. */
  g_assert_cmpint (storage_write_text (url, "Comment", "short"), ==, 1);
  gchar *huge = g_strnfill (4000, 'v');
  g_assert_cmpint (storage_write_text (url, "Comment", huge), ==, 0);
  gchar *back = NULL;
  g_assert_cmpint (storage_read_text (url, "Comment", &back), ==, 1);
  g_assert_cmpstr (back, ==, "short");
  g_free (back);
  assert_table_intact (fx, 1);
  g_free (huge);
  g_free (url);
  g_free (first);
  g_free (second);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
#define ADD TESSEL_TEST_ADD
  ADD ("/hostile/conf/empty-and-odd-lines", test_conf_empty_and_odd_lines);
  ADD ("/hostile/conf/long-lines-and-repeats",
       test_conf_long_lines_and_repeats);
  ADD ("/hostile/conf/negative-limit-trims", test_conf_negative_limit_trims);
  ADD ("/hostile/names/every-byte", test_names_every_byte);
  ADD ("/hostile/names/values-and-keys", test_values_and_keys);
  ADD ("/hostile/names/too-long", test_names_too_long);
  return g_test_run ();
}
