/* Album covers found while a song is read, handed to the desktop's shared
 * media-art cache (libmediaart): an embedded picture, front cover first,
 * else an image beside the song.  Both plug-ins use it. */
#ifndef BRISEL_COVER_PRIVATE_H
#define BRISEL_COVER_PRIVATE_H

#include <glib.h>
#include <sys/stat.h>

#include <string>

#include "metadata.h"

/* What a picture's bytes hold, as far as their framing tells: a JPEG
 * from its start of image to its end of image, a PNG from its signature
 * to its IEND chunk.  Nothing is decoded. */
enum class BriselImage
{
  NONE, /* neither, or cut short */
  JPEG,
  PNG
};

G_GNUC_INTERNAL BriselImage brisel_image_kind (const guchar *data,
                                               gsize size);

/* The cover of one song's album, looked for while the song is read.
 * Nothing is read unless want () said the album needs it. */
class G_GNUC_INTERNAL BriselCover
{
public:
  /* Decides from a song's list ("Album", "AlbumArtist", "Compilation",
   * "Artist") whether its album needs a cover: it has an album, and the
   * album's cache file is missing or older than the song.  The album
   * artist is the one the album list computes: "AlbumArtist", else
   * "Various Artists" for a compilation, else "Artist".  song is the
   * song's status where the caller has it, NULL to look it up. */
  bool want (const gchar *filename, const MetaItem *list,
             const struct stat *song = nullptr);

  bool
  wanted () const noexcept
  {
    return wanted_;
  }

  /* TRUE once a front cover was taken: later pictures change nothing. */
  bool
  has_front () const noexcept
  {
    return front_;
  }

  /* Takes an embedded picture: a front cover replaces any other picture,
   * else the first one stays.  A picture that is not a whole JPEG or PNG,
   * or is larger than the configured maximum file size, is refused. */
  void offer (const void *data, gsize size, bool front);

  /* When wanted, hands the picture taken, else an image beside the song
   * (cover, folder, front or album with .jpg, .jpeg or .png, in any case),
   * to the cache for the album.  Never throws. */
  void store () noexcept;

private:
  std::string filename_;
  std::string artist_; /* empty: the album artist is unknown */
  std::string album_;
  std::string picture_;
  bool wanted_ = false;
  bool front_ = false;
};

#endif /* BRISEL_COVER_PRIVATE_H */
