/* Indexing through plug-ins: sorting, the loader and its cache, progress
 * calls, stream URLs and the modified-or-new test.  The fake plug-ins of
 * tests/plugins are found through LD_LIBRARY_PATH. */
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include "tessel-test.h"

/* Extension table every test starts from. */
static const gchar fake_conf[]
    = "aaa libfakeok\n"
      "bbb LIBFAKEOK\n"
      "ccc libFakeOk\n"
      "nul libfakenull\n"
      "noe libfakenoentry\n"
      "mis libdoesnotexist\n"
      "l24 libfake_exactly_24_chars\n"
      "l25 libfake_twenty_five_chars\n"
      "zok libfakeok\n"
      "tag libfaketags\n";

static void
open_with_fakes (TesselFixture *fx)
{
  g_free (tessel_fixture_write (fx, "metadata_lib.conf", fake_conf));
  g_assert_cmpint (meta_init (), ==, 1);
}

/* The stored text of a column for a file, or NULL (g_free it). */
static gchar *
column (TesselFixture *fx, const gchar *col, const gchar *filename)
{
  g_autofree gchar *sql = g_strdup_printf (
      "SELECT %s FROM Metadata WHERE Filename = '%s'", col, filename);
  return tessel_test_sql_text (fx->db, sql);
}

/* Makes a small file of each name in the fixture's folder; returns the
 * full names as a NULL-terminated batch (g_strfreev it).  Indexing takes
 * only files that are there. */
static gchar **
files_in (TesselFixture *fx, const gchar *const *names)
{
  GPtrArray *batch = g_ptr_array_new ();
  for (; *names != NULL; names++)
    g_ptr_array_add (batch, tessel_fixture_write (fx, *names, "data"));
  g_ptr_array_add (batch, NULL);
  return (gchar **) g_ptr_array_free (batch, FALSE);
}

#define FILES_IN(fx, ...) files_in (fx, (const gchar *const[]){ __VA_ARGS__, NULL })

static gint
row_count (TesselFixture *fx)
{
  g_autofree gchar *n = tessel_test_sql_text (fx->db,
                                              "SELECT count(*) FROM Metadata");
  return atoi (n);
}

static void
test_refuses_empty_batch (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_fakes (fx);
  gchar *files[] = { (gchar *) "/m/b.aaa", (gchar *) "/m/a.aaa", NULL };
  g_assert_cmpint (meta_add_files_with_check (NULL, 2, NULL, 0), ==, 0);
  g_assert_cmpint (meta_add_files_with_check (files, 0, NULL, 0), ==, 0);
  g_assert_cmpstr (files[0], ==, "/m/b.aaa");
  g_assert_cmpstr (files[1], ==, "/m/a.aaa");
  g_assert_cmpint (row_count (fx), ==, 0);
}

static void
test_sorts_by_extension (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_fakes (fx);
  gchar *files[] = { (gchar *) "/m/b.MP3", (gchar *) "/m/a.avi",
                     (gchar *) "/m/c", NULL };
  g_assert_cmpint (meta_add_files_with_check (files, 3, NULL, 0), ==, 1);
  g_assert_cmpstr (files[0], ==, "/m/c");
  g_assert_cmpstr (files[1], ==, "/m/a.avi");
  g_assert_cmpstr (files[2], ==, "/m/b.MP3");
  g_assert_null (files[3]);

  /* Case is ignored, names without a dot come first, and a dot in a
   * folder name does not make an extension of the rest. */
  gchar *more[] = { (gchar *) "/m/z.Bbb", (gchar *) "/x.d/noext",
                    (gchar *) "/m/y.AAA", (gchar *) "/m/w.ccc",
                    (gchar *) "/m/v", NULL };
  g_assert_cmpint (meta_add_files_with_check (more, 5, NULL, 0), ==, 1);
  g_assert_cmpstr (more[0], ==, "/m/v");
  g_assert_cmpstr (more[1], ==, "/m/y.AAA");
  g_assert_cmpstr (more[2], ==, "/m/z.Bbb");
  g_assert_cmpstr (more[3], ==, "/m/w.ccc");
  g_assert_cmpstr (more[4], ==, "/x.d/noext");
}

static void
test_stores_rows_with_attributes (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_fakes (fx);
  g_autofree gchar *song = tessel_fixture_write (fx, "song.aaa", "12345");
  gchar *files[] = { song, NULL };
  g_assert_cmpint (meta_add_files_with_check (files, 1, NULL, 0), ==, 1);

  g_autofree gchar *title = column (fx, "Title", song);
  g_autofree gchar *artist = column (fx, "Artist", song);
  g_autofree gchar *size = column (fx, "Filesize", song);
  g_autofree gchar *present = column (fx, "Present", song);
  g_autofree gchar *modified = column (fx, "LastModification", song);
  g_assert_cmpstr (title, ==, "call 1");
  g_assert_cmpstr (artist, ==, "libfakeok");
  g_assert_cmpstr (size, ==, "5");
  g_assert_cmpstr (present, ==, "1");
  struct stat st;
  g_assert_cmpint (stat (song, &st), ==, 0);
  g_assert_cmpint (atoll (modified), ==, (gint64) st.st_mtime);
}

/* Library names that differ only in case share one loaded plug-in: the
 * upper-case names exist on no disk, so their rows can only come from the
 * plug-in already open, whose call counter keeps counting. */
static void
test_plugin_reused_across_case (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_fakes (fx);
  g_auto (GStrv) files = FILES_IN (fx, "3.ccc", "1.aaa", "2.bbb");
  g_assert_cmpint (meta_add_files_with_check (files, 3, NULL, 0), ==, 1);
  g_autofree gchar *t1 = column (fx, "Title", files[0]);
  g_autofree gchar *t2 = column (fx, "Title", files[1]);
  g_autofree gchar *t3 = column (fx, "Title", files[2]);
  g_assert_cmpstr (t1, ==, "call 1");
  g_assert_cmpstr (t2, ==, "call 2");
  g_assert_cmpstr (t3, ==, "call 3");
}

/* A change of library closes the open plug-in: coming back to it loads it
 * afresh, and a name that matches it only in case can no longer be
 * loaded. */
static void
test_plugin_switch_closes (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_fakes (fx);
  g_auto (GStrv) files = FILES_IN (fx, "3.zok", "2.l24", "1.aaa");
  g_assert_cmpint (meta_add_files_with_check (files, 3, NULL, 0), ==, 1);
  g_autofree gchar *t1 = column (fx, "Title", files[0]);
  g_autofree gchar *a2 = column (fx, "Artist", files[1]);
  g_autofree gchar *t3 = column (fx, "Title", files[2]);
  g_assert_cmpstr (t1, ==, "call 1");
  g_assert_cmpstr (a2, ==, "libfake_exactly_24_chars");
  g_assert_cmpstr (t3, ==, "call 1");

  /* Nothing stays cached between batches. */
  g_auto (GStrv) again = FILES_IN (fx, "5.aaa");
  g_assert_cmpint (meta_add_files_with_check (again, 1, NULL, 0), ==, 1);
  g_autofree gchar *t5 = column (fx, "Title", again[0]);
  g_assert_cmpstr (t5, ==, "call 1");

  g_auto (GStrv) upper_first = FILES_IN (fx, "6.bbb");
  g_assert_cmpint (meta_add_files_with_check (upper_first, 1, NULL, 0), ==,
                   1);
  g_autofree gchar *t6 = column (fx, "Title", upper_first[0]);
  g_assert_null (t6);
}

/* Broken plug-ins cost only their own files. */
static void
test_broken_plugins_skipped (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_fakes (fx);
  g_auto (GStrv) made = FILES_IN (fx, "a.mis", "b.noe", "c.nul", "d.l25",
                                  "e.zzz", "f.aaa");
  gchar *files[] = { made[0], made[1], made[2], made[3], made[4],
                     (gchar *) "", made[5], NULL };
  g_assert_cmpint (meta_add_files_with_check (files, 7, NULL, 0), ==, 1);
  g_assert_cmpint (row_count (fx), ==, 1);
  g_autofree gchar *title = column (fx, "Title", made[5]);
  g_assert_cmpstr (title, ==, "call 1");
}

/* The 30-byte name buffer: 24 characters load, 25 lose the suffix. */
static void
test_plugin_name_length (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_fakes (fx);
  g_auto (GStrv) files = FILES_IN (fx, "a.l24", "b.l25");
  g_assert_cmpint (meta_add_files_with_check (files, 2, NULL, 0), ==, 1);
  g_autofree gchar *fits = column (fx, "Artist", files[0]);
  g_autofree gchar *cut = column (fx, "Filename", files[1]);
  g_assert_cmpstr (fits, ==, "libfake_exactly_24_chars");
  g_assert_null (cut);
}

typedef struct
{
  gint calls;
  gchar **files;
  gint count;
  gint user_data;
  gboolean same_arguments;
  gint rows_seen[2]; /* the table's rows at the first two calls */
} ProgressLog;

static ProgressLog progress_log;
static TesselFixture *progress_fixture;

static void
record_progress (gchar **files, gint count, gint user_data)
{
  if (progress_log.calls == 0)
    {
      progress_log.files = files;
      progress_log.count = count;
      progress_log.user_data = user_data;
      progress_log.same_arguments = TRUE;
    }
  else if (files != progress_log.files || count != progress_log.count
           || user_data != progress_log.user_data)
    progress_log.same_arguments = FALSE;
  /* Read through a connection of its own: rows still in an open write
   * transaction would not count. */
  if (progress_fixture != NULL && progress_log.calls < 2)
    progress_log.rows_seen[progress_log.calls] = row_count (progress_fixture);
  progress_log.calls++;
}

/* A batch of n files "PREFIXNNN.aaa" made in the fixture's folder, with
 * the last one's extension given. */
static gchar **
make_batch (TesselFixture *fx, const gchar *prefix, gint n,
            const gchar *last_ext)
{
  gchar **files = g_new0 (gchar *, n + 1);
  for (gint i = 0; i < n; i++)
    {
      g_autofree gchar *name = g_strdup_printf (
          "%s%03d.%s", prefix, i, i == n - 1 ? last_ext : "aaa");
      files[i] = tessel_fixture_write (fx, name, "data");
    }
  return files;
}

static void
test_progress_every_25 (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_fakes (fx);

  memset (&progress_log, 0, sizeof progress_log);
  g_auto (GStrv) fifty = make_batch (fx, "m", 50, "aaa");
  progress_fixture = fx;
  g_assert_cmpint (meta_add_files_with_check (fifty, 50, record_progress, 7),
                   ==, 1);
  progress_fixture = NULL;
  g_assert_cmpint (progress_log.calls, ==, 2);
  /* Rows are stored in groups, but what progress reports is stored. */
  g_assert_cmpint (progress_log.rows_seen[0], ==, 25);
  g_assert_cmpint (progress_log.rows_seen[1], ==, 50);
  g_assert_true (progress_log.same_arguments);
  g_assert_true (progress_log.files == fifty);
  g_assert_cmpint (progress_log.count, ==, 50);
  g_assert_cmpint (progress_log.user_data, ==, 7);
  g_assert_cmpint (row_count (fx), ==, 50);

  /* The 25th entry has no plug-in: no call. */
  memset (&progress_log, 0, sizeof progress_log);
  g_auto (GStrv) unmapped = make_batch (fx, "m", 25, "zzz");
  meta_add_files_with_check (unmapped, 25, record_progress, 0);
  g_assert_cmpint (progress_log.calls, ==, 0);

  /* The 25th entry reached extraction, even if it gave no list. */
  memset (&progress_log, 0, sizeof progress_log);
  g_auto (GStrv) empty_list = make_batch (fx, "n", 25, "nul");
  progress_fixture = fx;
  meta_add_files_with_check (empty_list, 25, record_progress, 0);
  progress_fixture = NULL;
  g_assert_cmpint (progress_log.calls, ==, 1);
  /* The 24 rows before it, in a group not full yet, are stored already,
   * beside the 50 above. */
  g_assert_cmpint (progress_log.rows_seen[0], ==, 74);

  /* No call for a short batch, and no final call. */
  memset (&progress_log, 0, sizeof progress_log);
  g_auto (GStrv) short_batch = make_batch (fx, "m", 24, "aaa");
  meta_add_files_with_check (short_batch, 24, record_progress, 0);
  g_assert_cmpint (progress_log.calls, ==, 0);
}

static void
test_add_url (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_fakes (fx);
  g_assert_cmpint (meta_add_url (NULL), ==, 0);
  g_assert_cmpint (meta_add_url_with_title_and_mime (NULL, "t", "m"), ==, 0);
  g_assert_cmpint (row_count (fx), ==, 0);

  g_assert_cmpint (meta_add_url ("http://radio.example/a"), ==, 1);
  g_autofree gchar *stream = column (fx, "isStream", "http://radio.example/a");
  g_autofree gchar *present = column (fx, "Present", "http://radio.example/a");
  g_autofree gchar *no_title = column (fx, "Title", "http://radio.example/a");
  g_assert_cmpstr (stream, ==, "1");
  g_assert_cmpstr (present, ==, "1");
  g_assert_null (no_title);

  g_assert_cmpint (meta_add_url_with_title_and_mime (
                       "http://radio.example/b?\"q\"", "Radio 'B' 100%",
                       "audio/mpeg"),
                   ==, 1);
  /* The url keeps its double quotes: it is the row's name. */
  g_autofree gchar *title = tessel_test_sql_text (
      fx->db, "SELECT Title FROM Metadata WHERE "
              "Filename = 'http://radio.example/b?\"q\"'");
  g_autofree gchar *mime = tessel_test_sql_text (
      fx->db, "SELECT MIME FROM Metadata WHERE "
              "Filename = 'http://radio.example/b?\"q\"'");
  g_assert_cmpstr (title, ==, "Radio 'B' 100%");
  g_assert_cmpstr (mime, ==, "audio/mpeg");

  g_assert_cmpint (meta_add_url_with_title_and_mime ("http://radio.example/c",
                                                     NULL, "audio/ogg"),
                   ==, 1);
  g_autofree gchar *c_title = column (fx, "Title", "http://radio.example/c");
  g_autofree gchar *c_mime = column (fx, "MIME", "http://radio.example/c");
  g_assert_null (c_title);
  g_assert_cmpstr (c_mime, ==, "audio/ogg");
}

static void
test_modified_or_new (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_fakes (fx);
  g_autofree gchar *song = tessel_fixture_write (fx, "song.aaa", "abc");
  gchar modified = 7, present = 7;

  g_assert_cmpint (meta_is_modified_or_new (NULL, &modified, &present), ==,
                   0);
  g_assert_cmpint (meta_is_modified_or_new (song, NULL, &present), ==, 0);

  /* No row yet. */
  g_assert_cmpint (meta_is_modified_or_new (song, &modified, &present), ==,
                   1);
  g_assert_cmpint (modified, ==, 1);
  g_assert_cmpint (present, ==, 0);

  gchar *files[] = { song, NULL };
  meta_add_files_with_check (files, 1, NULL, 0);
  g_assert_cmpint (meta_is_modified_or_new (song, &modified, &present), ==,
                   1);
  g_assert_cmpint (modified, ==, 0);
  g_assert_cmpint (present, ==, 1);

  /* Same size, another modification time. */
  struct utimbuf times = { 1000000000, 1000000000 };
  g_assert_cmpint (utime (song, &times), ==, 0);
  g_assert_cmpint (meta_is_modified_or_new (song, &modified, &present), ==,
                   1);
  g_assert_cmpint (modified, ==, 1);

  /* Same time, another size. */
  meta_add_files_with_check (files, 1, NULL, 0);
  g_free (tessel_fixture_write (fx, "song.aaa", "abcd"));
  g_assert_cmpint (utime (song, &times), ==, 0);
  g_assert_cmpint (meta_is_modified_or_new (song, &modified, &present), ==,
                   1);
  g_assert_cmpint (modified, ==, 1);

  /* An absent row reports its presence. */
  meta_add_files_with_check (files, 1, NULL, 0);
  tessel_test_sql (fx->db, "UPDATE Metadata SET Present = 0");
  g_assert_cmpint (meta_is_modified_or_new (song, &modified, &present), ==,
                   1);
  g_assert_cmpint (modified, ==, 0);
  g_assert_cmpint (present, ==, 0);

  /* Files that cannot be judged leave modified alone. */
  g_free (tessel_fixture_write (fx, "song.aaa", ""));
  modified = 7;
  g_assert_cmpint (meta_is_modified_or_new (song, &modified, &present), ==,
                   0);
  g_assert_cmpint (modified, ==, 7);
  g_assert_cmpint (g_unlink (song), ==, 0);
  g_assert_cmpint (meta_is_modified_or_new (song, &modified, &present), ==,
                   0);
  g_assert_cmpint (g_mkdir (song, 0700), ==, 0);
  g_assert_cmpint (meta_is_modified_or_new (song, &modified, &present), ==,
                   0);
  g_assert_cmpint (modified, ==, 7);
  g_rmdir (song);
}

/* Every key an extractor may deliver, with a value of its type. */
static const struct
{
  const gchar *key, *value;
} extracted[] = {
  { "Title", "Old Title" },   { "Artist", "Oldband" },
  { "Album", "Old Album" },   { "AlbumArtist", "Old Various" },
  { "Genre", "Oldgenre" },    { "Year", "1999" },
  { "Track", "7" },           { "Disc", "2" },
  { "Compilation", "1" },     { "Publisher", "Old Label" },
  { "Length", "185" },        { "Bitrate", "128000" },
  { "MIME", "audio/x-old" },  { "Codec", "Oldcodec" },
  { "Channels", "2" },        { "Frequency", "44100" },
  { "Resolution", "176x144" }, { "Fps", "25" },
  { "PixelAspectRatio", "1" },
};

/* The file names the word index holds word for, comma separated. */
static gchar *
found (TesselFixture *fx, const gchar *word)
{
  g_autofree gchar *sql = g_strdup_printf (
      "SELECT group_concat(Filename, ',') FROM Metadata WHERE rowid IN "
      "(SELECT rowid FROM MetadataSearch WHERE MetadataSearch MATCH '%s')",
      word);
  gchar *names = tessel_test_sql_text (fx->db, sql);
  return names != NULL ? names : g_strdup ("");
}

/* Indexes the file name of the fixture with text as its tags. */
static gchar *
index_tagged (TesselFixture *fx, const gchar *name, const gchar *text)
{
  gchar *path = tessel_fixture_write (fx, name, text);
  gchar *files[] = { path, NULL };
  g_assert_cmpint (meta_add_files_with_check (files, 1, NULL, 0), ==, 1);
  return path;
}

/* A file indexed with every tag, then indexed again without them, keeps
 * none: neither in its row nor in the word index.  What applications
 * wrote stays. */
static void
test_retag_clears_extracted (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_fakes (fx);
  /* Columns a newer plug-in brings, as its first store adds them. */
  tessel_test_sql (fx->db, "ALTER TABLE Metadata ADD AlbumArtist "
                           "varchar(256); ALTER TABLE Metadata ADD Disc "
                           "int(12); ALTER TABLE Metadata ADD Compilation "
                           "int(12)");
  g_autoptr (GString) tags = g_string_new (NULL);
  for (gsize i = 0; i < G_N_ELEMENTS (extracted); i++)
    g_string_append_printf (tags, "%s=%s\n", extracted[i].key,
                            extracted[i].value);
  g_autofree gchar *song = index_tagged (fx, "song.tag", tags->str);
  for (gsize i = 0; i < G_N_ELEMENTS (extracted); i++)
    {
      g_autofree gchar *got = column (fx, extracted[i].key, song);
      g_assert_cmpstr (got, ==, extracted[i].value);
    }
  g_assert_cmpint (meta_write_integer (song, "PlayCount", 3), ==, 1);
  g_assert_cmpint (meta_write_integer (song, "AccessTime", 1700000000), ==,
                   1);
  g_assert_cmpint (meta_write_string (song, "Comment", "mine"), ==, 1);
  g_autofree gchar *before = found (fx, "oldband");
  g_assert_cmpstr (before, ==, song);

  g_free (index_tagged (fx, "song.tag", "Title=New Title\n"));
  g_assert_cmpint (row_count (fx), ==, 1);
  for (gsize i = 0; i < G_N_ELEMENTS (extracted); i++)
    {
      g_autofree gchar *got = column (fx, extracted[i].key, song);
      if (g_str_equal (extracted[i].key, "Title"))
        g_assert_cmpstr (got, ==, "New Title");
      else
        g_assert_cmpstr (got, ==, NULL);
    }
  static const gchar *const kept[][2] = {
    { "PlayCount", "3" }, { "AccessTime", "1700000000" },
    { "Comment", "mine" }, { "Filesize", "16" }, { "Present", "1" },
  };
  for (gsize i = 0; i < G_N_ELEMENTS (kept); i++)
    {
      g_autofree gchar *got = column (fx, kept[i][0], song);
      g_assert_cmpstr (got, ==, kept[i][1]);
    }
  const gchar *gone[] = { "oldband", "old AND album", "oldgenre" };
  for (gsize i = 0; i < G_N_ELEMENTS (gone); i++)
    {
      g_autofree gchar *after = found (fx, gone[i]);
      g_assert_cmpstr (after, ==, "");
    }
  g_autofree gchar *renamed = found (fx, "new AND title");
  g_assert_cmpstr (renamed, ==, song);
}

/* Names that are no readable regular file give no row, and never reach
 * the plug-in: the readable file after them is its first call. */
typedef enum
{
  NAME_MISSING,
  NAME_FOLDER,
  NAME_FIFO,
  NAME_UNREADABLE,
  NAME_TOO_LONG,
  NAME_VANISHED,
} NameKind;

static void
test_not_a_readable_file (TesselFixture *fx, gconstpointer data)
{
  NameKind kind = GPOINTER_TO_INT (data);
  open_with_fakes (fx);
  g_autofree gchar *bad = g_build_filename (fx->dir, "bad.aaa", NULL);
  switch (kind)
    {
    case NAME_MISSING:
      break;
    case NAME_FOLDER:
      g_assert_cmpint (g_mkdir (bad, 0700), ==, 0);
      break;
    case NAME_FIFO:
      g_assert_cmpint (mkfifo (bad, 0600), ==, 0);
      break;
    case NAME_UNREADABLE:
      g_free (tessel_fixture_write (fx, "bad.aaa", "data"));
      g_assert_cmpint (g_chmod (bad, 0), ==, 0);
      if (g_access (bad, R_OK) == 0)
        {
          g_test_skip ("this user reads every file");
          return;
        }
      break;
    case NAME_TOO_LONG:
      {
        /* 256 bytes in all, a file that exists. */
        gsize room = 256 - strlen (fx->dir) - strlen ("/.aaa");
        g_autofree gchar *base = g_strnfill (room, 'x');
        g_autofree gchar *name = g_strconcat (base, ".aaa", NULL);
        g_free (bad);
        bad = tessel_fixture_write (fx, name, "data");
        g_assert_cmpuint (strlen (bad), ==, 256);
        break;
      }
    case NAME_VANISHED:
      {
        /* Indexed while it was there: its row stays as it was. */
        g_free (tessel_fixture_write (fx, "bad.aaa", "data"));
        gchar *once[] = { bad, NULL };
        meta_add_files_with_check (once, 1, NULL, 0);
        g_assert_cmpint (g_unlink (bad), ==, 0);
        break;
      }
    }
  g_autofree gchar *good = tessel_fixture_write (fx, "good.aaa", "data");
  gchar *files[] = { bad, good, NULL };
  g_assert_cmpint (meta_add_files_with_check (files, 2, NULL, 0), ==, 1);
  g_autofree gchar *title = column (fx, "Title", good);
  g_autofree gchar *bad_title = column (fx, "Title", bad);
  g_assert_cmpstr (title, ==, "call 1");
  if (kind == NAME_VANISHED)
    g_assert_cmpstr (bad_title, ==, "call 1");
  else
    g_assert_cmpstr (bad_title, ==, NULL);
  g_assert_cmpint (row_count (fx), ==, kind == NAME_VANISHED ? 2 : 1);
  if (kind == NAME_FOLDER)
    g_rmdir (bad);
  g_unlink (bad);
}

/* A group of rows whose transaction is rolled back at its sixth row, while
 * the extractor is already on the files after the group: every other row
 * of the group is stored again on its own, each file was extracted once
 * and in the batch's order, progress still reports what is stored, and
 * the word index holds exactly the stored rows. */
static void
test_group_rolled_back_while_extracting (TesselFixture *fx,
                                         gconstpointer data)
{
  (void) data;
  open_with_fakes (fx);
  g_auto (GStrv) files = make_batch (fx, "m", 60, "aaa");
  /* The file at position 31, in the second group. */
  tessel_test_sql (fx->db, "CREATE TRIGGER refuse AFTER INSERT ON Metadata "
                           "WHEN new.Filename LIKE '%/m030.aaa' BEGIN "
                           "SELECT RAISE(ROLLBACK, 'refused'); END");

  memset (&progress_log, 0, sizeof progress_log);
  progress_fixture = fx;
  g_assert_cmpint (meta_add_files_with_check (files, 60, record_progress, 0),
                   ==, 1);
  progress_fixture = NULL;
  g_assert_cmpint (progress_log.calls, ==, 2);
  g_assert_cmpint (progress_log.rows_seen[0], ==, 25);
  g_assert_cmpint (progress_log.rows_seen[1], ==, 49);
  g_assert_cmpint (row_count (fx), ==, 59);

  /* The batch is in the order it was walked: the plug-in's n-th call made
   * the n-th file's list. */
  for (gint i = 0; i < 60; i++)
    {
      g_autofree gchar *title = column (fx, "Title", files[i]);
      g_autofree gchar *expected = g_strdup_printf ("call %d", i + 1);
      if (g_str_has_suffix (files[i], "/m030.aaa"))
        g_assert_null (title);
      else
        g_assert_cmpstr (title, ==, expected);
    }
  g_autofree gchar *found = tessel_test_sql_text (
      fx->db, "SELECT count(*) FROM MetadataSearch WHERE MetadataSearch "
              "MATCH 'libfakeok'");
  g_assert_cmpstr (found, ==, "59");
  g_autofree gchar *pending = tessel_test_sql_text (
      fx->db, "SELECT count(*) FROM MetadataPendingWords");
  g_assert_cmpstr (pending, ==, "0");
  g_autofree gchar *groups = tessel_test_sql_text (
      fx->db, "SELECT count(*) FROM MetadataWordsGroup");
  g_assert_cmpstr (groups, ==, "0");
  tessel_test_sql (fx->db, "INSERT INTO MetadataSearch (MetadataSearch) "
                           "VALUES ('integrity-check')");

  /* Later stores of single rows index their words at once again. */
  g_assert_cmpint (meta_add_url_with_title_and_mime ("http://r/1", "Radio "
                                                     "Harbour", NULL),
                   ==, 1);
  g_autofree gchar *radio = tessel_test_sql_text (
      fx->db, "SELECT count(*) FROM MetadataSearch WHERE MetadataSearch "
              "MATCH 'harbour'");
  g_assert_cmpstr (radio, ==, "1");
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
#define ADD TESSEL_TEST_ADD
  ADD ("/index/batch/refuses-empty", test_refuses_empty_batch);
  ADD ("/index/batch/sorted-by-extension", test_sorts_by_extension);
  ADD ("/index/batch/row-with-file-attributes",
       test_stores_rows_with_attributes);
  ADD ("/index/plugin/reused-across-case", test_plugin_reused_across_case);
  ADD ("/index/plugin/switch-closes", test_plugin_switch_closes);
  ADD ("/index/plugin/broken-ones-skipped", test_broken_plugins_skipped);
  ADD ("/index/plugin/name-buffer", test_plugin_name_length);
  ADD ("/index/progress/every-25th-extracted", test_progress_every_25);
  ADD ("/index/group/rolled-back-while-extracting-ahead",
       test_group_rolled_back_while_extracting);
  ADD ("/index/url/stored-as-stream", test_add_url);
  ADD ("/index/modified-or-new", test_modified_or_new);
  ADD ("/index/update/retag-clears-extracted-keys",
       test_retag_clears_extracted);
#undef ADD
  static const struct
  {
    const gchar *path;
    NameKind kind;
  } names[] = {
    { "/index/name/missing", NAME_MISSING },
    { "/index/name/folder-named-like-a-song", NAME_FOLDER },
    { "/index/name/fifo", NAME_FIFO },
    { "/index/name/unreadable", NAME_UNREADABLE },
    { "/index/name/too-long", NAME_TOO_LONG },
    { "/index/name/vanished-keeps-row", NAME_VANISHED },
  };
  for (gsize i = 0; i < G_N_ELEMENTS (names); i++)
    g_test_add (names[i].path, TesselFixture, GINT_TO_POINTER (names[i].kind),
                tessel_fixture_setup, test_not_a_readable_file,
                tessel_fixture_teardown);
  return g_test_run ();
}
