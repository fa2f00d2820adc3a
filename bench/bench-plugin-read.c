/* The tag plug-in's own reading rate: every file given (or every file in
 * a folder given, and below it) read by libbrisel_tag's get_metadata on
 * this one thread, nothing stored.  Prints one line, as bench-taglib-read
 * does, so that the two compare:
 *   N files in S s
 * where N counts the files the plug-in gave a list for.  The
 * configuration is read from CONF (the installed mapping by default), for
 * the plug-in's mapping limit.  The media-art cache is the user's: run it
 * with XDG_CACHE_HOME pointing to a folder of the run's own.
 *   bench-plugin-read [--config CONF] PATH... */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <glib.h>

#include "metadata.h"
#include "metadata_conf.h"

static void
add_path (const char *path, GPtrArray *files)
{
  if (!g_file_test (path, G_FILE_TEST_IS_DIR))
    {
      g_ptr_array_add (files, g_strdup (path));
      return;
    }
  g_autoptr (GDir) dir = g_dir_open (path, 0, NULL);
  const char *name;
  while (dir != NULL && (name = g_dir_read_name (dir)) != NULL)
    {
      g_autofree gchar *full = g_build_filename (path, name, NULL);
      add_path (full, files);
    }
}

int
main (int argc, char **argv)
{
  int first = 1;
  if (argc > 2 && strcmp (argv[1], "--config") == 0)
    {
      meta_conf_set_path (argv[2]);
      first = 3;
    }
  meta_load_lib_conf ();
  void *plugin = dlopen ("libbrisel_tag.so.0", RTLD_NOW | RTLD_LOCAL);
  MetaExtractFunc extract
      = plugin != NULL ? (MetaExtractFunc) dlsym (plugin, "get_metadata")
                       : NULL;
  if (extract == NULL)
    {
      fprintf (stderr, "bench-plugin-read: cannot load libbrisel_tag: %s\n",
               dlerror ());
      return 1;
    }
  g_autoptr (GPtrArray) files = g_ptr_array_new_with_free_func (g_free);
  for (int i = first; i < argc; i++)
    add_path (argv[i], files);

  gint64 start = g_get_monotonic_time ();
  unsigned listed = 0;
  for (guint i = 0; i < files->len; i++)
    {
      MetaItem *list = extract (g_ptr_array_index (files, i));
      listed += list != NULL;
      meta_free_list (&list);
    }
  double seconds = (g_get_monotonic_time () - start) / 1e6;
  printf ("%u files in %.3f s\n", listed, seconds);
  return 0;
}
