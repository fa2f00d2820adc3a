/* tessel index: brings folders of media into the database the way a file
 * indexer on the device does: it asks the library which files are new or
 * changed, hands those over in batches, and marks the rows of vanished
 * files absent. */
#include "tessel.h"
#include "tessel-scan.h"

#include <unistd.h>

#include <string>
#include <vector>

namespace
{

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
    std::string eta = tessel_duration_text (
        r > 0 ? static_cast<gint64> ((total - done) / r + 0.5) : -1);
    if (terminal)
      {
        const guint width = 30;
        guint filled = total > 0 ? done * width / total : width;
        std::string bar (filled, '#');
        bar.append (width - filled, '.');
        fprintf (stderr, "\r[%s] %u/%u files  %.1f files/s  eta %s ",
                 bar.c_str (), done, total, r, eta.c_str ());
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

} // namespace

int
tessel_cmd_index (int argc, char **argv)
{
  /* The library reads the next files while it stores earlier ones, within
   * a call: every call starts with nothing read and ends with nothing to
   * read, so a first scan goes in large calls. */
  gint batch_size = 1000;
  const GOptionEntry entries[] = {
    { "batch", 'b', 0, G_OPTION_ARG_INT, &batch_size,
      "Hand the library N files per call (default 1000)", "N" },
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
          "folder reached through a link gives the same rows.  A file whose\n"
          "full name is longer than 255 bytes cannot be stored: it is named\n"
          "on stderr and skipped.  Exits 1 when a path cannot be read, a\n"
          "name is too long, nothing could be stored, or no file had an\n"
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
  TesselScan w;
  std::vector<std::string> roots;
  for (int i = 1; i < argc; i++)
    {
      /* The plug-in and the rows want absolute names, and one name per
       * file whatever link led to its folder. */
      std::string canonical = tessel_scan_root (argv[i]);
      roots.push_back (canonical);
      tessel_scan_walk (canonical, &w, TRUE);
    }

  std::vector<std::string> to_index = tessel_scan_judge_all (roots, &w);

  Progress progress;
  progress.terminal = isatty (STDERR_FILENO);
  progress.total = to_index.size ();
  progress.start = g_get_monotonic_time ();
  current_progress = &progress;
  for (gsize first = 0; first < to_index.size (); first += batch_size)
    {
      gsize n = MIN (static_cast<gsize> (batch_size), to_index.size () - first);
      batch_start = first;
      tessel_scan_hand_over (to_index, first, n, on_progress);
      progress.done = first + n;
      progress.draw (!progress.terminal || first + n == to_index.size ());
    }
  progress.finish ();
  current_progress = nullptr;

  tessel_scan_conclude (to_index, roots, &w.counts, &w);
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

  double elapsed = (g_get_monotonic_time () - start) / 1e6;
  tessel_scan_print_summary (stdout, w.counts, elapsed);
  meta_destruct ();
  return w.failed ? 1 : 0;
}
