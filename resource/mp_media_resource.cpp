/* The media resource object: plain fields behind class slots, properties
 * named like the Metadata columns, and three values derived on
 * first request (media type, icon, display name). */
#include "mp_media_resource.h"
#include "tessel-private.h"

#include <string.h>

struct _MpMediaResourcePrivate
{
  gchar *uri;
  gchar *title;
  gint length;
  gchar *title_or_uri;
  gchar *mime;
  gchar *artist;
  gchar *album;
  gchar *genre;
  gchar *description;
  gchar *id;
  gint track;
  gchar *year;
  gint bitrate;
  const gchar *icon; /* one of the constant icon names, never freed */
  gint media_type;   /* MpMediaType; 0 = not derived yet */
  gint count;
  gint is_playlist;
  gint is_stream;
  gchar *album_artist;
  gint disc;
};

/* Property ids are part of the class's contract; their install order is
 * not the id order. */
enum
{
  PROP_0,
  PROP_FILENAME = 1,
  PROP_LENGTH = 2,
  PROP_TITLE = 3,
  PROP_MIME = 4,
  PROP_ARTIST = 5,
  PROP_ALBUM = 6,
  PROP_GENRE = 7,
  PROP_DESCRIPTION = 8,
  PROP_ID = 9,
  PROP_TRACK = 10,
  PROP_YEAR = 11,
  PROP_BITRATE = 12,
  PROP_COUNT = 13,
  PROP_IS_PLAYLIST = 14,
  PROP_IS_STREAM = 15,
  PROP_ALBUM_ARTIST = 16,
  PROP_DISC = 17
};

static const gchar icon_music[] = "qgn_list_gene_music_file";
static const gchar icon_video[] = "qgn_list_gene_video_file";
static const gchar icon_real[] = "qgn_list_gene_music_real";
static const gchar icon_none[] = "";

static GObjectClass *parent_class;

/* The slot implementations.  Their instance check can only fail when a
 * subclass calls them wrongly, so it is fatal. */

#define STRING_FIELD(field)                                                   \
  static const gchar *_mp_media_resource_get_##field (MpMediaResource *self)  \
  {                                                                           \
    g_assert (IS_MP_MEDIA_RESOURCE (self));                                   \
    return self->priv->field;                                                 \
  }                                                                           \
  static void _mp_media_resource_set_##field (MpMediaResource *self,          \
                                              const gchar *value)             \
  {                                                                           \
    g_assert (IS_MP_MEDIA_RESOURCE (self));                                   \
    /* Copy before freeing: value may be the string held now. */              \
    gchar *copy = g_strdup (value);                                           \
    g_free (self->priv->field);                                               \
    self->priv->field = copy;                                                 \
  }

#define INT_FIELD(field)                                                      \
  static gint _mp_media_resource_get_##field (MpMediaResource *self)          \
  {                                                                           \
    g_assert (IS_MP_MEDIA_RESOURCE (self));                                   \
    return self->priv->field;                                                 \
  }                                                                           \
  static void _mp_media_resource_set_##field (MpMediaResource *self,          \
                                              gint value)                     \
  {                                                                           \
    g_assert (IS_MP_MEDIA_RESOURCE (self));                                   \
    self->priv->field = value;                                                \
  }

STRING_FIELD (uri)
STRING_FIELD (title)
STRING_FIELD (mime)
STRING_FIELD (artist)
STRING_FIELD (album)
STRING_FIELD (genre)
STRING_FIELD (description)
STRING_FIELD (id)
STRING_FIELD (year)
STRING_FIELD (album_artist)
INT_FIELD (length)
INT_FIELD (track)
INT_FIELD (bitrate)
INT_FIELD (count)
INT_FIELD (is_playlist)
INT_FIELD (is_stream)
INT_FIELD (disc)

static MpMediaType
_mp_media_resource_get_media_type (MpMediaResource *self)
{
  g_assert (IS_MP_MEDIA_RESOURCE (self));
  if (self->priv->media_type != MP_MEDIA_TYPE_NONE)
    return static_cast<MpMediaType> (self->priv->media_type);

  const gchar *mime = mp_media_resource_get_mime (self);
  g_return_val_if_fail (mime != NULL, MP_MEDIA_TYPE_NONE);

  MpMediaType type;
  if (strcmp (mime, "audio/x-pn-realaudio") == 0
      || strcmp (mime, "audio/x-pn-realaudio-plugin") == 0
      || strcmp (mime, "audio/x-real") == 0)
    type = MP_MEDIA_TYPE_REAL_AUDIO;
  else if (strcmp (mime, "video/x-real") == 0)
    type = MP_MEDIA_TYPE_REAL_VIDEO;
  else if (g_str_has_prefix (mime, "audio"))
    type = MP_MEDIA_TYPE_AUDIO;
  else if (g_str_has_prefix (mime, "video"))
    type = MP_MEDIA_TYPE_VIDEO;
  else
    g_return_val_if_reached (MP_MEDIA_TYPE_NONE);

  self->priv->media_type = type;
  return type;
}

static const gchar *
_mp_media_resource_get_icon (MpMediaResource *self)
{
  g_assert (IS_MP_MEDIA_RESOURCE (self));
  if (self->priv->icon != NULL)
    return self->priv->icon;

  const gchar *icon;
  switch (mp_media_resource_get_media_type (self))
    {
    case MP_MEDIA_TYPE_AUDIO:
      icon = icon_music;
      break;
    case MP_MEDIA_TYPE_VIDEO:
      icon = icon_video;
      break;
    case MP_MEDIA_TYPE_REAL_AUDIO:
    case MP_MEDIA_TYPE_REAL_VIDEO:
      icon = icon_real;
      break;
    default:
      icon = icon_none;
      break;
    }
  /* The empty name is kept too, so a resource without MIME type does not
   * warn on every redraw. */
  self->priv->icon = icon;
  return icon;
}

static const gchar *
_mp_media_resource_get_title_or_uri (MpMediaResource *self)
{
  g_assert (IS_MP_MEDIA_RESOURCE (self));
  MpMediaResourcePrivate *priv = self->priv;
  if (priv->title_or_uri != NULL)
    return priv->title_or_uri;

  const gchar *title = mp_media_resource_get_title (self);
  if (title != NULL)
    {
      priv->title_or_uri = g_strdup (title);
      return priv->title_or_uri;
    }

  const gchar *uri = mp_media_resource_get_uri (self);
  if (uri != NULL)
    {
      MpMediaType type = mp_media_resource_get_media_type (self);
      priv->title_or_uri = g_path_get_basename (uri);
      /* Video files are named after their content; audio names keep the
       * extension, which tells formats apart in a song list. */
      if (type == MP_MEDIA_TYPE_VIDEO || type == MP_MEDIA_TYPE_REAL_VIDEO)
        {
          gchar *dot = strrchr (priv->title_or_uri, '.');
          if (dot != NULL)
            *dot = '\0';
        }
    }
  return priv->title_or_uri;
}

static void
mp_media_resource_set_property (GObject *object, guint prop_id,
                                const GValue *value, GParamSpec *pspec)
{
  MpMediaResource *self = MP_MEDIA_RESOURCE (object);
  switch (prop_id)
    {
    case PROP_FILENAME:
      mp_media_resource_set_uri (self, g_value_get_string (value));
      break;
    case PROP_LENGTH:
      mp_media_resource_set_length (self, g_value_get_int (value));
      break;
    case PROP_TITLE:
      mp_media_resource_set_title (self, g_value_get_string (value));
      break;
    case PROP_MIME:
      mp_media_resource_set_mime (self, g_value_get_string (value));
      break;
    case PROP_ARTIST:
      mp_media_resource_set_artist (self, g_value_get_string (value));
      break;
    case PROP_ALBUM:
      mp_media_resource_set_album (self, g_value_get_string (value));
      break;
    case PROP_GENRE:
      mp_media_resource_set_genre (self, g_value_get_string (value));
      break;
    case PROP_DESCRIPTION:
      g_return_if_fail (G_VALUE_HOLDS_STRING (value));
      mp_media_resource_set_description (self, g_value_get_string (value));
      break;
    case PROP_ID:
      g_return_if_fail (G_VALUE_HOLDS_STRING (value));
      mp_media_resource_set_id (self, g_value_get_string (value));
      break;
    case PROP_TRACK:
      mp_media_resource_set_track (self, g_value_get_int (value));
      break;
    case PROP_YEAR:
      mp_media_resource_set_year (self, g_value_get_string (value));
      break;
    case PROP_BITRATE:
      mp_media_resource_set_bitrate (self, g_value_get_int (value));
      break;
    case PROP_COUNT:
      mp_media_resource_set_count (self, g_value_get_int (value));
      break;
    case PROP_IS_PLAYLIST:
      mp_media_resource_set_is_playlist (self, g_value_get_int (value));
      break;
    case PROP_IS_STREAM:
      mp_media_resource_set_is_stream (self, g_value_get_int (value));
      break;
    case PROP_ALBUM_ARTIST:
      mp_media_resource_set_album_artist (self, g_value_get_string (value));
      break;
    case PROP_DISC:
      mp_media_resource_set_disc (self, g_value_get_int (value));
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      break;
    }
}

static void
mp_media_resource_get_property (GObject *object, guint prop_id,
                                GValue *value, GParamSpec *pspec)
{
  MpMediaResource *self = MP_MEDIA_RESOURCE (object);
  switch (prop_id)
    {
    case PROP_FILENAME:
      g_value_set_string (value, mp_media_resource_get_uri (self));
      break;
    case PROP_LENGTH:
      g_value_set_int (value, mp_media_resource_get_length (self));
      break;
    case PROP_TITLE:
      g_value_set_string (value, mp_media_resource_get_title (self));
      break;
    case PROP_MIME:
      g_value_set_string (value, mp_media_resource_get_mime (self));
      break;
    case PROP_ARTIST:
      g_value_set_string (value, mp_media_resource_get_artist (self));
      break;
    case PROP_ALBUM:
      g_value_set_string (value, mp_media_resource_get_album (self));
      break;
    case PROP_GENRE:
      g_value_set_string (value, mp_media_resource_get_genre (self));
      break;
    case PROP_DESCRIPTION:
      g_return_if_fail (G_VALUE_HOLDS_STRING (value));
      g_value_set_string (value, mp_media_resource_get_description (self));
      break;
    case PROP_ID:
      g_return_if_fail (G_VALUE_HOLDS_STRING (value));
      g_value_set_string (value, mp_media_resource_get_id (self));
      break;
    case PROP_TRACK:
      g_value_set_int (value, mp_media_resource_get_track (self));
      break;
    case PROP_YEAR:
      g_value_set_string (value, mp_media_resource_get_year (self));
      break;
    case PROP_BITRATE:
      g_value_set_int (value, mp_media_resource_get_bitrate (self));
      break;
    case PROP_COUNT:
      g_value_set_int (value, mp_media_resource_get_count (self));
      break;
    case PROP_IS_PLAYLIST:
      g_value_set_int (value, mp_media_resource_get_is_playlist (self));
      break;
    case PROP_IS_STREAM:
      g_value_set_int (value, mp_media_resource_get_is_stream (self));
      break;
    case PROP_ALBUM_ARTIST:
      g_value_set_string (value, mp_media_resource_get_album_artist (self));
      break;
    case PROP_DISC:
      g_value_set_int (value, mp_media_resource_get_disc (self));
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      break;
    }
}

static void
mp_media_resource_finalize (GObject *object)
{
  MpMediaResource *self = MP_MEDIA_RESOURCE (object);
  MpMediaResourcePrivate *priv = self->priv;
  g_clear_pointer (&priv->uri, g_free);
  g_clear_pointer (&priv->title, g_free);
  g_clear_pointer (&priv->title_or_uri, g_free);
  g_clear_pointer (&priv->mime, g_free);
  g_clear_pointer (&priv->artist, g_free);
  g_clear_pointer (&priv->album, g_free);
  g_clear_pointer (&priv->genre, g_free);
  g_clear_pointer (&priv->year, g_free);
  g_clear_pointer (&priv->description, g_free);
  g_clear_pointer (&priv->id, g_free);
  g_clear_pointer (&priv->album_artist, g_free);
  g_clear_pointer (&self->priv, g_free);
  parent_class->finalize (object);
}

static GParamFlags
property_flags (void)
{
  return static_cast<GParamFlags> (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
}

static void
install_string (GObjectClass *object_class, guint id, const gchar *name)
{
  g_object_class_install_property (
      object_class, id,
      g_param_spec_string (name, name, name, NULL, property_flags ()));
}

static void
install_int (GObjectClass *object_class, guint id, const gchar *name)
{
  g_object_class_install_property (
      object_class, id,
      g_param_spec_int (name, name, name, -1, G_MAXINT, -1, property_flags ()));
}

static void
mp_media_resource_class_init (gpointer g_class, gpointer class_data)
{
  (void) class_data;
  GObjectClass *object_class = G_OBJECT_CLASS (g_class);
  MpMediaResourceClass *klass = static_cast<MpMediaResourceClass *> (g_class);

  object_class->set_property = mp_media_resource_set_property;
  object_class->get_property = mp_media_resource_get_property;
  object_class->finalize = mp_media_resource_finalize;
  parent_class = static_cast<GObjectClass *> (g_type_class_peek_parent (g_class));

  klass->get_uri = _mp_media_resource_get_uri;
  klass->set_uri = _mp_media_resource_set_uri;
  klass->get_title = _mp_media_resource_get_title;
  klass->set_title = _mp_media_resource_set_title;
  klass->get_length = _mp_media_resource_get_length;
  klass->set_length = _mp_media_resource_set_length;
  klass->get_title_or_uri = _mp_media_resource_get_title_or_uri;
  klass->get_mime = _mp_media_resource_get_mime;
  klass->set_mime = _mp_media_resource_set_mime;
  klass->get_icon = _mp_media_resource_get_icon;
  klass->get_media_type = _mp_media_resource_get_media_type;
  klass->get_artist = _mp_media_resource_get_artist;
  klass->set_artist = _mp_media_resource_set_artist;
  klass->get_album = _mp_media_resource_get_album;
  klass->set_album = _mp_media_resource_set_album;
  klass->get_genre = _mp_media_resource_get_genre;
  klass->set_genre = _mp_media_resource_set_genre;
  klass->get_description = _mp_media_resource_get_description;
  klass->set_description = _mp_media_resource_set_description;
  klass->get_id = _mp_media_resource_get_id;
  klass->set_id = _mp_media_resource_set_id;
  klass->get_track = _mp_media_resource_get_track;
  klass->set_track = _mp_media_resource_set_track;
  klass->get_year = _mp_media_resource_get_year;
  klass->set_year = _mp_media_resource_set_year;
  klass->get_bitrate = _mp_media_resource_get_bitrate;
  klass->set_bitrate = _mp_media_resource_set_bitrate;
  klass->get_count = _mp_media_resource_get_count;
  klass->set_count = _mp_media_resource_set_count;
  klass->get_is_playlist = _mp_media_resource_get_is_playlist;
  klass->set_is_playlist = _mp_media_resource_set_is_playlist;
  klass->get_is_stream = _mp_media_resource_get_is_stream;
  klass->set_is_stream = _mp_media_resource_set_is_stream;
  klass->get_album_artist = _mp_media_resource_get_album_artist;
  klass->set_album_artist = _mp_media_resource_set_album_artist;
  klass->get_disc = _mp_media_resource_get_disc;
  klass->set_disc = _mp_media_resource_set_disc;

  install_string (object_class, PROP_FILENAME, "Filename");
  install_string (object_class, PROP_TITLE, "Title");
  install_int (object_class, PROP_LENGTH, "Length");
  install_string (object_class, PROP_MIME, "MIME");
  install_string (object_class, PROP_ARTIST, "Artist");
  install_string (object_class, PROP_ALBUM, "Album");
  install_string (object_class, PROP_GENRE, "Genre");
  install_int (object_class, PROP_TRACK, "Track");
  install_string (object_class, PROP_YEAR, "Year");
  install_int (object_class, PROP_BITRATE, "Bitrate");
  install_string (object_class, PROP_DESCRIPTION, "Description");
  install_string (object_class, PROP_ID, "Id");
  install_int (object_class, PROP_COUNT, "Count");
  install_int (object_class, PROP_IS_PLAYLIST, "isPlaylist");
  install_int (object_class, PROP_IS_STREAM, "isStream");
  install_string (object_class, PROP_ALBUM_ARTIST, "AlbumArtist");
  install_int (object_class, PROP_DISC, "Disc");
}

static void
mp_media_resource_init (GTypeInstance *instance, gpointer g_class)
{
  (void) g_class;
  MpMediaResource *self = reinterpret_cast<MpMediaResource *> (instance);
  self->priv = g_new0 (MpMediaResourcePrivate, 1);
  self->priv->length = -1;
  self->priv->track = -1;
  self->priv->bitrate = -1;
  self->priv->count = -1;
  self->priv->disc = -1;
  /* The flags start at 0 although their properties name -1 as default:
   * a resource is neither playlist nor stream until told so. */
  self->priv->is_playlist = 0;
  self->priv->is_stream = 0;
}

extern "C" GType
mp_media_resource_get_type (void)
{
  static gsize type_id = 0;
  if (g_once_init_enter (&type_id))
    {
      static const GTypeInfo info = {
        sizeof (MpMediaResourceClass),
        NULL,
        NULL,
        mp_media_resource_class_init,
        NULL,
        NULL,
        sizeof (MpMediaResource),
        16,
        mp_media_resource_init,
        NULL,
      };
      GType type = g_type_register_static (
          G_TYPE_OBJECT, g_intern_static_string ("MpMediaResource"), &info,
          static_cast<GTypeFlags> (0));
      g_once_init_leave (&type_id, type);
    }
  return type_id;
}

extern "C" MpMediaResource *
mp_media_resource_new (void)
{
  return static_cast<MpMediaResource *> (
      g_object_new (MP_TYPE_MEDIA_RESOURCE, NULL));
}

extern "C" void
mp_media_resource_destroy (MpMediaResource *mp_media_resource,
                           gpointer user_data)
{
  (void) user_data;
  g_return_if_fail (IS_MP_MEDIA_RESOURCE (mp_media_resource));
  g_object_unref (mp_media_resource);
}

/* The public accessors check the instance, then call through the class
 * slot so that a subclass's override takes effect. */

#define PUBLIC_GETTER(type, name, failure)                                    \
  extern "C" type mp_media_resource_get_##name (                              \
      MpMediaResource *mp_media_resource)                                     \
  {                                                                           \
    g_return_val_if_fail (IS_MP_MEDIA_RESOURCE (mp_media_resource), failure); \
    return MP_MEDIA_RESOURCE_GET_CLASS (mp_media_resource)                    \
        ->get_##name (mp_media_resource);                                     \
  }

#define PUBLIC_SETTER(type, name)                                             \
  extern "C" void mp_media_resource_set_##name (                              \
      MpMediaResource *mp_media_resource, type value)                         \
  {                                                                           \
    g_return_if_fail (IS_MP_MEDIA_RESOURCE (mp_media_resource));              \
    MP_MEDIA_RESOURCE_GET_CLASS (mp_media_resource)                           \
        ->set_##name (mp_media_resource, value);                              \
  }

#define PUBLIC_STRING(name)                                                   \
  PUBLIC_GETTER (const gchar *, name, NULL)                                   \
  PUBLIC_SETTER (const gchar *, name)

#define PUBLIC_INT(name, failure)                                             \
  PUBLIC_GETTER (gint, name, failure)                                         \
  PUBLIC_SETTER (gint, name)

PUBLIC_STRING (uri)
PUBLIC_STRING (title)
PUBLIC_INT (length, -1)
PUBLIC_GETTER (const gchar *, title_or_uri, NULL)
PUBLIC_STRING (mime)
PUBLIC_GETTER (const gchar *, icon, NULL)
PUBLIC_GETTER (MpMediaType, media_type, MP_MEDIA_TYPE_NONE)
PUBLIC_STRING (artist)
PUBLIC_STRING (album)
PUBLIC_STRING (genre)
PUBLIC_STRING (description)
PUBLIC_STRING (id)
PUBLIC_INT (track, -1)
PUBLIC_STRING (year)
PUBLIC_INT (bitrate, -1)
PUBLIC_INT (count, -1)
PUBLIC_INT (is_playlist, 0)
PUBLIC_INT (is_stream, 0)
PUBLIC_STRING (album_artist)
PUBLIC_INT (disc, -1)

extern "C" MpMediaResource *
mp_media_resource_copy (MpMediaResource *mp_media_resource)
{
  g_return_val_if_fail (IS_MP_MEDIA_RESOURCE (mp_media_resource), NULL);
  const MpMediaResourcePrivate *src = mp_media_resource->priv;
  MpMediaResource *copy = mp_media_resource_new ();
  MpMediaResourcePrivate *dst = copy->priv;

  /* Field by field, past the accessors: the derived values travel as they
   * stand, and the icon is a constant shared by pointer. */
  dst->uri = g_strdup (src->uri);
  dst->title = g_strdup (src->title);
  dst->length = src->length;
  dst->title_or_uri = g_strdup (src->title_or_uri);
  dst->mime = g_strdup (src->mime);
  dst->artist = g_strdup (src->artist);
  dst->album = g_strdup (src->album);
  dst->genre = g_strdup (src->genre);
  dst->description = g_strdup (src->description);
  dst->id = g_strdup (src->id);
  dst->track = src->track;
  dst->year = g_strdup (src->year);
  dst->bitrate = src->bitrate;
  dst->icon = src->icon;
  dst->media_type = src->media_type;
  dst->count = src->count;
  dst->is_playlist = src->is_playlist;
  dst->is_stream = src->is_stream;
  dst->album_artist = g_strdup (src->album_artist);
  dst->disc = src->disc;
  return copy;
}

extern "C" GList *
mp_media_resource_list_copy (GList *list)
{
  GList *copies = NULL;
  for (GList *l = list; l != NULL; l = l->next)
    {
      if (l->data == NULL)
        continue;
      /* A foreign element gets the copy's critical and no place in the
       * result, rather than a NULL hole. */
      MpMediaResource *copy
          = mp_media_resource_copy (static_cast<MpMediaResource *> (l->data));
      if (copy != NULL)
        copies = g_list_prepend (copies, copy);
    }
  return g_list_reverse (copies);
}
