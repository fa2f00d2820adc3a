/* tessel index: brings folders of media into the database the way a file
 * indexer on the device does: it asks the library which files are new or
 * changed, hands those over in batches, and marks the rows of vanished
 * files absent. */
#include "tessel.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "metadata.h"

namespace
{

struct Counts
{
  guint seen = 0;
  guint indexed = 0;
  guint unchanged = 0;
  guint skipped = 0;
  guint absent = 0;
  guint unmapped = 0; /* skipped: no plug-in for the extension */
};

/* Progress shown while batches run: a redrawn bar on a terminal, a plain
 * line per batch otherwise. */
struct Progress
{
  gboolean terminal = FALSE;
  guint total = 0;
  guint done = 0;
  gint64 start = 0;
  gint64 last_draw = 0;

  double
  rate () const
  {
    double elapsed = (g_get_monotonic_time () - start) / 1e6;
    return elapsed > 0 ? done / elapsed : 0;
  }

  void
  draw (gboolean force)
  {
    gint64 now = g_get_monotonic_time ();
    /* At most ten redraws a second. */
    if (!force && now - last_draw < G_USEC_PER_SEC / 10)
      return;
    last_draw = now;
    double r = rate ();
    g_autofree gchar *eta = tessel_format_duration (
        r > 0 ? static_cast<gint64> ((total - done) / r + 0.5) : -1);
    if (terminal)
      {
        const guint width = 30;
        guint filled = total > 0 ? done * width / total : width;
        std::string bar (filled, '#');
        bar.append (width - filled, '.');
        fprintf (stderr, "\r[%s] %u/%u files  %.1f files/s  eta %s ",
                 bar.c_str (), done, total, r, eta);
      }
    else
      fprintf (stderr, "tessel: indexed %u of %u files (%.1f files/s)\n",
               done, total, r);
    fflush (stderr);
  }

  void
  finish ()
  {
    if (terminal && total > 0)
      {
        draw (TRUE);
        fputc ('\n', stderr);
      }
  }
};

/* The batch being indexed, for the library's progress callback. */
Progress *current_progress;
guint batch_start;

void
on_progress (gchar **files, gint count, gint user_data) noexcept
{
  (void) files;
  (void) user_data;
  /* The library calls after every 25th entry that reached a plug-in. */
  if (current_progress == nullptr || !current_progress->terminal)
    return;
  current_progress->done = MIN (current_progress->done + 25,
                                batch_start + static_cast<guint> (count));
  current_progress->draw (FALSE);
}

struct Walk
{
  std::vector<std::string> candidates; /* recognised files to judge */
  Counts counts;
  gboolean failed = FALSE;
};

/* Adds the regular files under path (itself when it is a file).  Folders
 * reached through symbolic links are not entered, so a link cannot make
 * the walk go round in circles. */
void
walk (const std::string &path, Walk *w, gboolean top)
{
  struct stat st;
  if ((top ? stat (path.c_str (), &st) : lstat (path.c_str (), &st)) != 0)
    {
      if (top)
        {
          tessel_error ("cannot read '%s': %s", path.c_str (),
                        g_strerror (errno));
          w->failed = TRUE;
        }
      return;
    }
  if (S_ISLNK (st.st_mode))
    {
      /* A link to a file counts as the file. */
      if (stat (path.c_str (), &st) != 0 || !S_ISREG (st.st_mode))
        return;
    }
  if (S_ISDIR (st.st_mode))
    {
      g_autoptr (GError) error = NULL;
      g_autoptr (GDir) dir = g_dir_open (path.c_str (), 0, &error);
      if (dir == NULL)
        {
          tessel_error ("cannot read folder '%s': %s", path.c_str (),
                        error->message);
          w->failed = TRUE;
          return;
        }
      std::vector<std::string> names;
      const gchar *name;
      while ((name = g_dir_read_name (dir)) != NULL)
        names.emplace_back (name);
      std::sort (names.begin (), names.end ());
      for (const std::string &n : names)
        walk (path == "/" ? "/" + n : path + "/" + n, w, FALSE);
      return;
    }
  if (!S_ISREG (st.st_mode))
    return;
  w->counts.seen++;
  /* An empty file has nothing to extract and cannot be judged later. */
  gboolean mapped = meta_has_recognized_extension (path.c_str ());
  if (st.st_size > 0 && mapped)
    w->candidates.push_back (path);
  else
    w->counts.skipped++;
  if (!mapped)
    w->counts.unmapped++;
}

/* TRUE when the row of name matches the file on disk and is present:
 * the file was stored. */
gboolean
row_is_current (const std::string &name)
{
  gchar modified = 1, present = 0;
  return meta_is_modified_or_new (name.c_str (), &modified, &present)
         && !modified && present;
}

/* text as an SQL string literal. */
std::string
sql_literal (const std::string &text)
{
  std::string literal = "'";
  for (char c : text)
    literal += c == '\'' ? std::string ("''") : std::string (1, c);
  return literal + "'";
}

void
collect_name (const gchar *filename, gchar **keys, gchar **values,
              gpointer user_data, gint search_id) noexcept
{
  (void) keys, (void) values, (void) search_id;
  if (filename != NULL)
    static_cast<std::vector<std::string> *> (user_data)->emplace_back (
        filename);
}

/* Marks absent the present rows of files below roots (or equal to one of
 * them) that no longer exist.  Only the rows below the roots are read: a
 * range of the name index ("/" is followed by "0" in byte order), so that
 * the cost follows the folders indexed, not the size of the library.  The
 * number marked. */
guint
mark_vanished (const std::vector<std::string> &roots)
{
  guint marked = 0;
  for (const std::string &root : roots)
    {
      std::string below = root == "/" ? "/" : root + "/";
      std::string after = below.substr (0, below.size () - 1) + "0";
      std::string query = "SELECT Filename FROM Metadata WHERE Filename = "
                          + sql_literal (root) + " OR (Filename >= "
                          + sql_literal (below) + " AND Filename < "
                          + sql_literal (after) + ")";
      std::vector<std::string> names;
      meta_search_sync (query.c_str (), collect_name, &names);
      for (const std::string &name : names)
        {
          gint32 present = 0;
          if (!g_file_test (name.c_str (), G_FILE_TEST_EXISTS)
              && meta_read_integer (name.c_str (), "Present", &present)
              && present && meta_file_absent (name.c_str ()))
            marked++;
        }
    }
  return marked;
}

} // namespace

int
tessel_cmd_index (int argc, char **argv)
{
  gint batch_size = 100;
  const GOptionEntry entries[] = {
    { "batch", 'b', 0, G_OPTION_ARG_INT, &batch_size,
      "Hand the library N files per call (default 100)", "N" },
    { NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL }
  };
  TesselCommonOptions common;
  if (!tessel_parse (
          &argc, &argv, entries, "PATH...",
          "Index the media files in the given folders and files.\n\n"
          "Files with an extension the configuration maps to a plug-in are\n"
          "indexed when they are new or changed since the last run; rows of\n"
          "files that vanished from these folders are marked absent.  A\n"
          "progress bar is shown when stderr is a terminal.  The last line\n"
          "sums up: files seen, indexed, unchanged, skipped (unknown\n"
          "extension, empty, or nothing extracted), marked absent, and the\n"
          "time taken.  Folders are resolved (symbolic links followed), so a\n"
          "folder reached through a link gives the same rows.  Exits 1 when\n"
          "a path cannot be read, nothing could be stored, or no file had an\n"
          "extension the configuration maps to a plug-in.",
          &common))
    return 2;
  if (argc < 2)
    {
      tessel_error ("no PATH given (see 'tessel index --help')");
      return 2;
    }
  if (batch_size < 1)
    {
      tessel_error ("--batch must be at least 1");
      return 2;
    }
  if (!tessel_check_config (&common) || !tessel_open_or_create (&common))
    return 1;

  gint64 start = g_get_monotonic_time ();
  Walk w;
  std::vector<std::string> roots;
  for (int i = 1; i < argc; i++)
    {
      /* The plug-in and the rows want absolute names, and one name per
       * file whatever link led to its folder. */
      g_autofree gchar *canonical = tessel_canonical_path (argv[i]);
      roots.emplace_back (canonical);
      walk (canonical, &w, TRUE);
    }

  std::vector<std::string> to_index;
  for (const std::string &name : w.candidates)
    {
      gchar modified = 1, present = 0;
      if (!meta_is_modified_or_new (name.c_str (), &modified, &present))
        w.counts.skipped++; /* empty, or not a regular file any more */
      else if (modified)
        to_index.push_back (name);
      else
        {
          /* Back after having been marked absent, unchanged. */
          if (!present)
            meta_set_present (name.c_str ());
          w.counts.unchanged++;
        }
    }

  Progress progress;
  progress.terminal = isatty (STDERR_FILENO);
  progress.total = to_index.size ();
  progress.start = g_get_monotonic_time ();
  current_progress = &progress;
  for (gsize first = 0; first < to_index.size (); first += batch_size)
    {
      gsize n = MIN (static_cast<gsize> (batch_size), to_index.size () - first);
      std::vector<gchar *> batch;
      for (gsize i = 0; i < n; i++)
        batch.push_back (const_cast<gchar *> (to_index[first + i].c_str ()));
      batch.push_back (NULL);
      batch_start = first;
      meta_add_files_with_check (batch.data (), static_cast<gint> (n),
                                 on_progress, 0);
      progress.done = first + n;
      progress.draw (!progress.terminal || first + n == to_index.size ());
    }
  progress.finish ();
  current_progress = nullptr;

  for (const std::string &name : to_index)
    {
      if (row_is_current (name))
        w.counts.indexed++;
      else
        w.counts.skipped++;
    }
  /* The library reports nothing per file.  Even an undecodable file gets
   * a row, so files without one point at the plug-in or the database. */
  guint not_stored = to_index.size () - w.counts.indexed;
  if (not_stored > 0)
    tessel_error ("%u of %zu files could not be stored (is the plug-in the "
                  "configuration names on the loader's path, and the "
                  "database writable?)",
                  not_stored, to_index.size ());
  if (!to_index.empty () && w.counts.indexed == 0)
    w.failed = TRUE;
  /* Nothing was even tried: most likely the wrong configuration. */
  if (w.counts.seen > 0 && w.counts.unmapped == w.counts.seen)
    {
      tessel_error ("none of the %u files has an extension that the "
                    "configuration '%s' maps to a plug-in",
                    w.counts.seen, tessel_config_path (&common));
      w.failed = TRUE;
    }
  w.counts.absent = mark_vanished (roots);

  double elapsed = (g_get_monotonic_time () - start) / 1e6;
  printf ("%u seen, %u indexed, %u unchanged, %u skipped, %u marked absent, "
          "%.1fs\n",
          w.counts.seen, w.counts.indexed, w.counts.unchanged,
          w.counts.skipped, w.counts.absent, elapsed);
  meta_destruct ();
  return w.failed ? 1 : 0;
}
