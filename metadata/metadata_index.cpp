/* Initialisation and shutdown, and the indexing of files through
 * extractor plug-ins. */
#include "metadata.h"
#include "metadata_conf.h"
#include "metadata_plugin-private.h"
#include "metadata_search-private.h"
#include "metadata_storage-private.h"
#include "metadata_storage.h"
#include "tessel-private.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

/* The progress callback runs after every this many batch entries. */
#define META_PROGRESS_INTERVAL 25
/* Extracted files are stored this many at a time, in one transaction. */
#define META_STORE_GROUP 25
/* Extraction runs at most this many entries ahead of storing: enough to
 * go on through a commit or a checkpoint, which take as long as reading
 * several groups. */
#define META_EXTRACT_AHEAD (8 * META_STORE_GROUP)

extern "C" int
meta_init (void)
{
  meta_load_lib_conf ();
  meta_search_reset_slots ();
  return storage_init ();
}

extern "C" int
meta_destruct (void)
{
  meta_free_lib_conf ();
  return storage_close ();
}

/* The extension a batch is sorted by: the text from the last dot on, or
 * NULL for a name without a dot. */
static const gchar *
sort_extension (const gchar *name)
{
  return strrchr (name, '.');
}

/* Orders names by extension ignoring ASCII case, names without a dot
 * first.  Two names without a dot compare equal, so that the order is
 * consistent and qsort never sees contradicting answers. */
static int
compare_by_extension (const void *a, const void *b)
{
  const gchar *name_a = *static_cast<const gchar *const *> (a);
  const gchar *name_b = *static_cast<const gchar *const *> (b);
  if (name_a == NULL || name_b == NULL)
    return 0;
  const gchar *ext_a = sort_extension (name_a);
  const gchar *ext_b = sort_extension (name_b);
  if (ext_a == NULL)
    return ext_b == NULL ? 0 : -1;
  if (ext_b == NULL)
    return 1;
  return g_ascii_strcasecmp (ext_a, ext_b);
}

namespace
{

/* Extracted lists waiting to be stored.  A commit costs more than storing a
 * row, so rows go in groups; extraction happens before the group's write
 * lock is taken, so that other writers wait only while rows are written. */
class PendingRows
{
public:
  PendingRows () = default;
  PendingRows (const PendingRows &) = delete;
  PendingRows &operator= (const PendingRows &) = delete;
  ~PendingRows () { store (); }

  /* Takes list, of the file name, which must outlive the next store (). */
  void
  add (const gchar *name, MetaItem *list)
  {
    rows.emplace_back (name, list);
    if (rows.size () >= META_STORE_GROUP)
      store ();
  }

  /* Stores every waiting list as a present row and releases it.  The
   * list is all the file says now: tags it lost leave the row too. */
  void
  store ()
  {
    if (rows.empty ())
      return;
    pause_if_back_to_back ();
    /* The group's transaction keeps other threads off the connection
     * until it ends, so none of their work becomes part of it. */
    int begun = storage_write_begin_group ();
    for (auto &row : rows)
      storage_store_extracted (row.second, row.first, 1);
    /* A failed commit, or an error that rolled the group back part-way,
     * loses rows already stored: each is stored again on its own. */
    if (!storage_write_end (begun, TRUE) && begun == 1)
      for (auto &row : rows)
        storage_store_extracted (row.second, row.first, 1);
    for (auto &row : rows)
      meta_free_list (&row.second);
    rows.clear ();
    storage_checkpoint_if_due ();
    last_commit = g_get_monotonic_time ();
  }

private:
  /* Groups stored back to back, as when storing lags behind extraction,
   * leave another writer (a player saving a play count) gaps of a few
   * microseconds between them, which its looks at the lock can keep
   * missing.  After a few such groups the storer rests a millisecond.
   * While storing keeps pace, waiting for the next group's files makes
   * such gaps anyway. */
  void
  pause_if_back_to_back ()
  {
    if (last_commit != 0 && g_get_monotonic_time () - last_commit < 500)
      back_to_back++;
    else
      back_to_back = 0;
    if (back_to_back >= 4)
      {
        g_usleep (1000);
        back_to_back = 0;
      }
  }

  std::vector<std::pair<const gchar *, MetaItem *>> rows;
  gint64 last_commit = 0;
  int back_to_back = 0;
};

} // namespace

/* TRUE when name can become a row: a regular file that this process can
 * open for reading, under a name that fits a list node whole (the row's
 * name comes from the list's Filename item; a longer one would be cut and
 * name another file).  A name that is gone since it was listed, a folder
 * or a device named like a song would give a present row that no player
 * can play. */
static gboolean
is_indexable_file (const gchar *name, struct stat *st)
{
  if (strlen (name) >= META_VALUE_SIZE)
    return FALSE;
  /* Nothing is opened here: opening a device or a pipe can block or act on
   * the device, and the plug-in opens the file anyway.  The permission
   * test is the one opening it would meet, with this process's effective
   * ids. */
  return stat (name, st) == 0 && S_ISREG (st->st_mode)
         && faccessat (AT_FDCWD, name, R_OK, AT_EACCESS) == 0;
}

namespace
{

/* One entry of the batch that reached a plug-in: its position in the walk
 * (1 for the first entry) and the list the plug-in made of it, with the
 * file's attributes, or NULL. */
struct Extracted
{
  gint position;
  const gchar *name;
  MetaItem *list;
};

/* Extraction of a batch on a thread of its own, ahead of storing: while
 * the caller's thread stores one group of rows, the next files are
 * extracted.  Only this thread calls plug-ins, so they are called from one
 * thread at a time, in the order of the batch, as before.  The entries
 * come out in order through next (). */
class Extractor
{
public:
  explicit Extractor (gchar **files) : files (files)
  {
    thread = g_thread_new ("tessel-extract", run, this);
  }

  ~Extractor ()
  {
    {
      std::lock_guard<std::mutex> locked (lock);
      stopping = TRUE;
      drained.notify_one ();
    }
    g_thread_join (thread);
    for (Extracted &e : queue)
      meta_free_list (&e.list);
  }

  Extractor (const Extractor &) = delete;
  Extractor &operator= (const Extractor &) = delete;

  /* The next entry that reached a plug-in, waiting for it; FALSE after
   * the last.  The list becomes the caller's. */
  gboolean
  next (Extracted *out)
  {
    std::unique_lock<std::mutex> locked (lock);
    /* The caller stores whole groups: once it has caught up, it waits for
     * the next group's worth of entries rather than for each one. */
    while (queue.empty () && !finished)
      {
        storer_waits = TRUE;
        filled.wait (locked);
        storer_waits = FALSE;
      }
    if (queue.empty ())
      return FALSE;
    *out = queue.front ();
    queue.pop_front ();
    /* A waiting extractor goes on once half the room is free again, not
     * for every entry taken: each wake-up is a system call on both
     * sides. */
    if (extractor_waits && queue.size () <= META_EXTRACT_AHEAD / 2)
      drained.notify_one ();
    return TRUE;
  }

private:
  static gpointer
  run (gpointer self) noexcept
  {
    static_cast<Extractor *> (self)->extract_all ();
    return NULL;
  }

  /* Hands over e, waiting while the caller is far enough behind.  FALSE
   * when the caller has gone. */
  gboolean
  hand_over (const Extracted &e)
  {
    std::unique_lock<std::mutex> locked (lock);
    while (queue.size () >= META_EXTRACT_AHEAD && !stopping)
      {
        extractor_waits = TRUE;
        drained.wait (locked);
        extractor_waits = FALSE;
      }
    if (stopping)
      return FALSE;
    queue.push_back (e);
    if (storer_waits && queue.size () >= META_STORE_GROUP)
      filled.notify_one ();
    return TRUE;
  }

  void
  extract_all ()
  {
    MetaPluginCache plugin;
    gint position = 0;
    for (gchar **entry = files; *entry != NULL; entry++)
      {
        position++;
        const gchar *name = *entry;
        if (*name == '\0')
          continue;
        g_autofree gchar *libname = meta_get_libname (name);
        struct stat st;
        if (libname == NULL || !is_indexable_file (name, &st)
            || !plugin.select (libname, NULL))
          continue;

        /* The size and time from before the plug-in read the file: should
         * it change meanwhile, the row looks older than the file and the
         * next scan reads it again. */
        MetaItem *list
            = meta_plugin_call (plugin.lookup ("get_metadata"), name);
        list = tessel_list_append_file_attrib (list, &st);
        Extracted e = { position, name, list };
        if (!hand_over (e))
          {
            meta_free_list (&e.list);
            break;
          }
      }
    std::lock_guard<std::mutex> locked (lock);
    finished = TRUE;
    filled.notify_one ();
  }

  gchar **files;
  GThread *thread = nullptr;
  std::mutex lock;
  /* The storer waits on filled for an entry, the extractor on drained
   * for room; each is signalled only while the other waits. */
  std::condition_variable filled;
  std::condition_variable drained;
  gboolean storer_waits = FALSE;
  gboolean extractor_waits = FALSE;
  std::deque<Extracted> queue;
  gboolean finished = FALSE;
  gboolean stopping = FALSE;
};

} // namespace

/* Sorts the first count names of files in place by extension, then hands
 * every name up to the NULL entry to the plug-in configured for its
 * extension and stores the list it returns, with the file's size and
 * modification time, as a present row.  Names that are not readable
 * regular files or are too long to be a row's name, files without a
 * plug-in, or whose plug-in cannot be loaded or returns nothing, are
 * skipped silently.
 * progress (may be NULL) runs after every 25th entry that reached a
 * plug-in.  0 for a NULL batch or a count below 1, else 1. */
extern "C" int
meta_add_files_with_check (gchar **files, gint count,
                           MetaProgressFunc progress, gint user_data)
{
  if (files == NULL || count <= 0)
    return 0;

  /* Only the names before a NULL entry are sorted: the walk below ends at
   * the first NULL anyway, and a NULL cannot take part in the ordering. */
  gsize sortable = 0;
  while (sortable < static_cast<gsize> (count) && files[sortable] != NULL)
    sortable++;
  qsort (files, sortable, sizeof (gchar *), compare_by_extension);

  /* Rows are stored in the order of the batch, as the extractor hands
   * them over. */
  storage_indexing_pass (TRUE);
  PendingRows pending;
  Extractor extractor (files);
  Extracted e;
  while (extractor.next (&e))
    {
      if (e.list != NULL)
        pending.add (e.name, e.list);
      if (progress != NULL && e.position % META_PROGRESS_INTERVAL == 0)
        {
          /* What progress reports is in the table. */
          pending.store ();
          progress (files, count, user_data);
        }
    }
  pending.store ();
  storage_indexing_pass (FALSE);
  return 1;
}

/* Stores a stream URL as a row with "isStream" 1; title and MIME are left
 * out when NULL. */
static int
store_url (const gchar *url, const gchar *title, const gchar *mime)
{
  if (url == NULL)
    return 0;
  MetaItem *list = meta_list_append_text ("Filename", url, NULL);
  list = meta_list_append_text ("Title", title, list);
  list = meta_list_append_text ("MIME", mime, list);
  list = meta_list_append_int ("isStream", 1, list);
  int stored = storage_store (list, url, 1);
  meta_free_list (&list);
  return stored;
}

extern "C" int
meta_add_url (const gchar *url)
{
  return store_url (url, NULL, NULL);
}

extern "C" int
meta_add_url_with_title_and_mime (const gchar *url, const gchar *title,
                                  const gchar *mime)
{
  return store_url (url, title, mime);
}

/* Compares a file's size and modification time with its row.  No row:
 * *modified 1, *present 0.  Otherwise *present is the row's flag and
 * *modified says whether the file differs; 0 (with *modified untouched)
 * when the file is missing, empty or not a regular file, or an argument
 * is NULL. */
extern "C" int
meta_is_modified_or_new (const gchar *filename, gchar *modified,
                         gchar *present)
{
  if (filename == NULL || modified == NULL || present == NULL)
    return 0;
  gint32 size = 0;
  gint32 lastmodified = 0;
  gchar stored_present = 0;
  if (!storage_read_size_lastmodified_present (filename, &size, &lastmodified,
                                               &stored_present))
    {
      *present = 0;
      *modified = 1;
      return 1;
    }
  *present = stored_present ? 1 : 0;

  struct stat st;
  if (stat (filename, &st) != 0 || !S_ISREG (st.st_mode) || st.st_size == 0)
    return 0;
  /* The row holds the time as 32 bits, exactly as meta_add_file_attrib
   * stored it. */
  *modified = (static_cast<gint32> (st.st_mtime) != lastmodified
               || st.st_size != static_cast<off_t> (size))
                  ? 1
                  : 0;
  return 1;
}
