/* The plug-in's ID3 extractor on files generated here: short MPEG-1 Layer
 * III streams tagged through the tag library's own writer, or with tag
 * bytes written by hand where the exact stored text matters.  Also the
 * `tessel extract` command.
 *
 * The extractor is called through the plug-in loaded at run time (its
 * list calls resolve against the libtessel this program links), except
 * for the one test that needs the extractor's failure seam: that uses the
 * copy compiled into this program. */
#include <dlfcn.h>
#include <string.h>
#include <sys/stat.h>

#include <stdexcept>
#include <string>
#include <vector>

#include <id3v1tag.h>
#include <id3v2tag.h>
#include <mpegfile.h>
#include <textidentificationframe.h>

#include "brisel_gst.h"
#include "brisel_id3-testing.h"
#include "tessel-test.h"

static MetaExtractFunc plugin_ext_id3;

/* One MPEG-1 Layer III frame: 128 kbit/s, 32 kHz, mono, no padding or
 * CRC, so 144 * 128000 / 32000 = 576 bytes, 36 ms of sound. */
static const gsize frame_size = 576;
/* 56 frames: 32256 bytes, 2.016 seconds. */
static const guint stream_frames = 56;

static std::string
mpeg_stream (guint frames)
{
  std::string frame (frame_size, '\0');
  frame[0] = '\xFF';
  frame[1] = '\xFB';
  frame[2] = '\x98';
  frame[3] = '\xC0';
  std::string data;
  for (guint i = 0; i < frames; i++)
    data += frame;
  return data;
}

static gchar *
write_bytes (TesselFixture *fx, const char *name, const std::string &bytes)
{
  gchar *path = g_build_filename (fx->dir, name, NULL);
  GError *error = NULL;
  g_file_set_contents (path, bytes.data (), bytes.size (), &error);
  g_assert_no_error (error);
  return path;
}

struct TextFrame
{
  const char *id;
  const char *text;
};

/* An MPEG stream with an ID3v2 tag of the given version holding the text
 * frames in this order, written by the tag library. */
static gchar *
write_v2 (TesselFixture *fx, const char *name, TagLib::ID3v2::Version version,
          const std::vector<TextFrame> &frames)
{
  gchar *path = write_bytes (fx, name, mpeg_stream (stream_frames));
  TagLib::MPEG::File file (path, false);
  TagLib::ID3v2::Tag *tag = file.ID3v2Tag (true);
  for (const TextFrame &f : frames)
    {
      auto *frame = new TagLib::ID3v2::TextIdentificationFrame (
          TagLib::ByteVector (f.id), TagLib::String::UTF8);
      frame->setText (TagLib::String (f.text, TagLib::String::UTF8));
      tag->addFrame (frame);
    }
  g_assert_true (file.save (TagLib::MPEG::File::ID3v2,
                            TagLib::File::StripOthers, version,
                            TagLib::File::DoNotDuplicate));
  return path;
}

/* Adds an ID3v1 tag to an existing file, keeping its other tags. */
static void
add_v1 (const char *path, const char *title, const char *artist,
        const char *album, guint year, guint track, guint genre)
{
  TagLib::MPEG::File file (path, false);
  TagLib::ID3v1::Tag *tag = file.ID3v1Tag (true);
  tag->setTitle (title);
  tag->setArtist (artist);
  tag->setAlbum (album);
  tag->setYear (year);
  tag->setTrack (track);
  tag->setGenreNumber (genre);
  g_assert_true (file.save (TagLib::MPEG::File::ID3v1,
                            TagLib::File::StripNone, TagLib::ID3v2::v4,
                            TagLib::File::DoNotDuplicate));
}

static std::string
be32 (guint32 v, bool syncsafe)
{
  const int shift = syncsafe ? 7 : 8;
  const guint32 mask = syncsafe ? 0x7F : 0xFF;
  std::string s (4, '\0');
  for (int i = 3; i >= 0; i--, v >>= shift)
    s[i] = static_cast<char> (v & mask);
  return s;
}

/* An ID3v2.3 tag written byte by byte: Latin-1 text frames stored exactly
 * as given. */
static std::string
raw_v23 (const std::vector<TextFrame> &frames)
{
  std::string body;
  for (const TextFrame &f : frames)
    {
      std::string content = std::string (1, '\0') + f.text;
      body += std::string (f.id, 4) + be32 (content.size (), false)
              + std::string (2, '\0') + content;
    }
  return std::string ("ID3\x03\x00\x00", 6) + be32 (body.size (), true)
         + body;
}

/* The list in the order its items were added (the reverse of the list),
 * each as "Key=value" for integers and "Key='value'" for text. */
static std::vector<std::string>
items_of (const MetaItem *list)
{
  std::vector<std::string> items;
  for (const MetaItem *i = list; i != NULL; i = i->next)
    {
      std::string item = i->key;
      if (i->type == META_TYPE_INTEGER)
        {
          gint32 v;
          memcpy (&v, i->value, sizeof v);
          item += "=" + std::to_string (v);
        }
      else if (i->type == META_TYPE_TEXT)
        item += "='" + std::string (i->value) + "'";
      else
        item += "=?";
      items.insert (items.begin (), item);
    }
  return items;
}

static std::string
joined (const std::vector<std::string> &items)
{
  std::string s;
  for (const std::string &i : items)
    s += (s.empty () ? "" : ", ") + i;
  return s;
}

/* Extracts the file through the plug-in and compares every item, in
 * order. */
static void
assert_items (const char *path, const std::vector<std::string> &expect)
{
  MetaItem *list = plugin_ext_id3 (path);
  std::string got = joined (items_of (list));
  meta_free_list (&list);
  std::string want = joined (expect);
  g_assert_cmpstr (got.c_str (), ==, want.c_str ());
}

static void
test_v23_every_frame (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  /* The writer stores a version 2.3 genre as "(17)", and after the other
   * frames whatever the order given: so it comes last here. */
  g_autofree gchar *path
      = write_v2 (fx, "v23.mp3", TagLib::ID3v2::v3,
                  { { "TALB", "Album A" },
                    { "TIT2", "Song \xC3\xA9" },
                    { "TPE1", "Artist A" },
                    { "TPUB", "Label L" },
                    { "TRCK", "3/12" },
                    { "TDRC", "2004" },
                    { "TCON", "17" } });
  assert_items (path, { "Bitrate=128000", "Length=2", "Album='Album A'",
                        "Title='Song \xC3\xA9'", "Artist='Artist A'",
                        "Publisher='Label L'", "Track='3/12'", "Year='2004'",
                        "Genre='Rock'" });
}

/* Version 2.4, the frames in another order, two artist frames: each frame
 * gives its own item, in the tag's order. */
static void
test_v24_every_frame (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *path
      = write_v2 (fx, "v24.mp3", TagLib::ID3v2::v4,
                  { { "TPE1", "First" },
                    { "TIT2", "Title B" },
                    { "TRCK", "7" },
                    { "TPE1", "Second" },
                    { "TCON", "Eurodance" },
                    { "TDRC", "2019" },
                    { "TPUB", "Label" },
                    { "TALB", "Album B" } });
  assert_items (path, { "Bitrate=128000", "Length=2", "Artist='First'",
                        "Title='Title B'", "Track='7'", "Artist='Second'",
                        "Genre='Eurodance'", "Year='2019'",
                        "Publisher='Label'", "Album='Album B'" });
}

/* Version 2.2 (three-letter frames), which the writer cannot produce:
 * the fuzz target's seed holds one (32 kbit/s, 0.144 seconds). */
static void
test_v22_frames (void)
{
  g_autofree gchar *path = g_test_build_filename (
      G_TEST_DIST, "..", "fuzz", "corpus-id3", "v22.mp3", NULL);
  assert_items (path, { "Bitrate=32000", "Length=0", "Title='Title'",
                        "Artist='Artist'", "Album='Album'", "Genre='Blues'",
                        "Track='1/2'", "Year='1990'" });
}

struct GenreCase
{
  const char *stored; /* the genre frame's text */
  const char *genre;  /* the expected "Genre", or NULL for none */
};

/* 148 names a genre in the tag library's extended list, but lies outside
 * the ID3v1 list a reference may select. */
static const GenreCase genre_cases[] = {
  { "(17)", "Rock" },
  { "(0)", "Blues" },
  { "(17)Rock", "Rock" },
  { "(147)", "Synthpop" },
  { "(148)", NULL },
  { "(200)", NULL },
  { "(-1)", NULL },
  { "Eurodance", "Eurodance" },
  { "", NULL },
};

static std::vector<std::string>
with_genre (const char *genre)
{
  std::vector<std::string> expect = { "Bitrate=128000", "Length=2",
                                      "Title='T'" };
  if (genre != NULL)
    expect.push_back (std::string ("Genre='") + genre + "'");
  return expect;
}

/* Version 2.3 text exactly as stored, bypassing the writer. */
static void
test_genre_v23_raw (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  for (const GenreCase &c : genre_cases)
    {
      g_test_message ("genre text '%s'", c.stored);
      g_autofree gchar *path = write_bytes (
          fx, "genre.mp3",
          raw_v23 ({ { "TIT2", "T" }, { "TCON", c.stored } })
              + mpeg_stream (stream_frames));
      assert_items (path, with_genre (c.genre));
    }
}

/* Version 2.4 stores a reference as a bare number. */
static void
test_genre_v24_number (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  const GenreCase cases[] = {
    { "17", "Rock" }, { "200", NULL }, { "1984x", "1984x" },
  };
  for (const GenreCase &c : cases)
    {
      g_test_message ("genre text '%s'", c.stored);
      g_autofree gchar *path
          = write_v2 (fx, "genre.mp3", TagLib::ID3v2::v4,
                      { { "TIT2", "T" }, { "TCON", c.stored } });
      assert_items (path, with_genre (c.genre));
    }
}

static void
test_v1_only (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *path
      = write_bytes (fx, "v1.mp3", mpeg_stream (stream_frames));
  add_v1 (path, "Old Song", "Old Artist", "Old Album", 1999, 5, 17);
  assert_items (path, { "Bitrate=128000", "Length=2", "Album='Old Album'",
                        "Genre='Rock'", "Title='Old Song'",
                        "Artist='Old Artist'", "Track='5'", "Year='1999'" });
}

/* With both tags, ID3v1 only fills the keys the ID3v2 frames lack. */
static void
test_v1_fills_missing (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *path
      = write_v2 (fx, "both.mp3", TagLib::ID3v2::v3,
                  { { "TIT2", "New Song" }, { "TPE1", "New Artist" } });
  add_v1 (path, "Old Song", "Old Artist", "Old Album", 1999, 0, 255);
  assert_items (path, { "Bitrate=128000", "Length=2", "Title='New Song'",
                        "Artist='New Artist'", "Album='Old Album'",
                        "Year='1999'" });
}

static void
test_title_from_base_name (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *path = write_v2 (fx, "no title.mp3", TagLib::ID3v2::v4,
                                     { { "TPE1", "Someone" },
                                       { "TIT2", "" } });
  assert_items (path, { "Bitrate=128000", "Length=2", "Artist='Someone'",
                        "Title='no title.mp3'" });
}

static void
test_no_tag (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *path
      = write_bytes (fx, "bare.mp3", mpeg_stream (stream_frames));
  assert_items (path,
                { "Bitrate=128000", "Length=2", "Title='bare.mp3'" });
}

/* Damaged files: no crash, no read outside the file, and a "Title". */
static void
test_damaged_files (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  std::string tagged = raw_v23 ({ { "TALB", "Album" }, { "TIT2", "T" } })
                       + mpeg_stream (4);

  GRand *rand = g_rand_new_with_seed (20261207);
  std::string noise (8192, '\0');
  for (char &c : noise)
    c = static_cast<char> (g_rand_int_range (rand, 0, 256));
  g_rand_free (rand);

  /* A tag header claiming the largest size, then a few bytes. */
  std::string huge_tag = std::string ("ID3\x03\x00\x00\x7F\x7F\x7F\x7F", 10)
                         + "TIT2";
  /* A frame claiming more bytes than its tag holds. */
  std::string huge_frame = std::string ("ID3\x03\x00\x00", 6) + be32 (20, true)
                           + "TIT2" + be32 (0x7FFFFFF0, false)
                           + std::string (2, '\0') + "\0Song"
                           + std::string (5, '\0') + mpeg_stream (2);
  /* A stream cut in the middle of its first frame. */
  std::string cut_stream = mpeg_stream (1).substr (0, 100);
  /* A Xing header (after the 4-byte frame header and 17 bytes of mono side
   * information) claiming 4 GiB in one frame: a bitrate of some 954
   * million kbit/s, which no 32-bit count of bits per second holds. */
  std::string xing = mpeg_stream (4);
  xing.replace (21, 16, std::string ("Xing\0\0\0\x03", 8) + be32 (1, false)
                            + be32 (0xFFFFFFF0u, false));

  const struct
  {
    const char *name;
    std::string bytes;
  } cases[] = {
    { "empty.mp3", "" },
    { "noise.mp3", noise },
    { "cut-tag.mp3", tagged.substr (0, 25) },
    { "huge-tag.mp3", huge_tag },
    { "huge-frame.mp3", huge_frame },
    { "cut-stream.mp3", cut_stream },
    { "sync-only.mp3", std::string ("\xFF\xFB\x98\xC0", 4) },
    { "xing-huge.mp3", xing },
  };
  for (const auto &c : cases)
    {
      g_test_message ("file %s", c.name);
      g_autofree gchar *path = write_bytes (fx, c.name, c.bytes);
      MetaItem *list = plugin_ext_id3 (path);
      int titles = 0;
      for (MetaItem *i = list; i != NULL; i = i->next)
        if (strcmp (i->key, "Title") == 0)
          titles++;
      g_assert_cmpint (titles, ==, 1);
      meta_free_list (&list);
    }

  /* Nothing recognisable: the base name alone. */
  g_autofree gchar *empty = g_build_filename (fx->dir, "empty.mp3", NULL);
  assert_items (empty, { "Title='empty.mp3'" });
  g_autofree gchar *missing = g_build_filename (fx->dir, "missing.mp3", NULL);
  assert_items (missing, { "Title='missing.mp3'" });
  /* A tag cut inside its first frame gives what is left of that frame;
   * the title frame after it is lost. */
  g_autofree gchar *cut = g_build_filename (fx->dir, "cut-tag.mp3", NULL);
  assert_items (cut, { "Album='Albu'", "Title='cut-tag.mp3'" });
  /* A FIFO without a writer is not waited on; a folder is not read. */
  g_autofree gchar *fifo = g_build_filename (fx->dir, "fifo.mp3", NULL);
  g_assert_cmpint (mkfifo (fifo, 0600), ==, 0);
  assert_items (fifo, { "Title='fifo.mp3'" });
  g_autofree gchar *folder = g_build_filename (fx->dir, "folder.mp3", NULL);
  g_assert_cmpint (g_mkdir (folder, 0700), ==, 0);
  assert_items (folder, { "Title='folder.mp3'" });
  /* The length is the header's; the bitrate, out of range, is left out. */
  g_autofree gchar *huge = g_build_filename (fx->dir, "xing-huge.mp3", NULL);
  assert_items (huge, { "Length=0", "Title='xing-huge.mp3'" });
}

static void
test_null_name (void)
{
  g_assert_null (plugin_ext_id3 (NULL));
}

static void
throw_at_artist (const char *key)
{
  if (strcmp (key, "Artist") == 0)
    throw std::runtime_error ("tag library failure");
}

/* An exception inside the extraction stops at the C boundary: the items
 * built before it stay, the title falls back to the base name, and the
 * tag library's objects are released (the sanitizer build checks for
 * leaks). */
static void
test_exception_caught (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *path
      = write_v2 (fx, "throws.mp3", TagLib::ID3v2::v4,
                  { { "TALB", "Album" },
                    { "TPE1", "Artist" },
                    { "TIT2", "Title" } });
  brisel_id3_testing_frame_hook = throw_at_artist;
  MetaItem *list = meta_ext_id3 (path);
  brisel_id3_testing_frame_hook = nullptr;
  std::string got = joined (items_of (list));
  meta_free_list (&list);
  g_assert_cmpstr (got.c_str (), ==,
                   "Bitrate=128000, Length=2, Album='Album', "
                   "Title='throws.mp3'");
}

/* Runs the tessel program; returns its exit status. */
static int
run_tessel (std::vector<const char *> args, gchar **out, gchar **err)
{
  args.push_back (NULL);
  g_autofree gchar *tool = tessel_test_tool_path ();
  TesselRun run = tessel_test_run (tool, args.data (), NULL);
  *out = run.out;
  *err = run.err;
  return run.status;
}

/* A configuration mapping mp3 to the real plug-in and fake to the
 * stand-in plug-in, both found through the test's library path as the
 * indexer finds them. */
static gchar *
write_extract_conf (TesselFixture *fx)
{
  return tessel_fixture_write (fx, "extract.conf",
                               "mp3 libbrisel_gst\nfake libextract-fake\n");
}

static void
test_extract_id3 (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *conf = write_extract_conf (fx);
  g_autofree gchar *path = write_v2 (fx, "song.mp3", TagLib::ID3v2::v4,
                                     { { "TIT2", "Song" } });
  g_autofree gchar *out = NULL;
  g_autofree gchar *err = NULL;
  int status = run_tessel ({ "extract", "--config", conf, "--id3", path },
                           &out, &err);
  g_assert_cmpstr (err, ==, "");
  g_assert_cmpint (status, ==, 0);
  g_autofree gchar *expect
      = g_strdup_printf ("%s\n"
                         "  Title    text     Song\n"
                         "  Length   integer  2\n"
                         "  Bitrate  integer  128000\n",
                         path);
  g_assert_cmpstr (out, ==, expect);
  g_assert_false (g_file_test (fx->db, G_FILE_TEST_EXISTS));
}

/* Without --id3 the configured plug-in's get_metadata runs; files whose
 * extension has no plug-in, or that do not exist, are reported and make
 * the exit status 1 while the others are still printed. */
static void
test_extract_configured_plugin (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *conf = write_extract_conf (fx);
  g_autofree gchar *a = tessel_fixture_write (fx, "a.fake", "");
  g_autofree gchar *b = tessel_fixture_write (fx, "b.xyz", "");
  g_autofree gchar *out = NULL;
  g_autofree gchar *err = NULL;
  int status = run_tessel (
      { "extract", "--config", conf, a, b, "/nonexistent/c.fake" }, &out,
      &err);
  g_assert_cmpint (status, ==, 1);
  g_autofree gchar *expect = g_strdup_printf ("%s\n"
                                              "  Ratio     float    0.5\n"
                                              "  Track     integer  7\n"
                                              "  Filename  text     %s\n",
                                              a, a);
  g_assert_cmpstr (out, ==, expect);
  g_autofree gchar *expect_err = g_strdup_printf (
      "tessel: extract: no plug-in configured for '%s'\n"
      "tessel: extract: cannot read '/nonexistent/c.fake': no such file\n",
      b);
  g_assert_cmpstr (err, ==, expect_err);
  g_assert_false (g_file_test (fx->db, G_FILE_TEST_EXISTS));
}

static void
test_extract_usage (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *out = NULL;
  g_autofree gchar *err = NULL;
  g_assert_cmpint (run_tessel ({ "extract" }, &out, &err), ==, 2);
  g_assert_cmpstr (err, ==, "tessel: extract: no file given\n");
  g_free (out);
  g_free (err);
  g_autofree gchar *missing = g_build_filename (fx->dir, "nope.conf", NULL);
  g_assert_cmpint (
      run_tessel ({ "extract", "--config", missing, "x.mp3" }, &out, &err),
      ==, 1);
  g_autofree gchar *expect
      = g_strdup_printf ("tessel: extract: cannot read configuration '%s': "
                         "No such file or directory (give --config FILE, or "
                         "install: meson install -C build)\n",
                         missing);
  g_assert_cmpstr (err, ==, expect);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);

  g_autofree gchar *path = g_test_build_filename (
      G_TEST_BUILT, "..", "plugin", "libbrisel_gst.so.0", NULL);
  void *plugin = dlopen (path, RTLD_NOW | RTLD_LOCAL);
  if (plugin == NULL)
    g_error ("cannot load %s: %s", path, dlerror ());
  plugin_ext_id3
      = reinterpret_cast<MetaExtractFunc> (dlsym (plugin, "meta_ext_id3"));
  if (plugin_ext_id3 == NULL)
    g_error ("plug-in lacks meta_ext_id3");

#define ADD(name, func)                                                       \
  g_test_add (name, TesselFixture, NULL, tessel_fixture_setup, func,          \
              tessel_fixture_teardown)
  ADD ("/id3/v2.3/every-frame", test_v23_every_frame);
  ADD ("/id3/v2.4/every-frame-in-tag-order", test_v24_every_frame);
  ADD ("/id3/genre/v2.3-stored-text", test_genre_v23_raw);
  ADD ("/id3/genre/v2.4-number", test_genre_v24_number);
  ADD ("/id3/v1/only-tag", test_v1_only);
  ADD ("/id3/v1/fills-keys-v2-lacks", test_v1_fills_missing);
  ADD ("/id3/title/base-name-without-title-frame", test_title_from_base_name);
  ADD ("/id3/no-tag", test_no_tag);
  ADD ("/id3/damaged-files", test_damaged_files);
  ADD ("/id3/exception-stops-at-boundary", test_exception_caught);
  ADD ("/extract/id3", test_extract_id3);
  ADD ("/extract/configured-plugin", test_extract_configured_plugin);
  ADD ("/extract/usage-and-errors", test_extract_usage);
#undef ADD
  g_test_add_func ("/id3/null-name", test_null_name);
  g_test_add_func ("/id3/v2.2/frames", test_v22_frames);
  return g_test_run ();
}
