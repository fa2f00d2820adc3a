/* Typed key access, arrays in text columns, and the meta_* wrappers over
 * them. */
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "tessel-test.h"

static const gchar row[] = "/media/mmc1/song.mp3";

static void
open_with_row (TesselFixture *fx)
{
  g_assert_cmpint (storage_init (), ==, 1);
  tessel_test_sql (fx->db,
                   "INSERT INTO Metadata (Filename, Title, Track, "
                   "PixelAspectRatio, Genre, Bitrate) VALUES "
                   "('/media/mmc1/song.mp3', 'A song', 7, 1.25, NULL, "
                   "4294967301)");
}

static gchar *
row_text (TesselFixture *fx, const gchar *column)
{
  g_autofree gchar *sql = g_strdup_printf (
      "SELECT %s FROM Metadata WHERE Filename = '%s'", column, row);
  return tessel_test_sql_text (fx->db, sql);
}

#define assert_row_text(fx, column, expected)                                 \
  G_STMT_START                                                                \
  {                                                                           \
    gchar *got_ = row_text (fx, column);                                      \
    g_assert_cmpstr (got_, ==, expected);                                     \
    g_free (got_);                                                            \
  }                                                                           \
  G_STMT_END

/* The declared type of a column, NULL when there is no such column. */
static gchar *
declared_type (TesselFixture *fx, const gchar *column)
{
  g_autofree gchar *sql = g_strdup_printf (
      "SELECT type FROM pragma_table_info('Metadata') WHERE name = '%s'",
      column);
  return tessel_test_sql_text (fx->db, sql);
}

static gint
row_count (TesselFixture *fx)
{
  g_autofree gchar *n
      = tessel_test_sql_text (fx->db, "SELECT count(*) FROM Metadata");
  return atoi (n);
}

static gchar *
schema (TesselFixture *fx)
{
  return tessel_test_sql_text (
      fx->db, "SELECT sql FROM sqlite_master WHERE name = 'Metadata'");
}

static void
test_read_typed (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_row (fx);
  g_autofree gchar *before = schema (fx);

  gchar *text = (gchar *) "untouched";
  g_assert_cmpint (storage_read_text (row, "Title", &text), ==, 1);
  g_assert_cmpstr (text, ==, "A song");
  g_free (text);
  /* Not text: 1 with NULL. */
  g_assert_cmpint (storage_read_text (row, "Track", &text), ==, 1);
  g_assert_null (text);
  g_assert_cmpint (storage_read_text (row, "Genre", &text), ==, 1);
  g_assert_null (text);

  gint32 number = 99;
  g_assert_cmpint (storage_read_int (row, "Track", &number), ==, 1);
  g_assert_cmpint (number, ==, 7);
  /* Wider integers keep their low 32 bits. */
  g_assert_cmpint (storage_read_int (row, "Bitrate", &number), ==, 1);
  g_assert_cmpint (number, ==, 5);
  number = 99;
  g_assert_cmpint (storage_read_int (row, "Title", &number), ==, 0);
  g_assert_cmpint (storage_read_int (row, "PixelAspectRatio", &number), ==,
                   0);
  g_assert_cmpint (storage_read_int (row, "Genre", &number), ==, 0);
  g_assert_cmpint (number, ==, 99);

  gdouble real = -1.0;
  g_assert_cmpint (storage_read_double (row, "PixelAspectRatio", &real), ==,
                   1);
  g_assert_cmpfloat (real, ==, 1.25);
  real = -1.0;
  g_assert_cmpint (storage_read_double (row, "Track", &real), ==, 0);
  g_assert_cmpfloat (real, ==, -1.0);

  /* Missing rows and columns, NULL arguments. */
  text = (gchar *) "untouched";
  g_assert_cmpint (storage_read_text ("/other", "Title", &text), ==, 0);
  g_assert_cmpint (storage_read_text (row, "NoSuchKey", &text), ==, 0);
  g_assert_cmpint (storage_read_int (row, "NoSuchKey", &number), ==, 0);
  g_assert_cmpint (storage_read_double (row, "NoSuchKey", &real), ==, 0);
  g_assert_cmpint (storage_read_text (NULL, "Title", &text), ==, 0);
  g_assert_cmpint (storage_read_text (row, NULL, &text), ==, 0);
  g_assert_cmpint (storage_read_text (row, "Title", NULL), ==, 0);
  g_assert_cmpint (storage_read_int (row, "Track", NULL), ==, 0);
  g_assert_cmpint (storage_read_double (row, "Track", NULL), ==, 0);
  g_assert_cmpstr (text, ==, "untouched");

  /* Readers never add columns. */
  g_autofree gchar *after = schema (fx);
  g_assert_cmpstr (after, ==, before);
}

static void
test_key_type (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_row (fx);
  g_assert_cmpint (storage_get_key_type (row, "Title"), ==, META_TYPE_TEXT);
  g_assert_cmpint (storage_get_key_type (row, "Track"), ==, META_TYPE_INTEGER);
  g_assert_cmpint (storage_get_key_type (row, "PixelAspectRatio"), ==,
                   META_TYPE_FLOAT);
  g_assert_cmpint (storage_get_key_type (row, "Genre"), ==, META_TYPE_NONE);
  g_assert_cmpint (storage_get_key_type (row, "NoSuchKey"), ==,
                   META_TYPE_NONE);
  g_assert_cmpint (storage_get_key_type ("/other", "Title"), ==,
                   META_TYPE_NONE);
  g_assert_cmpint (storage_get_key_type (NULL, "Title"), ==, META_TYPE_NONE);

  g_assert_cmpint (storage_write_text (row, "Album", "MT_ARRAY|2|1.500000|"),
                   ==, 1);
  g_assert_cmpint (storage_get_key_type (row, "Album"), ==, META_TYPE_ARRAY);
  /* Array form needs a number right after the prefix. */
  g_assert_cmpint (storage_write_text (row, "Album", "MT_ARRAY|x|1|"), ==, 1);
  g_assert_cmpint (storage_get_key_type (row, "Album"), ==, META_TYPE_TEXT);
  g_assert_cmpint (storage_write_text (row, "Album", "MT_ARRAY|"), ==, 1);
  g_assert_cmpint (storage_get_key_type (row, "Album"), ==, META_TYPE_TEXT);

  g_assert_cmpint (storage_write_int (row, "Rating", 3), ==, 1);
  g_assert_cmpint (storage_get_key_type (row, "Rating"), ==,
                   META_TYPE_INTEGER);
}

static void
test_write_affinity (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_row (fx);
  /* New columns get the declared type of the value's kind. */
  g_assert_cmpint (storage_write_int (row, "PlayCount", -3), ==, 1);
  g_assert_cmpint (storage_write_double (row, "Gain", 2.0), ==, 1);
  g_assert_cmpint (storage_write_text (row, "Comment", "c"), ==, 1);
  g_autofree gchar *t1 = declared_type (fx, "PlayCount");
  g_autofree gchar *t2 = declared_type (fx, "Gain");
  g_autofree gchar *t3 = declared_type (fx, "Comment");
  g_assert_cmpstr (t1, ==, "int(12)");
  g_assert_cmpstr (t2, ==, "decimal(5,10)");
  g_assert_cmpstr (t3, ==, "varchar(256)");

  /* 2.0 goes in as 2.000000, which the decimal column keeps as the
   * integer 2. */
  gdouble real = -1.0;
  gint32 number = 0;
  g_assert_cmpint (storage_read_double (row, "Gain", &real), ==, 0);
  g_assert_cmpint (storage_read_int (row, "Gain", &number), ==, 1);
  g_assert_cmpint (number, ==, 2);
  g_assert_cmpint (storage_write_double (row, "Gain", 2.5), ==, 1);
  g_assert_cmpint (storage_read_double (row, "Gain", &real), ==, 1);
  g_assert_cmpfloat (real, ==, 2.5);
  /* Six decimals, as C's %f writes them. */
  g_assert_cmpint (storage_write_double (row, "Gain", 0.0000005), ==, 1);
  g_assert_cmpint (storage_read_int (row, "Gain", &number), ==, 1);
  g_assert_cmpint (number, ==, 0);
  /* Every digit of a large value, so that it reads back exactly. */
  g_assert_cmpint (storage_write_double (row, "Gain", 3.4028234663852886e38),
                   ==, 1);
  g_assert_cmpint (storage_read_double (row, "Gain", &real), ==, 1);
  g_assert_cmpfloat (real, ==, 3.4028234663852886e38);

  /* An integer in a text column is text; a double in an int column
   * without a fraction is an integer. */
  g_assert_cmpint (storage_write_int (row, "Title", 5), ==, 1);
  g_assert_cmpint (storage_get_key_type (row, "Title"), ==, META_TYPE_TEXT);
  g_assert_cmpint (storage_write_double (row, "Track", 9.0), ==, 1);
  g_assert_cmpint (storage_get_key_type (row, "Track"), ==,
                   META_TYPE_INTEGER);
  g_assert_cmpint (storage_write_int (row, "PlayCount", G_MININT32), ==, 1);
  g_assert_cmpint (storage_read_int (row, "PlayCount", &number), ==, 1);
  g_assert_cmpint (number, ==, G_MININT32);

  /* Values without a literal are refused, the row keeps its value. */
  g_assert_cmpint (storage_write_double (row, "Gain", NAN), ==, 0);
  g_assert_cmpint (storage_write_double (row, "Gain", INFINITY), ==, 0);
  g_assert_cmpint (storage_read_double (row, "Gain", &real), ==, 1);
  g_assert_cmpfloat (real, ==, 3.4028234663852886e38);
}

static void
test_write_text_round_trip (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_row (fx);
  static const gchar *const texts[]
      = { "it's \"quoted\"", "100% %s %d %Q %%", "Title", "Filename",
          "'); DROP TABLE Metadata; --", "ünïcödé", "" };
  for (gsize i = 0; i < G_N_ELEMENTS (texts); i++)
    {
      g_assert_cmpint (storage_write_text (row, "Album", texts[i]), ==, 1);
      gchar *back = NULL;
      g_assert_cmpint (storage_read_text (row, "Album", &back), ==, 1);
      g_assert_cmpstr (back, ==, texts[i]);
      g_free (back);
    }

  /* NULL writes the empty text, which reads back as "" and not NULL. */
  g_assert_cmpint (storage_write_text (row, "Album", NULL), ==, 1);
  gchar *back = NULL;
  g_assert_cmpint (storage_read_text (row, "Album", &back), ==, 1);
  g_assert_cmpstr (back, ==, "");
  g_free (back);

  /* A file name with quotes and percent signs addresses its row. */
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename) VALUES "
                           "('/it''s \"x\" 5%.mp3')");
  g_assert_cmpint (storage_write_int ("/it's \"x\" 5%.mp3", "Track", 4), ==,
                   1);
  gint32 number = 0;
  g_assert_cmpint (storage_read_int ("/it's \"x\" 5%.mp3", "Track", &number),
                   ==, 1);
  g_assert_cmpint (number, ==, 4);
  g_assert_cmpint (storage_read_int (row, "Track", &number), ==, 1);
  g_assert_cmpint (number, ==, 7);

  /* Writers never create rows, and a missing row adds no column. */
  g_assert_cmpint (storage_write_text ("/missing", "Title", "t"), ==, 0);
  g_assert_cmpint (storage_write_int ("/missing", "NewKey", 1), ==, 0);
  g_assert_cmpint (storage_write_double ("/missing", "Gain", 1.5), ==, 0);
  g_autofree gchar *absent = declared_type (fx, "NewKey");
  g_assert_null (absent);
  g_assert_cmpint (row_count (fx), ==, 2);

  /* A text whose statement would pass 2047 bytes is not written. */
  gchar *huge = g_strnfill (2100, 'z');
  g_assert_cmpint (storage_write_text (row, "Album", huge), ==, 0);
  g_free (huge);
  assert_row_text (fx, "Album", "");
}

static void
test_refused_keys (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_row (fx);
  g_autofree gchar *before = schema (fx);
  static const gchar *const bad[]
      = { "Title = 'x', Album", "Title;", "1abc", "Ti tle", "", "Title--",
          "Title\"", "Tïtle" };
  for (gsize i = 0; i < G_N_ELEMENTS (bad); i++)
    {
      gchar *text = NULL;
      gint32 number = 0;
      gdouble real = 0;
      gint index = 0;
      MetaType type;
      gchar area[256];
      g_assert_cmpint (storage_read_text (row, bad[i], &text), ==, 0);
      g_assert_cmpint (storage_read_int (row, bad[i], &number), ==, 0);
      g_assert_cmpint (storage_read_double (row, bad[i], &real), ==, 0);
      g_assert_cmpint (storage_get_key_type (row, bad[i]), ==, 0);
      g_assert_cmpint (storage_write_int (row, bad[i], 1), ==, 0);
      g_assert_cmpint (storage_write_double (row, bad[i], 1.5), ==, 0);
      g_assert_cmpint (storage_write_text (row, bad[i], "x"), ==, 0);
      g_assert_cmpint (storage_write_array (row, bad[i], 0, tessel_test_int_value (1)),
                       ==, 0);
      g_assert_cmpint (storage_read_array (row, bad[i], &index, area, &type),
                       ==, 0);
    }
  g_autofree gchar *after = schema (fx);
  g_assert_cmpstr (after, ==, before);
  assert_row_text (fx, "Title", "A song");
  assert_row_text (fx, "Album", NULL);
}

/* Keys SQL would read as values, and SQLite's rowid, which no column of
 * the table is: each reads as no value, writes nothing and deletes
 * nothing. */
static void
test_literal_keys (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_row (fx);
  tessel_test_sql (fx->db, "INSERT INTO Metadata (Filename, Title) VALUES "
                           "('/other.mp3', 'x')");
  g_autofree gchar *before = schema (fx);
  static const gchar *const literal[]
      = { "TRUE", "true", "False", "NULL", "null", "CURRENT_DATE",
          "current_time", "Current_Timestamp", "rowid", "OID", "_rowid_" };
  for (gsize i = 0; i < G_N_ELEMENTS (literal); i++)
    {
      gchar *text = (gchar *) "untouched";
      gint32 number = -7;
      gint index = 0;
      MetaType type;
      gchar area[256];
      g_test_message ("key %s", literal[i]);
      g_assert_cmpint (meta_read_string (row, literal[i], &text), ==, 0);
      g_assert_cmpstr (text, ==, "untouched");
      g_assert_cmpint (meta_read_integer (row, literal[i], &number), ==, 0);
      g_assert_cmpint (number, ==, -7);
      g_assert_cmpint (meta_get_key_type (row, literal[i]), ==, 0);
      g_assert_cmpint (meta_read_array (row, literal[i], &index, area, &type),
                       ==, 0);
      g_assert_cmpint (meta_delete_by_key (literal[i],
                                           tessel_test_int_value (1)),
                       ==, 0);
      g_assert_cmpint (meta_delete_by_key (literal[i],
                                           tessel_test_int_value (0)),
                       ==, 0);
      if (i < 8)
        g_assert_cmpint (meta_write_integer (row, literal[i], 5), ==, 0);
    }
  g_autofree gchar *count = tessel_test_sql_text (
      fx->db, "SELECT count(*) FROM Metadata");
  g_assert_cmpstr (count, ==, "2");
  g_autofree gchar *after = schema (fx);
  g_assert_cmpstr (after, ==, before);
}

/* A text array element of 128 "é" comes back cut at a whole character. */
static void
test_array_element_cut (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_row (fx);
  GString *text = g_string_new (NULL);
  for (int i = 0; i < 128; i++)
    g_string_append (text, "\xc3\xa9");
  g_assert_cmpint (storage_write_text (row, "Names", NULL), ==, 1);
  g_autofree gchar *array = g_strdup_printf ("MT_ARRAY|3|%s|", text->str);
  g_assert_cmpint (storage_write_text (row, "Names", array), ==, 1);
  gint index = 0;
  MetaType type;
  gchar area[256];
  g_assert_cmpint (storage_read_array (row, "Names", &index, area, &type), ==,
                   1);
  g_assert_cmpuint (strlen (area), ==, 254);
  g_assert_true (g_utf8_validate (area, -1, NULL));
  g_string_free (text, TRUE);
}

static void
test_array_insert_sequence (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_row (fx);
  g_assert_cmpint (storage_write_array (row, "Ratings", 0, tessel_test_int_value (5)), ==,
                   1);
  assert_row_text (fx, "Ratings", "MT_ARRAY|1|5|");
  g_autofree gchar *declared = declared_type (fx, "Ratings");
  g_assert_cmpstr (declared, ==, "varchar(256)");
  g_assert_cmpint (storage_write_array (row, "Ratings", 9, tessel_test_int_value (6)), ==,
                   1);
  assert_row_text (fx, "Ratings", "MT_ARRAY|1|5|6|");
  g_assert_cmpint (storage_write_array (row, "Ratings", 0, tessel_test_int_value (4)), ==,
                   1);
  assert_row_text (fx, "Ratings", "MT_ARRAY|1|4|5|6|");
  g_assert_cmpint (storage_write_array (row, "Ratings", 1, tessel_test_int_value (9)), ==,
                   1);
  assert_row_text (fx, "Ratings", "MT_ARRAY|1|4|9|5|6|");
  g_assert_cmpint (storage_get_key_type (row, "Ratings"), ==,
                   META_TYPE_ARRAY);

  /* Length with no value area, then clamped element reads. */
  gint index = -100;
  MetaType type = META_TYPE_NONE;
  g_assert_cmpint (storage_read_array (row, "Ratings", &index, NULL, &type),
                   ==, 1);
  g_assert_cmpint (index, ==, 4);
  g_assert_cmpint (type, ==, META_TYPE_INTEGER);

  static const struct
  {
    gint asked, clamped;
    gint32 element;
  } reads[] = { { 7, 3, 6 }, { -2, 0, 4 }, { 1, 1, 9 }, { 2, 2, 5 },
                { G_MAXINT, 3, 6 }, { G_MININT, 0, 4 } };
  for (gsize i = 0; i < G_N_ELEMENTS (reads); i++)
    {
      gchar area[META_VALUE_SIZE];
      gint32 element;
      index = reads[i].asked;
      g_assert_cmpint (
          storage_read_array (row, "Ratings", &index, area, &type), ==, 1);
      memcpy (&element, area, sizeof element);
      g_assert_cmpint (index, ==, reads[i].clamped);
      g_assert_cmpint (element, ==, reads[i].element);
    }

  /* A negative index appends. */
  g_assert_cmpint (storage_write_array (row, "Ratings", -1, tessel_test_int_value (-7)),
                   ==, 1);
  assert_row_text (fx, "Ratings", "MT_ARRAY|1|4|9|5|6|-7|");
}

static void
test_array_element_types (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_row (fx);
  /* Floats: six decimals in storage, 32-bit floats in memory. */
  g_assert_cmpint (storage_write_array (row, "Gains", 0, tessel_test_float_value (1.5f)),
                   ==, 1);
  g_assert_cmpint (storage_write_array (row, "Gains", 0, tessel_test_float_value (-0.25f)),
                   ==, 1);
  assert_row_text (fx, "Gains", "MT_ARRAY|2|-0.250000|1.500000|");
  gchar area[META_VALUE_SIZE];
  gint index = 1;
  MetaType type = META_TYPE_NONE;
  gfloat real = 0;
  g_assert_cmpint (storage_read_array (row, "Gains", &index, area, &type), ==,
                   1);
  memcpy (&real, area, sizeof real);
  g_assert_cmpint (type, ==, META_TYPE_FLOAT);
  g_assert_cmpfloat (real, ==, 1.5f);

  /* Another element type, or a float without a literal, is refused and
   * leaves the array as it was. */
  g_assert_cmpint (storage_write_array (row, "Gains", 0, tessel_test_int_value (1)), ==,
                   0);
  g_assert_cmpint (storage_write_array (row, "Gains", 0, tessel_test_float_value (NAN)),
                   ==, 0);
  MetaValue odd = tessel_test_int_value (1);
  odd.type = (MetaType) 7;
  g_assert_cmpint (storage_write_array (row, "Gains", 0, odd), ==, 0);
  g_assert_cmpint (storage_write_array (row, "Fresh", 0, odd), ==, 0);
  assert_row_text (fx, "Gains", "MT_ARRAY|2|-0.250000|1.500000|");

  /* Text: bars become blanks, everything else stays. */
  g_assert_cmpint (storage_write_array (row, "Tags", 0, tessel_test_text_value ("a|b")),
                   ==, 1);
  g_assert_cmpint (
      storage_write_array (row, "Tags", 5, tessel_test_text_value ("50% \"q\" 'x' %s")),
      ==, 1);
  assert_row_text (fx, "Tags", "MT_ARRAY|3|a b|50% \"q\" 'x' %s|");
  index = 1;
  g_assert_cmpint (storage_read_array (row, "Tags", &index, area, &type), ==,
                   1);
  g_assert_cmpint (type, ==, META_TYPE_TEXT);
  g_assert_cmpstr (area, ==, "50% \"q\" 'x' %s");

  /* A 255-byte element comes back whole and terminated. */
  MetaValue long_text;
  memset (&long_text, 0, sizeof long_text);
  memset (long_text.value, 'L', sizeof long_text.value);
  long_text.type = META_TYPE_TEXT;
  g_assert_cmpint (storage_write_array (row, "Tags", 0, long_text), ==, 1);
  index = 0;
  memset (area, 'x', sizeof area);
  g_assert_cmpint (storage_read_array (row, "Tags", &index, area, &type), ==,
                   1);
  g_assert_cmpuint (strlen (area), ==, 255);
  g_assert_true (area[0] == 'L' && area[254] == 'L');

  /* A text that is not an array is neither extended nor read. */
  g_assert_cmpint (storage_write_array (row, "Title", 0, tessel_test_text_value ("x")),
                   ==, 0);
  assert_row_text (fx, "Title", "A song");
  g_assert_cmpint (storage_read_array (row, "Title", &index, NULL, &type), ==,
                   0);
  /* A number reads as no text, so a new array replaces it. */
  g_assert_cmpint (storage_write_array (row, "Track", 3, tessel_test_int_value (2)), ==,
                   1);
  assert_row_text (fx, "Track", "MT_ARRAY|1|2|");
  /* Missing rows and NULL arguments. */
  g_assert_cmpint (storage_write_array ("/missing", "Tags", 0, tessel_test_int_value (1)),
                   ==, 0);
  g_assert_cmpint (storage_write_array (NULL, "Tags", 0, tessel_test_int_value (1)), ==,
                   0);
  g_assert_cmpint (storage_read_array (row, "Tags", NULL, area, &type), ==, 0);
  g_assert_cmpint (storage_read_array (row, "Tags", &index, area, NULL), ==,
                   0);
}

static void
test_array_without_elements (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_row (fx);
  /* Only a direct text write makes an array with no element; asking for
   * an element gives 0 and reads nothing. */
  g_assert_cmpint (storage_write_text (row, "Tags", "MT_ARRAY|1|"), ==, 1);
  gchar area[META_VALUE_SIZE] = "kept";
  gint index = 0;
  MetaType type = META_TYPE_NONE;
  g_assert_cmpint (storage_read_array (row, "Tags", &index, NULL, &type), ==,
                   1);
  g_assert_cmpint (index, ==, 0);
  index = 3;
  g_assert_cmpint (storage_read_array (row, "Tags", &index, area, &type), ==,
                   0);
  g_assert_cmpstr (area, ==, "kept");
  g_assert_cmpint (storage_write_array (row, "Tags", 0, tessel_test_int_value (7)), ==, 1);
  assert_row_text (fx, "Tags", "MT_ARRAY|1|7|");

  /* A head without its second bar holds nothing and takes no element. */
  g_assert_cmpint (storage_write_text (row, "Tags", "MT_ARRAY|1"), ==, 1);
  g_assert_cmpint (storage_read_array (row, "Tags", &index, NULL, &type), ==,
                   1);
  g_assert_cmpint (index, ==, 0);
  g_assert_cmpint (storage_read_array (row, "Tags", &index, area, &type), ==,
                   0);
  g_assert_cmpint (storage_write_array (row, "Tags", 0, tessel_test_int_value (7)), ==, 0);
  assert_row_text (fx, "Tags", "MT_ARRAY|1");
}

static void
test_array_overlong (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  open_with_row (fx);
  MetaValue element = tessel_test_text_value ("");
  memset (element.value, 'e', 200);
  int written = 0;
  while (storage_write_array (row, "Tags", -1, element) == 1)
    {
      written++;
      g_assert_cmpint (written, <, 20);
    }
  /* The write that would not fit left the array as it was. */
  g_assert_cmpint (written, ==, 9);
  gint index = 0;
  MetaType type;
  g_assert_cmpint (storage_read_array (row, "Tags", &index, NULL, &type), ==,
                   1);
  g_assert_cmpint (index, ==, written);
}

static void
test_meta_wrappers (TesselFixture *fx, gconstpointer data)
{
  (void) data;
  g_free (tessel_fixture_write (fx, "metadata_lib.conf",
                                "mp3 libbrisel_gst\n"));
  g_assert_cmpint (meta_init (), ==, 1);
  tessel_test_sql (fx->db,
                   "INSERT INTO Metadata (Filename, Present, isStream) VALUES"
                   " ('/media/mmc1/song.mp3', 1, 0), ('http://s', 1, 1)");

  /* NULL required arguments: 0, storage untouched. */
  gint32 number = 0;
  gdouble real = 0;
  gchar *text = NULL;
  gint index = 0;
  MetaType type;
  g_assert_cmpint (meta_get_key_type (NULL, "Title"), ==, 0);
  g_assert_cmpint (meta_get_key_type (row, NULL), ==, 0);
  g_assert_cmpint (meta_read_integer (row, NULL, &number), ==, 0);
  g_assert_cmpint (meta_read_integer (row, "Present", NULL), ==, 0);
  g_assert_cmpint (meta_read_double (NULL, "Present", &real), ==, 0);
  g_assert_cmpint (meta_read_string (row, "Title", NULL), ==, 0);
  g_assert_cmpint (meta_read_array (row, "Tags", NULL, NULL, &type), ==, 0);
  g_assert_cmpint (meta_read_array (row, "Tags", &index, NULL, NULL), ==, 0);
  g_assert_cmpint (meta_write_integer (row, NULL, 1), ==, 0);
  g_assert_cmpint (meta_write_double (NULL, "Gain", 1.0), ==, 0);
  g_assert_cmpint (meta_write_string (row, NULL, "x"), ==, 0);
  g_assert_cmpint (meta_write_array (row, NULL, 0, tessel_test_int_value (1)), ==, 0);
  g_assert_cmpint (meta_delete_by_key (NULL, tessel_test_int_value (1)), ==, 0);
  g_assert_cmpint (meta_get_file_list (NULL), ==, 0);
  g_assert_cmpint (meta_file_absent (NULL), ==, 0);
  g_assert_cmpint (meta_path_absent (NULL), ==, 0);
  g_assert_cmpint (meta_set_present (NULL), ==, 0);
  g_assert_cmpint (row_count (fx), ==, 2);

  /* Values pass through bit for bit. */
  g_assert_cmpint (meta_write_double (row, "Gain", 0.125), ==, 1);
  g_assert_cmpint (meta_read_double (row, "Gain", &real), ==, 1);
  g_assert_cmpfloat (real, ==, 0.125);
  g_assert_cmpint (meta_write_integer (row, "PlayCount", -123456), ==, 1);
  g_assert_cmpint (meta_read_integer (row, "PlayCount", &number), ==, 1);
  g_assert_cmpint (number, ==, -123456);
  g_assert_cmpint (meta_write_string (row, "Comment", NULL), ==, 1);
  g_assert_cmpint (meta_read_string (row, "Comment", &text), ==, 1);
  g_assert_cmpstr (text, ==, "");
  g_free (text);
  g_assert_cmpint (meta_get_key_type (row, "Comment"), ==, META_TYPE_TEXT);
  g_assert_cmpint (meta_write_array (row, "Gains", 0, tessel_test_float_value (0.75f)),
                   ==, 1);
  g_assert_cmpint (meta_read_array (row, "Gains", &index, NULL, &type), ==, 1);
  g_assert_cmpint (index, ==, 1);
  gchar area[META_VALUE_SIZE];
  gfloat element;
  index = 0;
  g_assert_cmpint (meta_read_array (row, "Gains", &index, area, &type), ==, 1);
  memcpy (&element, area, sizeof element);
  g_assert_cmpfloat (element, ==, 0.75f);

  /* Presence and the file list. */
  g_assert_cmpint (meta_file_absent (row), ==, 1);
  g_assert_cmpint (meta_read_integer (row, "Present", &number), ==, 1);
  g_assert_cmpint (number, ==, 0);
  g_assert_cmpint (meta_set_present (row), ==, 1);
  g_assert_cmpint (meta_path_absent ("/MEDIA/"), ==, 1);
  g_assert_cmpint (meta_read_integer (row, "Present", &number), ==, 1);
  g_assert_cmpint (number, ==, 0);
  gchar **files = NULL;
  g_assert_cmpint (meta_get_file_list (&files), ==, 1);
  g_assert_cmpuint (g_strv_length (files), ==, 2);
  for (gchar **p = files; *p != NULL; p++)
    g_free (*p);
  free (files);
  g_assert_cmpint (meta_delete_by_key ("isStream", tessel_test_int_value (1)), ==, 1);
  g_assert_cmpint (meta_get_key_type ("http://s", "isStream"), ==, 0);
  g_assert_cmpint (meta_get_key_type (row, "isStream"), ==, 1);

  /* Extensions come from the configuration. */
  g_assert_cmpint (meta_has_recognized_extension ("/a/b.MP3"), ==, 1);
  g_assert_cmpint (meta_has_recognized_extension ("/a/b.ogg"), ==, 0);
  g_assert_cmpint (meta_has_recognized_extension ("/a/mp3"), ==, 0);
  g_assert_cmpint (meta_has_recognized_extension (NULL), ==, 0);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, NULL);
#define ADD TESSEL_TEST_ADD
  ADD ("/storage/keys/read-typed", test_read_typed);
  ADD ("/storage/keys/key-type", test_key_type);
  ADD ("/storage/keys/write-affinity", test_write_affinity);
  ADD ("/storage/keys/write-text-round-trip", test_write_text_round_trip);
  ADD ("/storage/keys/refused-keys", test_refused_keys);
  ADD ("/storage/keys/literal-words-and-rowid", test_literal_keys);
  ADD ("/storage/array/element-cut-whole-characters", test_array_element_cut);
  ADD ("/storage/array/insert-before-index", test_array_insert_sequence);
  ADD ("/storage/array/element-types", test_array_element_types);
  ADD ("/storage/array/without-elements", test_array_without_elements);
  ADD ("/storage/array/overlong-statement", test_array_overlong);
  ADD ("/meta/keys/wrappers", test_meta_wrappers);
  return g_test_run ();
}
