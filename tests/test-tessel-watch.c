/* tessel watch end to end: real file-system events in a temporary folder,
 * mount events through its mount-table seam and through a real tmpfs in a
 * mount namespace of its own, the watch-limit fallback, and stopping. */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <gio/gio.h>
#include <glib/gstdio.h>

#include "tessel-media.h"
#include "tessel-test.h"

/* Events arrive within this bound on any sane machine; polls end there. */
#define WAIT_US (20 * G_USEC_PER_SEC)

#define WAIT_FOR(cond) WAIT_FOR_US (cond, WAIT_US)
#define WAIT_FOR_US(cond, us)                                                \
  G_STMT_START                                                               \
  {                                                                          \
    gint64 until_ = g_get_monotonic_time () + (us);                          \
    while (!(cond) && g_get_monotonic_time () < until_)                      \
      g_usleep (10000);                                                      \
    g_assert_true (cond);                                                    \
  }                                                                          \
  G_STMT_END

typedef struct
{
  GSubprocess *proc;
  gchar *log; /* its stderr */
} Watch;

static gchar *
log_text (const Watch *w)
{
  gchar *text = NULL;
  if (!g_file_get_contents (w->log, &text, NULL, NULL))
    return g_strdup ("");
  return text;
}

static gboolean
log_has (const Watch *w, const gchar *needle)
{
  g_autofree gchar *text = log_text (w);
  return strstr (text, needle) != NULL;
}

/* In the watcher's process before it runs: a test that fails ends
 * without stopping it, so it ends with the test. */
static void
end_with_test (gpointer data)
{
  (void) data;
  prctl (PR_SET_PDEATHSIG, SIGTERM);
}

/* Starts `tessel watch --settle 0.1 ARGS...` (through prefix when not
 * NULL, e.g. a namespace) on the fixture's database. */
static Watch
watch_spawn (TesselFixture *fx, const gchar *const *prefix,
             const gchar *first, va_list args)
{
  g_autoptr (GPtrArray) argv = g_ptr_array_new_with_free_func (g_free);
  for (; prefix != NULL && *prefix != NULL; prefix++)
    g_ptr_array_add (argv, g_strdup (*prefix));
  g_ptr_array_add (argv, tessel_test_tool_path ());
  g_ptr_array_add (argv, g_strdup ("watch"));
  g_ptr_array_add (argv, g_strdup ("--settle"));
  g_ptr_array_add (argv, g_strdup ("0.1"));
  g_ptr_array_add (argv, g_strdup ("--database"));
  g_ptr_array_add (argv, g_strdup (fx->db));
  g_ptr_array_add (argv, g_strdup ("--config"));
  g_ptr_array_add (argv, g_strdup (fx->conf));
  for (const gchar *a = first; a != NULL; a = va_arg (args, const gchar *))
    g_ptr_array_add (argv, g_strdup (a));
  g_ptr_array_add (argv, NULL);

  Watch w = { NULL, g_build_filename (fx->dir, "watch.log", NULL) };
  g_autoptr (GSubprocessLauncher) launcher
      = g_subprocess_launcher_new (G_SUBPROCESS_FLAGS_STDOUT_SILENCE);
  g_subprocess_launcher_set_stderr_file_path (launcher, w.log);
  g_subprocess_launcher_set_child_setup (launcher, end_with_test, NULL, NULL);
  g_autoptr (GError) error = NULL;
  w.proc = g_subprocess_launcher_spawnv (
      launcher, (const gchar *const *) argv->pdata, &error);
  g_assert_no_error (error);
  return w;
}

/* watch_spawn with ARGS... up to a NULL, then waits for the summary of
 * the first pass. */
static Watch
watch_start (TesselFixture *fx, const gchar *const *prefix,
             const gchar *first, ...)
{
  va_list args;
  va_start (args, first);
  Watch w = watch_spawn (fx, prefix, first, args);
  va_end (args);
  WAIT_FOR (log_has (&w, " seen, ")
            || g_subprocess_get_identifier (w.proc) == NULL);
  return w;
}

/* watch_spawn with ARGS... up to a NULL, without waiting. */
static Watch
watch_launch (TesselFixture *fx, const gchar *first, ...)
{
  va_list args;
  va_start (args, first);
  Watch w = watch_spawn (fx, NULL, first, args);
  va_end (args);
  return w;
}

/* Sends sig and returns the exit status; the watcher must end by itself. */
static gint
watch_stop (Watch *w, gint sig)
{
  g_subprocess_send_signal (w->proc, sig);
  g_autoptr (GError) error = NULL;
  g_assert_true (g_subprocess_wait (w->proc, NULL, &error));
  g_autofree gchar *text = log_text (w);
  g_test_message ("watch log:\n%s", text);
  gint status = g_subprocess_get_if_exited (w->proc)
                    ? g_subprocess_get_exit_status (w->proc)
                    : -1;
  g_clear_object (&w->proc);
  g_clear_pointer (&w->log, g_free);
  return status;
}

/* The row's column as an integer; -1 without a row or value. */
static gint
row_int (TesselFixture *fx, const gchar *file, const gchar *column)
{
  g_autofree gchar *sql = g_strdup_printf (
      "SELECT %s FROM Metadata WHERE Filename = '%s'", column, file);
  g_autofree gchar *value = tessel_test_sql_text (fx->db, sql);
  return value != NULL ? atoi (value) : -1;
}

static gboolean
row_text_is (TesselFixture *fx, const gchar *file, const gchar *column,
             const gchar *expected)
{
  g_autofree gchar *sql = g_strdup_printf (
      "SELECT %s FROM Metadata WHERE Filename = '%s'", column, file);
  g_autofree gchar *value = tessel_test_sql_text (fx->db, sql);
  return g_strcmp0 (value, expected) == 0;
}

static gint
present (TesselFixture *fx, const gchar *file)
{
  return row_int (fx, file, "Present");
}

static gchar *
path_in (TesselFixture *fx, const gchar *name)
{
  return g_build_filename (fx->dir, name, NULL);
}

static void
write_file (const gchar *path, const gchar *text)
{
  g_assert_true (g_file_set_contents (path, text, -1, NULL));
}

static void
make_dir (const gchar *path)
{
  g_assert_cmpint (g_mkdir_with_parents (path, 0700), ==, 0);
}

static void
use_fake_plugin (TesselFixture *fx)
{
  g_free (tessel_fixture_write (fx, "metadata_lib.conf", "mp3 libfakeok\n"));
}

static void
test_files (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  use_fake_plugin (fx);
  g_autofree gchar *lib = path_in (fx, "lib");
  g_autofree gchar *a = path_in (fx, "lib/a.mp3");
  g_autofree gchar *b = path_in (fx, "lib/b.mp3");
  g_autofree gchar *c = path_in (fx, "lib/c.mp3");
  make_dir (lib);
  write_file (a, "first");

  Watch w = watch_start (fx, NULL, lib, NULL);
  g_assert_true (log_has (&w, "1 seen, 1 indexed, 0 unchanged, 0 skipped"));
  g_assert_cmpint (present (fx, a), ==, 1);

  write_file (b, "created");
  WAIT_FOR (present (fx, b) == 1);

  write_file (a, "changed, longer");
  WAIT_FOR (row_int (fx, a, "Filesize") == 15);

  g_assert_cmpint (g_unlink (b), ==, 0);
  WAIT_FOR (present (fx, b) == 0);

  g_assert_cmpint (g_rename (a, c), ==, 0);
  WAIT_FOR (present (fx, a) == 0 && present (fx, c) == 1);

  /* Plain lines per batch, no progress bar. */
  g_assert_true (log_has (&w, "tessel: watch: 1 indexed, 0 marked absent"));
  g_autofree gchar *text = log_text (&w);
  g_assert_null (strchr (text, '\r'));
  g_assert_cmpint (watch_stop (&w, SIGTERM), ==, 0);
}

static void
test_folders (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  use_fake_plugin (fx);
  g_autofree gchar *lib = path_in (fx, "lib");
  make_dir (lib);
  Watch w = watch_start (fx, NULL, lib, NULL);

  /* A new subfolder, with a folder inside created at once. */
  g_autofree gchar *deep = path_in (fx, "lib/sub/deep");
  g_autofree gchar *one = path_in (fx, "lib/sub/one.mp3");
  g_autofree gchar *two = path_in (fx, "lib/sub/deep/two.mp3");
  make_dir (deep);
  write_file (one, "1");
  write_file (two, "2");
  WAIT_FOR (present (fx, one) == 1 && present (fx, two) == 1);

  /* A moved folder: every file below it under its new name. */
  g_autofree gchar *sub = path_in (fx, "lib/sub");
  g_autofree gchar *moved = path_in (fx, "lib/moved");
  g_autofree gchar *moved_two = path_in (fx, "lib/moved/deep/two.mp3");
  g_assert_cmpint (g_rename (sub, moved), ==, 0);
  WAIT_FOR (present (fx, one) == 0 && present (fx, two) == 0
            && present (fx, moved_two) == 1);
  /* Its folders are followed under the new name. */
  g_autofree gchar *three = path_in (fx, "lib/moved/deep/three.mp3");
  write_file (three, "3");
  WAIT_FOR (present (fx, three) == 1);

  /* A folder moved in from outside, and one moved out. */
  g_autofree gchar *outside = path_in (fx, "outside");
  g_autofree gchar *outside_file = path_in (fx, "outside/four.mp3");
  g_autofree gchar *inside = path_in (fx, "lib/inside");
  g_autofree gchar *inside_file = path_in (fx, "lib/inside/four.mp3");
  make_dir (outside);
  write_file (outside_file, "4");
  g_assert_cmpint (g_rename (outside, inside), ==, 0);
  WAIT_FOR (present (fx, inside_file) == 1);
  g_assert_cmpint (g_rename (moved, outside), ==, 0);
  WAIT_FOR (present (fx, moved_two) == 0 && present (fx, three) == 0);
  g_assert_cmpint (present (fx, outside_file), ==, -1);

  g_assert_cmpint (watch_stop (&w, SIGINT), ==, 0);
}

/* Mount events delivered through the watcher's mount-table seam: both
 * card folders watched, the card's rows follow it from mmc1 to mmc2. */
static void
test_mount_events (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  use_fake_plugin (fx);
  g_autofree gchar *mmc1 = path_in (fx, "media/mmc1");
  g_autofree gchar *mmc2 = path_in (fx, "media/mmc2");
  g_autofree gchar *song1 = path_in (fx, "media/mmc1/song.mp3");
  g_autofree gchar *song2 = path_in (fx, "media/mmc2/song.mp3");
  g_autofree gchar *table = path_in (fx, "mounts");
  make_dir (mmc1);
  make_dir (mmc2);
  write_file (song1, "card");
  g_autofree gchar *both = g_strdup_printf ("/\n%s\n%s\n", mmc1, mmc2);
  write_file (table, both);

  Watch w = watch_start (fx, NULL, "--mount-table", table, mmc1, mmc2, NULL);
  g_assert_cmpint (present (fx, song1), ==, 1);
  /* What an application wrote about the file. */
  storage_set_path (fx->db);
  g_assert_true (meta_init ());
  g_assert_true (meta_write_integer (song1, "PlayCount", 5));
  meta_destruct ();

  /* mmc2 away: nothing of it was stored, nothing changes. */
  g_autofree gchar *one = g_strdup_printf ("/\n%s\n", mmc1);
  write_file (table, one);
  WAIT_FOR (log_has (&w, "media/mmc2' was unmounted"));
  g_assert_cmpint (present (fx, song1), ==, 1);
  /* Its monitors are dropped: this copy is seen only when it is mounted. */
  write_file (song2, "card");

  /* mmc1 away: its rows absent, though its files are still there. */
  write_file (table, "/\n");
  WAIT_FOR (present (fx, song1) == 0);
  /* A real unmount takes the card's files away with it; storing takes a
   * row over from the other card's name only when that file is gone. */
  g_assert_cmpint (g_unlink (song1), ==, 0);

  /* The card back as mmc2: its row renamed, present, keeping its keys. */
  g_autofree gchar *other = g_strdup_printf ("/\n%s\n", mmc2);
  write_file (table, other);
  WAIT_FOR (present (fx, song2) == 1);
  g_assert_cmpint (row_int (fx, song2, "PlayCount"), ==, 5);
  g_autofree gchar *rows
      = tessel_test_sql_text (fx->db, "SELECT count(*) FROM Metadata");
  g_assert_cmpstr (rows, ==, "1");

  g_assert_cmpint (watch_stop (&w, SIGTERM), ==, 0);
}

/* A watched folder removed without an unmount, and one missing at the
 * start: waited for, and scanned when it appears. */
static void
test_vanished_root (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  use_fake_plugin (fx);
  g_autofree gchar *card = path_in (fx, "card");
  g_autofree gchar *song = path_in (fx, "card/sub/song.mp3");
  g_autofree gchar *sub = path_in (fx, "card/sub");
  g_autofree gchar *later = path_in (fx, "later/folder");
  g_autofree gchar *later_song = path_in (fx, "later/folder/x.mp3");
  g_autofree gchar *later_tmp = path_in (fx, "later-tmp");
  g_autofree gchar *later_tmp_song = path_in (fx, "later-tmp/x.mp3");
  make_dir (sub);
  write_file (song, "song");

  Watch w = watch_start (fx, NULL, card, later, NULL);
  g_assert_true (log_has (&w, "folder' does not exist; waiting for it"));
  g_assert_cmpint (present (fx, song), ==, 1);

  g_assert_cmpint (g_unlink (song), ==, 0);
  g_assert_cmpint (g_rmdir (sub), ==, 0);
  g_assert_cmpint (g_rmdir (card), ==, 0);
  WAIT_FOR (present (fx, song) == 0);

  make_dir (sub);
  write_file (song, "song");
  WAIT_FOR (present (fx, song) == 1);

  make_dir (later_tmp);
  write_file (later_tmp_song, "x");
  g_autofree gchar *later_parent = path_in (fx, "later");
  make_dir (later_parent);
  g_assert_cmpint (g_rename (later_tmp, later), ==, 0);
  WAIT_FOR (present (fx, later_song) == 1);

  g_assert_cmpint (watch_stop (&w, SIGTERM), ==, 0);
}

/* The rows named like pattern (an SQL LIKE pattern) that are present. */
static gint
present_rows (TesselFixture *fx, const gchar *pattern)
{
  g_autofree gchar *sql = g_strdup_printf (
      "SELECT count(*) FROM Metadata WHERE Filename LIKE '%s' "
      "AND Present = 1",
      pattern);
  g_autofree gchar *value = tessel_test_sql_text (fx->db, sql);
  return value != NULL ? atoi (value) : -1;
}

/* A small file written in place: fewer events than g_file_set_contents's
 * rename, so that a writer in a hurry does not flood the watcher. */
static void
write_small (const gchar *path, const gchar *text)
{
  FILE *f = fopen (path, "wb");
  g_assert_nonnull (f);
  g_assert_cmpint (fputs (text, f), >=, 0);
  g_assert_cmpint (fclose (f), ==, 0);
}

/* A tree whose walk takes a while: many folders full of files that are
 * seen but not indexed. */
#define TREE_FOLDERS 200
#define TREE_FILLERS 25
#define TREE_MAX_NEW 1000

static void
make_tree (const gchar *top)
{
  for (guint f = 0; f < TREE_FOLDERS; f++)
    {
      g_autofree gchar *folder = g_strdup_printf ("%s/f%03u", top, f);
      make_dir (folder);
      for (guint i = 0; i < TREE_FILLERS; i++)
        {
          g_autofree gchar *filler
              = g_strdup_printf ("%s/filler-%u.txt", folder, i);
          write_small (filler, "x");
        }
    }
}

/* Writes new-N.mp3 files spread over the folders of top until the
 * watcher's log shows marker after its first from bytes; the number
 * written. */
static guint
write_until (const Watch *w, const gchar *top, gsize from,
             const gchar *marker)
{
  guint n = 0;
  gboolean seen = FALSE;
  while (!seen && n < TREE_MAX_NEW)
    {
      g_autofree gchar *path = g_strdup_printf (
          "%s/f%03u/new-%u.mp3", top, (n * 37) % TREE_FOLDERS, n);
      write_small (path, "new");
      if (++n % 16 == 0)
        {
          g_autofree gchar *text = log_text (w);
          seen = strlen (text) > from && strstr (text + from, marker) != NULL;
        }
      g_usleep (300);
    }
  return n;
}

typedef enum
{
  SCAN_FIRST_PASS,
  SCAN_NEW_FOLDER,
  SCAN_ROOT_BACK,
  SCAN_MOUNTED,
} ScanStart;

/* Files created in a tree while the watcher walks it, from each of the
 * walks that follow a tree from scratch: every one gets a row. */
static void
test_created_during_scan (TesselFixture *fx, gconstpointer data)
{
  ScanStart start = GPOINTER_TO_INT (data);
  use_fake_plugin (fx);
  g_autofree gchar *lib = path_in (fx, "lib");
  g_autofree gchar *outside = path_in (fx, "outside");
  g_autofree gchar *table = path_in (fx, "mounts");
  g_autofree gchar *top = g_strdup (lib);
  const gchar *marker = " indexed, ";
  Watch w;
  switch (start)
    {
    case SCAN_FIRST_PASS:
      make_tree (lib);
      w = watch_launch (fx, lib, NULL);
      marker = " seen, ";
      break;
    case SCAN_NEW_FOLDER:
      make_dir (lib);
      w = watch_start (fx, NULL, lib, NULL);
      make_tree (outside);
      g_free (top);
      top = path_in (fx, "lib/tree");
      break;
    case SCAN_ROOT_BACK:
      w = watch_start (fx, NULL, lib, NULL);
      make_tree (outside);
      break;
    case SCAN_MOUNTED:
    default:
      make_tree (lib);
      write_file (table, "/\n");
      w = watch_start (fx, NULL, "--mount-table", table, lib, NULL);
      break;
    }
  g_autofree gchar *before = log_text (&w);
  gsize from = strlen (before);
  if (start == SCAN_NEW_FOLDER || start == SCAN_ROOT_BACK)
    g_assert_cmpint (g_rename (outside, top), ==, 0);
  if (start == SCAN_MOUNTED)
    {
      g_autofree gchar *mounted = g_strdup_printf ("/\n%s\n", lib);
      write_file (table, mounted);
    }
  gint written = (gint) write_until (&w, top, from, marker);
  g_test_message ("%d files written during the walk", written);
  /* Up to a thousand files to index, under a sanitizer on a busy
   * machine too. */
  WAIT_FOR_US (present_rows (fx, "%/new-%") == written, 6 * WAIT_US);
  g_assert_cmpint (watch_stop (&w, SIGTERM), ==, 0);
}

/* An MPEG file of 2048 bytes whose ID3v1 tag holds title: the same size
 * whatever the title.  replace: written beside and renamed over path, as
 * editors save, else rewritten in place. */
static void
write_titled (const gchar *path, const gchar *title, gboolean replace)
{
  guint8 bytes[2048] = { 0 };
  guint8 *tag = bytes + sizeof bytes - 128;
  memcpy (tag, "TAG", 3);
  memcpy (tag + 3, title, MIN (strlen (title), 30));
  tag[127] = 255; /* no genre */
  if (replace)
    {
      g_assert_true (g_file_set_contents (path, (const gchar *) bytes,
                                          sizeof bytes, NULL));
      return;
    }
  FILE *f = fopen (path, "wb");
  g_assert_nonnull (f);
  g_assert_cmpuint (fwrite (bytes, 1, sizeof bytes, f), ==, sizeof bytes);
  g_assert_cmpint (fclose (f), ==, 0);
}

#define SAME_SECOND 1600000000

static void
set_mtime (const gchar *path, glong nsec)
{
  struct timespec times[2] = { { SAME_SECOND, nsec }, { SAME_SECOND, nsec } };
  g_assert_cmpint (utimensat (AT_FDCWD, path, times, 0), ==, 0);
}

/* An edit that keeps the size, within the second of the indexed version,
 * with a settle time below a second: the row takes the new title. */
static void
test_same_second_edit (TesselFixture *fx, gconstpointer data)
{
  gboolean replace = GPOINTER_TO_INT (data);
  g_free (tessel_fixture_write (fx, "metadata_lib.conf",
                                "mp3 libbrisel_tag\n"));
  g_autofree gchar *lib = path_in (fx, "lib");
  g_autofree gchar *song = path_in (fx, "lib/song.mp3");
  make_dir (lib);
  Watch w = watch_start (fx, NULL, "--settle", "0.3", lib, NULL);

  write_titled (song, "Song A", FALSE);
  set_mtime (song, 100000000);
  WAIT_FOR (row_text_is (fx, song, "Title", "Song A")
            && row_int (fx, song, "LastModification") == SAME_SECOND);

  write_titled (song, "Song B", replace);
  set_mtime (song, 600000000);
  WAIT_FOR (row_text_is (fx, song, "Title", "Song B"));
  g_assert_cmpint (row_int (fx, song, "LastModification"), ==, SAME_SECOND);
  g_assert_cmpint (row_int (fx, song, "Filesize"), ==, 2048);
  g_assert_cmpint (watch_stop (&w, SIGTERM), ==, 0);
}

#define CARD_SONGS 1000

/* A root moved away and back while the watcher is still marking its rows
 * absent: its rows end up present, and it is followed again. */
static void
test_root_back_while_marking (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  use_fake_plugin (fx);
  g_autofree gchar *card = path_in (fx, "card");
  g_autofree gchar *away = path_in (fx, "card-away");
  g_autofree gchar *later = path_in (fx, "card/later.mp3");
  make_dir (card);
  for (guint i = 0; i < CARD_SONGS; i++)
    {
      g_autofree gchar *song = g_strdup_printf ("%s/song-%03u.mp3", card, i);
      write_small (song, "song");
    }
  Watch w = watch_start (fx, NULL, card, NULL);
  g_assert_cmpint (present_rows (fx, "%/song-%"), ==, CARD_SONGS);

  g_assert_cmpint (g_rename (card, away), ==, 0);
  WAIT_FOR (present_rows (fx, "%/song-%") < CARD_SONGS);
  g_assert_cmpint (g_rename (away, card), ==, 0);
  WAIT_FOR (present_rows (fx, "%/song-%") == CARD_SONGS);

  write_file (later, "later");
  WAIT_FOR (present (fx, later) == 1);
  g_assert_cmpint (watch_stop (&w, SIGTERM), ==, 0);
}

/* A followed folder (data: its name below the fixture) moved away and
 * straight back, before the watcher looks: its monitor stopped with the
 * move, so it is looked at and followed anew. */
static void
test_moved_back_at_once (TesselFixture *fx, gconstpointer data)
{
  use_fake_plugin (fx);
  g_autofree gchar *lib = path_in (fx, "lib");
  g_autofree gchar *sub = path_in (fx, "lib/sub");
  g_autofree gchar *folder = path_in (fx, data);
  g_autofree gchar *away = path_in (fx, "away");
  g_autofree gchar *first = g_build_filename (folder, "first.mp3", NULL);
  g_autofree gchar *second = g_build_filename (folder, "second.mp3", NULL);
  make_dir (sub);
  Watch w = watch_start (fx, NULL, lib, NULL);

  g_assert_cmpint (g_rename (folder, away), ==, 0);
  g_assert_cmpint (g_rename (away, folder), ==, 0);
  write_file (first, "first");
  WAIT_FOR (present (fx, first) == 1);
  write_file (second, "second");
  WAIT_FOR (present (fx, second) == 1);
  g_assert_cmpint (watch_stop (&w, SIGTERM), ==, 0);
}

/* The kernel refusing watches, through the watcher's own limit: one line
 * naming the setting, and the unwatched folder still kept current. */
static void
test_watch_limit (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  use_fake_plugin (fx);
  g_autofree gchar *lib = path_in (fx, "lib");
  g_autofree gchar *sub = path_in (fx, "lib/a/b");
  g_autofree gchar *song = path_in (fx, "lib/a/b/song.mp3");
  make_dir (sub);

  Watch w = watch_start (fx, NULL, "--watch-limit", "1", "--rescan", "1",
                         lib, NULL);
  g_autofree gchar *text = log_text (&w);
  const gchar *line = strstr (text, "fs.inotify.max_user_watches");
  g_assert_nonnull (line);
  g_assert_null (strstr (line + 1, "fs.inotify.max_user_watches"));

  write_file (song, "song");
  WAIT_FOR (present (fx, song) == 1);
  g_assert_cmpint (g_unlink (song), ==, 0);
  WAIT_FOR (present (fx, song) == 0);
  g_assert_cmpint (watch_stop (&w, SIGTERM), ==, 0);
}

/* Runs argv (NULL-terminated) to its end; TRUE when it exited with 0. */
static gboolean
run_ok (const gchar *const *argv)
{
  g_autofree gchar *err = NULL;
  gint status = tessel_test_spawn (argv, NULL, &err);
  if (status != 0)
    g_test_message ("%s: %s", argv[0], err);
  return status == 0;
}

/* A real tmpfs card, mounted and unmounted inside a private mount
 * namespace that the watcher runs in. */
static void
test_tmpfs_card (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *unshare = g_find_program_in_path ("unshare");
  g_autofree gchar *nsenter = g_find_program_in_path ("nsenter");
  const gchar *probe[] = { unshare, "-m", "--propagation", "private",
                           "true", NULL };
  if (unshare == NULL || nsenter == NULL || !run_ok (probe))
    {
      g_test_skip ("no private mount namespace here (needs root and "
                   "unshare -m)");
      return;
    }
  use_fake_plugin (fx);
  g_autofree gchar *card = path_in (fx, "mmc1");
  g_autofree gchar *song = path_in (fx, "mmc1/song.mp3");
  make_dir (card);
  const gchar *ns[] = { unshare, "-m", "--propagation", "private", NULL };
  Watch w = watch_start (fx, ns, card, NULL);
  g_autofree gchar *pid
      = g_strdup (g_subprocess_get_identifier (w.proc));

  const gchar *mount[] = { nsenter, "-t", pid, "-m", "mount", "-t",
                           "tmpfs", "-o", "size=1m", "tessel-card", card,
                           NULL };
  if (!run_ok (mount))
    {
      watch_stop (&w, SIGTERM);
      g_test_skip ("tmpfs cannot be mounted here");
      return;
    }
  g_autofree gchar *write_cmd
      = g_strdup_printf ("echo card > '%s'", song);
  const gchar *write[] = { nsenter, "-t", pid, "-m", "sh", "-c",
                           write_cmd, NULL };
  g_assert_true (run_ok (write));
  WAIT_FOR (present (fx, song) == 1);
  /* Outside the namespace the file does not exist. */
  g_assert_false (g_file_test (song, G_FILE_TEST_EXISTS));

  const gchar *umount[] = { nsenter, "-t", pid, "-m", "umount", card,
                            NULL };
  g_assert_true (run_ok (umount));
  WAIT_FOR (present (fx, song) == 0);
  g_assert_true (log_has (&w, "mmc1' was unmounted"));

  g_assert_true (run_ok (mount));
  g_assert_true (run_ok (write));
  WAIT_FOR (present (fx, song) == 1);
  g_assert_cmpint (watch_stop (&w, SIGTERM), ==, 0);
}

static void
test_errors (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  use_fake_plugin (fx);
  g_autofree gchar *tessel = tessel_test_tool_path ();
  struct
  {
    const gchar *args[4];
    gint status;
  } cases[] = {
    { { NULL }, 2 },
    { { "--settle", "-1", fx->dir, NULL }, 2 },
    { { "--batch", "0", fx->dir, NULL }, 2 },
    { { "--database", fx->dir, fx->dir, NULL }, 1 },
  };
  for (gsize i = 0; i < G_N_ELEMENTS (cases); i++)
    {
      const gchar *argv[10] = { tessel, "watch", "--config", fx->conf };
      guint n = 4;
      for (guint a = 0; cases[i].args[a] != NULL; a++)
        argv[n++] = cases[i].args[a];
      g_autofree gchar *err = NULL;
      g_assert_cmpint (tessel_test_spawn (argv, NULL, &err), ==,
                       cases[i].status);
      /* One line. */
      g_assert_true (g_str_has_prefix (err, "tessel: "));
      g_assert_cmpint (strchr (err, '\n') - err + 1, ==, strlen (err));
    }
  const gchar *help[] = { tessel, "watch", "--help", NULL };
  g_autofree gchar *out = NULL;
  g_assert_cmpint (tessel_test_spawn (help, &out, NULL), ==, 0);
  g_assert_nonnull (strstr (out, "--settle"));
  g_assert_null (strstr (out, "--watch-limit"));
}

/* A file written in two parts with a pause: the row ends up describing
 * the whole file, tags included. */
static void
test_two_parts (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_free (tessel_fixture_write (fx, "metadata_lib.conf",
                                "ogg libbrisel_gst\n"));
  g_autofree gchar *made = path_in (fx, "made");
  g_autofree gchar *lib = path_in (fx, "lib");
  make_dir (made);
  make_dir (lib);
  tessel_media_make (made);
  g_autofree gchar *source = path_in (fx, "made/tagged.ogg");
  if (!g_file_test (source, G_FILE_TEST_EXISTS))
    {
      g_test_skip ("tagged.ogg could not be made");
      return;
    }
  gchar *bytes = NULL;
  gsize size = 0;
  g_assert_true (g_file_get_contents (source, &bytes, &size, NULL));
  Watch w = watch_start (fx, NULL, lib, NULL);

  g_autofree gchar *song = path_in (fx, "lib/song.ogg");
  FILE *f = fopen (song, "wb");
  g_assert_nonnull (f);
  g_assert_cmpuint (fwrite (bytes, 1, size / 3, f), ==, size / 3);
  fflush (f);
  WAIT_FOR (row_int (fx, song, "Filesize") == (gint) (size / 3));
  g_assert_cmpuint (fwrite (bytes + size / 3, 1, size - size / 3, f), ==,
                    size - size / 3);
  fclose (f);
  g_free (bytes);
  WAIT_FOR (row_int (fx, song, "Filesize") == (gint) size);
  WAIT_FOR (row_text_is (fx, song, "Title", "Ogg Song"));
  g_assert_cmpint (watch_stop (&w, SIGTERM), ==, 0);
}

int
main (int argc, char **argv)
{
  tessel_media_use_own_registry ("test-tessel-watch");
  g_test_init (&argc, &argv, NULL);
#define ADD TESSEL_TEST_ADD
  ADD ("/tessel/watch/files", test_files);
  ADD ("/tessel/watch/folders", test_folders);
  ADD ("/tessel/watch/mount-events", test_mount_events);
  ADD ("/tessel/watch/vanished-root", test_vanished_root);
  ADD ("/tessel/watch/root-back-while-marking",
       test_root_back_while_marking);
  ADD ("/tessel/watch/watch-limit", test_watch_limit);
  ADD ("/tessel/watch/tmpfs-card", test_tmpfs_card);
  ADD ("/tessel/watch/errors", test_errors);
  ADD ("/tessel/watch/media/two-parts", test_two_parts);
#undef ADD
#define ADD_DATA(path, fn, data)                                             \
  g_test_add (path, TesselFixture, data, tessel_fixture_setup, fn,           \
              tessel_fixture_teardown)
  static const struct
  {
    const gchar *path;
    ScanStart start;
  } scans[] = {
    { "/tessel/watch/created-during-scan/first-pass", SCAN_FIRST_PASS },
    { "/tessel/watch/created-during-scan/new-folder", SCAN_NEW_FOLDER },
    { "/tessel/watch/created-during-scan/root-back", SCAN_ROOT_BACK },
    { "/tessel/watch/created-during-scan/mounted", SCAN_MOUNTED },
  };
  for (gsize i = 0; i < G_N_ELEMENTS (scans); i++)
    ADD_DATA (scans[i].path, test_created_during_scan,
              GINT_TO_POINTER (scans[i].start));
  ADD_DATA ("/tessel/watch/same-second-edit/in-place",
            test_same_second_edit, GINT_TO_POINTER (FALSE));
  ADD_DATA ("/tessel/watch/same-second-edit/replaced",
            test_same_second_edit, GINT_TO_POINTER (TRUE));
  ADD_DATA ("/tessel/watch/moved-back-at-once/root", test_moved_back_at_once,
            "lib");
  ADD_DATA ("/tessel/watch/moved-back-at-once/folder",
            test_moved_back_at_once, "lib/sub");
#undef ADD_DATA
  return g_test_run ();
}
