/* The bare header-reading rate: every file given (or every file in a
 * folder given, and below it) opened with the tag library, its basic tags and audio
 * properties read, nothing stored.  Prints one line:
 *   N files in S s
 * where N counts the files the tag library could open.  The yardstick of
 * bench/bench-index.sh for libbrisel_tag. */
#include <stdio.h>

#include <string>
#include <vector>

#include <glib.h>

#include <fileref.h>
#include <tag.h>

namespace
{

void
add_path (const char *path, std::vector<std::string> *files)
{
  if (!g_file_test (path, G_FILE_TEST_IS_DIR))
    {
      files->push_back (path);
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

} // namespace

int
main (int argc, char **argv)
{
  std::vector<std::string> files;
  for (int i = 1; i < argc; i++)
    add_path (argv[i], &files);

  gint64 start = g_get_monotonic_time ();
  unsigned opened = 0;
  for (const std::string &file : files)
    {
      TagLib::FileRef ref (file.c_str (), true,
                           TagLib::AudioProperties::Average);
      if (ref.isNull () || ref.tag () == nullptr)
        continue;
      opened++;
      /* Read what the plug-in reads. */
      TagLib::Tag *tag = ref.tag ();
      tag->title ();
      tag->artist ();
      tag->album ();
      tag->genre ();
      tag->year ();
      tag->track ();
      if (ref.audioProperties () != nullptr)
        ref.audioProperties ()->lengthInMilliseconds ();
    }
  double seconds = (g_get_monotonic_time () - start) / 1e6;
  printf ("%u files in %.3f s\n", opened, seconds);
  return 0;
}
