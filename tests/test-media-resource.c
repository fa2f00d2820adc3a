/* The media resource object from C: properties, derived values and their
 * caches, copies, and the checks of the public calls. */
#include <string.h>

#include "mp_media_resource.h"
#include "tessel-test.h"

static void
expect_critical (const gchar *pattern)
{
  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL, pattern);
}

static void
test_new_initial_values (void)
{
  MpMediaResource *res = mp_media_resource_new ();
  g_assert_cmpint (mp_media_resource_get_length (res), ==, -1);
  g_assert_cmpint (mp_media_resource_get_track (res), ==, -1);
  g_assert_cmpint (mp_media_resource_get_bitrate (res), ==, -1);
  g_assert_cmpint (mp_media_resource_get_count (res), ==, -1);
  g_assert_cmpint (mp_media_resource_get_is_playlist (res), ==, 0);
  g_assert_cmpint (mp_media_resource_get_is_stream (res), ==, 0);
  g_assert_null (mp_media_resource_get_uri (res));
  g_assert_null (mp_media_resource_get_title (res));
  g_assert_null (mp_media_resource_get_mime (res));
  g_assert_null (mp_media_resource_get_artist (res));
  g_assert_null (mp_media_resource_get_album (res));
  g_assert_null (mp_media_resource_get_genre (res));
  g_assert_null (mp_media_resource_get_description (res));
  g_assert_null (mp_media_resource_get_id (res));
  g_assert_null (mp_media_resource_get_year (res));
  g_assert_null (mp_media_resource_get_album_artist (res));
  g_assert_cmpint (mp_media_resource_get_disc (res), ==, -1);
  g_assert_null (mp_media_resource_get_title_or_uri (res));

  expect_critical ("*_mp_media_resource_get_media_type*mime != NULL*");
  g_assert_cmpint (mp_media_resource_get_media_type (res), ==,
                   MP_MEDIA_TYPE_NONE);
  g_test_assert_expected_messages ();

  /* The icon derives the media type once; the empty name is then kept, so
   * the second request warns no more. */
  expect_critical ("*mime != NULL*");
  g_assert_cmpstr (mp_media_resource_get_icon (res), ==, "");
  g_test_assert_expected_messages ();
  g_assert_cmpstr (mp_media_resource_get_icon (res), ==, "");
  mp_media_resource_destroy (res, NULL);
}

typedef struct
{
  const gchar *name;
  guint id;
  GType type;
} PropertyRow;

/* In install order. */
static const PropertyRow property_table[] = {
  { "Filename", 1, G_TYPE_STRING },   { "Title", 3, G_TYPE_STRING },
  { "Length", 2, G_TYPE_INT },        { "MIME", 4, G_TYPE_STRING },
  { "Artist", 5, G_TYPE_STRING },     { "Album", 6, G_TYPE_STRING },
  { "Genre", 7, G_TYPE_STRING },      { "Track", 10, G_TYPE_INT },
  { "Year", 11, G_TYPE_STRING },      { "Bitrate", 12, G_TYPE_INT },
  { "Description", 8, G_TYPE_STRING }, { "Id", 9, G_TYPE_STRING },
  { "Count", 13, G_TYPE_INT },        { "isPlaylist", 14, G_TYPE_INT },
  { "isStream", 15, G_TYPE_INT },      { "AlbumArtist", 16, G_TYPE_STRING },
  { "Disc", 17, G_TYPE_INT },
};

static void
test_property_table (void)
{
  GObjectClass *klass = g_type_class_ref (MP_TYPE_MEDIA_RESOURCE);
  guint n = 0;
  GParamSpec **all = g_object_class_list_properties (klass, &n);
  g_assert_cmpuint (n, ==, G_N_ELEMENTS (property_table));
  g_free (all);

  for (gsize i = 0; i < G_N_ELEMENTS (property_table); i++)
    {
      const PropertyRow *row = &property_table[i];
      GParamSpec *pspec = g_object_class_find_property (klass, row->name);
      g_assert_nonnull (pspec);
      g_assert_cmpuint (pspec->param_id, ==, row->id);
      g_assert_true (pspec->value_type == row->type);
      g_assert_cmpstr (g_param_spec_get_nick (pspec), ==, row->name);
      g_assert_cmpstr (g_param_spec_get_blurb (pspec), ==, row->name);
      g_assert_cmpint (pspec->flags & G_PARAM_READWRITE, ==,
                       G_PARAM_READWRITE);
      g_assert_cmpint (pspec->flags
                           & (G_PARAM_CONSTRUCT | G_PARAM_CONSTRUCT_ONLY),
                       ==, 0);
      if (row->type == G_TYPE_INT)
        {
          GParamSpecInt *ispec = G_PARAM_SPEC_INT (pspec);
          g_assert_cmpint (ispec->minimum, ==, -1);
          g_assert_cmpint (ispec->maximum, ==, G_MAXINT);
          g_assert_cmpint (ispec->default_value, ==, -1);
        }
      else
        g_assert_null (G_PARAM_SPEC_STRING (pspec)->default_value);
    }
  /* Names are matched with case: they are the column names. */
  g_assert_null (g_object_class_find_property (klass, "filename"));
  g_assert_null (g_object_class_find_property (klass, "Mime"));
  g_type_class_unref (klass);
}

static void
test_property_round_trip (void)
{
  MpMediaResource *res = mp_media_resource_new ();
  g_object_set (res, "Filename", "/m/a.mp3", "Title", "T", "Length", 61,
                "MIME", "audio/mpeg", "Artist", "Ar", "Album", "Al", "Genre",
                "G", "Track", 4, "Year", "1999", "Bitrate", 128000,
                "Description", "D", "Id", "node-7", "Count", 12,
                "isPlaylist", 1, "isStream", 1, "AlbumArtist", "AA", "Disc",
                2, NULL);
  g_assert_cmpstr (mp_media_resource_get_uri (res), ==, "/m/a.mp3");
  g_assert_cmpstr (mp_media_resource_get_title (res), ==, "T");
  g_assert_cmpint (mp_media_resource_get_length (res), ==, 61);
  g_assert_cmpstr (mp_media_resource_get_mime (res), ==, "audio/mpeg");
  g_assert_cmpstr (mp_media_resource_get_artist (res), ==, "Ar");
  g_assert_cmpstr (mp_media_resource_get_album (res), ==, "Al");
  g_assert_cmpstr (mp_media_resource_get_genre (res), ==, "G");
  g_assert_cmpint (mp_media_resource_get_track (res), ==, 4);
  g_assert_cmpstr (mp_media_resource_get_year (res), ==, "1999");
  g_assert_cmpint (mp_media_resource_get_bitrate (res), ==, 128000);
  g_assert_cmpstr (mp_media_resource_get_description (res), ==, "D");
  g_assert_cmpstr (mp_media_resource_get_id (res), ==, "node-7");
  g_assert_cmpint (mp_media_resource_get_count (res), ==, 12);
  g_assert_cmpint (mp_media_resource_get_is_playlist (res), ==, 1);
  g_assert_cmpint (mp_media_resource_get_is_stream (res), ==, 1);
  g_assert_cmpstr (mp_media_resource_get_album_artist (res), ==, "AA");
  g_assert_cmpint (mp_media_resource_get_disc (res), ==, 2);

  /* A copy carries them, as copies of its own. */
  MpMediaResource *copy = mp_media_resource_copy (res);
  mp_media_resource_set_album_artist (res, "changed");
  g_assert_cmpstr (mp_media_resource_get_album_artist (copy), ==, "AA");
  g_assert_cmpint (mp_media_resource_get_disc (copy), ==, 2);
  g_object_unref (copy);

  /* Reading goes through the getters too. */
  gchar *id = NULL, *uri = NULL, *album_artist = NULL;
  gint track = 0, stream = 0, disc = 0;
  mp_media_resource_set_track (res, 9);
  mp_media_resource_set_disc (res, 3);
  g_object_get (res, "Id", &id, "Filename", &uri, "Track", &track,
                "isStream", &stream, "AlbumArtist", &album_artist, "Disc",
                &disc, NULL);
  g_assert_cmpstr (album_artist, ==, "changed");
  g_assert_cmpint (disc, ==, 3);
  g_free (album_artist);
  g_assert_cmpstr (id, ==, "node-7");
  g_assert_cmpstr (uri, ==, "/m/a.mp3");
  g_assert_cmpint (track, ==, 9);
  g_assert_cmpint (stream, ==, 1);
  g_free (id);
  g_free (uri);

  /* An integer handed to a string property becomes its decimal text. */
  GValue year = G_VALUE_INIT;
  g_value_init (&year, G_TYPE_INT);
  g_value_set_int (&year, 2004);
  g_object_set_property (G_OBJECT (res), "Year", &year);
  g_value_unset (&year);
  g_assert_cmpstr (mp_media_resource_get_year (res), ==, "2004");

  /* NULL clears a string. */
  g_object_set (res, "Title", NULL, NULL);
  g_assert_null (mp_media_resource_get_title (res));
  g_object_unref (res);
}

static void
test_length_range (void)
{
  MpMediaResource *res = mp_media_resource_new ();
  mp_media_resource_set_length (res, 30);
  /* GLib's range check refuses -2 before it reaches the setter. */
  g_test_expect_message ("GLib-GObject", G_LOG_LEVEL_WARNING,
                         "*-2*Length*");
  g_object_set (res, "Length", -2, NULL);
  g_test_assert_expected_messages ();
  g_assert_cmpint (mp_media_resource_get_length (res), ==, 30);

  g_object_set (res, "Length", -1, NULL);
  g_assert_cmpint (mp_media_resource_get_length (res), ==, -1);
  g_object_set (res, "Count", G_MAXINT, NULL);
  g_assert_cmpint (mp_media_resource_get_count (res), ==, G_MAXINT);

  /* The setter itself stores any value. */
  mp_media_resource_set_length (res, -2);
  g_assert_cmpint (mp_media_resource_get_length (res), ==, -2);
  g_object_unref (res);
}

static void
test_property_handler_checks (void)
{
  MpMediaResource *res = mp_media_resource_new ();
  mp_media_resource_set_description (res, "kept");
  GObjectClass *klass = G_OBJECT_GET_CLASS (res);
  GParamSpec *pspec = g_object_class_find_property (klass, "Description");

  /* Called past GLib's own conversion, the handler checks the value. */
  GValue number = G_VALUE_INIT;
  g_value_init (&number, G_TYPE_INT);
  g_value_set_int (&number, 5);
  expect_critical ("*G_VALUE_HOLDS_STRING (value)*");
  klass->set_property (G_OBJECT (res), 8, &number, pspec);
  g_test_assert_expected_messages ();
  g_assert_cmpstr (mp_media_resource_get_description (res), ==, "kept");

  expect_critical ("*G_VALUE_HOLDS_STRING (value)*");
  klass->get_property (G_OBJECT (res), 9, &number,
                       g_object_class_find_property (klass, "Id"));
  g_test_assert_expected_messages ();
  g_assert_cmpint (g_value_get_int (&number), ==, 5);

  /* An id the class does not know gets GLib's invalid-id warning. */
  g_test_expect_message ("tessel", G_LOG_LEVEL_WARNING,
                         "*invalid property id 0*");
  klass->set_property (G_OBJECT (res), 0, &number, pspec);
  g_test_assert_expected_messages ();
  g_value_unset (&number);
  g_object_unref (res);
}

typedef struct
{
  const gchar *mime;
  MpMediaType type;
  const gchar *icon;
} MimeCase;

static const MimeCase mime_cases[] = {
  { "audio/x-real", MP_MEDIA_TYPE_REAL_AUDIO, "qgn_list_gene_music_real" },
  { "audio/x-pn-realaudio", MP_MEDIA_TYPE_REAL_AUDIO,
    "qgn_list_gene_music_real" },
  { "audio/x-pn-realaudio-plugin", MP_MEDIA_TYPE_REAL_AUDIO,
    "qgn_list_gene_music_real" },
  { "video/x-real", MP_MEDIA_TYPE_REAL_VIDEO, "qgn_list_gene_music_real" },
  { "audio/mpeg", MP_MEDIA_TYPE_AUDIO, "qgn_list_gene_music_file" },
  { "audio/x-realish", MP_MEDIA_TYPE_AUDIO, "qgn_list_gene_music_file" },
  { "video/mpeg", MP_MEDIA_TYPE_VIDEO, "qgn_list_gene_video_file" },
  { "application/vnd.ms-wpl", MP_MEDIA_TYPE_NONE, "" },
  { "Audio/MPEG", MP_MEDIA_TYPE_NONE, "" },
  { "", MP_MEDIA_TYPE_NONE, "" },
};

static void
test_media_type_and_icon (gconstpointer data)
{
  const MimeCase *c = data;
  MpMediaResource *res = mp_media_resource_new ();
  mp_media_resource_set_mime (res, c->mime);
  if (c->type == MP_MEDIA_TYPE_NONE)
    expect_critical ("*should not be reached*");
  g_assert_cmpint (mp_media_resource_get_media_type (res), ==, c->type);
  g_test_assert_expected_messages ();
  if (c->type == MP_MEDIA_TYPE_NONE)
    expect_critical ("*should not be reached*");
  g_assert_cmpstr (mp_media_resource_get_icon (res), ==, c->icon);
  g_test_assert_expected_messages ();
  mp_media_resource_destroy (res, NULL);
}

static void
test_derived_values_are_kept (void)
{
  MpMediaResource *res = mp_media_resource_new ();
  mp_media_resource_set_mime (res, "audio/mpeg");
  g_assert_cmpstr (mp_media_resource_get_icon (res), ==,
                   "qgn_list_gene_music_file");
  mp_media_resource_set_mime (res, "video/mpeg");
  g_assert_cmpint (mp_media_resource_get_media_type (res), ==,
                   MP_MEDIA_TYPE_AUDIO);
  g_assert_cmpstr (mp_media_resource_get_icon (res), ==,
                   "qgn_list_gene_music_file");

  mp_media_resource_set_title (res, "First");
  const gchar *shown = mp_media_resource_get_title_or_uri (res);
  g_assert_cmpstr (shown, ==, "First");
  mp_media_resource_set_title (res, "Second");
  g_assert_cmpstr (mp_media_resource_get_title_or_uri (res), ==, "First");
  /* The cache is a copy of its own, not the title's storage. */
  g_assert_true (shown != mp_media_resource_get_title (res));
  mp_media_resource_destroy (res, NULL);

  /* A media type of 0 is not kept: a MIME type set later still counts. */
  res = mp_media_resource_new ();
  mp_media_resource_set_mime (res, "text/plain");
  expect_critical ("*should not be reached*");
  g_assert_cmpint (mp_media_resource_get_media_type (res), ==, 0);
  g_test_assert_expected_messages ();
  mp_media_resource_set_mime (res, "video/ogg");
  g_assert_cmpint (mp_media_resource_get_media_type (res), ==,
                   MP_MEDIA_TYPE_VIDEO);
  mp_media_resource_destroy (res, NULL);
}

typedef struct
{
  const gchar *uri;
  const gchar *mime;
  const gchar *shown;
} NameCase;

static const NameCase name_cases[] = {
  { "/media/clip.final.avi", "video/x-msvideo", "clip.final" },
  { "/media/song.mp3", "audio/mpeg", "song.mp3" },
  { "http://radio.example/stream/live", "audio/x-scpls", "live" },
  { "/media/movie.rm", "video/x-real", "movie" },
  { "/media/track.ra", "audio/x-real", "track.ra" },
  { "/media/noext", "video/mpeg", "noext" },
  { "/media/list.wpl", NULL, "list.wpl" },
};

static void
test_display_name (gconstpointer data)
{
  const NameCase *c = data;
  MpMediaResource *res = mp_media_resource_new ();
  mp_media_resource_set_uri (res, c->uri);
  mp_media_resource_set_mime (res, c->mime);
  if (c->mime == NULL)
    expect_critical ("*mime != NULL*");
  g_assert_cmpstr (mp_media_resource_get_title_or_uri (res), ==, c->shown);
  g_test_assert_expected_messages ();
  mp_media_resource_destroy (res, NULL);
}

static void
test_display_name_retried_while_unknown (void)
{
  MpMediaResource *res = mp_media_resource_new ();
  g_assert_null (mp_media_resource_get_title_or_uri (res));
  mp_media_resource_set_title (res, "Later");
  g_assert_cmpstr (mp_media_resource_get_title_or_uri (res), ==, "Later");
  mp_media_resource_destroy (res, NULL);
}

static void
test_set_to_own_string (void)
{
  MpMediaResource *res = mp_media_resource_new ();
  mp_media_resource_set_title (res, "Same title");
  mp_media_resource_set_title (res, mp_media_resource_get_title (res));
  g_assert_cmpstr (mp_media_resource_get_title (res), ==, "Same title");
  mp_media_resource_set_uri (res, "/a/b");
  mp_media_resource_set_uri (res, mp_media_resource_get_uri (res));
  g_assert_cmpstr (mp_media_resource_get_uri (res), ==, "/a/b");
  mp_media_resource_destroy (res, NULL);
}

static void
test_bad_instance (void)
{
  GObject *other = g_object_new (G_TYPE_OBJECT, NULL);
  MpMediaResource *wrong = (MpMediaResource *) other;

  g_test_expect_message ("tessel", G_LOG_LEVEL_CRITICAL,
                         "mp_media_resource_get_uri: assertion "
                         "'IS_MP_MEDIA_RESOURCE (mp_media_resource)' failed");
  g_assert_null (mp_media_resource_get_uri (NULL));
  g_test_assert_expected_messages ();

  expect_critical ("*mp_media_resource_get_length*IS_MP_MEDIA_RESOURCE*");
  g_assert_cmpint (mp_media_resource_get_length (wrong), ==, -1);
  expect_critical ("*mp_media_resource_get_is_stream*IS_MP_MEDIA_RESOURCE*");
  g_assert_cmpint (mp_media_resource_get_is_stream (wrong), ==, 0);
  expect_critical ("*mp_media_resource_get_media_type*IS_MP_MEDIA_RESOURCE*");
  g_assert_cmpint (mp_media_resource_get_media_type (NULL), ==, 0);
  expect_critical ("*mp_media_resource_get_icon*IS_MP_MEDIA_RESOURCE*");
  g_assert_null (mp_media_resource_get_icon (NULL));
  expect_critical ("*mp_media_resource_set_title*IS_MP_MEDIA_RESOURCE*");
  mp_media_resource_set_title (wrong, "x");
  expect_critical ("*mp_media_resource_copy*IS_MP_MEDIA_RESOURCE*");
  g_assert_null (mp_media_resource_copy (wrong));
  expect_critical ("*mp_media_resource_destroy*IS_MP_MEDIA_RESOURCE*");
  mp_media_resource_destroy (NULL, NULL);
  g_test_assert_expected_messages ();
  g_object_unref (other);
}

static void
test_copy_carries_derived_values (void)
{
  MpMediaResource *res = mp_media_resource_new ();
  g_object_set (res, "Filename", "/v/a.avi", "MIME", "video/x-msvideo",
                "Length", 5, "Track", 2, "Bitrate", 3, "Count", 4,
                "isPlaylist", 1, "isStream", 1, "Artist", "Ar", "Album",
                "Al", "Genre", "G", "Description", "D", "Id", "I", "Year",
                "Y", NULL);
  g_assert_cmpstr (mp_media_resource_get_title_or_uri (res), ==, "a");
  const gchar *icon = mp_media_resource_get_icon (res);

  MpMediaResource *copy = mp_media_resource_copy (res);
  g_assert_true (copy != res);
  g_assert_cmpint (G_OBJECT (copy)->ref_count, ==, 1);
  g_assert_cmpint (G_OBJECT (res)->ref_count, ==, 1);

  /* The copy keeps the source's display name, media type and icon even
   * after its own title and MIME change. */
  mp_media_resource_set_title (copy, "New");
  mp_media_resource_set_mime (copy, "audio/mpeg");
  g_assert_cmpstr (mp_media_resource_get_title_or_uri (copy), ==, "a");
  g_assert_cmpint (mp_media_resource_get_media_type (copy), ==,
                   MP_MEDIA_TYPE_VIDEO);
  g_assert_true (mp_media_resource_get_icon (copy) == icon);

  g_assert_cmpstr (mp_media_resource_get_uri (copy), ==, "/v/a.avi");
  g_assert_true (mp_media_resource_get_uri (copy)
                 != mp_media_resource_get_uri (res));
  g_assert_cmpint (mp_media_resource_get_length (copy), ==, 5);
  g_assert_cmpint (mp_media_resource_get_track (copy), ==, 2);
  g_assert_cmpint (mp_media_resource_get_bitrate (copy), ==, 3);
  g_assert_cmpint (mp_media_resource_get_count (copy), ==, 4);
  g_assert_cmpint (mp_media_resource_get_is_playlist (copy), ==, 1);
  g_assert_cmpint (mp_media_resource_get_is_stream (copy), ==, 1);
  g_assert_cmpstr (mp_media_resource_get_artist (copy), ==, "Ar");
  g_assert_cmpstr (mp_media_resource_get_album (copy), ==, "Al");
  g_assert_cmpstr (mp_media_resource_get_genre (copy), ==, "G");
  g_assert_cmpstr (mp_media_resource_get_description (copy), ==, "D");
  g_assert_cmpstr (mp_media_resource_get_id (copy), ==, "I");
  g_assert_cmpstr (mp_media_resource_get_year (copy), ==, "Y");
  /* The source is untouched by changes to the copy. */
  g_assert_null (mp_media_resource_get_title (res));
  g_assert_cmpstr (mp_media_resource_get_mime (res), ==, "video/x-msvideo");

  mp_media_resource_destroy (res, NULL);
  /* The copy owns its strings: it outlives the source. */
  g_assert_cmpstr (mp_media_resource_get_album (copy), ==, "Al");
  mp_media_resource_destroy (copy, NULL);
}

static void
test_list_copy (void)
{
  g_assert_null (mp_media_resource_list_copy (NULL));

  const gchar *names[] = { "/1", "/2", "/3" };
  GList *list = NULL;
  for (int i = 0; i < 3; i++)
    {
      MpMediaResource *r = mp_media_resource_new ();
      mp_media_resource_set_uri (r, names[i]);
      list = g_list_append (list, r);
      if (i == 1)
        list = g_list_append (list, NULL);
    }
  GList *copies = mp_media_resource_list_copy (list);
  g_assert_cmpuint (g_list_length (copies), ==, 3);
  g_assert_cmpuint (g_list_length (list), ==, 4);
  int i = 0;
  for (GList *l = copies; l != NULL; l = l->next, i++)
    {
      MpMediaResource *c = l->data;
      g_assert_true (IS_MP_MEDIA_RESOURCE (c));
      g_assert_null (g_list_find (list, c));
      g_assert_cmpstr (mp_media_resource_get_uri (c), ==, names[i]);
      g_assert_cmpint (G_OBJECT (c)->ref_count, ==, 1);
    }
  for (GList *l = list; l != NULL; l = l->next)
    if (l->data != NULL)
      g_assert_cmpint (G_OBJECT (l->data)->ref_count, ==, 1);

  g_list_foreach (copies, (GFunc) mp_media_resource_destroy, NULL);
  g_list_free (copies);
  list = g_list_remove_all (list, NULL);
  g_list_foreach (list, (GFunc) mp_media_resource_destroy, NULL);
  g_list_free (list);
}

/* A subclass overriding two slots: the public calls, and the derivations
 * built on them, must go through the overrides. */
typedef struct
{
  MpMediaResource parent;
} FakeResource;
typedef struct
{
  MpMediaResourceClass parent_class;
} FakeResourceClass;

static GType fake_resource_get_type (void);
G_DEFINE_TYPE (FakeResource, fake_resource, MP_TYPE_MEDIA_RESOURCE)

static const gchar *
fake_get_title (MpMediaResource *self)
{
  (void) self;
  return NULL;
}

static const gchar *
fake_get_mime (MpMediaResource *self)
{
  (void) self;
  return "video/x-real";
}

static void
fake_resource_class_init (FakeResourceClass *klass)
{
  klass->parent_class.get_title = fake_get_title;
  klass->parent_class.get_mime = fake_get_mime;
}

static void
fake_resource_init (FakeResource *self)
{
  (void) self;
}

static void
test_accessors_call_through_slots (void)
{
  MpMediaResource *res = g_object_new (fake_resource_get_type (), NULL);
  mp_media_resource_set_title (res, "hidden by the override");
  mp_media_resource_set_uri (res, "/v/film.rm");
  g_assert_null (mp_media_resource_get_title (res));
  g_assert_cmpstr (mp_media_resource_get_mime (res), ==, "video/x-real");
  g_assert_cmpint (mp_media_resource_get_media_type (res), ==,
                   MP_MEDIA_TYPE_REAL_VIDEO);
  g_assert_cmpstr (mp_media_resource_get_title_or_uri (res), ==, "film");
  g_assert_cmpint (mp_media_resource_get_length (res), ==, -1);
  mp_media_resource_destroy (res, NULL);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);

  g_test_add_func ("/resource/new/initial-values", test_new_initial_values);
  g_test_add_func ("/resource/property/table", test_property_table);
  g_test_add_func ("/resource/property/round-trip", test_property_round_trip);
  g_test_add_func ("/resource/property/length-range", test_length_range);
  g_test_add_func ("/resource/property/handler-checks",
                   test_property_handler_checks);
  for (gsize i = 0; i < G_N_ELEMENTS (mime_cases); i++)
    {
      gchar *path = g_strdup_printf ("/resource/media-type/%s",
                                     mime_cases[i].mime[0] != '\0'
                                         ? mime_cases[i].mime
                                         : "empty");
      g_test_add_data_func (path, &mime_cases[i], test_media_type_and_icon);
      g_free (path);
    }
  g_test_add_func ("/resource/derived/kept-after-change",
                   test_derived_values_are_kept);
  for (gsize i = 0; i < G_N_ELEMENTS (name_cases); i++)
    {
      gchar *path = g_strdup_printf ("/resource/display-name/%s",
                                     name_cases[i].shown);
      g_test_add_data_func (path, &name_cases[i], test_display_name);
      g_free (path);
    }
  g_test_add_func ("/resource/display-name/retried-while-unknown",
                   test_display_name_retried_while_unknown);
  g_test_add_func ("/resource/setter/own-string", test_set_to_own_string);
  g_test_add_func ("/resource/checks/bad-instance", test_bad_instance);
  g_test_add_func ("/resource/copy/derived-values",
                   test_copy_carries_derived_values);
  g_test_add_func ("/resource/copy/list-order-and-refs", test_list_copy);
  g_test_add_func ("/resource/slots/overrides-used",
                   test_accessors_call_through_slots);
  return g_test_run ();
}
