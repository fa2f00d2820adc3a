/* The tessel command end to end: `tessel index` over a folder of real
 * media, run again, after a removal, and `tessel ls`; and its errors. */
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <utime.h>

#include <glib/gstdio.h>
#include <json-glib/json-glib.h>

#include "tessel-media.h"
#include "tessel-test.h"

/* Runs the built tessel with args (NULL-terminated) and the fixture's
 * database and configuration. */
static TesselRun
tessel (TesselFixture *fx, const gchar *first, ...)
{
  const gchar *const tail[]
      = { "--database", fx->db, "--config", fx->conf, NULL };
  g_autofree gchar *tool = tessel_test_tool_path ();
  va_list rest;
  va_start (rest, first);
  TesselRun run = tessel_test_run_valist (tool, tail, first, rest);
  va_end (rest);
  return run;
}

/* The last line of text (g_free it). */
static gchar *
last_line (const gchar *text)
{
  g_auto (GStrv) lines = g_strsplit (text, "\n", -1);
  guint n = g_strv_length (lines);
  while (n > 0 && lines[n - 1][0] == '\0')
    n--;
  return n > 0 ? g_strdup (lines[n - 1]) : g_strdup ("");
}

/* The summary counts "N seen, N indexed, ..." of a run's output. */
typedef struct
{
  guint seen, indexed, unchanged, skipped, absent;
} Summary;

static Summary
summary_of (const TesselRun *r)
{
  g_autofree gchar *line = last_line (r->out);
  Summary s = { 0, 0, 0, 0, 0 };
  gint matched = sscanf (line,
                         "%u seen, %u indexed, %u unchanged, %u skipped, %u "
                         "marked absent,",
                         &s.seen, &s.indexed, &s.unchanged, &s.skipped,
                         &s.absent);
  if (matched != 5)
    g_error ("unexpected summary line: %s", line);
  return s;
}

/* Copies the generated media into the fixture's folder music/, plus a file
 * no plug-in takes; returns the folder (g_free it) and the media count. */
static gchar *
make_music_folder (TesselFixture *fx, guint *media)
{
  gchar *music = g_build_filename (fx->dir, "music", NULL);
  g_assert_cmpint (g_mkdir (music, 0700), ==, 0);
  *media = tessel_media_make (music);
  g_autofree gchar *notes = g_build_filename (music, "notes.txt", NULL);
  g_assert_true (g_file_set_contents (notes, "not media", -1, NULL));
  return music;
}

static const gchar media_conf[]
    = "ogg libbrisel_gst\nogv libbrisel_gst\nmp3 libbrisel_gst\n"
      "flac libbrisel_gst\nwav libbrisel_gst\nm3u libbrisel_gst\n";

/* The media folder as make_music_folder makes it, under the media
 * configuration; NULL, with the test skipped, when one of the samples
 * named (up to a NULL) could not be made. */
#define make_media_with(fx, media, ...)                                      \
  make_media_with_ (fx, media, (const gchar *const[]){ __VA_ARGS__, NULL })

static gchar *
make_media_with_ (TesselFixture *fx, guint *media,
                  const gchar *const *samples)
{
  g_free (tessel_fixture_write (fx, "metadata_lib.conf", media_conf));
  g_autofree gchar *music = make_music_folder (fx, media);
  for (; *samples != NULL; samples++)
    {
      g_autofree gchar *path = g_build_filename (music, *samples, NULL);
      if (!g_file_test (path, G_FILE_TEST_EXISTS))
        {
          g_test_skip_printf ("%s could not be made", *samples);
          return NULL;
        }
    }
  return g_steal_pointer (&music);
}

static void
test_index_rerun_and_removal (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_free (tessel_fixture_write (fx, "metadata_lib.conf", media_conf));
  guint media = 0;
  g_autofree gchar *music = make_music_folder (fx, &media);
  g_assert_cmpuint (media, >=, 2);

  TesselRun first = tessel (fx, "index", music, NULL);
  g_assert_cmpint (first.status, ==, 0);
  Summary s = summary_of (&first);
  g_assert_cmpuint (s.seen, ==, media + 1);
  g_assert_cmpuint (s.indexed, ==, media);
  g_assert_cmpuint (s.unchanged, ==, 0);
  g_assert_cmpuint (s.skipped, ==, 1);
  g_assert_cmpuint (s.absent, ==, 0);
  /* Not a terminal: progress comes as plain lines on stderr. */
  g_assert_nonnull (strstr (first.err, "files/s"));
  g_assert_null (strchr (first.err, '\r'));
  tessel_run_clear (&first);

  g_autofree gchar *rows = tessel_test_sql_text (
      fx->db, "SELECT count(*) FROM Metadata WHERE Present = 1");
  g_assert_cmpint (atoi (rows), ==, media);

  TesselRun again = tessel (fx, "index", music, NULL);
  g_assert_cmpint (again.status, ==, 0);
  s = summary_of (&again);
  g_assert_cmpuint (s.indexed, ==, 0);
  g_assert_cmpuint (s.unchanged, ==, media);
  g_assert_cmpuint (s.absent, ==, 0);
  tessel_run_clear (&again);

  /* A removed file is marked absent, once. */
  g_autofree gchar *removed = g_build_filename (music, "plain.ogg", NULL);
  if (!g_file_test (removed, G_FILE_TEST_EXISTS))
    {
      g_test_skip ("plain.ogg could not be made");
      return;
    }
  g_assert_cmpint (g_unlink (removed), ==, 0);
  TesselRun after = tessel (fx, "index", music, NULL);
  g_assert_cmpint (after.status, ==, 0);
  s = summary_of (&after);
  g_assert_cmpuint (s.unchanged, ==, media - 1);
  g_assert_cmpuint (s.absent, ==, 1);
  tessel_run_clear (&after);
  g_autofree gchar *sql = g_strdup_printf (
      "SELECT Present FROM Metadata WHERE Filename = '%s'", removed);
  g_autofree gchar *present = tessel_test_sql_text (fx->db, sql);
  g_assert_cmpstr (present, ==, "0");

  TesselRun once_more = tessel (fx, "index", music, NULL);
  s = summary_of (&once_more);
  g_assert_cmpuint (s.absent, ==, 0);
  tessel_run_clear (&once_more);

  /* Only rows below the folder are judged: not a sibling whose name
   * begins the same, byte for byte. */
  g_autofree gchar *seed = g_strdup_printf (
      "INSERT INTO Metadata (Filename, Present) VALUES ('%s/it''s gone.mp3', "
      "1), ('%s0/gone.mp3', 1), ('%s-other/gone.mp3', 1), ('%s.mp3', 1)",
      music, music, music, music);
  tessel_test_sql (fx->db, seed);
  TesselRun siblings = tessel (fx, "index", music, NULL);
  s = summary_of (&siblings);
  g_assert_cmpuint (s.absent, ==, 1);
  tessel_run_clear (&siblings);
  g_autofree gchar *still = tessel_test_sql_text (
      fx->db, "SELECT group_concat(Present, '') FROM Metadata WHERE Filename "
              "LIKE '%gone.mp3' OR Filename LIKE '%music.mp3'");
  g_assert_cmpstr (still, ==, "0111");

  /* A changed file is indexed again. */
  g_autofree gchar *playlist = g_build_filename (music, "list.m3u", NULL);
  g_assert_true (g_file_set_contents (playlist, "#EXTM3U\n# changed\n", -1,
                                      NULL));
  TesselRun changed = tessel (fx, "index", music, NULL);
  s = summary_of (&changed);
  g_assert_cmpuint (s.indexed, ==, 1);
  tessel_run_clear (&changed);
}

/* Re-indexing judges every file from the rows read for the folder: one
 * case per change made between two runs over three files, in a folder of
 * a plain name and in one named like a memory card. */
typedef struct
{
  const gchar *name;
  const gchar *folder;
  const gchar *sql;   /* run on the row of b.mp3, "%s" its name; or NULL */
  gint64 touch;       /* seconds added to b.mp3's modification time */
  guint indexed, unchanged;
} RejudgeCase;

static const RejudgeCase rejudge_cases[] = {
  { "unchanged", "lib", NULL, 0, 0, 3 },
  { "time-changed", "lib", NULL, 100, 1, 2 },
  { "size-differs", "lib",
    "UPDATE Metadata SET Filesize = Filesize + 1 WHERE Filename = '%s'", 0,
    1, 2 },
  /* Only the low 32 bits of both columns count. */
  { "wide-values", "lib",
    "UPDATE Metadata SET Filesize = Filesize + 4294967296, "
    "LastModification = LastModification + 4294967296 WHERE Filename = '%s'",
    0, 0, 3 },
  /* A size that is no integer is no size. */
  { "real-size", "lib",
    "UPDATE Metadata SET Filesize = Filesize + 0.5 WHERE Filename = '%s'", 0,
    1, 2 },
  { "back-after-absent", "lib",
    "UPDATE Metadata SET Present = 0 WHERE Filename = '%s'", 0, 0, 3 },
  { "card-unchanged", "mmc1", NULL, 0, 0, 3 },
  { "card-back-after-absent", "mmc2",
    "UPDATE Metadata SET Present = 0 WHERE Filename = '%s'", 0, 0, 3 },
};

/* A file that grows while the plug-in reads it was still indexed: its row
 * holds the size from before the reading, so the next run reads it
 * again, and this run neither fails nor says it could not be stored. */
static void
test_file_grows_while_read (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_free (tessel_fixture_write (fx, "metadata_lib.conf", "mp3 libfakegrows\n"));
  g_autofree gchar *media = g_build_filename (fx->dir, "media", NULL);
  g_assert_cmpint (g_mkdir (media, 0700), ==, 0);
  g_autofree gchar *song = tessel_fixture_write (fx, "media/a.mp3", "a\n");
  for (int run = 1; run <= 2; run++)
    {
      TesselRun r = tessel (fx, "index", media, NULL);
      g_assert_cmpint (r.status, ==, 0);
      g_assert_null (strstr (r.err, "could not be stored"));
      g_assert_cmpuint (summary_of (&r).indexed, ==, 1);
      tessel_run_clear (&r);
      g_autofree gchar *sql = g_strdup_printf (
          "SELECT Filesize FROM Metadata WHERE Filename = '%s'", song);
      g_autofree gchar *size = tessel_test_sql_text (fx->db, sql);
      g_assert_cmpstr (size, ==, run == 1 ? "2" : "7");
    }
}

static void
use_fake_plugin (TesselFixture *fx)
{
  g_free (tessel_fixture_write (fx, "metadata_lib.conf", "mp3 libfakeok\n"));
}

/* The Present value of the row of name, as text ("" for none). */
static gchar *
present_of (TesselFixture *fx, const gchar *name)
{
  g_autofree gchar *sql = g_strdup_printf (
      "SELECT Present FROM Metadata WHERE Filename = '%s'", name);
  gchar *present = tessel_test_sql_text (fx->db, sql);
  return present != NULL ? present : g_strdup ("");
}

static void
test_rejudge (TesselFixture *fx, gconstpointer data)
{
  const RejudgeCase *c = data;
  use_fake_plugin (fx);
  g_autofree gchar *folder = g_build_filename (fx->dir, c->folder, NULL);
  g_assert_cmpint (g_mkdir (folder, 0700), ==, 0);
  g_autofree gchar *b = g_build_filename (folder, "b.mp3", NULL);
  for (const gchar *const *n = (const gchar *const[]){ "a", "b", "c", NULL };
       *n != NULL; n++)
    {
      g_autofree gchar *name = g_strdup_printf ("%s/%s.mp3", folder, *n);
      g_assert_true (g_file_set_contents (name, *n, -1, NULL));
    }
  TesselRun first = tessel (fx, "index", folder, NULL);
  g_assert_cmpint (first.status, ==, 0);
  g_assert_cmpuint (summary_of (&first).indexed, ==, 3);
  tessel_run_clear (&first);

  if (c->sql != NULL)
    {
      g_autofree gchar *sql = g_strdup_printf (c->sql, b);
      tessel_test_sql (fx->db, sql);
    }
  if (c->touch != 0)
    {
      GStatBuf st;
      g_assert_cmpint (g_stat (b, &st), ==, 0);
      struct utimbuf times = { st.st_atime, st.st_mtime + c->touch };
      g_assert_cmpint (g_utime (b, &times), ==, 0);
    }

  TesselRun again = tessel (fx, "index", folder, NULL);
  g_assert_cmpint (again.status, ==, 0);
  Summary s = summary_of (&again);
  g_assert_cmpuint (s.seen, ==, 3);
  g_assert_cmpuint (s.indexed, ==, c->indexed);
  g_assert_cmpuint (s.unchanged, ==, c->unchanged);
  g_assert_cmpuint (s.skipped, ==, 0);
  g_assert_cmpuint (s.absent, ==, 0);
  tessel_run_clear (&again);
  g_autofree gchar *present = present_of (fx, b);
  g_assert_cmpstr (present, ==, "1");
  g_autofree gchar *rows
      = tessel_test_sql_text (fx->db, "SELECT count(*) FROM Metadata");
  g_assert_cmpstr (rows, ==, "3");
}

/* A file on one card whose row still carries the other card's name (the
 * card was mounted under the other name before) takes that row over. */
static void
test_card_swapped_row (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  use_fake_plugin (fx);
  g_autofree gchar *card = g_build_filename (fx->dir, "mmc2", NULL);
  g_autofree gchar *song = g_build_filename (card, "song.mp3", NULL);
  g_autofree gchar *old = g_build_filename (fx->dir, "mmc1", "song.mp3",
                                            NULL);
  g_assert_cmpint (g_mkdir (card, 0700), ==, 0);
  g_assert_true (g_file_set_contents (song, "song", -1, NULL));
  /* The library makes the table on its first open. */
  TesselRun empty = tessel (fx, "index", fx->dir, NULL);
  tessel_run_clear (&empty);
  g_autofree gchar *seed = g_strdup_printf (
      "DELETE FROM Metadata; INSERT INTO Metadata (Filename, Title, Present, "
      "Filesize, LastModification) VALUES ('%s', 'kept', 1, 4, 0)",
      old);
  tessel_test_sql (fx->db, seed);

  TesselRun moved = tessel (fx, "index", card, NULL);
  g_assert_cmpint (moved.status, ==, 0);
  Summary s = summary_of (&moved);
  g_assert_cmpuint (s.indexed, ==, 1);
  g_assert_cmpuint (s.skipped, ==, 0);
  tessel_run_clear (&moved);
  g_autofree gchar *rows
      = tessel_test_sql_text (fx->db, "SELECT count(*) FROM Metadata");
  g_assert_cmpstr (rows, ==, "1");
  g_autofree gchar *present = present_of (fx, song);
  g_assert_cmpstr (present, ==, "1");
}

/* A name longer than a row's name can be is named as too long, with the
 * limit, counted skipped and fails the run; the other files are indexed,
 * and nothing is blamed on the plug-in. */
static void
test_name_too_long (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  use_fake_plugin (fx);
  g_autofree gchar *folder = g_build_filename (fx->dir, "lib", NULL);
  g_assert_cmpint (g_mkdir (folder, 0700), ==, 0);
  g_autofree gchar *fits = g_build_filename (folder, "a.mp3", NULL);
  g_assert_true (g_file_set_contents (fits, "a", -1, NULL));
  gsize room = 256 - strlen (folder) - strlen ("/.mp3");
  g_autofree gchar *base = g_strnfill (room, 'x');
  g_autofree gchar *long_name = g_strdup_printf ("%s/%s.mp3", folder, base);
  g_assert_cmpuint (strlen (long_name), ==, 256);
  g_assert_true (g_file_set_contents (long_name, "b", -1, NULL));

  TesselRun run = tessel (fx, "index", folder, NULL);
  g_assert_cmpint (run.status, ==, 1);
  g_autofree gchar *named = g_strdup_printf (
      "tessel: index: name too long to store (256 bytes, at most 255): "
      "'%s'\n",
      long_name);
  g_assert_nonnull (strstr (run.err, named));
  g_assert_nonnull (strstr (run.err, "1 files not indexed: their names are "
                                     "longer than the 255 bytes"));
  g_assert_null (strstr (run.err, "could not be stored"));
  Summary s = summary_of (&run);
  g_assert_cmpuint (s.seen, ==, 2);
  g_assert_cmpuint (s.indexed, ==, 1);
  g_assert_cmpuint (s.skipped, ==, 1);
  tessel_run_clear (&run);
  g_autofree gchar *rows
      = tessel_test_sql_text (fx->db, "SELECT count(*) FROM Metadata");
  g_assert_cmpstr (rows, ==, "1");
}

/* Whether `tessel find text` lists name. */
static gboolean
find_lists (TesselFixture *fx, const gchar *text, const gchar *name)
{
  TesselRun run = tessel (fx, "find", text, NULL);
  g_assert_cmpint (run.status, ==, 0);
  gboolean listed = strstr (run.out, name) != NULL;
  tessel_run_clear (&run);
  return listed;
}

/* A tagged song replaced by an untagged one loses every old tag on the
 * next run, in its row and in what find finds, and keeps the play count
 * an application wrote. */
static void
test_retagged_file (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  guint media = 0;
  g_autofree gchar *music
      = make_media_with (fx, &media, "tagged.ogg", "plain.ogg");
  if (music == NULL)
    return;
  g_autofree gchar *tagged = g_build_filename (music, "tagged.ogg", NULL);
  g_autofree gchar *plain = g_build_filename (music, "plain.ogg", NULL);
  TesselRun first = tessel (fx, "index", music, NULL);
  g_assert_cmpint (first.status, ==, 0);
  tessel_run_clear (&first);
  g_autofree gchar *sql = g_strdup_printf (
      "ALTER TABLE Metadata ADD PlayCount int(12); UPDATE Metadata SET "
      "PlayCount = 3 WHERE Filename = '%s'",
      tagged);
  tessel_test_sql (fx->db, sql);
  g_assert_true (find_lists (fx, "ogg artist", tagged));

  gchar *untagged = NULL;
  gsize length = 0;
  g_assert_true (g_file_get_contents (plain, &untagged, &length, NULL));
  g_assert_true (g_file_set_contents (tagged, untagged, length, NULL));
  g_free (untagged);
  struct utimbuf later = { 2000000000, 2000000000 };
  g_assert_cmpint (g_utime (tagged, &later), ==, 0);
  TesselRun again = tessel (fx, "index", music, NULL);
  g_assert_cmpint (again.status, ==, 0);
  g_assert_cmpuint (summary_of (&again).indexed, ==, 1);
  tessel_run_clear (&again);

  g_autofree gchar *row_sql = g_strdup_printf (
      "SELECT quote(Title) || ' ' || quote(Artist) || ' ' || quote(Album) "
      "|| ' ' || quote(Genre) || ' ' || quote(Year) || ' ' || quote(Track) "
      "|| ' ' || quote(PlayCount) FROM Metadata WHERE Filename = '%s'",
      tagged);
  g_autofree gchar *row = tessel_test_sql_text (fx->db, row_sql);
  g_assert_cmpstr (row, ==, "'tagged.ogg' NULL NULL NULL NULL NULL 3");
  g_assert_false (find_lists (fx, "ogg artist", tagged));
  g_assert_false (find_lists (fx, "ogg album", tagged));
}

static void
test_ls_table (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  guint media = 0;
  g_autofree gchar *music = make_media_with (fx, &media, "tagged.ogg");
  if (music == NULL)
    return;
  g_autofree gchar *tagged = g_build_filename (music, "tagged.ogg", NULL);
  TesselRun indexed = tessel (fx, "index", music, NULL);
  g_assert_cmpint (indexed.status, ==, 0);
  tessel_run_clear (&indexed);

  TesselRun ls = tessel (fx, "ls", NULL);
  g_assert_cmpint (ls.status, ==, 0);
  g_auto (GStrv) lines = g_strsplit (ls.out, "\n", -1);
  g_assert_cmpuint (g_strv_length (lines), ==, media + 2);
  g_assert_true (g_str_has_prefix (lines[0], "FILE"));
  /* Every column starts where the header's does. */
  const gchar *title_at = strstr (lines[0], "TITLE");
  const gchar *length_at = strstr (lines[0], "LENGTH");
  g_assert_nonnull (title_at);
  g_assert_nonnull (length_at);
  gsize title_col = title_at - lines[0];
  gsize length_col = length_at - lines[0];
  gboolean found = FALSE;
  for (guint i = 1; lines[i] != NULL && lines[i][0] != '\0'; i++)
    {
      g_assert_cmpuint (strlen (lines[i]), >=, title_col);
      if (!g_str_has_prefix (lines[i], tagged))
        continue;
      found = TRUE;
      g_assert_true (g_str_has_prefix (lines[i] + title_col, "Ogg Song "));
      /* Three seconds, give or take one. */
      g_assert_true (g_str_has_prefix (lines[i] + length_col, "0:00:0"));
      g_assert_cmpint (abs (lines[i][length_col + 6] - '3'), <=, 1);
      g_assert_nonnull (strstr (lines[i], "Ogg Artist"));
      g_assert_nonnull (strstr (lines[i], "Ogg Album"));
    }
  g_assert_true (found);
  /* Sorted by file name. */
  for (guint i = 2; lines[i] != NULL && lines[i][0] != '\0'; i++)
    g_assert_cmpint (strcmp (lines[i - 1], lines[i]), <, 0);
  tessel_run_clear (&ls);

  /* The same rows as JSON. */
  TesselRun json = tessel (fx, "ls", "--json", NULL);
  g_assert_cmpint (json.status, ==, 0);
  g_autoptr (JsonParser) parser = json_parser_new ();
  g_autoptr (GError) error = NULL;
  g_assert_true (json_parser_load_from_data (parser, json.out, -1, &error));
  g_assert_no_error (error);
  JsonArray *array = json_node_get_array (json_parser_get_root (parser));
  g_assert_cmpuint (json_array_get_length (array), ==, media);
  found = FALSE;
  for (guint i = 0; i < json_array_get_length (array); i++)
    {
      JsonObject *o = json_array_get_object_element (array, i);
      if (!g_str_equal (json_object_get_string_member (o, "file"), tagged))
        continue;
      found = TRUE;
      g_assert_cmpstr (json_object_get_string_member (o, "title"), ==,
                       "Ogg Song");
      g_assert_cmpint (abs ((int) json_object_get_int_member (o, "length")
                            - 3),
                       <=, 1);
      g_assert_true (json_object_get_boolean_member (o, "present"));
    }
  g_assert_true (found);
  tessel_run_clear (&json);

  /* Absent rows only with --all. */
  g_assert_cmpint (g_unlink (tagged), ==, 0);
  TesselRun marked = tessel (fx, "index", music, NULL);
  tessel_run_clear (&marked);
  TesselRun present_only = tessel (fx, "ls", NULL);
  g_assert_null (strstr (present_only.out, tagged));
  tessel_run_clear (&present_only);
  TesselRun all = tessel (fx, "ls", "--all", NULL);
  g_autofree gchar *absent = g_strconcat (tagged, " (absent)", NULL);
  g_assert_nonnull (strstr (all.out, absent));
  tessel_run_clear (&all);
}

static void
test_errors (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_free (tessel_fixture_write (fx, "metadata_lib.conf", media_conf));

  TesselRun missing = tessel (fx, "index", "/no/such/folder", NULL);
  g_assert_cmpint (missing.status, ==, 1);
  g_assert_true (g_str_has_prefix (missing.err,
                                   "tessel: index: cannot read '/no/such/folder'"));
  tessel_run_clear (&missing);

  TesselRun no_path = tessel (fx, "index", NULL);
  g_assert_cmpint (no_path.status, ==, 2);
  tessel_run_clear (&no_path);

  TesselRun bad_batch = tessel (fx, "index", "--batch", "0", fx->dir, NULL);
  g_assert_cmpint (bad_batch.status, ==, 2);
  tessel_run_clear (&bad_batch);

  TesselRun extra = tessel (fx, "ls", "surplus", NULL);
  g_assert_cmpint (extra.status, ==, 2);
  tessel_run_clear (&extra);

  /* A file that is no database. */
  g_assert_true (g_file_set_contents (fx->db, "this is not a database", -1,
                                      NULL));
  TesselRun bad_db = tessel (fx, "ls", NULL);
  g_assert_cmpint (bad_db.status, ==, 1);
  g_assert_true (g_str_has_prefix (bad_db.err, "tessel: ls: cannot open database"));
  g_assert_cmpstr (bad_db.out, ==, "");
  tessel_run_clear (&bad_db);

  TesselRun help = tessel (fx, "index", "--help", NULL);
  g_assert_cmpint (help.status, ==, 0);
  g_assert_nonnull (strstr (help.out, "--batch"));
  g_assert_nonnull (strstr (help.out, "--database"));
  tessel_run_clear (&help);
}

typedef struct
{
  const gchar *name;
  const gchar *conf;
  const gchar *message; /* the last line on stderr */
} NotStoredCase;

/* Plug-ins that store nothing: the message names the library the
 * configuration gives and says what went wrong with it. */
static const NotStoredCase not_stored_cases[] = {
  { "plugin-missing", "ogg libnosuchplugin\n",
    "tessel: index: 1 of 1 files could not be stored: cannot load plug-in "
    "'libnosuchplugin.so.0': libnosuchplugin.so.0: cannot open shared "
    "object file: No such file or directory" },
  { "plugin-without-entry", "ogg libfakenoentry\n",
    "tessel: index: 1 of 1 files could not be stored: plug-in "
    "'libfakenoentry' has no get_metadata" },
  { "plugin-extracts-nothing", "ogg libfakenull\n",
    "tessel: index: 1 of 1 files could not be stored: the plug-in "
    "'libfakenull.so.0' extracts nothing from them" },
};

/* The files not stored count as skipped: every file seen is counted once,
 * as indexed, unchanged or skipped. */
static void
test_not_stored (TesselFixture *fx, gconstpointer data)
{
  const NotStoredCase *c = data;
  g_free (tessel_fixture_write (fx, "metadata_lib.conf", c->conf));
  g_autofree gchar *music = g_build_filename (fx->dir, "music", NULL);
  g_assert_cmpint (g_mkdir (music, 0700), ==, 0);
  g_autofree gchar *song = g_build_filename (music, "song.ogg", NULL);
  g_assert_true (g_file_set_contents (song, "not really ogg", -1, NULL));
  g_autofree gchar *notes = g_build_filename (music, "notes.txt", NULL);
  g_assert_true (g_file_set_contents (notes, "not media", -1, NULL));

  TesselRun run = tessel (fx, "index", music, NULL);
  g_assert_cmpint (run.status, ==, 1);
  /* After the progress lines. */
  g_autofree gchar *message = last_line (run.err);
  g_assert_cmpstr (message, ==, c->message);
  Summary s = summary_of (&run);
  g_assert_cmpuint (s.seen, ==, 2);
  g_assert_cmpuint (s.indexed, ==, 0);
  g_assert_cmpuint (s.unchanged, ==, 0);
  g_assert_cmpuint (s.skipped, ==, 2);
  tessel_run_clear (&run);
}

int
main (int argc, char **argv)
{
  tessel_media_use_own_registry ("test-tessel-index");
  g_test_init (&argc, &argv, NULL);
#define ADD TESSEL_TEST_ADD
  ADD ("/tessel/index/rerun-and-removal", test_index_rerun_and_removal);
  ADD ("/tessel/index/card-swapped-row", test_card_swapped_row);
  ADD ("/tessel/index/name-too-long", test_name_too_long);
  ADD ("/tessel/index/file-grows-while-read", test_file_grows_while_read);
  ADD ("/tessel/index/retagged-file-loses-old-tags", test_retagged_file);
  ADD ("/tessel/ls/aligned-table", test_ls_table);
  ADD ("/tessel/errors", test_errors);
#undef ADD
  for (gsize i = 0; i < G_N_ELEMENTS (rejudge_cases); i++)
    {
      g_autofree gchar *path = g_strdup_printf ("/tessel/index/rejudge/%s",
                                                rejudge_cases[i].name);
      g_test_add (path, TesselFixture, &rejudge_cases[i],
                  tessel_fixture_setup, test_rejudge,
                  tessel_fixture_teardown);
    }
  for (gsize i = 0; i < G_N_ELEMENTS (not_stored_cases); i++)
    {
      g_autofree gchar *path = g_strdup_printf (
          "/tessel/index/not-stored/%s", not_stored_cases[i].name);
      g_test_add (path, TesselFixture, &not_stored_cases[i],
                  tessel_fixture_setup, test_not_stored,
                  tessel_fixture_teardown);
    }
  return g_test_run ();
}
