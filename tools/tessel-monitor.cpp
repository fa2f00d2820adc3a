/* tessel monitor: a line for every change of the database, by any
 * process, so that shell users and scripts can follow the library as a
 * player does. */
#include "tessel.h"

#include <signal.h>
#include <stdio.h>

#include <glib-unix.h>

#include "metadata.h"
#include "metadata_monitor.h"

namespace
{

struct Listening
{
  GMainLoop *loop;
  gint64 left; /* signals until the end; 0 for no end */
};

void
on_changed (MetaMonitor *monitor, gpointer data) noexcept
{
  (void) monitor;
  Listening *l = static_cast<Listening *> (data);
  /* A reader at the other end of a pipe sees each line as it comes. */
  printf ("changed\n");
  fflush (stdout);
  if (l->left > 0 && --l->left == 0)
    g_main_loop_quit (l->loop);
}

gboolean
on_stop_signal (gpointer data) noexcept
{
  g_main_loop_quit (static_cast<GMainLoop *> (data));
  return G_SOURCE_CONTINUE;
}

} // namespace

int
tessel_cmd_monitor (int argc, char **argv)
{
  gint64 count = 0;
  const GOptionEntry entries[] = {
    { "count", 'n', 0, G_OPTION_ARG_INT64, &count,
      "End after N changes (default: run until interrupted)", "N" },
    { NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL }
  };
  TesselCommonOptions common;
  if (!tessel_parse (&argc, &argv, entries, "",
                     "Print a line \"changed\" whenever any process commits "
                     "a change to the\ndatabase, within half a second; a "
                     "burst of commits gives a few lines.\nSIGINT and "
                     "SIGTERM end it with status 0.",
                     &common))
    return 2;
  if (argc > 1)
    {
      tessel_error ("unexpected argument '%s'", argv[1]);
      return 2;
    }
  if (count < 0)
    {
      tessel_error ("--count cannot be negative");
      return 2;
    }
  if (!tessel_open (&common))
    return 1;

  MetaMonitor *monitor = meta_monitor_new ();
  if (monitor == NULL)
    {
      tessel_error ("cannot watch the database '%s'",
                    tessel_database_path (&common));
      meta_destruct ();
      return 1;
    }
  g_autoptr (GMainLoop) loop = g_main_loop_new (NULL, FALSE);
  Listening l = { loop, count };
  g_signal_connect (monitor, "changed", G_CALLBACK (on_changed), &l);
  guint sigint = g_unix_signal_add (SIGINT, on_stop_signal, loop);
  guint sigterm = g_unix_signal_add (SIGTERM, on_stop_signal, loop);
  /* From here on every commit is told: scripts wait for this line before
   * they change the database. */
  fprintf (stderr, "tessel: monitor: watching %s\n",
           tessel_database_path (&common));
  g_main_loop_run (loop);
  g_source_remove (sigint);
  g_source_remove (sigterm);
  g_object_unref (monitor);
  meta_destruct ();
  return 0;
}
