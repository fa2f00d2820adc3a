/* Another process holding the database: a forked child keeps a write
 * transaction open while the library stores or writes.  The library waits
 * (500 ms busy timeout, six attempts) and succeeds when the lock goes in
 * time, or reports 0 and leaves the row as it was. */
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include "tessel-test.h"

/* Long enough for every attempt of the library to run out. */
#define HOLD_LONG_MS 4500
#define HOLD_SHORT_MS 700

typedef struct
{
  pid_t pid;
  int go_fd;
  int ready_fd;
} LockHolder;

/* Forks a child that, once told to go, opens its own connection, runs
 * begin ("BEGIN IMMEDIATE" or "BEGIN EXCLUSIVE") and an uncommitted change
 * to every row, holds the lock for hold_ms and rolls back.  The parent's
 * connection must be closed while it forks, so that the child inherits no
 * SQLite state. */
static LockHolder
hold_lock (const gchar *db, const gchar *begin, guint hold_ms)
{
  int go[2], ready[2];
  g_assert_cmpint (pipe (go), ==, 0);
  g_assert_cmpint (pipe (ready), ==, 0);
  LockHolder holder;
  holder.pid = fork ();
  g_assert_cmpint (holder.pid, >=, 0);
  if (holder.pid == 0)
    {
      close (go[1]);
      close (ready[0]);
      char status = 'L';
      if (read (go[0], &status, 1) != 1)
        _exit (2);
      sqlite3 *conn = NULL;
      if (sqlite3_open (db, &conn) != SQLITE_OK
          || sqlite3_exec (conn, begin, NULL, NULL, NULL) != SQLITE_OK
          || sqlite3_exec (conn, "UPDATE Metadata SET Title = 'child'", NULL,
                           NULL, NULL)
                 != SQLITE_OK)
        status = 'E';
      if (write (ready[1], &status, 1) != 1)
        _exit (2);
      g_usleep (hold_ms * (G_USEC_PER_SEC / 1000));
      sqlite3_exec (conn, "ROLLBACK", NULL, NULL, NULL);
      sqlite3_close (conn);
      _exit (status == 'L' ? 0 : 1);
    }
  close (go[0]);
  close (ready[1]);
  holder.go_fd = go[1];
  holder.ready_fd = ready[0];
  return holder;
}

/* Lets the child take its lock and returns once it holds it. */
static void
wait_until_locked (LockHolder *holder)
{
  char status = 'L';
  g_assert_cmpint (write (holder->go_fd, &status, 1), ==, 1);
  close (holder->go_fd);
  status = 0;
  g_assert_cmpint (read (holder->ready_fd, &status, 1), ==, 1);
  g_assert_cmpint (status, ==, 'L');
  close (holder->ready_fd);
}

static void
release (LockHolder *holder)
{
  int status = 0;
  g_assert_cmpint (waitpid (holder->pid, &status, 0), ==, holder->pid);
  g_assert_true (WIFEXITED (status));
  g_assert_cmpint (WEXITSTATUS (status), ==, 0);
}

/* Creates the table with one row, leaving the library's connection
 * closed. */
static void
seed (TesselFixture *fx)
{
  g_assert_cmpint (storage_init (), ==, 1);
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename, Title, Track, "
                           "Present, AddedTime) VALUES "
                           "('/media/mmc1/x.mp3', 'kept', 3, 0, 12345)");
  g_assert_cmpint (storage_close (), ==, 0);
}

static gchar *
row_state (TesselFixture *fx)
{
  return tessel_test_sql_text (
      fx->db, "SELECT group_concat(Filename || '|' || Title || '|' || Track "
              "|| '|' || Present || '|' || AddedTime, ';') FROM Metadata");
}

static MetaItem *
renaming_list (void)
{
  MetaItem *list = meta_list_append_text ("Filename", "/media/mmc2/x.mp3",
                                          NULL);
  return meta_list_append_text ("Title", "new", list);
}

static void
test_store_waits_for_lock (TesselFixture *fx, gconstpointer data)
{
  const gchar *begin = data;
  seed (fx);
  LockHolder holder = hold_lock (fx->db, begin, HOLD_SHORT_MS);
  g_assert_cmpint (storage_init (), ==, 1);
  wait_until_locked (&holder);

  gint64 start = g_get_monotonic_time ();
  MetaItem *list = renaming_list ();
  g_assert_cmpint (storage_store (list, "/media/mmc2/x.mp3", 1), ==, 1);
  meta_free_list (&list);
  /* It did wait for the other process. */
  g_assert_cmpint (g_get_monotonic_time () - start, >=,
                   (HOLD_SHORT_MS / 2) * 1000);
  release (&holder);

  g_autofree gchar *state = row_state (fx);
  g_assert_cmpstr (state, ==, "/media/mmc2/x.mp3|new|3|1|12345");
}

static void
test_store_gives_up (TesselFixture *fx, gconstpointer data)
{
  const gchar *begin = data;
  seed (fx);
  g_autofree gchar *before = row_state (fx);
  LockHolder holder = hold_lock (fx->db, begin, HOLD_LONG_MS);
  g_assert_cmpint (storage_init (), ==, 1);
  wait_until_locked (&holder);

  /* Whether the lock keeps the library from reading (exclusive) or only
   * from writing (immediate), the store fails as a whole: no update, and
   * no second row for the file under the other card's name. */
  MetaItem *list = renaming_list ();
  g_assert_cmpint (storage_store (list, "/media/mmc2/x.mp3", 1), ==, 0);
  meta_free_list (&list);
  release (&holder);

  g_autofree gchar *after = row_state (fx);
  g_assert_cmpstr (after, ==, before);
}

static void
test_write_waits_for_lock (TesselFixture *fx, gconstpointer data)
{
  const gchar *begin = data;
  seed (fx);
  LockHolder holder = hold_lock (fx->db, begin, HOLD_SHORT_MS);
  g_assert_cmpint (storage_init (), ==, 1);
  wait_until_locked (&holder);
  g_assert_cmpint (storage_write_int ("/media/mmc1/x.mp3", "Track", 9), ==,
                   1);
  release (&holder);
  g_autofree gchar *state = row_state (fx);
  g_assert_cmpstr (state, ==, "/media/mmc1/x.mp3|kept|9|0|12345");
}

static void
test_write_gives_up (TesselFixture *fx, gconstpointer data)
{
  const gchar *begin = data;
  seed (fx);
  g_autofree gchar *before = row_state (fx);
  LockHolder holder = hold_lock (fx->db, begin, HOLD_LONG_MS);
  g_assert_cmpint (storage_init (), ==, 1);
  wait_until_locked (&holder);
  g_assert_cmpint (storage_write_int ("/media/mmc1/x.mp3", "Track", 9), ==,
                   0);
  release (&holder);
  g_autofree gchar *after = row_state (fx);
  g_assert_cmpstr (after, ==, before);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
#define ADD(path, begin, fn)                                                  \
  g_test_add (path, TesselFixture, begin, tessel_fixture_setup, fn,          \
              tessel_fixture_teardown)
  ADD ("/storage/busy/store-waits-for-immediate", "BEGIN IMMEDIATE",
       test_store_waits_for_lock);
  ADD ("/storage/busy/store-waits-for-exclusive", "BEGIN EXCLUSIVE",
       test_store_waits_for_lock);
  ADD ("/storage/busy/store-gives-up-immediate", "BEGIN IMMEDIATE",
       test_store_gives_up);
  ADD ("/storage/busy/store-gives-up-exclusive", "BEGIN EXCLUSIVE",
       test_store_gives_up);
  ADD ("/storage/busy/write-waits-for-exclusive", "BEGIN EXCLUSIVE",
       test_write_waits_for_lock);
  ADD ("/storage/busy/write-gives-up-immediate", "BEGIN IMMEDIATE",
       test_write_gives_up);
  return g_test_run ();
}
