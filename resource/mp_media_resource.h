/* MpMediaResource: one media item handed to a media player -- a local song
 * or video, a playlist, a stream URL, a node of the station directory, or
 * an aggregate row such as an album with its song count.
 *
 * Property names equal the column names of the Metadata table, so a search
 * result row can be applied to a new resource column by column.  Getters
 * return strings borrowed from the resource (valid until the field is set
 * again or the resource is finalized); setters keep copies of their own.
 * Every public call checks its instance with a return-if-fail critical. */
#ifndef TESSEL_MP_MEDIA_RESOURCE_H
#define TESSEL_MP_MEDIA_RESOURCE_H

#include <glib-object.h>

#include "tessel_export.h"

G_BEGIN_DECLS

/* Media type derived from the MIME type. */
typedef enum
{
  MP_MEDIA_TYPE_NONE = 0,
  MP_MEDIA_TYPE_AUDIO = 1,
  MP_MEDIA_TYPE_VIDEO = 2,
  MP_MEDIA_TYPE_REAL_AUDIO = 3,
  MP_MEDIA_TYPE_REAL_VIDEO = 4
} MpMediaType;

#define MP_TYPE_MEDIA_RESOURCE (mp_media_resource_get_type ())
#define MP_MEDIA_RESOURCE(obj)                                                \
  (G_TYPE_CHECK_INSTANCE_CAST ((obj), MP_TYPE_MEDIA_RESOURCE, MpMediaResource))
#define MP_MEDIA_RESOURCE_CLASS(klass)                                        \
  (G_TYPE_CHECK_CLASS_CAST ((klass), MP_TYPE_MEDIA_RESOURCE,                  \
                            MpMediaResourceClass))
#define IS_MP_MEDIA_RESOURCE(obj)                                             \
  (G_TYPE_CHECK_INSTANCE_TYPE ((obj), MP_TYPE_MEDIA_RESOURCE))
#define IS_MP_MEDIA_RESOURCE_CLASS(klass)                                     \
  (G_TYPE_CHECK_CLASS_TYPE ((klass), MP_TYPE_MEDIA_RESOURCE))
#define MP_MEDIA_RESOURCE_GET_CLASS(obj)                                      \
  (G_TYPE_INSTANCE_GET_CLASS ((obj), MP_TYPE_MEDIA_RESOURCE,                  \
                              MpMediaResourceClass))

typedef struct _MpMediaResource MpMediaResource;
typedef struct _MpMediaResourceClass MpMediaResourceClass;
typedef struct _MpMediaResourcePrivate MpMediaResourcePrivate;

struct _MpMediaResource
{
  GObject parent;
  MpMediaResourcePrivate *priv;
};

/* Every public accessor calls through these slots, so a subclass may
 * override any of them. */
struct _MpMediaResourceClass
{
  GObjectClass parent_class;

  const gchar *(*get_uri) (MpMediaResource *self);
  void (*set_uri) (MpMediaResource *self, const gchar *uri);
  const gchar *(*get_title) (MpMediaResource *self);
  void (*set_title) (MpMediaResource *self, const gchar *title);
  gint (*get_length) (MpMediaResource *self);
  void (*set_length) (MpMediaResource *self, gint length);
  const gchar *(*get_title_or_uri) (MpMediaResource *self);
  const gchar *(*get_mime) (MpMediaResource *self);
  void (*set_mime) (MpMediaResource *self, const gchar *mime);
  const gchar *(*get_icon) (MpMediaResource *self);
  MpMediaType (*get_media_type) (MpMediaResource *self);
  const gchar *(*get_artist) (MpMediaResource *self);
  void (*set_artist) (MpMediaResource *self, const gchar *artist);
  const gchar *(*get_album) (MpMediaResource *self);
  void (*set_album) (MpMediaResource *self, const gchar *album);
  const gchar *(*get_genre) (MpMediaResource *self);
  void (*set_genre) (MpMediaResource *self, const gchar *genre);
  const gchar *(*get_description) (MpMediaResource *self);
  void (*set_description) (MpMediaResource *self, const gchar *description);
  const gchar *(*get_id) (MpMediaResource *self);
  void (*set_id) (MpMediaResource *self, const gchar *id);
  gint (*get_track) (MpMediaResource *self);
  void (*set_track) (MpMediaResource *self, gint track);
  const gchar *(*get_year) (MpMediaResource *self);
  void (*set_year) (MpMediaResource *self, const gchar *year);
  gint (*get_bitrate) (MpMediaResource *self);
  void (*set_bitrate) (MpMediaResource *self, gint bitrate);
  gint (*get_count) (MpMediaResource *self);
  void (*set_count) (MpMediaResource *self, gint count);
  gint (*get_is_playlist) (MpMediaResource *self);
  void (*set_is_playlist) (MpMediaResource *self, gint is_playlist);
  gint (*get_is_stream) (MpMediaResource *self);
  void (*set_is_stream) (MpMediaResource *self, gint is_stream);
  /* Added after the first release: new slots go at the end, so that the
   * offsets of the slots above stay where callers compiled them. */
  const gchar *(*get_album_artist) (MpMediaResource *self);
  void (*set_album_artist) (MpMediaResource *self, const gchar *album_artist);
  gint (*get_disc) (MpMediaResource *self);
  void (*set_disc) (MpMediaResource *self, gint disc);
};

TESSEL_API GType mp_media_resource_get_type (void) G_GNUC_CONST;

/**
 * mp_media_resource_new:
 *
 * Returns: (transfer full): a new resource
 */
/* A new resource: length, track, bitrate and count -1, flags 0, strings
 * NULL.  One reference owned by the caller. */
TESSEL_API MpMediaResource *mp_media_resource_new (void);

/**
 * mp_media_resource_destroy: (skip)
 * @user_data: ignored
 *
 * Left out of the introspection data: bindings hold and drop their
 * references themselves.
 */
/* Drops one reference.  Has the shape of a GFunc, so a list is released
 * with g_list_foreach (list, (GFunc) mp_media_resource_destroy, NULL)
 * followed by g_list_free (list); user_data is ignored. */
TESSEL_API void mp_media_resource_destroy (MpMediaResource *mp_media_resource,
                                           gpointer user_data);

/**
 * mp_media_resource_get_uri:
 *
 * Returns: (nullable): the file path or URL, borrowed from the resource
 */
/**
 * mp_media_resource_set_uri:
 * @uri: (nullable): the new value, copied
 */
TESSEL_API const gchar *
mp_media_resource_get_uri (MpMediaResource *mp_media_resource);
TESSEL_API void mp_media_resource_set_uri (MpMediaResource *mp_media_resource,
                                           const gchar *uri);

/**
 * mp_media_resource_get_title:
 *
 * Returns: (nullable): the title, borrowed from the resource
 */
/**
 * mp_media_resource_set_title:
 * @title: (nullable): the new value, copied
 */
TESSEL_API const gchar *
mp_media_resource_get_title (MpMediaResource *mp_media_resource);
TESSEL_API void
mp_media_resource_set_title (MpMediaResource *mp_media_resource,
                             const gchar *title);

/**
 * mp_media_resource_get_length:
 *
 * Returns: the length in seconds, -1 when unknown
 */
/**
 * mp_media_resource_set_length:
 * @length: the new value
 */
TESSEL_API gint
mp_media_resource_get_length (MpMediaResource *mp_media_resource);
TESSEL_API void
mp_media_resource_set_length (MpMediaResource *mp_media_resource,
                              gint length);

/**
 * mp_media_resource_get_title_or_uri:
 *
 * The display name: the title, else the URI's last path component (with
 * the extension cut off for video).
 *
 * Returns: (nullable): the display name, borrowed from the resource
 */
/* The display name: the title, else the URI's last path component (with
 * the extension cut off for video).  Computed once, then kept even when
 * title, URI or MIME change; NULL (not kept) with neither title nor URI. */
TESSEL_API const gchar *
mp_media_resource_get_title_or_uri (MpMediaResource *mp_media_resource);

/**
 * mp_media_resource_get_mime:
 *
 * Returns: (nullable): the MIME type, borrowed from the resource
 */
/**
 * mp_media_resource_set_mime:
 * @mime: (nullable): the new value, copied
 */
TESSEL_API const gchar *
mp_media_resource_get_mime (MpMediaResource *mp_media_resource);
TESSEL_API void mp_media_resource_set_mime (MpMediaResource *mp_media_resource,
                                            const gchar *mime);

/**
 * mp_media_resource_get_icon:
 *
 * Returns: (nullable): a constant icon name, "" for none
 */
/* A constant icon name for the media type ("" for none); never free it.
 * Computed once, then kept. */
TESSEL_API const gchar *
mp_media_resource_get_icon (MpMediaResource *mp_media_resource);

/**
 * mp_media_resource_get_media_type:
 *
 * Returns: the media type of the MIME type
 */
/* The media type of the MIME type.  A MIME type that is unset, or neither
 * audio nor video, gives MP_MEDIA_TYPE_NONE with a critical and is derived
 * again next time; any other result is kept. */
TESSEL_API MpMediaType
mp_media_resource_get_media_type (MpMediaResource *mp_media_resource);

/**
 * mp_media_resource_get_artist:
 *
 * Returns: (nullable): the artist, borrowed from the resource
 */
/**
 * mp_media_resource_set_artist:
 * @artist: (nullable): the new value, copied
 */
TESSEL_API const gchar *
mp_media_resource_get_artist (MpMediaResource *mp_media_resource);
TESSEL_API void
mp_media_resource_set_artist (MpMediaResource *mp_media_resource,
                              const gchar *artist);

/**
 * mp_media_resource_get_album:
 *
 * Returns: (nullable): the album, borrowed from the resource
 */
/**
 * mp_media_resource_set_album:
 * @album: (nullable): the new value, copied
 */
TESSEL_API const gchar *
mp_media_resource_get_album (MpMediaResource *mp_media_resource);
TESSEL_API void
mp_media_resource_set_album (MpMediaResource *mp_media_resource,
                             const gchar *album);

/**
 * mp_media_resource_get_genre:
 *
 * Returns: (nullable): the genre, borrowed from the resource
 */
/**
 * mp_media_resource_set_genre:
 * @genre: (nullable): the new value, copied
 */
TESSEL_API const gchar *
mp_media_resource_get_genre (MpMediaResource *mp_media_resource);
TESSEL_API void
mp_media_resource_set_genre (MpMediaResource *mp_media_resource,
                             const gchar *genre);

/**
 * mp_media_resource_get_description:
 *
 * Returns: (nullable): the free-text description, borrowed from the resource
 */
/**
 * mp_media_resource_set_description:
 * @description: (nullable): the new value, copied
 */
TESSEL_API const gchar *
mp_media_resource_get_description (MpMediaResource *mp_media_resource);
TESSEL_API void
mp_media_resource_set_description (MpMediaResource *mp_media_resource,
                                   const gchar *description);

/**
 * mp_media_resource_get_id:
 *
 * Returns: (nullable): the identifier of a directory node, borrowed from
 *   the resource
 */
/**
 * mp_media_resource_set_id:
 * @id: (nullable): the new value, copied
 */
TESSEL_API const gchar *
mp_media_resource_get_id (MpMediaResource *mp_media_resource);
TESSEL_API void mp_media_resource_set_id (MpMediaResource *mp_media_resource,
                                          const gchar *id);

/**
 * mp_media_resource_get_track:
 *
 * Returns: the track number, -1 when unknown
 */
/**
 * mp_media_resource_set_track:
 * @track: the new value
 */
TESSEL_API gint mp_media_resource_get_track (MpMediaResource *mp_media_resource);
TESSEL_API void
mp_media_resource_set_track (MpMediaResource *mp_media_resource, gint track);

/**
 * mp_media_resource_get_year:
 *
 * Returns: (nullable): the year as text, borrowed from the resource
 */
/**
 * mp_media_resource_set_year:
 * @year: (nullable): the new value, copied
 */
TESSEL_API const gchar *
mp_media_resource_get_year (MpMediaResource *mp_media_resource);
TESSEL_API void mp_media_resource_set_year (MpMediaResource *mp_media_resource,
                                            const gchar *year);

/**
 * mp_media_resource_get_bitrate:
 *
 * Returns: the bitrate, -1 when unknown
 */
/**
 * mp_media_resource_set_bitrate:
 * @bitrate: the new value
 */
TESSEL_API gint
mp_media_resource_get_bitrate (MpMediaResource *mp_media_resource);
TESSEL_API void
mp_media_resource_set_bitrate (MpMediaResource *mp_media_resource,
                               gint bitrate);

/**
 * mp_media_resource_get_count:
 *
 * Returns: the number of items an aggregate stands for, -1 when none
 */
/**
 * mp_media_resource_set_count:
 * @count: the new value
 */
TESSEL_API gint mp_media_resource_get_count (MpMediaResource *mp_media_resource);
TESSEL_API void
mp_media_resource_set_count (MpMediaResource *mp_media_resource, gint count);

/**
 * mp_media_resource_get_is_playlist:
 *
 * Returns: non-zero for a playlist
 */
/**
 * mp_media_resource_set_is_playlist:
 * @is_playlist: the new value
 */
TESSEL_API gint
mp_media_resource_get_is_playlist (MpMediaResource *mp_media_resource);
TESSEL_API void
mp_media_resource_set_is_playlist (MpMediaResource *mp_media_resource,
                                   gint is_playlist);

/**
 * mp_media_resource_get_is_stream:
 *
 * Returns: non-zero for a stream
 */
/**
 * mp_media_resource_set_is_stream:
 * @is_stream: the new value
 */
TESSEL_API gint
mp_media_resource_get_is_stream (MpMediaResource *mp_media_resource);
TESSEL_API void
mp_media_resource_set_is_stream (MpMediaResource *mp_media_resource,
                                 gint is_stream);

/**
 * mp_media_resource_get_album_artist:
 *
 * The artist an album is listed under (property "AlbumArtist"): the album
 * artist tag of a song, or the album artist that grouped an album.
 *
 * Returns: (nullable): the album artist, borrowed from the resource
 */
/**
 * mp_media_resource_set_album_artist:
 * @album_artist: (nullable): the new value, copied
 */
TESSEL_API const gchar *
mp_media_resource_get_album_artist (MpMediaResource *mp_media_resource);
TESSEL_API void
mp_media_resource_set_album_artist (MpMediaResource *mp_media_resource,
                                    const gchar *album_artist);

/**
 * mp_media_resource_get_disc:
 *
 * The number of the disc of a set that the song is on (property "Disc").
 *
 * Returns: the disc number, -1 when unknown
 */
/**
 * mp_media_resource_set_disc:
 * @disc: the new value
 */
TESSEL_API gint mp_media_resource_get_disc (MpMediaResource *mp_media_resource);
TESSEL_API void mp_media_resource_set_disc (MpMediaResource *mp_media_resource,
                                            gint disc);

/**
 * mp_media_resource_copy:
 *
 * Returns: (transfer full) (nullable): a new resource, %NULL for a bad
 *   instance
 */
/* A new resource with every field of the source, the derived values as
 * they stand included.  One reference owned by the caller. */
TESSEL_API MpMediaResource *
mp_media_resource_copy (MpMediaResource *mp_media_resource);

/**
 * mp_media_resource_list_copy:
 * @list: (nullable) (element-type MpMediaResource): the resources
 *
 * Returns: (transfer full) (nullable) (element-type MpMediaResource): the
 *   copies
 */
/* Copies of the resources of list, in the same order; NULL elements are
 * skipped.  The source list is not touched. */
TESSEL_API GList *mp_media_resource_list_copy (GList *list);

G_DEFINE_AUTOPTR_CLEANUP_FUNC (MpMediaResource, g_object_unref)

G_END_DECLS

#endif /* TESSEL_MP_MEDIA_RESOURCE_H */
