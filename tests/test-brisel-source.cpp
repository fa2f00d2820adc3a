/* The bytes libbrisel_tag's readers and the tag library read from a file:
 * every block read through the windows the source keeps is the block the
 * same bytes give when held in memory, wherever it lies (the head, across
 * a window's edge, the last bytes read backwards, more than a window
 * holds); a file cut after opening gives what is left; what is no
 * regular file is refused without waiting. */
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <glib/gstdio.h>

#include "brisel_headers-private.h"
#include "tessel-test.h"

/* Bytes that differ from one offset to the next over more than a window,
 * so that a block read from a wrong place shows. */
static std::vector<guchar>
pattern (gsize size)
{
  std::vector<guchar> bytes (size);
  for (gsize i = 0; i < size; i++)
    bytes[i] = static_cast<guchar> (i * 131 + (i >> 8) * 7 + (i >> 16));
  return bytes;
}

static gchar *
write_file (TesselFixture *fx, const std::vector<guchar> &bytes)
{
  gchar *path = g_build_filename (fx->dir, "song.bin", NULL);
  GError *error = NULL;
  g_file_set_contents (path, reinterpret_cast<const gchar *> (bytes.data ()),
                       static_cast<gssize> (bytes.size ()), &error);
  g_assert_no_error (error);
  return path;
}

/* One block asked for: at offset, or that far before the end when
 * from_end. */
struct Read
{
  gint64 offset;
  guint32 length;
  bool from_end;
};

/* The reads the tag library and our readers make, in the order they make
 * them: a header, the tag behind it, the trailing tags and last pages
 * backwards from the end, a picture larger than a window, the head again
 * for sniffing; then blocks across the edges of windows, past the end and
 * of nothing. */
static const Read reads[] = {
  { 0, 10, false },     { 10, 1161, false },   { 128, 128, true },
  { 160, 32, true },    { 1024, 1024, true },  { 2048, 1024, true },
  { 3072, 1024, true }, { 5000, 40000, false }, { 0, 4096, false },
  { 4090, 12, false },  { 16380, 8, false },   { 16384, 12288, false },
  { 12287, 12290, false }, { 3, 5, true },     { 1, 2, true },
  { 0, 0, true },       { -1, 1, true },       { 70000, 1, false },
  { 0, 0, false },
};

static const gsize sizes[] = { 0, 1, 100, 4096, 16383, 16384, 16385, 50000,
                               200000 };

/* Every read of reads[], then a thousand at random offsets, from a file of
 * each size: each gives the bytes of the file that lie there, refuses a
 * block that is not all there, and a few KiB are had without copying. */
static void
test_reads (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  GRand *rand = g_rand_new_with_seed (20240611);
  for (gsize size : sizes)
    {
      const std::vector<guchar> bytes = pattern (size);
      g_autofree gchar *path = write_file (fx, bytes);
      const BriselSource file (path);
      g_assert_true (file.valid ());
      g_assert_cmpuint (file.size (), ==, size);
      g_assert_cmpint (file.status ().st_size, ==, (gint64) size);

      std::vector<Read> all (reads, reads + G_N_ELEMENTS (reads));
      for (int i = 0; i < 1000; i++)
        all.push_back ({ g_rand_int_range (rand, 0, (gint32) size + 100),
                         static_cast<guint32> (g_rand_int_range (
                             rand, 0, i % 10 == 0 ? 30000 : 2000)),
                         false });
      for (const Read &r : all)
        {
          const gint64 at = r.from_end ? (gint64) size - r.offset : r.offset;
          if (at < 0)
            continue;
          const gsize offset = static_cast<gsize> (at);
          const gsize there = offset < size ? size - offset : 0;
          const bool inside = offset <= size && r.length <= there;
          std::string got;
          g_assert_cmpint (file.read (offset, r.length, &got), ==, inside);
          if (inside && r.length > 0)
            g_assert_cmpint (memcmp (got.data (), bytes.data () + offset,
                                     r.length),
                             ==, 0);

          std::vector<guchar> some (r.length + 1);
          const gsize n = file.read_at (offset, r.length, some.data ());
          g_assert_cmpuint (n, ==, MIN (r.length, there));
          if (n > 0)
            g_assert_cmpint (memcmp (some.data (), bytes.data () + offset,
                                     n),
                             ==, 0);

          const char *peeked = file.peek (offset, r.length);
          g_assert_true (peeked != NULL || !inside || r.length > 4096);
          if (peeked != NULL && r.length > 0)
            g_assert_cmpint (memcmp (peeked, bytes.data () + offset,
                                     r.length),
                             ==, 0);
        }
      g_unlink (path);
    }
  g_rand_free (rand);
}

/* A file cut short after it was opened gives the bytes it still has, and
 * refuses a block that now lies past its end. */
static void
test_cut_after_opening (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  const std::vector<guchar> bytes = pattern (50000);
  g_autofree gchar *path = write_file (fx, bytes);
  const BriselSource file (path);
  std::string got;
  g_assert_true (file.read (0, 10, &got));
  g_assert_cmpint (truncate (path, 20000), ==, 0);

  g_assert_false (file.read (30000, 100, &got));
  g_assert_false (file.read (19990, 20, &got));
  std::vector<guchar> some (10000);
  g_assert_cmpuint (file.read_at (15000, some.size (), some.data ()), ==,
                    5000);
  g_assert_cmpint (memcmp (some.data (), bytes.data () + 15000, 5000), ==, 0);
  g_assert_cmpuint (file.read_at (45000, 100, some.data ()), ==, 0);
  g_assert_null (file.peek (49900, 100));
  g_assert_true (file.read (19000, 1000, &got));
  g_assert_true (got == std::string (bytes.begin () + 19000,
                                     bytes.begin () + 20000));
}

/* What is no regular file is refused, a FIFO without its writer at once;
 * a name that is not there too. */
static void
test_refused (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_autofree gchar *fifo = g_build_filename (fx->dir, "fifo.mp3", NULL);
  g_autofree gchar *missing = g_build_filename (fx->dir, "gone.mp3", NULL);
  g_assert_cmpint (mkfifo (fifo, 0600), ==, 0);
  const gchar *names[] = { fx->dir, fifo, missing, "/dev/null", NULL };
  for (const gchar *const *name = names; *name != NULL; name++)
    {
      const BriselSource source (*name);
      std::string got;
      g_assert_false (source.valid ());
      g_assert_cmpuint (source.size (), ==, 0);
      g_assert_cmpint (source.status ().st_mode, ==, 0);
      g_assert_false (source.read (0, 0, &got));
      g_assert_null (source.peek (0, 1));
    }
  const BriselSource none (NULL);
  g_assert_false (none.valid ());
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
  TESSEL_TEST_ADD ("/brisel-source/reads", test_reads);
  TESSEL_TEST_ADD ("/brisel-source/cut-after-opening",
                   test_cut_after_opening);
  TESSEL_TEST_ADD ("/brisel-source/refused", test_refused);
  return g_test_run ();
}
