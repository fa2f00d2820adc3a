/* tessel ls: the stored rows as a table, or as JSON. */
#include "tessel.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <json-glib/json-glib.h>

#include "metadata.h"

namespace
{

/* What ls shows of one row; empty texts for missing values. */
struct Row
{
  std::string file;
  std::string title;
  std::string artist;
  std::string album;
  gint32 length = -1; /* seconds; -1 when unknown */
  gboolean present = FALSE;
};

/* The columns ls shows, in the order of its query. */
const char *const shown[] = { "Filename", "Title", "Artist", "Album",
                              "Length", "Present" };

/* The columns of Metadata, from the header of a query of its schema. */
void
add_column_name (gint columns, const gchar *const *names, const gint *types,
                 const gchar *const *values, gpointer user_data) noexcept
{
  (void) types;
  auto known = static_cast<std::vector<std::string> *> (user_data);
  for (gint i = 0; values != NULL && i < columns; i++)
    if (g_strcmp0 (names[i], "name") == 0 && values[i] != NULL)
      known->emplace_back (values[i]);
}

/* The query of every named row, ordered as the listing is (ASCII case
 * folded, then byte order, as tessel_compare_names does): one pass over
 * the table instead of a lookup per key of every row.  A column the table
 * lacks (a database from elsewhere) reads as NULL, as the key reads did. */
std::string
rows_query ()
{
  std::vector<std::string> known;
  meta_search_columns ("PRAGMA table_info(Metadata)", add_column_name,
                       &known, NULL);
  std::string query = "SELECT ";
  for (const char *column : shown)
    {
      gboolean exists = FALSE;
      for (const std::string &k : known)
        exists = exists || g_ascii_strcasecmp (k.c_str (), column) == 0;
      query += exists ? column : "NULL";
      query += column == shown[G_N_ELEMENTS (shown) - 1] ? " " : ", ";
    }
  return query + "FROM Metadata WHERE Filename IS NOT NULL ORDER BY "
                 "Filename COLLATE NOCASE, Filename";
}

struct Listing
{
  std::vector<Row> rows;
  gboolean all = FALSE;
};

/* The low 32 bits of an integer value, as the key reads give them. */
gint32
low_bits (const gchar *value)
{
  return static_cast<gint32> (
      static_cast<guint32> (g_ascii_strtoll (value, NULL, 10)));
}

void
add_row (gint columns, const gchar *const *names, const gint *types,
         const gchar *const *values, gpointer user_data) noexcept
{
  (void) names;
  auto listing = static_cast<Listing *> (user_data);
  if (values == NULL || columns != G_N_ELEMENTS (shown)
      || types[0] != META_TYPE_TEXT)
    return;
  Row row;
  /* Only text reads as text, only an integer as a number. */
  row.present = types[5] == META_TYPE_INTEGER && low_bits (values[5]) != 0;
  if (!row.present && !listing->all)
    return;
  row.file = values[0];
  std::string *texts[] = { &row.title, &row.artist, &row.album };
  for (int i = 0; i < 3; i++)
    if (types[i + 1] == META_TYPE_TEXT)
      *texts[i] = values[i + 1];
  row.length = types[4] == META_TYPE_INTEGER ? low_bits (values[4]) : -1;
  listing->rows.push_back (std::move (row));
}

void
print_table (const std::vector<Row> &rows)
{
  const char *const header[]
      = { "FILE", "TITLE", "ARTIST", "ALBUM", "LENGTH" };
  const guint columns = G_N_ELEMENTS (header);
  g_autoptr (GPtrArray) cells = g_ptr_array_new_with_free_func (
      reinterpret_cast<GDestroyNotify> (g_strfreev));
  for (const Row &row : rows)
    {
      /* No NULL cells: each row is freed as a string vector. */
      gchar **c = g_new0 (gchar *, columns + 1);
      c[0] = row.present ? g_strdup (row.file.c_str ())
                         : g_strconcat (row.file.c_str (), " (absent)", NULL);
      c[1] = g_strdup (row.title.c_str ());
      c[2] = g_strdup (row.artist.c_str ());
      c[3] = g_strdup (row.album.c_str ());
      c[4] = tessel_format_duration (row.length);
      g_ptr_array_add (cells, c);
    }
  tessel_print_table (stdout, header, columns, cells);
}

/* Adds "key": text, or null for an empty text. */
void
add_text (JsonBuilder *b, const char *key, const std::string &text)
{
  json_builder_set_member_name (b, key);
  if (text.empty ())
    json_builder_add_null_value (b);
  else
    json_builder_add_string_value (b, text.c_str ());
}

void
print_json (const std::vector<Row> &rows)
{
  g_autoptr (JsonBuilder) b = json_builder_new ();
  json_builder_begin_array (b);
  for (const Row &row : rows)
    {
      json_builder_begin_object (b);
      add_text (b, "file", row.file);
      add_text (b, "title", row.title);
      add_text (b, "artist", row.artist);
      add_text (b, "album", row.album);
      json_builder_set_member_name (b, "length");
      if (row.length < 0)
        json_builder_add_null_value (b);
      else
        json_builder_add_int_value (b, row.length);
      json_builder_set_member_name (b, "present");
      json_builder_add_boolean_value (b, row.present);
      json_builder_end_object (b);
    }
  json_builder_end_array (b);
  tessel_print_json (b);
}

} // namespace

int
tessel_cmd_ls (int argc, char **argv)
{
  gboolean all = FALSE;
  gboolean json = FALSE;
  const GOptionEntry entries[] = {
    { "all", 'a', 0, G_OPTION_ARG_NONE, &all,
      "Also list rows marked absent", NULL },
    { "json", 0, 0, G_OPTION_ARG_NONE, &json,
      "Print the rows as a JSON array (length in seconds)", NULL },
    { NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL }
  };
  TesselCommonOptions common;
  if (int status = tessel_parse_and_open (
          &argc, &argv, entries,
          "List the stored rows: file, title, artist, album and "
          "length (h:mm:ss),\nsorted by file name ignoring case.  Rows of "
          "files marked absent are left out unless\n--all is "
          "given, which shows them with \"(absent)\" after the "
          "name.",
          &common))
    return status;

  Listing listing;
  listing.all = all;
  if (!meta_search_columns (rows_query ().c_str (), add_row, &listing, NULL))
    {
      /* A table that cannot be read is not an empty library. */
      tessel_error ("cannot read the stored rows of '%s'",
                    tessel_database_path (&common));
      meta_destruct ();
      return 1;
    }
  const std::vector<Row> &rows = listing.rows;
  if (json)
    print_json (rows);
  else
    print_table (rows);
  meta_destruct ();
  return 0;
}
