/* The database monitor.  File events say that some process is writing to
 * the database or its journal; PRAGMA data_version on a connection of the
 * monitor's own says whether a commit happened since the last look (it
 * ignores the looking connection's own commits, so the library's
 * connection cannot serve).
 *
 * A commit shows a little after its file events: the first event of a
 * write arrives while the writer is still writing, and a commit to the
 * log counts only once the writer has updated the shared index after its
 * last write, which no event reports.  So a look that finds nothing while
 * events arrive is repeated shortly, and the last one is followed by one
 * more look a hold later.  A look that finds a commit emits at once and
 * then holds further signals: a burst of commits gives one signal per
 * hold, not one per commit.  A file held by a committing writer counts as
 * a commit found.  With no events and nothing found, no timer
 * is left. */
#include "metadata_monitor.h"
#include "metadata_storage-private.h"
#include "tessel-private.h"

#include <gio/gio.h>

/* How long signals are held after one: it bounds the signal rate of a
 * burst and adds to the delay of a commit made while holding. */
#define MONITOR_HOLD_MS 150
/* How soon a look is repeated while events arrive and nothing shows. */
#define MONITOR_CATCH_UP_MS 25

/* The database file, its write-ahead log and its rollback journal: a
 * commit writes to the log, or to the file and the journal, and a file
 * can change between the two. */
static const char *const watched_suffixes[] = { "", "-wal", "-journal" };
#define N_WATCHED G_N_ELEMENTS (watched_suffixes)

struct _MetaMonitor
{
  GObject parent;

  sqlite3 *db;              /* read-only, the monitor's own */
  sqlite3_stmt *version;    /* PRAGMA data_version */
  sqlite3_int64 last_version;
  GMainContext *context;    /* where the signal is emitted */
  GFileMonitor *files[N_WATCHED];
  GSource *next_look;       /* only while changes are arriving */
  gboolean events_since_look;
  gboolean catching_up;     /* events came, and no commit showed yet */
};

G_DEFINE_TYPE (MetaMonitor, meta_monitor, G_TYPE_OBJECT)

enum
{
  CHANGED,
  N_SIGNALS
};
static guint signals[N_SIGNALS];

enum class Look
{
  SAME,
  CHANGED,
  /* A writer holds the file to commit: in the rollback journal it does
   * so for most of a burst of commits, with its syncs, and a look would
   * rarely get through.  The commit is as good as made. */
  BUSY,
};

/* Reads data_version and compares it with the last one read. */
static Look
look (MetaMonitor *self)
{
  int rc = sqlite3_step (self->version);
  sqlite3_int64 version = rc == SQLITE_ROW
                              ? sqlite3_column_int64 (self->version, 0)
                              : self->last_version;
  sqlite3_reset (self->version);
  if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
    return Look::BUSY;
  /* Any other failure (a damaged file, one a crashed writer left for a
   * writer to repair) is nothing to tell; the next event looks again. */
  if (version == self->last_version)
    return Look::SAME;
  self->last_version = version;
  return Look::CHANGED;
}

static gboolean on_next_look (gpointer data) noexcept;

static void
look_again_in (MetaMonitor *self, guint ms)
{
  self->next_look = g_timeout_source_new (ms);
  /* The monitor owns the source and destroys it in dispose, so the
   * callback needs no reference of its own. */
  g_source_set_callback (self->next_look, on_next_look, self, NULL);
  g_source_set_static_name (self->next_look, "[tessel] monitor look");
  g_source_attach (self->next_look, self->context);
}

/* Looks, emits what it finds and decides when to look next.  events: file
 * events came in since the last look (or prompted this one). */
static void
look_and_tell (MetaMonitor *self, gboolean events)
{
  switch (look (self))
    {
    case Look::CHANGED:
    case Look::BUSY:
      self->catching_up = FALSE;
      look_again_in (self, MONITOR_HOLD_MS);
      /* A handler may drop the last reference: dispose then waits for
       * the emission to end, and stops the look just planned. */
      g_object_ref (self);
      g_signal_emit (self, signals[CHANGED], 0);
      g_object_unref (self);
      break;
    case Look::SAME:
    default:
      if (events)
        {
          self->catching_up = TRUE;
          look_again_in (self, MONITOR_CATCH_UP_MS);
        }
      else if (self->catching_up)
        {
          /* The writes have stopped: their commit may still be on its
           * way to visibility. */
          self->catching_up = FALSE;
          look_again_in (self, MONITOR_HOLD_MS);
        }
      break;
    }
}

static gboolean
on_next_look (gpointer data) noexcept
{
  MetaMonitor *self = static_cast<MetaMonitor *> (data);
  /* The context keeps the source alive until this callback returns. */
  g_source_unref (self->next_look);
  self->next_look = NULL;
  gboolean events = self->events_since_look;
  self->events_since_look = FALSE;
  look_and_tell (self, events);
  return G_SOURCE_REMOVE;
}

static void
on_file_event (GFileMonitor *monitor, GFile *file, GFile *other,
               GFileMonitorEvent event, gpointer data) noexcept
{
  (void) monitor;
  (void) file;
  (void) other;
  /* Hints follow the writes they sum up (GLib makes them up two seconds
   * after the last write); attributes are no content. */
  if (event == G_FILE_MONITOR_EVENT_CHANGES_DONE_HINT
      || event == G_FILE_MONITOR_EVENT_ATTRIBUTE_CHANGED)
    return;
  MetaMonitor *self = static_cast<MetaMonitor *> (data);
  if (self->next_look != NULL)
    self->events_since_look = TRUE;
  else
    look_and_tell (self, TRUE);
}

static void
meta_monitor_dispose (GObject *object)
{
  MetaMonitor *self = META_MONITOR (object);
  if (self->next_look != NULL)
    {
      g_source_destroy (self->next_look);
      g_source_unref (self->next_look);
      self->next_look = NULL;
    }
  for (GFileMonitor *&file : self->files)
    if (file != NULL)
      {
        g_signal_handlers_disconnect_by_data (file, self);
        g_file_monitor_cancel (file);
        g_clear_object (&file);
      }
  G_OBJECT_CLASS (meta_monitor_parent_class)->dispose (object);
}

static void
meta_monitor_finalize (GObject *object)
{
  MetaMonitor *self = META_MONITOR (object);
  sqlite3_finalize (self->version);
  sqlite3_close (self->db);
  g_main_context_unref (self->context);
  G_OBJECT_CLASS (meta_monitor_parent_class)->finalize (object);
}

static void
meta_monitor_class_init (MetaMonitorClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->dispose = meta_monitor_dispose;
  object_class->finalize = meta_monitor_finalize;
  signals[CHANGED] = g_signal_new ("changed", G_TYPE_FROM_CLASS (klass),
                                   G_SIGNAL_RUN_LAST, 0, NULL, NULL, NULL,
                                   G_TYPE_NONE, 0);
}

static void
meta_monitor_init (MetaMonitor *self)
{
  self->context = g_main_context_ref_thread_default ();
}

/* Opens the monitor's own read-only connection on path with the first
 * data_version read.  FALSE when the file cannot be read. */
static gboolean
open_own_connection (MetaMonitor *self, const gchar *path)
{
  if (sqlite3_open_v2 (path, &self->db, SQLITE_OPEN_READONLY, NULL)
      != SQLITE_OK)
    return FALSE;
  if (sqlite3_prepare_v2 (self->db, "PRAGMA data_version", -1,
                          &self->version, NULL)
      != SQLITE_OK)
    return FALSE;
  /* The first read may wait for a writer as any reader does; later looks
   * never block the main loop, a busy file is looked at again later. */
  sqlite3_busy_timeout (self->db, STORAGE_BUSY_TIMEOUT_MS);
  int rc = sqlite3_step (self->version);
  if (rc == SQLITE_ROW)
    self->last_version = sqlite3_column_int64 (self->version, 0);
  sqlite3_reset (self->version);
  sqlite3_busy_timeout (self->db, 0);
  return rc == SQLITE_ROW;
}

extern "C" MetaMonitor *
meta_monitor_new (void)
{
  g_autofree gchar *path = storage_database_file ();
  if (path == NULL)
    return NULL;
  g_autoptr (MetaMonitor) self
      = META_MONITOR (g_object_new (META_TYPE_MONITOR, NULL));
  if (!open_own_connection (self, path))
    return NULL;
  /* File monitors deliver their events on the thread-default context of
   * the thread that makes them: the same one as the looks. */
  for (gsize i = 0; i < N_WATCHED; i++)
    {
      g_autofree gchar *name = g_strconcat (path, watched_suffixes[i], NULL);
      g_autoptr (GFile) file = g_file_new_for_path (name);
      self->files[i]
          = g_file_monitor_file (file, G_FILE_MONITOR_NONE, NULL, NULL);
      if (self->files[i] == NULL)
        return NULL;
      /* GLib holds back a file's repeated changes for 800 ms by default,
       * longer than a change may wait; the monitor coalesces itself. */
      g_file_monitor_set_rate_limit (self->files[i], 0);
      g_signal_connect (self->files[i], "changed",
                        G_CALLBACK (on_file_event), self);
    }
  return static_cast<MetaMonitor *> (g_steal_pointer (&self));
}
