/* The plug-in's bounded byte readers, byte-order helpers and file mapping,
 * called from C through the plug-in loaded at run time: the plug-in's
 * configuration call resolves against the libtessel this program links. */
#include <dlfcn.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
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

enum
{
  READ_CHAR,
  READ_SHORT,
  READ_INT,
  READ_SHORT_BE,
  READ_INT_BE,
  READ_INT64_BE,
  READ_STRING3, /* three bytes and a terminator */
};

static const struct
{
  const char *name;
  guint32 width;
} readers[] = {
  { "char", 1 },   { "short", 2 },    { "int", 4 },     { "short_be", 2 },
  { "int_be", 4 }, { "int64_be", 8 }, { "string", 3 },
};

static int
call_reader (int reader, const guchar *buf, guint32 length, guint32 offset,
             void *out)
{
  switch (reader)
    {
    case READ_CHAR:
      return read_char (buf, length, offset, out);
    case READ_SHORT:
      return read_short (buf, length, offset, out);
    case READ_INT:
      return read_int (buf, length, offset, out);
    case READ_SHORT_BE:
      return read_short_be (buf, length, offset, out);
    case READ_INT_BE:
      return read_int_be (buf, length, offset, out);
    case READ_INT64_BE:
      return read_int64_be (buf, length, offset, out);
    default:
      return read_string (buf, length, offset, out, 3);
    }
}

/* Every reader at its bounds on a 16-byte buffer: a value of width w is
 * read at offset 15 - w (the one-byte reader at 15, the last byte) and
 * refused one byte further, at offsets whose sum with w wraps around 32
 * bits, and with a NULL buffer or output.  A refusal leaves the output
 * untouched. */
static void
test_read_bounds (void)
{
  /* Exactly 16 bytes on the heap: the sanitizer build sees any read past
   * the end. */
  g_autofree guchar *buf = g_malloc (16);
  for (guint i = 0; i < 16; i++)
    buf[i] = 0x10 + i;

  for (int r = 0; r < (int) G_N_ELEMENTS (readers); r++)
    {
      const guint32 w = readers[r].width;
      const guint32 last = r == READ_CHAR ? 15 : 15 - w;
      guchar out[9];
      g_test_message ("reader %s", readers[r].name);

      memset (out, 0xAA, sizeof out);
      g_assert_cmpint (call_reader (r, buf, 16, last, out), ==, 1);
      if (r != READ_SHORT_BE && r != READ_INT_BE && r != READ_INT64_BE)
        g_assert_cmpmem (out, w, buf + last, w);

      /* The last one makes offset + w wrap to 1 in 32 bits. */
      const guint32 refused[] = { last + 1, 16, G_MAXUINT32,
                                  w > 1 ? G_MAXUINT32 - w + 2 : 16 };
      for (gsize i = 0; i < G_N_ELEMENTS (refused); i++)
        {
          memset (out, 0xAA, sizeof out);
          g_assert_cmpint (call_reader (r, buf, 16, refused[i], out), ==, 0);
          for (gsize b = 0; b < sizeof out; b++)
            g_assert_cmpuint (out[b], ==, 0xAA);
        }
      g_assert_cmpint (call_reader (r, NULL, 16, 0, out), ==, 0);
      g_assert_cmpint (call_reader (r, buf, 16, 0, NULL), ==, 0);
      g_assert_cmpint (call_reader (r, buf, 0, 0, out), ==, 0);
    }
}

/* The examples of a four-byte buffer: a short at offsets 0 and 1 but not
 * 2, a char at 3 but not 4, an int nowhere. */
static void
test_read_four_byte_buffer (void)
{
  g_autofree guchar *buf = g_memdup2 ("\x00\x00\x01\x02", 4);
  guint16 s;
  guchar c;
  guint32 i;
  g_assert_cmpint (read_short (buf, 4, 0, &s), ==, 1);
  g_assert_cmpint (read_short (buf, 4, 1, &s), ==, 1);
  g_assert_cmpint (read_short (buf, 4, 2, &s), ==, 0);
  g_assert_cmpint (read_char (buf, 4, 3, &c), ==, 1);
  g_assert_cmpuint (c, ==, 0x02);
  g_assert_cmpint (read_char (buf, 4, 4, &c), ==, 0);
  g_assert_cmpint (read_int_be (buf, 4, 0, &i), ==, 0);
}

/* Big-endian values come out in host order whatever the host, and do not
 * need aligned offsets. */
static void
test_read_big_endian_values (void)
{
  g_autofree guchar *buf = g_memdup2 (
      "\xFF\x00\x00\x01\x02\x05\x06\x07\x08\xFF", 10);
  guint16 s = 0;
  guint32 i = 0;
  guint64 l = 0;

  g_assert_cmpint (read_int_be (buf, 10, 1, &i), ==, 1);
  g_assert_cmpuint (i, ==, 258);
  g_assert_cmpint (read_short_be (buf, 10, 3, &s), ==, 1);
  g_assert_cmpuint (s, ==, 0x0102);
  g_assert_cmpint (read_int64_be (buf, 10, 1, &l), ==, 1);
  g_assert_cmpuint (l, ==, G_GUINT64_CONSTANT (0x0000010205060708));
}

static void
test_read_string_terminator (void)
{
  g_autofree guchar *five = g_memdup2 ("RIFFx", 5);
  g_autofree guchar *four = g_memdup2 ("RIFF", 4);
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
  g_autofree guchar *buf = g_memdup2 ("..RIFFxxWAVE.", 13);

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

  /* A FIFO without a writer: refused at once, as an empty file. */
  g_autofree gchar *fifo = g_build_filename (fx->dir, "fifo", NULL);
  g_assert_cmpint (mkfifo (fifo, 0600), ==, 0);
  g_assert_null (map_file (fifo, &mapped, &size));
  g_assert_cmpuint (mapped, ==, 0);
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

  g_test_add_func ("/readers/bounds/strict-end-and-refusals",
                   test_read_bounds);
  g_test_add_func ("/readers/bounds/four-byte-buffer",
                   test_read_four_byte_buffer);
  g_test_add_func ("/readers/big-endian/host-order",
                   test_read_big_endian_values);
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
