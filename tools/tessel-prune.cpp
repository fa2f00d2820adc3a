/* tessel prune: the user's own way to drop the rows of files marked absent,
 * which the library otherwise trims only above its row limit, and the
 * cached covers of the albums that go with them. */
#include "tessel.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <set>
#include <string>
#include <utility>

#include <libmediaart/mediaart.h>

#include "metadata.h"
#include "mp_library_store_database.h"
#include "mp_library_store_fold-private.h"

namespace
{

void
on_count (const gchar *filename, gchar **keys, gchar **values,
          gpointer user_data, gint search_id) noexcept
{
  (void) filename;
  (void) search_id;
  if (keys != NULL && keys[0] != NULL && values[0] != NULL)
    *static_cast<gint64 *> (user_data) = g_ascii_strtoll (values[0], NULL, 10);
}

/* The number of rows marked absent, or -1 when the query failed. */
gint64
count_absent ()
{
  gint64 count = 0;
  if (!meta_search_sync ("SELECT COUNT(*) AS Absent FROM Metadata "
                         "WHERE Present = 0",
                         on_count, &count))
    return -1;
  return count;
}

/* An album: its album artist and title as a row spells them. */
using Album = std::pair<std::string, std::string>;

std::string
folded (const gchar *text)
{
  g_autofree gchar *key = tessel_fold_name (text);
  return key != NULL ? key : "";
}

/* The albums of the absent rows, one spelling per album as the album list
 * groups them.  Every column is asked for, since AlbumArtist and
 * Compilation exist only once an extractor wrote them. */
void
on_absent_album (const gchar *filename, gchar **keys, gchar **values,
                 gpointer user_data, gint search_id) noexcept
{
  (void) search_id;
  if (filename == NULL || keys == NULL)
    return;
  const gchar *album = NULL, *album_artist = NULL, *artist = NULL;
  gboolean compilation = FALSE;
  for (gsize i = 0; keys[i] != NULL; i++)
    if (strcmp (keys[i], "Album") == 0)
      album = values[i];
    else if (strcmp (keys[i], "AlbumArtist") == 0)
      album_artist = values[i];
    else if (strcmp (keys[i], "Artist") == 0)
      artist = values[i];
    else if (strcmp (keys[i], "Compilation") == 0)
      compilation = values[i] != NULL && strcmp (values[i], "1") == 0;
  const gchar *by = tessel_album_artist (album_artist, compilation, artist);
  /* libmediaart names covers after UTF-8 texts only. */
  if (album == NULL || *album == '\0' || !g_utf8_validate (album, -1, NULL)
      || (by != NULL && !g_utf8_validate (by, -1, NULL)))
    return;
  auto albums = static_cast<std::map<Album, Album> *> (user_data);
  albums->emplace (Album (folded (by), folded (album)),
                   Album (by != NULL ? by : "", album));
}

/* The cache file libmediaart keeps for an album title of any artist,
 * which its removal call deletes too. */
std::string
title_cover (const std::string &album)
{
  g_autofree gchar *path = NULL;
  media_art_get_path (NULL, album.c_str (), "album", &path);
  return path != NULL ? path : "";
}

/* libmediaart tells of every file it removes; the command does not. */
void
quiet_log (const gchar *domain, GLogLevelFlags level, const gchar *message,
           gpointer data) noexcept
{
  (void) domain;
  (void) level;
  (void) message;
  (void) data;
}

/* Removes, through libmediaart, the cached covers of the albums that had
 * absent rows and have no song left.  An album whose title another album
 * still has keeps its cover: libmediaart's removal would take the cover
 * of the title with it, which the other album's may lead to.  An album
 * without an album artist keeps it too: libmediaart removes none of
 * those.  Returns the number of albums whose covers were removed. */
guint
remove_gone_covers (const std::map<Album, Album> &absent)
{
  if (absent.empty ())
    return 0;
  MpLibraryStoreDatabase *store = mp_library_store_database_get_instance ();
  GList *albums = mp_library_store_database_get_album_list (store, NULL);
  std::set<Album> left;
  std::set<std::string> titles;
  for (GList *l = albums; l != NULL; l = l->next)
    {
      auto res = static_cast<MpMediaResource *> (l->data);
      const gchar *album = mp_media_resource_get_album (res);
      left.emplace (folded (mp_media_resource_get_album_artist (res)),
                    folded (album));
      if (album != NULL && g_utf8_validate (album, -1, NULL))
        titles.insert (title_cover (album));
    }
  g_list_free_full (albums, g_object_unref);

  guint removed = 0;
  guint handler = g_log_set_handler (
      NULL, static_cast<GLogLevelFlags> (G_LOG_LEVEL_MESSAGE
                                         | G_LOG_LEVEL_INFO),
      quiet_log, NULL);
  for (const auto &entry : absent)
    {
      const Album &spelled = entry.second;
      if (left.count (entry.first) > 0 || spelled.first.empty ()
          || titles.count (title_cover (spelled.second)) > 0)
        continue;
      g_autofree gchar *path = NULL;
      media_art_get_path (spelled.first.c_str (), spelled.second.c_str (),
                          "album", &path);
      if (path == NULL || !g_file_test (path, G_FILE_TEST_EXISTS))
        continue;
      if (media_art_remove (spelled.first.c_str (), spelled.second.c_str (),
                            NULL, NULL))
        removed++;
    }
  g_log_remove_handler (NULL, handler);
  return removed;
}

} // namespace

int
tessel_cmd_prune (int argc, char **argv)
{
  gboolean yes = FALSE;
  const GOptionEntry entries[] = {
    { "yes", 'y', 0, G_OPTION_ARG_NONE, &yes,
      "Remove the rows (without it, only count them)", NULL },
    { NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL }
  };
  TesselCommonOptions common;
  int status = tessel_parse_and_open (
      &argc, &argv, entries,
      "Count the rows of files marked absent (Present = 0), "
      "and with --yes remove\nthem.  Their play times and "
      "other keys go with them.",
      &common);
  if (status != 0)
    return status;

  gint64 before = count_absent ();
  if (before < 0)
    {
      tessel_error ("cannot count the absent rows");
      status = 1;
    }
  else if (!yes)
    printf ("%" G_GINT64_FORMAT " absent rows%s\n", before,
            before > 0 ? " (tessel prune --yes removes them)" : "");
  else
    {
      MetaValue absent;
      memset (&absent, 0, sizeof absent);
      gint32 zero = 0;
      memcpy (absent.value, &zero, sizeof zero);
      absent.type = META_TYPE_INTEGER;
      std::map<Album, Album> albums;
      if (before > 0
          && !meta_search_sync ("SELECT * FROM Metadata WHERE Present = 0",
                                on_absent_album, &albums))
        albums.clear ();
      gint64 after = before > 0 && meta_delete_by_key ("Present", absent)
                         ? count_absent ()
                         : before;
      if (before > 0 && after != 0)
        {
          tessel_error ("cannot remove the absent rows (is the database "
                        "writable?)");
          status = 1;
        }
      else
        {
          printf ("%" G_GINT64_FORMAT " absent rows removed\n", before);
          guint covers = remove_gone_covers (albums);
          if (covers > 0)
            printf ("%u album covers removed\n", covers);
        }
    }
  meta_destruct ();
  return status;
}
