/* The plug-in's bounded byte readers, byte-order helpers and file mapping,
 * called from C through the plug-in loaded at run time: the plug-in's
 * configuration call resolves against the libtessel this program links. */
#include <dlfcn.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "brisel_gst.h"
#include "tessel-test.h"

static void *plugin;

static __typeof__ (meta_ext_read_char) *read_char;
static __typeof__ (meta_ext_read_short) *read_short;
static __typeof__ (meta_ext_read_int) *read_int;
static __typeof__ (meta_ext_read_short_be) *read_short_be;
static __typeof__ (meta_ext_read_int_be) *read_int_be;
static __typeof__ (meta_ext_read_int64_be) *read_int64_be;
static __typeof__ (meta_ext_read_string) *read_string;
static __typeof__ (meta_read_fourcc) *read_fourcc;
static __typeof__ (get_endianness) *endianness;
static __typeof__ (be_to_le_short) *swap_short;
static __typeof__ (be_to_le_int) *swap_int;
static __typeof__ (meta_mmap) *map_file;

static void *
plugin_symbol (const char *name)
{
  void *sym = dlsym (plugin, name);
  if (sym == NULL)
    g_error ("plug-in lacks %s", name);
  return sym;
}

/* An exact-size heap copy, so that the sanitizer sees any read past the
 * end of the buffer. */
static guchar *
buffer_of (const char *bytes, gsize length)
{
  return g_memdup2 (bytes, length);
}

static void
test_read_char_bounds (void)
{
  g_autofree guchar *buf = buffer_of ("\x01\x02\x03\x04", 4);
  guchar out = 0xAA;
  g_assert_cmpint (read_char (buf, 4, 3, &out), ==, 1);
  g_assert_cmpint (out, ==, 0x04);
  out = 0xAA;
  g_assert_cmpint (read_char (buf, 4, 4, &out), ==, 0);
  g_assert_cmpint (out, ==, 0xAA);
  g_assert_cmpint (read_char (buf, 0, 0, &out), ==, 0);
  g_assert_cmpint (read_char (NULL, 4, 0, &out), ==, 0);
  g_assert_cmpint (read_char (buf, 4, 0, NULL), ==, 0);
}

/* A two-byte read on a four-byte buffer: offsets 0 and 1 fit, 2 would end
 * on the last byte and is refused. */
static void
test_read_short_bounds (void)
{
  g_autofree guchar *buf = buffer_of ("\x11\x22\x33\x44", 4);
  guint16 out = 0xBEEF;
  guint16 expect;

  g_assert_cmpint (read_short (buf, 4, 0, &out), ==, 1);
  memcpy (&expect, buf, 2);
  g_assert_cmpuint (out, ==, expect);
  g_assert_cmpint (read_short (buf, 4, 1, &out), ==, 1);
  memcpy (&expect, buf + 1, 2);
  g_assert_cmpuint (out, ==, expect);

  out = 0xBEEF;
  g_assert_cmpint (read_short (buf, 4, 2, &out), ==, 0);
  g_assert_cmpint (read_short (buf, 4, 3, &out), ==, 0);
  g_assert_cmpint (read_short_be (buf, 4, 2, &out), ==, 0);
  g_assert_cmpuint (out, ==, 0xBEEF);
  g_assert_cmpint (read_short (NULL, 4, 0, &out), ==, 0);
  g_assert_cmpint (read_short (buf, 4, 0, NULL), ==, 0);
  g_assert_cmpint (read_short_be (NULL, 4, 0, &out), ==, 0);
  g_assert_cmpint (read_short_be (buf, 4, 0, NULL), ==, 0);
}

/* The rule is strict: a four-byte value filling a four-byte buffer is
 * refused; with one byte more it is read. */
static void
test_read_int_bounds (void)
{
  g_autofree guchar *four = buffer_of ("\x00\x00\x01\x02", 4);
  g_autofree guchar *five = buffer_of ("\x00\x00\x01\x02\xFF", 5);
  guint32 out = 0xDEADBEEF;
  guint32 expect;

  g_assert_cmpint (read_int (four, 4, 0, &out), ==, 0);
  g_assert_cmpint (read_int_be (four, 4, 0, &out), ==, 0);
  g_assert_cmpuint (out, ==, 0xDEADBEEF);

  g_assert_cmpint (read_int (five, 5, 0, &out), ==, 1);
  memcpy (&expect, five, 4);
  g_assert_cmpuint (out, ==, expect);
  g_assert_cmpint (read_int (five, 5, 1, &out), ==, 0);

  g_assert_cmpint (read_int_be (five, 5, 0, &out), ==, 1);
  g_assert_cmpuint (out, ==, 258);

  g_assert_cmpint (read_int (NULL, 5, 0, &out), ==, 0);
  g_assert_cmpint (read_int (five, 5, 0, NULL), ==, 0);
  g_assert_cmpint (read_int_be (NULL, 5, 0, &out), ==, 0);
  g_assert_cmpint (read_int_be (five, 5, 0, NULL), ==, 0);
}

/* Big-endian values come out in host order whatever the host, and do not
 * need aligned offsets. */
static void
test_read_big_endian_values (void)
{
  g_autofree guchar *buf = buffer_of (
      "\xFF\x01\x02\x03\x04\x05\x06\x07\x08\xFF", 10);
  guint16 s = 0;
  guint32 i = 0;
  guint64 l = 0;

  g_assert_cmpint (read_short_be (buf, 10, 1, &s), ==, 1);
  g_assert_cmpuint (s, ==, 0x0102);
  g_assert_cmpint (read_int_be (buf, 10, 3, &i), ==, 1);
  g_assert_cmpuint (i, ==, 0x03040506);
  g_assert_cmpint (read_int64_be (buf, 10, 1, &l), ==, 1);
  g_assert_cmpuint (l, ==, G_GUINT64_CONSTANT (0x0102030405060708));

  l = 7;
  g_assert_cmpint (read_int64_be (buf, 10, 2, &l), ==, 0);
  g_assert_cmpint (read_int64_be (buf, 8, 0, &l), ==, 0);
  g_assert_cmpuint (l, ==, 7);
  g_assert_cmpint (read_int64_be (NULL, 10, 0, &l), ==, 0);
  g_assert_cmpint (read_int64_be (buf, 10, 0, NULL), ==, 0);
}

/* An offset near the top of the 32-bit range must not wrap around the
 * bounds check and read before the buffer's end. */
static void
test_read_offset_overflow (void)
{
  g_autofree guchar *buf = buffer_of ("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
  guint16 s = 1;
  guint32 i = 2;
  guint64 l = 3;
  gchar text[4] = "ab";

  g_assert_cmpint (read_short (buf, 8, G_MAXUINT32, &s), ==, 0);
  g_assert_cmpint (read_int (buf, 8, G_MAXUINT32 - 2, &i), ==, 0);
  g_assert_cmpint (read_int_be (buf, 8, G_MAXUINT32 - 1, &i), ==, 0);
  g_assert_cmpint (read_int64_be (buf, 8, G_MAXUINT32 - 6, &l), ==, 0);
  g_assert_cmpint (read_string (buf, 8, 2, text, G_MAXUINT32), ==, 0);
  g_assert_cmpint (read_fourcc (buf, 8, "\x01\x02\x03\x04", G_MAXUINT32 - 2),
                   ==, 0);
  g_assert_cmpuint (s, ==, 1);
  g_assert_cmpuint (i, ==, 2);
  g_assert_cmpuint (l, ==, 3);
  g_assert_cmpstr (text, ==, "ab");
}

static void
test_read_string_terminator (void)
{
  g_autofree guchar *five = buffer_of ("RIFFx", 5);
  g_autofree guchar *four = buffer_of ("RIFF", 4);
  gchar out[6];

  memset (out, '#', sizeof out);
  g_assert_cmpint (read_string (five, 5, 0, out, 4), ==, 1);
  g_assert_cmpstr (out, ==, "RIFF");
  g_assert_cmpint (out[5], ==, '#');

  memset (out, '#', sizeof out);
  g_assert_cmpint (read_string (four, 4, 0, out, 4), ==, 0);
  g_assert_cmpint (out[0], ==, '#');
  g_assert_cmpint (out[4], ==, '#');

  /* A count of 0 copies nothing and still terminates. */
  g_assert_cmpint (read_string (four, 4, 3, out, 0), ==, 1);
  g_assert_cmpint (out[0], ==, '\0');

  g_assert_cmpint (read_string (NULL, 5, 0, out, 4), ==, 0);
  g_assert_cmpint (read_string (five, 5, 0, NULL, 4), ==, 0);
}

static void
test_read_fourcc_exact_match (void)
{
  g_autofree guchar *buf = buffer_of ("..RIFFxxWAVE.", 13);

  g_assert_cmpint (read_fourcc (buf, 13, "RIFF", 2), ==, 1);
  g_assert_cmpint (read_fourcc (buf, 13, "WAVE", 8), ==, 1);
  g_assert_cmpint (read_fourcc (buf, 13, "riff", 2), ==, 0);
  g_assert_cmpint (read_fourcc (buf, 13, "RIFx", 2), ==, 0);
  g_assert_cmpint (read_fourcc (buf, 13, "RIFF", 3), ==, 0);
  /* WAVE ends on the last byte of a 12-byte view: refused. */
  g_assert_cmpint (read_fourcc (buf, 12, "WAVE", 8), ==, 0);
  g_assert_cmpint (read_fourcc (NULL, 13, "RIFF", 2), ==, 0);
  g_assert_cmpint (read_fourcc (buf, 13, NULL, 2), ==, 0);
}

static void
test_byte_order_helpers (void)
{
  g_assert_cmpint (endianness (), ==, G_BYTE_ORDER == G_BIG_ENDIAN ? 1 : 0);

  guint16 s = 0x1234;
  swap_short (&s);
  g_assert_cmpuint (s, ==, 0x3412);
  guint32 i = 0x11223344;
  swap_int (&i);
  g_assert_cmpuint (i, ==, 0x44332211);

  /* NULL is ignored rather than dereferenced. */
  swap_short (NULL);
  swap_int (NULL);
}

/* Writes a file of size bytes whose byte n is n % 251 (sparse beyond the
 * first page) and returns its path. */
static gchar *
make_file (TesselFixture *fx, const char *name, goffset size)
{
  gchar *path = g_build_filename (fx->dir, name, NULL);
  int fd = open (path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  g_assert_cmpint (fd, >=, 0);
  guchar page[4096];
  for (gsize n = 0; n < sizeof page; n++)
    page[n] = n % 251;
  gsize head = MIN ((goffset) sizeof page, size);
  g_assert_cmpint (write (fd, page, head), ==, (gssize) head);
  g_assert_cmpint (ftruncate (fd, size), ==, 0);
  close (fd);
  return path;
}

static void
load_conf (TesselFixture *fx, const char *text)
{
  g_free (tessel_fixture_write (fx, "metadata_lib.conf", text));
  meta_load_lib_conf ();
}

static void
test_mmap_default_limit (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  load_conf (fx, "# defaults only\n");
  g_autofree gchar *path = make_file (fx, "big.bin", 10 * 1024 * 1024);
  guint32 mapped = 0, size = 0;
  guchar *map = map_file (path, &mapped, &size);
  g_assert_nonnull (map);
  g_assert_cmpuint (mapped, ==, 5242880);
  g_assert_cmpuint (size, ==, 10485760);
  g_assert_cmpuint (map[0], ==, 0);
  g_assert_cmpuint (map[300], ==, 300 % 251);
  g_assert_cmpuint (map[mapped - 1], ==, 0);
  g_assert_cmpint (munmap (map, mapped), ==, 0);
}

static void
test_mmap_small_file_whole (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  load_conf (fx, "max_file_sz 1000\n");
  g_autofree gchar *small = make_file (fx, "small.bin", 600);
  g_autofree gchar *large = make_file (fx, "large.bin", 3000);
  guint32 mapped = 0;

  /* No size output wanted. */
  guchar *map = map_file (small, &mapped, NULL);
  g_assert_nonnull (map);
  g_assert_cmpuint (mapped, ==, 600);
  g_assert_cmpuint (map[599], ==, 599 % 251);
  guint32 word = 0;
  g_assert_cmpint (read_int (map, mapped, 100, &word), ==, 1);
  munmap (map, mapped);

  guint32 size = 0;
  map = map_file (large, &mapped, &size);
  g_assert_nonnull (map);
  g_assert_cmpuint (mapped, ==, 1000);
  g_assert_cmpuint (size, ==, 3000);
  munmap (map, mapped);
}

static void
test_mmap_empty_file (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  load_conf (fx, "# defaults only\n");
  g_autofree gchar *path = make_file (fx, "empty.bin", 0);
  guint32 mapped = 77, size = 77;
  g_assert_null (map_file (path, &mapped, &size));
  g_assert_cmpuint (mapped, ==, 0);
  g_assert_cmpuint (size, ==, 0);
}

static void
test_mmap_unreadable (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  load_conf (fx, "# defaults only\n");
  g_autofree gchar *missing = g_build_filename (fx->dir, "missing", NULL);
  guint32 mapped = 77, size = 77;
  g_assert_null (map_file (missing, &mapped, &size));
  g_assert_null (map_file (NULL, &mapped, &size));
  g_assert_cmpuint (mapped, ==, 77);
  g_assert_cmpuint (size, ==, 77);

  g_autofree gchar *path = make_file (fx, "f.bin", 10);
  g_assert_null (map_file (path, NULL, &size));
  g_assert_cmpuint (size, ==, 77);
}

/* With no configuration loaded the limit is 0: nothing can be mapped, and
 * the size is still reported. */
static void
test_mmap_limit_zero (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_assert_cmpint (meta_conf_get_max_file_sz (), ==, 0);
  g_autofree gchar *path = make_file (fx, "f.bin", 100);
  guint32 mapped = 77, size = 77;
  g_assert_null (map_file (path, &mapped, &size));
  g_assert_cmpuint (mapped, ==, 0);
  g_assert_cmpuint (size, ==, 100);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);

  g_autofree gchar *path = g_test_build_filename (
      G_TEST_BUILT, "..", "plugin", "libbrisel_gst.so.0", NULL);
  plugin = dlopen (path, RTLD_NOW | RTLD_LOCAL);
  if (plugin == NULL)
    g_error ("cannot load %s: %s", path, dlerror ());
  read_char = plugin_symbol ("meta_ext_read_char");
  read_short = plugin_symbol ("meta_ext_read_short");
  read_int = plugin_symbol ("meta_ext_read_int");
  read_short_be = plugin_symbol ("meta_ext_read_short_be");
  read_int_be = plugin_symbol ("meta_ext_read_int_be");
  read_int64_be = plugin_symbol ("meta_ext_read_int64_be");
  read_string = plugin_symbol ("meta_ext_read_string");
  read_fourcc = plugin_symbol ("meta_read_fourcc");
  endianness = plugin_symbol ("get_endianness");
  swap_short = plugin_symbol ("be_to_le_short");
  swap_int = plugin_symbol ("be_to_le_int");
  map_file = plugin_symbol ("meta_mmap");

  g_test_add_func ("/readers/char/last-byte", test_read_char_bounds);
  g_test_add_func ("/readers/short/strict-end", test_read_short_bounds);
  g_test_add_func ("/readers/int/strict-end", test_read_int_bounds);
  g_test_add_func ("/readers/big-endian/host-order",
                   test_read_big_endian_values);
  g_test_add_func ("/readers/offset-overflow-refused",
                   test_read_offset_overflow);
  g_test_add_func ("/readers/string/terminator", test_read_string_terminator);
  g_test_add_func ("/readers/fourcc/exact-match",
                   test_read_fourcc_exact_match);
  g_test_add_func ("/readers/byte-order-helpers", test_byte_order_helpers);
  g_test_add ("/mmap/default-limit-cuts-10MiB", TesselFixture, NULL,
              tessel_fixture_setup, test_mmap_default_limit,
              tessel_fixture_teardown);
  g_test_add ("/mmap/configured-limit", TesselFixture, NULL,
              tessel_fixture_setup, test_mmap_small_file_whole,
              tessel_fixture_teardown);
  g_test_add ("/mmap/empty-file", TesselFixture, NULL, tessel_fixture_setup,
              test_mmap_empty_file, tessel_fixture_teardown);
  g_test_add ("/mmap/missing-or-null", TesselFixture, NULL,
              tessel_fixture_setup, test_mmap_unreadable,
              tessel_fixture_teardown);
  g_test_add ("/mmap/limit-zero", TesselFixture, NULL, tessel_fixture_setup,
              test_mmap_limit_zero, tessel_fixture_teardown);
  return g_test_run ();
}
