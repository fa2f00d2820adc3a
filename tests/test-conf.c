/* The configuration grammar, its defaults and lookups. */
#include <string.h>

#include "tessel-test.h"

static void
load (TesselFixture *fx, const gchar *text)
{
  g_free (tessel_fixture_write (fx, "metadata_lib.conf", text));
  meta_free_lib_conf ();
  /* 0 whatever the file holds: the table tells what was read. */
  g_assert_cmpint (meta_load_lib_conf (), ==, 0);
}

static void
test_comments_only (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  load (fx, "# a comment\n\n mp3 libindented\n#max_file_sz 10\n");
  g_assert_nonnull (config.libconf);
  g_assert_null (config.libconf[0]);
  g_assert_cmpint (meta_conf_get_max_file_sz (), ==, 5242880);
  g_assert_cmpint (meta_conf_get_max_storage_limit (), ==, 5000);
  g_assert_null (meta_get_libname ("/a/b.mp3"));
}

static void
test_limits (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  load (fx, "max_file_sz 1000\nmax_storage_limit 12\n");
  g_assert_cmpint (meta_conf_get_max_file_sz (), ==, 1000);
  g_assert_cmpint (meta_conf_get_max_storage_limit (), ==, 12);

  /* A later line overwrites; 0 takes the default; a value parses like
   * atoi (leading blanks, a sign, digits up to the first non-digit). */
  config.max_file_sz = config.max_storage_limit = 0;
  load (fx, "max_file_sz 1000\nmax_file_sz 0\nmax_storage_limit  -7x\n");
  g_assert_cmpint (meta_conf_get_max_file_sz (), ==, 5242880);
  g_assert_cmpint (meta_conf_get_max_storage_limit (), ==, -7);

  /* Huge values saturate instead of overflowing. */
  load (fx, "max_file_sz 99999999999999999999\n");
  g_assert_cmpint (meta_conf_get_max_file_sz (), ==, G_MAXINT32);

  /* A limit line without a value leaves the limit alone. */
  load (fx, "max_storage_limit\n");
  g_assert_cmpint (meta_conf_get_max_storage_limit (), ==, -7);
}

static void
test_reload_keeps_limits (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  load (fx, "max_file_sz 1000\nmax_storage_limit 12\nogg libvorbis\n");
  g_free (tessel_fixture_write (fx, "metadata_lib.conf", "mp3 libmp3\n"));
  meta_reload_lib_conf ();
  g_assert_cmpint (meta_conf_get_max_file_sz (), ==, 1000);
  g_assert_cmpint (meta_conf_get_max_storage_limit (), ==, 12);
  g_autofree gchar *mp3 = meta_get_libname ("x.mp3");
  g_assert_cmpstr (mp3, ==, "libmp3");
  g_assert_null (meta_get_libname ("x.ogg"));
}

static void
test_lookups (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  load (fx, "MP3 libfirst\nmp3 libsecond\nwav  libspaced\nnoseparator\n"
            "flac libflac\r\n");
  g_autofree gchar *first = meta_get_libname ("/music/song.mp3");
  g_autofree gchar *again = meta_get_libname ("/music/song.mp3");
  g_assert_cmpstr (first, ==, "libfirst");
  g_assert_true (first != again);
  g_assert_cmpstr (again, ==, "libfirst");

  /* The value is not trimmed: further blanks and a carriage return stay. */
  g_autofree gchar *spaced = meta_get_libname ("a.WAV");
  g_assert_cmpstr (spaced, ==, " libspaced");
  g_autofree gchar *flac = meta_get_libname ("a.flac");
  g_assert_cmpstr (flac, ==, "libflac\r");

  g_assert_null (meta_get_libname ("noseparator"));
  g_assert_null (meta_get_libname (""));
  g_assert_null (meta_get_libname (NULL));
  g_assert_null (meta_get_libname ("a.ogg"));
  /* The extension is taken after the last dot of the whole name. */
  g_assert_null (meta_get_libname ("/dir.mp3/file"));

  g_assert_cmpint (meta_conf_has_recognized_extension ("A.Mp3"), ==, 1);
  g_assert_cmpint (meta_conf_has_recognized_extension ("a.ogg"), ==, 0);
  g_assert_cmpint (meta_conf_has_recognized_extension ("mp3"), ==, 0);
  g_assert_cmpint (meta_conf_has_recognized_extension (""), ==, 0);
  g_assert_cmpint (meta_conf_has_recognized_extension (NULL), ==, 0);
}

static void
test_long_line_pieces (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  /* 300 bytes without a blank, then " libtail": the first 255 bytes are a
   * line of their own, the rest ("...a libtail") a second one. */
  GString *text = g_string_new (NULL);
  for (int i = 0; i < 300; i++)
    g_string_append_c (text, 'a');
  g_string_append (text, " libtail\n");
  load (fx, text->str);
  g_string_free (text, TRUE);

  g_assert_nonnull (config.libconf[0]);
  g_assert_cmpuint (strlen (config.libconf[0]->ext), ==, 255);
  g_assert_null (config.libconf[0]->libname);
  g_assert_nonnull (config.libconf[1]);
  g_assert_cmpuint (strlen (config.libconf[1]->ext), ==, 45);
  g_assert_cmpstr (config.libconf[1]->libname, ==, "libtail");
  g_assert_null (config.libconf[2]);
}

static void
test_missing_file (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (meta_load_lib_conf (), ==, 0);
  g_assert_null (config.libconf);
  g_assert_cmpint (meta_conf_get_max_file_sz (), ==, 0);
  g_assert_cmpint (meta_conf_get_max_storage_limit (), ==, 0);
  g_assert_null (meta_get_libname ("a.mp3"));
  g_assert_cmpint (meta_conf_has_recognized_extension ("a.mp3"), ==, 0);
  (void) fx;
}

static void
test_binary_file (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  gchar bytes[512];
  for (guint i = 0; i < sizeof bytes; i++)
    bytes[i] = (gchar) (i * 7 + 1);
  g_autofree gchar *path = g_build_filename (fx->dir, "metadata_lib.conf",
                                             NULL);
  g_assert_true (g_file_set_contents (path, bytes, sizeof bytes, NULL));
  meta_load_lib_conf ();
  g_assert_nonnull (config.libconf);
  g_assert_cmpint (meta_conf_get_max_file_sz (), ==, 5242880);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
#define ADD TESSEL_TEST_ADD
  ADD ("/config/grammar/comments-blank-indented", test_comments_only);
  ADD ("/config/grammar/limits", test_limits);
  ADD ("/config/grammar/long-line-pieces", test_long_line_pieces);
  ADD ("/config/grammar/binary-file", test_binary_file);
  ADD ("/config/reload/keeps-limits", test_reload_keeps_limits);
  ADD ("/config/lookup/first-entry-any-case", test_lookups);
  ADD ("/config/missing-file", test_missing_file);
  return g_test_run ();
}
