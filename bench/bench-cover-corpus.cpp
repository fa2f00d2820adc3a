/* Writes the two libraries bench/bench-covers.sh compares: ALBUMS albums
 * of SONGS songs each, copies of one MP3 tagged with artist, album and
 * title; in the "covers" library every other album carries a JPEG front
 * cover in each song's ID3v2 tag and the others have it as cover.jpg
 * beside the songs.
 *   bench-cover-corpus SONG.mp3 COVER.jpg OUTDIR ALBUMS SONGS covers|plain */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <glib.h>
#include <glib/gstdio.h>

#include <attachedpictureframe.h>
#include <id3v2tag.h>
#include <mpegfile.h>

static bool
copy_file (const gchar *from, const gchar *to)
{
  gchar *bytes = NULL;
  gsize size = 0;
  bool ok = g_file_get_contents (from, &bytes, &size, NULL)
            && g_file_set_contents (to, bytes, static_cast<gssize> (size),
                                    NULL);
  g_free (bytes);
  return ok;
}

int
main (int argc, char **argv)
{
  if (argc != 7)
    {
      fprintf (stderr, "usage: %s SONG.mp3 COVER.jpg OUTDIR ALBUMS SONGS "
                       "covers|plain\n", argv[0]);
      return 2;
    }
  const int albums = atoi (argv[4]);
  const int songs = atoi (argv[5]);
  const bool covers = strcmp (argv[6], "covers") == 0;
  gchar *jpeg = NULL;
  gsize jpeg_size = 0;
  if (!g_file_get_contents (argv[2], &jpeg, &jpeg_size, NULL))
    return 1;
  const TagLib::ByteVector picture (jpeg, static_cast<unsigned> (jpeg_size));
  try
    {
      for (int a = 0; a < albums; a++)
        {
          gchar *dir = g_strdup_printf ("%s/album-%03d", argv[3], a);
          g_mkdir_with_parents (dir, 0755);
          const bool embedded = covers && a % 2 == 0;
          if (covers && !embedded)
            {
              gchar *beside = g_build_filename (dir, "cover.jpg", NULL);
              copy_file (argv[2], beside);
              g_free (beside);
            }
          for (int s = 0; s < songs; s++)
            {
              gchar *path = g_strdup_printf ("%s/%02d.mp3", dir, s);
              if (!copy_file (argv[1], path))
                return 1;
              TagLib::MPEG::File file (path, false);
              TagLib::ID3v2::Tag *tag = file.ID3v2Tag (true);
              gchar *album = g_strdup_printf ("Album %d", a);
              gchar *artist = g_strdup_printf ("Artist %d", a / 4);
              gchar *title = g_strdup_printf ("Song %d", s);
              tag->setAlbum (album);
              tag->setArtist (artist);
              tag->setTitle (title);
              tag->setTrack (static_cast<unsigned> (s + 1));
              if (embedded)
                {
                  auto apic = new TagLib::ID3v2::AttachedPictureFrame;
                  apic->setPicture (picture);
                  apic->setMimeType ("image/jpeg");
                  apic->setType (
                      TagLib::ID3v2::AttachedPictureFrame::FrontCover);
                  tag->addFrame (apic);
                }
              file.save (TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers);
              g_free (album);
              g_free (artist);
              g_free (title);
              g_free (path);
            }
          g_free (dir);
        }
    }
  catch (...)
    {
      return 1;
    }
  g_free (jpeg);
  return 0;
}
