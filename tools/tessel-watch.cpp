/* tessel watch: keeps the database current while it runs.  It starts with
 * the pass of `tessel index`, then follows the folders with file monitors,
 * indexes what was created or changed once it has been quiet for a while,
 * marks absent what was deleted or moved away, and follows memory cards as
 * they are mounted and unmounted.  Public library calls only. */
#include "tessel.h"
#include "tessel-scan.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <list>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <gio/gio.h>
#include <gio/gunixmounts.h>
#include <glib-unix.h>

namespace
{

struct MonitorUnref
{
  void
  operator() (GFileMonitor *m) const noexcept
  {
    /* A cancelled monitor emits nothing more. */
    g_file_monitor_cancel (m);
    g_object_unref (m);
  }
};
using Monitor = std::unique_ptr<GFileMonitor, MonitorUnref>;

/* A folder followed by a monitor, with the identity of the folder it was
 * set on: a folder replaced under the same name is a new folder.  An
 * identity of 0 marks a monitor that stopped when its folder was moved
 * away: the folder, were it moved back, is followed and looked at anew. */
struct Folder
{
  Monitor monitor;
  dev_t dev = 0;
  ino_t ino = 0;
};

/* A path with events, waiting to be quiet.  changed: an event said its
 * content changed, so it is indexed again even when its size and time,
 * which the row keeps in whole seconds, look the same. */
struct Pending
{
  std::string path;
  gint64 last_event = 0;
  gboolean changed = FALSE;
};

/* A root that does not exist, waited for through the monitor on its
 * nearest folder that does. */
struct Awaited
{
  Monitor monitor;
  std::string folder;
};

/* What a file looked like when it was handed over. */
struct FileState
{
  goffset size = -1;
  gint64 mtime = 0;
};

FileState
file_state (const std::string &name)
{
  FileState s;
  struct stat st;
  if (stat (name.c_str (), &st) == 0)
    {
      s.size = st.st_size;
      s.mtime = st.st_mtim.tv_sec * G_GINT64_CONSTANT (1000000000)
                + st.st_mtim.tv_nsec;
    }
  return s;
}

struct Watcher
{
  std::vector<std::string> roots;
  gint batch = 100;
  gint64 settle_us = G_USEC_PER_SEC;
  /* Test seams: a watch limit below the kernel's, the rescan interval of
   * unwatched folders, and a file listing mount points in place of the
   * system's mount table. */
  gint watch_limit = 0;
  gint rescan_seconds = 300;
  const char *mount_table = nullptr;

  GMainLoop *loop = nullptr;
  gboolean stopping = FALSE;
  gboolean initial = TRUE;
  int probe_fd = -1;

  std::map<std::string, Folder> folders;
  std::set<std::string> unwatched; /* refused a watch by the kernel */
  gboolean limit_reported = FALSE;
  std::map<std::string, Awaited> awaited; /* vanished roots */

  /* Paths with events, oldest last event first. */
  std::list<Pending> pending_order;
  std::unordered_map<std::string, std::list<Pending>::iterator> pending;

  std::deque<std::string> queue;
  std::unordered_set<std::string> queued;

  std::set<std::string> mounts; /* mount points that concern the roots */
  GUnixMountMonitor *mount_monitor = nullptr;
  Monitor mount_table_monitor;

  guint settle_source = 0;
  guint batch_source = 0;
  guint rescan_source = 0;

  /* Counts for the next line on stderr. */
  guint indexed = 0;
  guint not_stored = 0;
  guint absent = 0;
  gint64 work_start = 0;
};

void touch (Watcher *w, const std::string &path, gboolean changed);
void settle_path (Watcher *w, const std::string &path, gboolean changed);
void schedule_batches (Watcher *w);

gboolean
below_a_root (const Watcher *w, const std::string &path)
{
  for (const std::string &root : w->roots)
    if (tessel_scan_is_below (path, root))
      return TRUE;
  return FALSE;
}

const std::string &
key_of (const std::string &k)
{
  return k;
}

template <typename V>
const std::string &
key_of (const std::pair<const std::string, V> &entry)
{
  return entry.first;
}

/* Visits the keys of an ordered map or set that are path or lie below
 * it; fn may erase them. */
template <typename Map, typename Fn>
void
each_below (Map &map, const std::string &path, Fn fn)
{
  std::vector<std::string> keys;
  for (auto it = map.lower_bound (path);
       it != map.end () && key_of (*it).compare (0, path.size (), path) == 0;
       ++it)
    if (tessel_scan_is_below (key_of (*it), path))
      keys.push_back (key_of (*it));
  for (const std::string &k : keys)
    fn (k);
}

void
begin_work (Watcher *w)
{
  if (w->work_start == 0)
    w->work_start = g_get_monotonic_time ();
}

/* One plain line for what was done since the last one. */
void
report (Watcher *w)
{
  if (w->indexed == 0 && w->absent == 0 && w->not_stored == 0)
    {
      w->work_start = 0;
      return;
    }
  double seconds = (g_get_monotonic_time () - w->work_start) / 1e6;
  g_autofree gchar *failures
      = w->not_stored > 0
            ? g_strdup_printf (", %u could not be stored", w->not_stored)
            : g_strdup ("");
  fprintf (stderr, "tessel: watch: %u indexed, %u marked absent%s, %.2fs\n",
           w->indexed, w->absent, failures, seconds);
  fflush (stderr);
  w->indexed = w->absent = w->not_stored = 0;
  w->work_start = 0;
}

void
on_folder_event (GFileMonitor *monitor, GFile *file, GFile *other,
                 GFileMonitorEvent event, gpointer data) noexcept
{
  auto w = static_cast<Watcher *> (data);
  switch (event)
    {
    case G_FILE_MONITOR_EVENT_CHANGED:
    case G_FILE_MONITOR_EVENT_CHANGES_DONE_HINT:
    case G_FILE_MONITOR_EVENT_CREATED:
    case G_FILE_MONITOR_EVENT_DELETED:
    case G_FILE_MONITOR_EVENT_ATTRIBUTE_CHANGED:
    case G_FILE_MONITOR_EVENT_MOVED_IN:
    case G_FILE_MONITOR_EVENT_MOVED_OUT:
    case G_FILE_MONITOR_EVENT_RENAMED:
      break;
    default:
      /* Unmounts come from the mount table. */
      return;
    }
  for (GFile *f : { file, other })
    if (f != NULL)
      {
        g_autofree gchar *path = g_file_get_path (f);
        if (path == NULL)
          continue;
        if (event == G_FILE_MONITOR_EVENT_DELETED
            || event == G_FILE_MONITOR_EVENT_CREATED)
          {
            /* The folder's own monitor saw it go (deleted, or moved
             * away) and reports nothing more; or saw it come back, after
             * a time in which it reported nothing. */
            auto found = w->folders.find (path);
            if (found != w->folders.end ()
                && found->second.monitor.get () == monitor)
              found->second.dev = found->second.ino = 0;
          }
        touch (w, path, event != G_FILE_MONITOR_EVENT_ATTRIBUTE_CHANGED);
      }
}

/* FALSE when the kernel would refuse one more inotify watch. */
gboolean
watch_available (Watcher *w, const std::string &folder)
{
  if (w->watch_limit > 0)
    return w->folders.size () < static_cast<gsize> (w->watch_limit);
  if (w->probe_fd < 0)
    w->probe_fd = inotify_init1 (IN_CLOEXEC | IN_NONBLOCK);
  if (w->probe_fd < 0)
    return TRUE;
  /* The file monitors do not say when the kernel refused them (they fall
   * back to retrying in silence), so ask on a descriptor of our own. */
  int wd = inotify_add_watch (w->probe_fd, folder.c_str (),
                              IN_ONLYDIR | IN_CREATE);
  if (wd < 0)
    return errno != ENOSPC;
  inotify_rm_watch (w->probe_fd, wd);
  return TRUE;
}

gboolean on_rescan (gpointer data) noexcept;

void
refuse_watch (Watcher *w, const std::string &folder)
{
  w->unwatched.insert (folder);
  if (!w->limit_reported)
    {
      tessel_error ("the kernel refuses more inotify watches; "
                    "folders beyond the limit are rescanned every %d "
                    "seconds instead (raise fs.inotify.max_user_watches, "
                    "e.g. to 524288 with sysctl)",
                    w->rescan_seconds);
      w->limit_reported = TRUE;
    }
  if (w->rescan_source == 0)
    w->rescan_source
        = g_timeout_add_seconds (w->rescan_seconds, on_rescan, w);
}

void
watch_folder (Watcher *w, const std::string &folder)
{
  struct stat st;
  if (stat (folder.c_str (), &st) != 0)
    return;
  auto found = w->folders.find (folder);
  if (found != w->folders.end ())
    {
      if (found->second.dev == st.st_dev && found->second.ino == st.st_ino)
        return;
      w->folders.erase (found);
    }
  if (!watch_available (w, folder))
    {
      refuse_watch (w, folder);
      return;
    }
  g_autoptr (GFile) file = g_file_new_for_path (folder.c_str ());
  GFileMonitor *monitor = g_file_monitor_directory (
      file, G_FILE_MONITOR_WATCH_MOVES, NULL, NULL);
  if (monitor == NULL)
    {
      refuse_watch (w, folder);
      return;
    }
  g_signal_connect (monitor, "changed", G_CALLBACK (on_folder_event), w);
  w->unwatched.erase (folder);
  Folder &f = w->folders[folder];
  f.monitor.reset (monitor);
  f.dev = st.st_dev;
  f.ino = st.st_ino;
}

void
drop_folders_below (Watcher *w, const std::string &path)
{
  std::set<std::pair<dev_t, ino_t>> dropped;
  each_below (w->folders, path, [w, &dropped] (const std::string &k) {
    dropped.emplace (w->folders[k].dev, w->folders[k].ino);
    w->folders.erase (k);
  });
  each_below (w->unwatched, path,
              [w] (const std::string &k) { w->unwatched.erase (k); });
  /* A folder moved away may already be followed under its new name: the
   * kernel keeps one watch per folder, and dropping the old name's
   * monitor took it from the new one too.  Set those up again. */
  std::vector<std::string> shared;
  for (const auto &f : w->folders)
    if (dropped.count ({ f.second.dev, f.second.ino }) > 0)
      shared.push_back (f.first);
  for (const std::string &folder : shared)
    {
      w->folders.erase (folder);
      watch_folder (w, folder);
    }
}

void
enqueue (Watcher *w, const std::string &name)
{
  if (w->queued.insert (name).second)
    w->queue.push_back (name);
}

/* Walks a folder (or file) that is new to the watcher: follows its
 * folders, each before it is listed, and queues its new and changed
 * files. */
void
add_tree (Watcher *w, const std::string &path, TesselScan *scan,
          gboolean top = FALSE)
{
  std::size_t first_candidate = scan->candidates.size ();
  scan->entering = [w] (const std::string &folder) {
    watch_folder (w, folder);
  };
  tessel_scan_walk (path, scan, top);
  scan->entering = nullptr;
  TesselScanRows rows;
  if (first_candidate < scan->candidates.size ())
    rows.read ({ path });
  for (std::size_t i = first_candidate; i < scan->candidates.size (); i++)
    if (tessel_scan_judge (scan->candidates[i], rows, scan))
      enqueue (w, scan->candidates[i]);
}

void
await_root (Watcher *w, const std::string &root);

/* The rows below path are absent: one statement when the path holds no
 * character the prefix match takes as a wildcard, else row by row. */
void
mark_below_absent (Watcher *w, const std::string &path)
{
  if (path.find_first_of ("%_") == std::string::npos)
    {
      std::string prefix = path == "/" ? path : path + "/";
      meta_path_absent (prefix.c_str ());
      return;
    }
  w->absent += tessel_scan_mark_vanished ({ path });
}

/* path no longer exists: its row, or the rows below the folder it was,
 * are absent, and its folders are no longer followed. */
void
vanished (Watcher *w, const std::string &path)
{
  gboolean was_folder = w->folders.count (path) > 0
                        || w->unwatched.count (path) > 0
                        || std::find (w->roots.begin (), w->roots.end (),
                                      path)
                               != w->roots.end ();
  if (was_folder)
    {
      drop_folders_below (w, path);
      w->absent += tessel_scan_mark_vanished ({ path });
    }
  else
    {
      gint32 present = 0;
      if (meta_read_integer (path.c_str (), "Present", &present) && present
          && meta_file_absent (path.c_str ()))
        w->absent++;
    }
  for (const std::string &root : w->roots)
    if (tessel_scan_is_below (root, path))
      await_root (w, root);
}

void
settle_path (Watcher *w, const std::string &path, gboolean changed)
{
  if (!below_a_root (w, path))
    return;
  struct stat st;
  if (stat (path.c_str (), &st) != 0)
    {
      vanished (w, path);
      return;
    }
  if (S_ISDIR (st.st_mode))
    {
      struct stat lst;
      if (lstat (path.c_str (), &lst) != 0 || S_ISLNK (lst.st_mode))
        return;
      auto found = w->folders.find (path);
      if (found != w->folders.end () && found->second.dev == st.st_dev
          && found->second.ino == st.st_ino)
        return;
      if (found != w->folders.end ())
        {
          /* Another folder under the old one's name. */
          drop_folders_below (w, path);
          w->absent += tessel_scan_mark_vanished ({ path });
        }
      TesselScan scan;
      add_tree (w, path, &scan);
      return;
    }
  if (!S_ISREG (st.st_mode) || st.st_size == 0
      || !meta_has_recognized_extension (path.c_str ()))
    return;
  TesselScan scan;
  if (changed || tessel_scan_judge (path, TesselScanRows (), &scan))
    enqueue (w, path);
}

gboolean
on_settle (gpointer data) noexcept
{
  auto w = static_cast<Watcher *> (data);
  w->settle_source = 0;
  gint64 now = g_get_monotonic_time ();
  begin_work (w);
  while (!w->pending_order.empty ()
         && w->pending_order.front ().last_event + w->settle_us <= now)
    {
      Pending p = std::move (w->pending_order.front ());
      w->pending.erase (p.path);
      w->pending_order.pop_front ();
      settle_path (w, p.path, p.changed);
    }
  if (!w->pending_order.empty ())
    {
      gint64 wait
          = w->pending_order.front ().last_event + w->settle_us - now;
      /* Coalesce the events of a burst into a few wake-ups. */
      guint ms = MAX (50, static_cast<guint> (wait / 1000) + 1);
      w->settle_source = g_timeout_add (ms, on_settle, w);
    }
  if (w->queue.empty ())
    report (w);
  else
    schedule_batches (w);
  return G_SOURCE_REMOVE;
}

void
touch (Watcher *w, const std::string &path, gboolean changed)
{
  auto found = w->pending.find (path);
  if (found != w->pending.end ())
    {
      changed = changed || found->second->changed;
      w->pending_order.erase (found->second);
    }
  w->pending_order.push_back ({ path, g_get_monotonic_time (), changed });
  w->pending[path] = std::prev (w->pending_order.end ());
  if (w->settle_source == 0)
    w->settle_source = g_timeout_add (
        MAX (50, static_cast<guint> (w->settle_us / 1000) + 1), on_settle, w);
}

/* Hands the next batch of the queue to the library.  A file that changed
 * while it was read is indexed again once it is quiet. */
void
run_batch (Watcher *w)
{
  std::vector<std::string> names;
  std::vector<FileState> before;
  while (!w->queue.empty () && names.size () < static_cast<gsize> (w->batch))
    {
      std::string name = std::move (w->queue.front ());
      w->queue.pop_front ();
      w->queued.erase (name);
      FileState s = file_state (name);
      if (s.size <= 0)
        continue; /* gone, or emptied, since it settled */
      names.push_back (std::move (name));
      before.push_back (s);
    }
  if (names.empty ())
    return;
  begin_work (w);
  tessel_scan_hand_over (names, 0, names.size (), NULL);
  for (gsize i = 0; i < names.size (); i++)
    {
      /* A batch is small: each row is looked up on its own. */
      if (tessel_scan_row_is_current (names[i], TesselScanRows ()))
        w->indexed++;
      else
        w->not_stored++;
      FileState after = file_state (names[i]);
      if (after.size != before[i].size || after.mtime != before[i].mtime)
        touch (w, names[i], TRUE);
    }
}

gboolean
on_batch (gpointer data) noexcept
{
  auto w = static_cast<Watcher *> (data);
  run_batch (w);
  report (w);
  if (w->stopping)
    g_main_loop_quit (w->loop);
  if (w->queue.empty () || w->stopping)
    {
      w->batch_source = 0;
      return G_SOURCE_REMOVE;
    }
  return G_SOURCE_CONTINUE;
}

void
schedule_batches (Watcher *w)
{
  if (w->initial || w->batch_source != 0 || w->queue.empty ())
    return;
  w->batch_source = g_idle_add (on_batch, w);
}

/* Folders the kernel would not watch, looked at again: files queued,
 * vanished rows marked, new folders followed (or added to the list). */
gboolean
on_rescan (gpointer data) noexcept
{
  auto w = static_cast<Watcher *> (data);
  std::set<std::string> folders;
  std::swap (folders, w->unwatched);
  begin_work (w);
  std::vector<std::string> gone;
  for (const std::string &folder : folders)
    {
      if (!g_file_test (folder.c_str (), G_FILE_TEST_IS_DIR))
        {
          gone.push_back (folder);
          continue;
        }
      watch_folder (w, folder);
      g_autoptr (GDir) dir = g_dir_open (folder.c_str (), 0, NULL);
      const gchar *name;
      while (dir != NULL && (name = g_dir_read_name (dir)) != NULL)
        {
          std::string child = folder + "/" + name;
          if (w->folders.count (child) == 0 && w->unwatched.count (child) == 0
              && folders.count (child) == 0)
            settle_path (w, child, FALSE);
        }
    }
  w->absent += tessel_scan_mark_vanished (
      std::vector<std::string> (folders.begin (), folders.end ()));
  for (const std::string &folder : gone)
    vanished (w, folder);
  if (w->queue.empty ())
    report (w);
  else
    schedule_batches (w);
  if (w->unwatched.empty ())
    {
      w->rescan_source = 0;
      return G_SOURCE_REMOVE;
    }
  return G_SOURCE_CONTINUE;
}

/* Mount points -------------------------------------------------------- */

/* The paths that a mount table makes appear or disappear for the roots:
 * mount points at or below a root, and roots below a mount point. */
std::set<std::string>
mounts_of_concern (const Watcher *w, const std::vector<std::string> &table)
{
  std::set<std::string> concern;
  for (const std::string &m : table)
    for (const std::string &root : w->roots)
      {
        if (tessel_scan_is_below (m, root))
          concern.insert (m);
        else if (m != "/" && tessel_scan_is_below (root, m))
          concern.insert (root);
      }
  return concern;
}

std::vector<std::string>
read_mount_table (const Watcher *w)
{
  std::vector<std::string> table;
  if (w->mount_table != nullptr)
    {
      g_autofree gchar *text = NULL;
      g_file_get_contents (w->mount_table, &text, NULL, NULL);
      g_auto (GStrv) lines = g_strsplit (text != NULL ? text : "", "\n", -1);
      for (gchar **l = lines; *l != NULL; l++)
        if (**l != '\0')
          table.emplace_back (*l);
      return table;
    }
  GList *entries = g_unix_mounts_get (NULL);
  for (GList *e = entries; e != NULL; e = e->next)
    {
      auto entry = static_cast<GUnixMountEntry *> (e->data);
      table.emplace_back (g_unix_mount_get_mount_path (entry));
      g_unix_mount_free (entry);
    }
  g_list_free (entries);
  return table;
}

void
unmounted (Watcher *w, const std::string &path)
{
  drop_folders_below (w, path);
  mark_below_absent (w, path);
  /* Events from before the unmount would find the mount point's own
   * folder, or nothing. */
  for (auto it = w->queue.begin (); it != w->queue.end ();)
    if (tessel_scan_is_below (*it, path))
      {
        w->queued.erase (*it);
        it = w->queue.erase (it);
      }
    else
      ++it;
  for (auto it = w->pending_order.begin (); it != w->pending_order.end ();)
    if (tessel_scan_is_below (it->path, path))
      {
        w->pending.erase (it->path);
        it = w->pending_order.erase (it);
      }
    else
      ++it;
  tessel_error ("'%s' was unmounted; its rows are marked absent",
                path.c_str ());
}

void
mounted (Watcher *w, const std::string &path)
{
  /* The folders followed so far are the ones the mount now hides. */
  drop_folders_below (w, path);
  w->awaited.erase (path);
  TesselScan scan;
  add_tree (w, path, &scan);
  w->absent += tessel_scan_mark_vanished ({ path });
}

void
mounts_changed (Watcher *w)
{
  std::set<std::string> now = mounts_of_concern (w, read_mount_table (w));
  begin_work (w);
  for (const std::string &m : w->mounts)
    if (now.count (m) == 0)
      unmounted (w, m);
  for (const std::string &m : now)
    if (w->mounts.count (m) == 0)
      mounted (w, m);
  w->mounts = std::move (now);
  if (w->queue.empty ())
    report (w);
  else
    schedule_batches (w);
}

void
on_mounts_changed (GUnixMountMonitor *monitor, gpointer data) noexcept
{
  (void) monitor;
  mounts_changed (static_cast<Watcher *> (data));
}

void
on_mount_table_event (GFileMonitor *monitor, GFile *file, GFile *other,
                      GFileMonitorEvent event, gpointer data) noexcept
{
  (void) monitor;
  (void) file;
  (void) other;
  if (event == G_FILE_MONITOR_EVENT_CHANGES_DONE_HINT
      || event == G_FILE_MONITOR_EVENT_CREATED
      || event == G_FILE_MONITOR_EVENT_DELETED
      || event == G_FILE_MONITOR_EVENT_RENAMED
      || event == G_FILE_MONITOR_EVENT_MOVED_IN)
    mounts_changed (static_cast<Watcher *> (data));
}

/* Vanished roots ------------------------------------------------------ */

void
on_awaited_event (GFileMonitor *monitor, GFile *file, GFile *other,
                  GFileMonitorEvent event, gpointer data) noexcept
{
  (void) monitor;
  (void) file;
  (void) other;
  (void) event;
  auto w = static_cast<Watcher *> (data);
  std::vector<std::string> roots;
  for (const auto &a : w->awaited)
    roots.push_back (a.first);
  for (const std::string &root : roots)
    await_root (w, root);
}

/* The nearest folder above path that exists. */
std::string
nearest_folder (const std::string &path)
{
  std::string folder = path;
  do
    {
      g_autofree gchar *parent = g_path_get_dirname (folder.c_str ());
      folder = parent;
    }
  while (folder != "/" && !g_file_test (folder.c_str (), G_FILE_TEST_IS_DIR));
  return folder;
}

/* Follows the nearest existing folder above a root that does not exist,
 * until the root comes back; then it is scanned as a new folder.  The
 * root is looked for after the monitor is set, so that one appearing in
 * between (or before the watcher noticed it had gone) is not missed. */
void
await_root (Watcher *w, const std::string &root)
{
  for (;;)
    {
      if (g_file_test (root.c_str (), G_FILE_TEST_EXISTS))
        {
          w->awaited.erase (root);
          touch (w, root, FALSE);
          return;
        }
      std::string folder = nearest_folder (root);
      Awaited &a = w->awaited[root];
      if (a.monitor && a.folder == folder)
        return;
      g_autoptr (GFile) file = g_file_new_for_path (folder.c_str ());
      GFileMonitor *monitor = g_file_monitor_directory (
          file, G_FILE_MONITOR_WATCH_MOVES, NULL, NULL);
      if (monitor == NULL)
        {
          w->awaited.erase (root);
          return;
        }
      g_signal_connect (monitor, "changed", G_CALLBACK (on_awaited_event),
                        w);
      a.monitor.reset (monitor);
      a.folder = std::move (folder);
    }
}

gboolean
on_stop_signal (gpointer data) noexcept
{
  auto w = static_cast<Watcher *> (data);
  w->stopping = TRUE;
  /* Signals are handled between two dispatches, so between two batches. */
  if (w->loop != nullptr)
    g_main_loop_quit (w->loop);
  return G_SOURCE_CONTINUE;
}

/* The pass of `tessel index` over the roots, with their folders followed
 * from the start so that nothing changed during the pass is missed. */
void
first_pass (Watcher *w)
{
  gint64 start = g_get_monotonic_time ();
  TesselScan scan;
  for (const std::string &root : w->roots)
    {
      if (!g_file_test (root.c_str (), G_FILE_TEST_EXISTS))
        {
          tessel_error ("'%s' does not exist; waiting for it",
                        root.c_str ());
          await_root (w, root);
          continue;
        }
      add_tree (w, root, &scan, TRUE);
    }
  std::vector<std::string> handed;
  while (!w->queue.empty () && !w->stopping)
    {
      std::vector<std::string> names;
      while (!w->queue.empty ()
             && names.size () < static_cast<gsize> (w->batch))
        {
          names.push_back (std::move (w->queue.front ()));
          w->queue.pop_front ();
          w->queued.erase (names.back ());
        }
      tessel_scan_hand_over (names, 0, names.size (), NULL);
      handed.insert (handed.end (), names.begin (), names.end ());
      double elapsed = (g_get_monotonic_time () - start) / 1e6;
      fprintf (stderr,
               "tessel: watch: indexed %zu of %zu files (%.1f files/s)\n",
               handed.size (), handed.size () + w->queue.size (),
               elapsed > 0 ? handed.size () / elapsed : 0);
      /* Let a stop request in between two batches. */
      while (g_main_context_iteration (NULL, FALSE))
        ;
    }
  tessel_scan_conclude (handed, w->roots, &scan.counts);
  tessel_scan_print_summary (stderr, scan.counts,
                             (g_get_monotonic_time () - start) / 1e6);
  w->initial = FALSE;
  schedule_batches (w);
}

} // namespace

int
tessel_cmd_watch (int argc, char **argv)
{
  Watcher w;
  gdouble settle = 1.0;
  g_autofree gchar *mount_table = NULL;
  const GOptionEntry entries[] = {
    { "batch", 'b', 0, G_OPTION_ARG_INT, &w.batch,
      "Hand the library up to N files per call (default 100)", "N" },
    { "settle", 's', 0, G_OPTION_ARG_DOUBLE, &settle,
      "Index a file once it has been quiet for SECONDS (default 1)",
      "SECONDS" },
    /* Test seams. */
    { "watch-limit", 0, G_OPTION_FLAG_HIDDEN, G_OPTION_ARG_INT,
      &w.watch_limit, "Act as if the kernel allowed N watches", "N" },
    { "rescan", 0, G_OPTION_FLAG_HIDDEN, G_OPTION_ARG_INT, &w.rescan_seconds,
      "Rescan unwatched folders every SECONDS", "SECONDS" },
    { "mount-table", 0, G_OPTION_FLAG_HIDDEN, G_OPTION_ARG_FILENAME,
      &mount_table, "Read mount points from FILE", "FILE" },
    { NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL }
  };
  TesselCommonOptions common;
  if (!tessel_parse (
          &argc, &argv, entries, "PATH...",
          "Keep the database current for the given folders while running.\n\n"
          "Starts with the pass of 'tessel index' and its summary, then\n"
          "follows the folders: files created or changed are indexed once\n"
          "they have been quiet for the settle time, deleted or moved ones\n"
          "are marked absent, and a memory card's rows are marked absent\n"
          "when it is unmounted and present again when it comes back.  One\n"
          "line on stderr per batch.  SIGINT or SIGTERM end it, with exit\n"
          "status 0.",
          &common))
    return 2;
  if (argc < 2)
    {
      tessel_error ("no PATH given (see 'tessel watch --help')");
      return 2;
    }
  if (w.batch < 1)
    {
      tessel_error ("--batch must be at least 1");
      return 2;
    }
  if (!(settle >= 0 && settle <= 3600) || w.rescan_seconds < 1)
    {
      tessel_error ("--settle must be between 0 and 3600 seconds");
      return 2;
    }
  w.settle_us = static_cast<gint64> (settle * G_USEC_PER_SEC);
  w.mount_table = mount_table;
  if (!tessel_check_config (&common) || !tessel_open_or_create (&common))
    return 1;
  for (int i = 1; i < argc; i++)
    w.roots.push_back (tessel_scan_root (argv[i]));

  w.loop = g_main_loop_new (NULL, FALSE);
  guint sigint = g_unix_signal_add (SIGINT, on_stop_signal, &w);
  guint sigterm = g_unix_signal_add (SIGTERM, on_stop_signal, &w);

  w.mounts = mounts_of_concern (&w, read_mount_table (&w));
  if (w.mount_table != nullptr)
    {
      g_autoptr (GFile) file = g_file_new_for_path (w.mount_table);
      GFileMonitor *m = g_file_monitor_file (file, G_FILE_MONITOR_WATCH_MOVES,
                                             NULL, NULL);
      if (m != NULL)
        {
          g_signal_connect (m, "changed", G_CALLBACK (on_mount_table_event),
                            &w);
          w.mount_table_monitor.reset (m);
        }
    }
  else
    {
      w.mount_monitor = g_unix_mount_monitor_get ();
      g_signal_connect (w.mount_monitor, "mounts-changed",
                        G_CALLBACK (on_mounts_changed), &w);
    }

  first_pass (&w);
  if (!w.stopping)
    g_main_loop_run (w.loop);
  fprintf (stderr, "tessel: watch: stopped\n");

  g_source_remove (sigint);
  g_source_remove (sigterm);
  for (guint *source : { &w.settle_source, &w.batch_source,
                         &w.rescan_source })
    if (*source != 0)
      g_source_remove (*source);
  if (w.mount_monitor != nullptr)
    {
      g_signal_handlers_disconnect_by_data (w.mount_monitor, &w);
      g_object_unref (w.mount_monitor);
    }
  w.folders.clear ();
  w.awaited.clear ();
  w.mount_table_monitor.reset ();
  if (w.probe_fd >= 0)
    close (w.probe_fd);
  g_main_loop_unref (w.loop);
  meta_destruct ();
  return 0;
}
