/* Album covers for the shared media-art cache.  libmediaart names the
 * cache files, writes them (through a temporary file it renames) and does
 * every conversion; this unit only finds the picture and checks that its
 * bytes are whole.
 *
 * Two habits of libmediaart shape what is handed to it: it stores a JPEG
 * buffer as it is, without decoding, so a picture cut short would become a
 * broken cache file; and it cannot read a PNG from a buffer (it reports
 * success and leaves a link to nothing), while it converts a PNG file
 * well.  So only whole pictures are handed over, and a PNG goes through a
 * temporary file and libmediaart's own conversion first. */
#include "brisel_cover-private.h"
#include "metadata_conf.h"
#include "mp_library_store_fold-private.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <unordered_map>

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <libmediaart/mediaart.h>

namespace
{

/* Images beside a song that stand for its album's cover, the preferred
 * first: names, then extensions, compared ignoring case. */
const char *const cover_names[] = { "cover", "folder", "front", "album" };
const char *const cover_extensions[] = { "jpg", "jpeg", "png" };

/* How many folders' findings are remembered: the songs of an album share
 * one, and are mostly read one after another. */
constexpr gsize folder_memory = 256;
/* How many albums' cache file names are remembered. */
constexpr gsize album_memory = 256;

guint32
be32 (const guchar *p)
{
  return static_cast<guint32> (p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

/* A JPEG's segments up to its first scan, then its end of image.  Inside
 * entropy-coded data a 0xff byte is always followed by 0x00 or a restart
 * marker, so FF D9 there is the end of image; an EXIF thumbnail's own end
 * lies inside a segment skipped by its length. */
bool
whole_jpeg (const guchar *d, gsize size)
{
  if (size < 4 || d[0] != 0xff || d[1] != 0xd8)
    return false;
  bool frame = false;
  gsize i = 2;
  while (i < size)
    {
      if (d[i] != 0xff)
        return false;
      while (i < size && d[i] == 0xff)
        i++;
      if (i >= size)
        return false;
      const guchar marker = d[i++];
      if (marker == 0xd9)
        return false;
      if ((marker >= 0xd0 && marker <= 0xd7) || marker == 0x01)
        continue;
      if (size - i < 2)
        return false;
      const gsize length = static_cast<gsize> (d[i]) << 8 | d[i + 1];
      if (length < 2 || length > size - i)
        return false;
      if (marker >= 0xc0 && marker <= 0xcf && marker != 0xc4
          && marker != 0xc8 && marker != 0xcc)
        frame = true;
      i += length;
      if (marker == 0xda)
        {
          if (!frame)
            return false;
          for (gsize j = size - 1; j > i; j--)
            if (d[j] == 0xd9 && d[j - 1] == 0xff)
              return true;
          return false;
        }
    }
  return false;
}

/* A PNG's chunks from IHDR to IEND, with at least one IDAT between. */
bool
whole_png (const guchar *d, gsize size)
{
  static const guchar signature[] = { 0x89, 'P', 'N', 'G', '\r', '\n',
                                      0x1a, '\n' };
  if (size < sizeof signature || memcmp (d, signature, sizeof signature) != 0)
    return false;
  bool data = false;
  for (gsize i = sizeof signature; size - i >= 12;)
    {
      const guint32 length = be32 (d + i);
      const guchar *type = d + i + 4;
      if (length > 0x7fffffffu || length > size - i - 12)
        return false;
      if (i == sizeof signature && memcmp (type, "IHDR", 4) != 0)
        return false;
      if (memcmp (type, "IEND", 4) == 0)
        return data;
      if (memcmp (type, "IDAT", 4) == 0)
        data = true;
      i += 12 + static_cast<gsize> (length);
    }
  return false;
}

/* Whether a picture of size bytes may be read: no larger than the
 * configured maximum file size. */
bool
size_allowed (guint64 size)
{
  const int limit = meta_conf_get_max_file_sz ();
  return size > 0 && limit > 0 && size <= static_cast<guint64> (limit);
}

/* The item of key in list, or NULL. */
const MetaItem *
list_item (const MetaItem *list, const char *key)
{
  for (; list != NULL; list = list->next)
    if (g_strcmp0 (list->key, key) == 0)
      return list;
  return NULL;
}

/* The text of key in list, or "". */
std::string
list_text (const MetaItem *list, const char *key)
{
  const MetaItem *item = list_item (list, key);
  return item != NULL && item->type == META_TYPE_TEXT ? item->value : "";
}

/* The integer of key in list, or 0. */
gint32
list_int (const MetaItem *list, const char *key)
{
  const MetaItem *item = list_item (list, key);
  gint32 v = 0;
  if (item != NULL && item->type == META_TYPE_INTEGER)
    memcpy (&v, item->value, sizeof v);
  return v;
}

/* The cache file libmediaart gives an album, or "".  Naming it costs
 * libmediaart a few normalisations and checksums of the names, and the
 * songs of an album mostly come one after another: the names are
 * remembered, with the user's cache folder they lie in. */
const std::string &
cache_path (const std::string &artist, const std::string &album)
{
  /* A type of this file's own: the map's code stays inside the plug-in
   * instead of being exported with the standard library's names. */
  struct Named
  {
    std::string path;
  };
  static std::unordered_map<std::string, Named> named;
  std::string key = g_get_user_cache_dir ();
  key += '\0';
  key += artist;
  key += '\0';
  key += album;
  auto found = named.find (key);
  if (found != named.end ())
    return found->second.path;
  g_autofree gchar *path = NULL;
  if (!media_art_get_path (artist.empty () ? NULL : artist.c_str (),
                           album.c_str (), "album", &path))
    g_clear_pointer (&path, g_free);
  if (named.size () >= album_memory)
    named.clear ();
  return named[key].path = path != NULL ? path : "";
}

/* The best cover image among a folder's entries (its full path), or "". */
std::string
scan_folder (const std::string &folder)
{
  g_autoptr (GDir) dir = g_dir_open (folder.c_str (), 0, NULL);
  if (dir == NULL)
    return std::string ();
  std::string best;
  gsize best_rank = G_MAXSIZE;
  const gchar *entry;
  while ((entry = g_dir_read_name (dir)) != NULL)
    {
      const gchar *dot = strrchr (entry, '.');
      if (dot == NULL)
        continue;
      const gsize stem = static_cast<gsize> (dot - entry);
      for (gsize n = 0; n < G_N_ELEMENTS (cover_names); n++)
        for (gsize e = 0; e < G_N_ELEMENTS (cover_extensions); e++)
          {
            const gsize rank = n * G_N_ELEMENTS (cover_extensions) + e;
            if (rank < best_rank && strlen (cover_names[n]) == stem
                && g_ascii_strncasecmp (entry, cover_names[n], stem) == 0
                && g_ascii_strcasecmp (dot + 1, cover_extensions[e]) == 0)
              {
                best_rank = rank;
                best = folder + G_DIR_SEPARATOR_S + entry;
              }
          }
    }
  return best;
}

/* A folder's cover image, as scan_folder finds it; remembered until the
 * folder changes (which an image added or removed does). */
std::string
folder_image (const std::string &folder)
{
  struct Seen
  {
    struct timespec changed;
    std::string image;
  };
  static std::unordered_map<std::string, Seen> seen;
  struct stat st;
  if (stat (folder.c_str (), &st) != 0)
    return std::string ();
  auto found = seen.find (folder);
  if (found != seen.end ()
      && found->second.changed.tv_sec == st.st_mtim.tv_sec
      && found->second.changed.tv_nsec == st.st_mtim.tv_nsec)
    return found->second.image;
  if (seen.size () >= folder_memory)
    seen.clear ();
  Seen now = { st.st_mtim, scan_folder (folder) };
  seen[folder] = now;
  return now.image;
}

/* The bytes of a regular file of an allowed size, or "". */
std::string
read_image (const std::string &path)
{
  /* Non-blocking: a FIFO named cover.jpg must not hold the indexer. */
  int fd = open (path.c_str (), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return std::string ();
  std::string bytes;
  struct stat st;
  if (fstat (fd, &st) == 0 && S_ISREG (st.st_mode)
      && size_allowed (static_cast<guint64> (st.st_size)))
    {
      bytes.resize (static_cast<gsize> (st.st_size));
      gsize done = 0;
      while (done < bytes.size ())
        {
          ssize_t n = read (fd, &bytes[done], bytes.size () - done);
          if (n <= 0)
            break;
          done += static_cast<gsize> (n);
        }
      bytes.resize (done);
    }
  close (fd);
  return bytes;
}

/* A temporary file that is removed with this object. */
class TempFile
{
public:
  explicit TempFile (const char *tmpl)
  {
    int fd = g_file_open_tmp (tmpl, &path_, NULL);
    if (fd >= 0)
      close (fd);
  }
  ~TempFile ()
  {
    if (path_ != NULL)
      g_unlink (path_);
    g_free (path_);
  }
  TempFile (const TempFile &) = delete;
  TempFile &operator= (const TempFile &) = delete;
  const gchar *
  path () const
  {
    return path_;
  }

private:
  gchar *path_ = NULL;
};

/* A PNG as a JPEG through libmediaart's conversion of a file, or "". */
std::string
png_as_jpeg (const std::string &png)
{
  TempFile in ("tessel-cover-XXXXXX.png"), out ("tessel-cover-XXXXXX.jpeg");
  if (in.path () == NULL || out.path () == NULL
      || !g_file_set_contents (in.path (), png.data (),
                               static_cast<gssize> (png.size ()), NULL)
      || !media_art_file_to_jpeg (in.path (), out.path (), NULL))
    return std::string ();
  gchar *contents = NULL;
  gsize length = 0;
  if (!g_file_get_contents (out.path (), &contents, &length, NULL))
    return std::string ();
  std::string jpeg (contents, length);
  g_free (contents);
  return jpeg;
}

struct ObjectUnref
{
  void operator() (gpointer object) const noexcept { g_object_unref (object); }
};

/* Removes a link at path that leads nowhere: what libmediaart leaves when
 * it could not write the file a link of its own was to lead to. */
void
remove_dangling (const gchar *path)
{
  struct stat st;
  if (path != NULL && lstat (path, &st) == 0 && S_ISLNK (st.st_mode)
      && stat (path, &st) != 0)
    g_unlink (path);
}

} // namespace

BriselImage
brisel_image_kind (const guchar *data, gsize size)
{
  if (data == NULL)
    return BriselImage::NONE;
  if (whole_jpeg (data, size))
    return BriselImage::JPEG;
  if (whole_png (data, size))
    return BriselImage::PNG;
  return BriselImage::NONE;
}

bool
BriselCover::want (const gchar *filename, const MetaItem *list,
                   const struct stat *song)
{
  wanted_ = false;
  if (filename == NULL)
    return false;
  album_ = list_text (list, "Album");
  if (album_.empty ())
    return false;
  const std::string tagged = list_text (list, "AlbumArtist");
  const std::string artist = list_text (list, "Artist");
  const gchar *album_artist = tessel_album_artist (
      tagged.c_str (), list_int (list, "Compilation") == 1,
      artist.c_str ());
  artist_ = album_artist != NULL ? album_artist : "";
  const std::string &path = cache_path (artist_, album_);
  struct stat looked_up, cache;
  if (song == nullptr && stat (filename, &looked_up) == 0)
    song = &looked_up;
  if (path.empty () || song == nullptr || !S_ISREG (song->st_mode))
    return false;
  /* libmediaart stamps the cache file with the song's time, in whole
   * seconds. */
  if (stat (path.c_str (), &cache) == 0 && S_ISREG (cache.st_mode)
      && cache.st_mtime >= song->st_mtime)
    return false;
  filename_ = filename;
  wanted_ = true;
  return true;
}

void
BriselCover::offer (const void *data, gsize size, bool front)
{
  if (!wanted_ || front_ || (!front && !picture_.empty ())
      || !size_allowed (size))
    return;
  const guchar *bytes = static_cast<const guchar *> (data);
  if (brisel_image_kind (bytes, size) == BriselImage::NONE)
    return;
  picture_.assign (static_cast<const char *> (data), size);
  front_ = front;
}

void
BriselCover::store () noexcept
{
  if (!wanted_)
    return;
  wanted_ = false;
  try
    {
      if (picture_.empty ())
        {
          g_autofree gchar *folder = g_path_get_dirname (filename_.c_str ());
          std::string image = folder_image (folder);
          if (!image.empty ())
            picture_ = read_image (image);
        }
      const auto *bytes = reinterpret_cast<const guchar *> (picture_.data ());
      BriselImage kind = brisel_image_kind (bytes, picture_.size ());
      if (kind == BriselImage::NONE)
        return;
      if (kind == BriselImage::PNG)
        {
          picture_ = png_as_jpeg (picture_);
          bytes = reinterpret_cast<const guchar *> (picture_.data ());
          if (brisel_image_kind (bytes, picture_.size ()) != BriselImage::JPEG)
            return;
        }
      std::unique_ptr<MediaArtProcess, ObjectUnref> process (
          media_art_process_new (NULL));
      if (process == nullptr)
        return;
      g_autoptr (GFile) song = g_file_new_for_path (filename_.c_str ());
      media_art_process_buffer (process.get (), MEDIA_ART_ALBUM,
                                MEDIA_ART_PROCESS_FLAGS_NONE, song, bytes,
                                picture_.size (), "image/jpeg",
                                artist_.empty () ? NULL : artist_.c_str (),
                                album_.c_str (), NULL, NULL);
      remove_dangling (cache_path (artist_, album_).c_str ());
    }
  catch (...)
    {
      /* Out of memory on the way: the album simply has no cover yet. */
    }
  picture_.clear ();
}
